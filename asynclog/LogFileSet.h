#pragma once

#include "asynclog/Diagnostics.h"
#include "asynclog/LogConfig.h"
#include "asynclog/LogFileName.h"
#include "asynclog/LossCounters.h"
#include "asynclog/OriginJournal.h"
#include "asynclog/RecordSink.h"
#include "platform/UniqueFd.h"
#include "platform/ZQMutex.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <sys/types.h>

// Result codes of the file set (the engine's; see ZIdOrereDov.h).
constexpr int32_t kFileSetOk = 0;
constexpr int32_t kFileSetErrInvalid = -5;      // bad argument; a rename of the rotation failed
constexpr int32_t kFileSetErrNoFile = -6;       // the file did not open
constexpr int32_t kFileSetErrNameTooLong = -7;  // a file name over 127 characters

constexpr uint32_t kFileNameLen = 256;  // one entry of the name table
// A file of the set by its full name: directory + "/" + name, terminated.
constexpr size_t kLogFilePathBuf = kLogPathLen + 1 + kFileNameLen + 1;

constexpr size_t kMaxOpenName = 127;   // longest file name OpenLogFile takes
constexpr mode_t kLogDirMode = 0775;   // as the umask allows
constexpr mode_t kLogFileMode = 0666;  // likewise

// The rotating set of log files in one directory: the names
// <prefix>_00.log .. <prefix>_0(N-1).log, the directory, the current file
// (entry 0) with its position, the size limit and the rotation.
//
// Every file is opened without following a symbolic link, and the current file
// is written through its descriptor only: a name that is swapped for a link
// while the set runs is never written through. Records reach a file whole or
// not at all: a write that fails part-way (a full disk) is cut back to the last
// whole record, and the records that did not fit are counted as lost.
//
// Threads: the engine builds it and the owner sets the count and the size limit
// from any thread; while the engine runs, the writer thread alone writes,
// rotates and reopens (through CRecordSink). m_Lock is the engine lock: it
// guards the name table and the count, and is held around every open and
// rotation, as SetFileNum may rebuild the names meanwhile. The current file,
// its buffer and its position are the writer's alone while the engine runs,
// the owner's before and after.
class CLogFileSet final : public CRecordSink {
public:
    // pDiag: where the set reports what goes wrong; may be null.
    CLogFileSet(CLossCounters& lost, CDiagnostics* pDiag);
    ~CLogFileSet() override;  // writes what is buffered, closes the file
    CLogFileSet(const CLogFileSet&) = delete;
    CLogFileSet& operator=(const CLogFileSet&) = delete;

    // Takes the directory and the prefix and builds the name table.
    // 0; -5 a null or empty text, or one too long (256, 128 characters).
    int32_t Init(const char* pLogPath, const char* pPrefix) ZQ_EXCLUDES(m_Lock);
    // Opens entry pFileName of the directory as the current file, appending
    // (bAppend 1) or empty (0), creating the directory first.
    // 0; -5 null or bAppend > 1; -6 the file did not open (also when the name
    // is a symbolic link, or a FIFO nobody reads); -7 a name over 127
    // characters.
    int32_t OpenLogFile(const char* pFileName, uint32_t bAppend) ZQ_REQUIRES(m_Lock);
    // Opens entry 0 for appending, under the lock. Codes of OpenLogFile.
    int32_t OpenCurrent() ZQ_EXCLUDES(m_Lock);
    // Writes what is buffered and closes the current file.
    void Close();

    // 0; -5 outside the range. A new count takes effect at once for a started
    // set (the names are built again), else at Init; files beyond a lowered
    // count are removed at the next rotation.
    int32_t SetFileNum(uint32_t nNum) ZQ_EXCLUDES(m_Lock);
    // 0; -5 outside the range. Takes effect at the next record.
    int32_t SetFileSize(uint32_t nSizeMiB);
    // Written records reach the disk (fdatasync) at most nMs after they were
    // written, and records that pfnUrgent marks within kUrgentSyncMs; 0: no
    // sync at all, the kernel writes back when it likes. Any thread; takes
    // effect with the next write.
    void SetSyncMs(uint32_t nMs) { m_nSyncMs.store(nMs, std::memory_order_relaxed); }
    uint32_t SyncMs() const { return m_nSyncMs.load(std::memory_order_relaxed); }
    // Before the engine starts: which records are urgent (null: none).
    using UrgentFn = bool (*)(const uint8_t* pText, uint32_t nLen);
    void SetUrgentTest(UrgentFn pfnUrgent) { m_pfnUrgent = pfnUrgent; }
    // After Init, before the engine starts: who sent each record is kept in
    // an origin journal beside each file (OriginJournal.h). False when the
    // journals' directory cannot be made; the set then keeps none.
    bool KeepOrigins() ZQ_EXCLUDES(m_Lock);

    // Creates every level of pPath, like mkdir -p ('\\' also separates).
    // 0 created; -1 it existed already; -5 null; -6 a level could not be made.
    static int32_t CreateLogDir(const char* pPath);

    // CRecordSink: the writer's.
    uint32_t Consume(CRingBuffer& queue, uint32_t nMax) override;
    bool Ready() const override { return m_File.Valid(); }
    void Recover() override { (void)OpenCurrent(); }  // still no file: the loop retries
    void Periodic() override;
    void Reopen() override { (void)OpenCurrent(); }  // no file: the loop retries
    int64_t SyncDueMs() const override { return m_llSyncDueMs; }
    void Sync() override;
    // Each ready record with write() of its own to the current file, opened
    // by its full name when the set has none open (while forwarding, or after
    // a failed open) and closed again. No rotation: a crash may take the file
    // past its size limit by up to a ring of records. A record the file
    // refuses is counted as lost.
    uint32_t DrainForCrash(CRingBuffer& queue, int64_t llDeadlineNs) override;

    uint32_t FileNum() const ZQ_EXCLUDES(m_Lock);
    uint32_t FileSizeMiB() const {
        return static_cast<uint32_t>(m_llMaxFileSize.load(std::memory_order_relaxed) >> 20);
    }
    // Statistics, any thread: records that reached a file, rotations done.
    uint64_t Written() const { return m_nWritten.load(std::memory_order_relaxed); }
    uint64_t Rotations() const { return m_nRotations.load(std::memory_order_relaxed); }
    // ... syncs done, and bytes cut from the end of the current file when it
    // was opened (a line torn by a power cut, zeros a file system left).
    uint64_t Syncs() const { return m_nSyncs.load(std::memory_order_relaxed); }
    uint64_t TornBytes() const { return m_nTornBytes.load(std::memory_order_relaxed); }

    // Current file name of entry i (tests and diagnostics). Empty past the count.
    const char* FileName(uint32_t i) const ZQ_REQUIRES(m_Lock) { return m_szFileName[i]; }
    CZQMutex& Lock() ZQ_RETURN_CAPABILITY(m_Lock) { return m_Lock; }

private:
    int32_t BuildFileNamesLocked(const char* pPrefix) ZQ_REQUIRES(m_Lock);
    int32_t RotateLogFilesLocked() ZQ_REQUIRES(m_Lock);
    void RotateCurrentFile() ZQ_EXCLUDES(m_Lock);
    void Buffer(const uint8_t* pText, uint32_t nLen, const RecordOrigin& from);
    void SweepJournals() ZQ_REQUIRES(m_Lock);
    void BufferPendingDiagnostics();
    void Flush();
    void NoteWritten(bool bUrgent);
    void SyncDirectory();
    uint64_t RepairTail(int nFd, int nWriteFd, uint64_t llSize);
    int32_t FormPath(char* pOut, size_t nSize, const char* pName) const;

    CLossCounters& m_Lost;
    CDiagnostics* m_pDiag;
    mutable CZQMutex m_Lock;            // the engine lock
    char m_szLogPath[kLogPathLen + 1];  // set by Init
    // Entry 0 by its full name, set by Init: DrainForCrash opens it without
    // the name table and its lock. SetFileNum never changes entry 0's name.
    char m_szCurrentPath[kLogFilePathBuf];
    char m_szPrefix[kPrefixLen + 1] ZQ_GUARDED_BY(m_Lock);
    char m_szFileName[kMaxLogFiles][kFileNameLen + 1] ZQ_GUARDED_BY(m_Lock);
    uint32_t m_nFileNum ZQ_GUARDED_BY(m_Lock);
    bool m_bNamed ZQ_GUARDED_BY(m_Lock);  // Init built the names
    // The owner writes it, the writer compares against it. Relaxed: a lone
    // value; a limit taking effect one record later is fine.
    std::atomic<uint64_t> m_llMaxFileSize;
    std::atomic<uint32_t> m_nSyncMs;  // likewise
    UrgentFn m_pfnUrgent;             // the owner's before Start

    CUniqueFd m_File;                   // the current file, opened O_APPEND
    uint64_t m_llFilePos;               // bytes in the current file, buffered ones included
    uint64_t m_llFlushedPos;            // bytes that reached the file
    std::unique_ptr<uint8_t[]> m_pBuf;  // records not yet written: one write() for many
    uint32_t m_nBufLen;
    uint32_t m_nBufRecords;  // records in m_pBuf, each ending at m_pRecordEnd[i]
    std::unique_ptr<uint32_t[]> m_pRecordEnd;
    std::unique_ptr<RecordOrigin[]> m_pRecordFrom;  // the sender of each, for the journal
    COriginJournalWriter m_Journal;                 // enabled by KeepOrigins
    uint64_t m_nWrittenSinceCheck;  // records written since Periodic last found the file in place
    bool m_bBufUrgent;              // an urgent record is in m_pBuf
    bool m_bDirSyncDue;             // the directory holds a new name not yet synced
    int64_t m_llSyncDueMs;          // 0, or when what was written must be on the disk
    // The writer adds, statistics read (relaxed: counts only).
    std::atomic<uint64_t> m_nWritten;
    std::atomic<uint64_t> m_nRotations;
    std::atomic<uint64_t> m_nSyncs;
    std::atomic<uint64_t> m_nTornBytes;
};
