#include "asynclog/LogFileSet.h"

#include "asynclog/RingBuffer.h"
#include "platform/FixedText.h"
#include "platform/MonotonicClock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kBufSize = 64 * 1024;  // one write() carries many records
constexpr uint32_t kMaxBufRecords = 512;  // records per write()

// A text that fills its slot has no terminator: nDataLen bounds it. A NUL
// inside the text ends it, as for any C string.
uint32_t SlotTextLength(const RingSlot* pSlot) {
    return static_cast<uint32_t>(
        strnlen(reinterpret_cast<const char*>(pSlot->pBuffer), pSlot->nDataLen));
}

// Entry i of a set with this prefix: 128 + 7 characters always fit.
void FormatFileName(char* pOut, size_t nSize, const char* pPrefix, uint32_t i) {
    (void)FormatLogFileName(pOut, nSize, nullptr, pPrefix, i);
}

// Writes nLen bytes with as many write() calls as it takes (an interrupted
// one goes on); returns how many reached the file, fewer when it refused the
// rest (errno says why). Async-signal-safe: the crash drain uses it too.
uint32_t WriteAll(int nFd, const uint8_t* pData, uint32_t nLen) {
    uint32_t nDone = 0;
    while (nDone < nLen) {
        const ssize_t n = write(nFd, pData + nDone, nLen - nDone);
        if (n > 0) {
            nDone += static_cast<uint32_t>(n);
        } else if (n >= 0 || errno != EINTR) {
            break;
        }
    }
    return nDone;
}

}  // namespace

CLogFileSet::CLogFileSet(CLossCounters& lost, CDiagnostics* pDiag)
    : m_Lost(lost),
      m_pDiag(pDiag),
      m_szLogPath(),
      m_szCurrentPath(),
      m_szPrefix(),
      m_szFileName(),
      m_nFileNum(kMinLogFiles),
      m_bNamed(false),
      m_llMaxFileSize(FileSizeBytes(kDefaultFileSizeMiB)),
      m_nSyncMs(kDefaultSyncMs),
      m_pfnUrgent(nullptr),
      m_llFilePos(0),
      m_llFlushedPos(0),
      m_nBufLen(0),
      m_nBufRecords(0),
      m_nWrittenSinceCheck(0),
      m_bBufUrgent(false),
      m_bDirSyncDue(false),
      m_llSyncDueMs(0),
      m_nWritten(0),
      m_nRotations(0),
      m_nSyncs(0),
      m_nTornBytes(0) {}

CLogFileSet::~CLogFileSet() { Close(); }

int32_t CLogFileSet::Init(const char* pLogPath, const char* pPrefix) {
    if (pLogPath == nullptr || std::strlen(pLogPath) > kLogPathLen) return kFileSetErrInvalid;
    {
        CZQLockGuard guard(m_Lock);
        const int32_t nRet = BuildFileNamesLocked(pPrefix);
        if (nRet != kFileSetOk) return nRet;
        CopyText(m_szLogPath, pLogPath);
        // Any name of the table fits the buffer.
        (void)FormPath(m_szCurrentPath, sizeof(m_szCurrentPath), m_szFileName[0]);
        m_bNamed = true;
    }
    if (m_pBuf == nullptr) m_pBuf.reset(new (std::nothrow) uint8_t[kBufSize]);
    if (m_pRecordEnd == nullptr) m_pRecordEnd.reset(new (std::nothrow) uint32_t[kMaxBufRecords]);
    if (m_pRecordFrom == nullptr) {
        m_pRecordFrom.reset(new (std::nothrow) RecordOrigin[kMaxBufRecords]);
    }
    return m_pBuf != nullptr && m_pRecordEnd != nullptr && m_pRecordFrom != nullptr
               ? kFileSetOk
               : kFileSetErrNoFile;
}

bool CLogFileSet::KeepOrigins() {
    CZQLockGuard guard(m_Lock);
    if (m_bNamed) (void)CreateLogDir(m_szLogPath);
    if (!m_bNamed || !m_Journal.Init(m_szLogPath, m_szPrefix, kMaxBufRecords)) return false;
    if (m_File.Valid()) m_Journal.Attach(m_File.Get(), m_llFlushedPos);
    SweepJournals();
    return true;
}

// The journals of files that left the set go (a rotation deleted them, or a
// stop came between the two).
void CLogFileSet::SweepJournals() {
    if (!m_Journal.Enabled()) return;
    uint64_t aInodes[kMaxLogFiles];
    uint32_t nInodes = 0;
    char szPath[kLogFilePathBuf];
    for (uint32_t i = 0; i < m_nFileNum; ++i) {
        struct stat st {};
        if (FormPath(szPath, sizeof(szPath), m_szFileName[i]) == kFileSetOk &&
            lstat(szPath, &st) == 0) {
            aInodes[nInodes++] = st.st_ino;
        }
    }
    m_Journal.Sweep(aInodes, nInodes);
}

int32_t CLogFileSet::BuildFileNamesLocked(const char* pPrefix) {
    if (pPrefix == nullptr || *pPrefix == '\0' || std::strlen(pPrefix) > kPrefixLen) {
        return kFileSetErrInvalid;
    }
    // The prefix may be m_szPrefix itself (SetFileNum builds the names again
    // from it): take a copy before the member is cleared.
    char szPrefix[kPrefixLen + 1];
    CopyText(szPrefix, pPrefix);
    CopyText(m_szPrefix, szPrefix);
    for (uint32_t i = 0; i < kMaxLogFiles; ++i) {
        std::memset(m_szFileName[i], 0, sizeof(m_szFileName[i]));
        if (i < m_nFileNum) FormatFileName(m_szFileName[i], sizeof(m_szFileName[i]), m_szPrefix, i);
    }
    return kFileSetOk;
}

int32_t CLogFileSet::CreateLogDir(const char* pPath) {
    if (pPath == nullptr) return kFileSetErrInvalid;
    char* pCopy = strdup(pPath);
    if (pCopy == nullptr) return kFileSetOk;  // no memory: the open that follows reports it
    // Index 0 is never a cut point, so "/var/log" never asks for an empty name.
    for (size_t i = 1; pCopy[i] != '\0'; ++i) {
        if (pCopy[i] != '/' && pCopy[i] != '\\') continue;
        pCopy[i] = '\0';
        // A level that another process creates between the test and mkdir is fine.
        if (access(pCopy, F_OK) != 0 && mkdir(pCopy, kLogDirMode) != 0 && errno != EEXIST) {
            std::free(pCopy);
            return kFileSetErrNoFile;
        }
        pCopy[i] = '/';
    }
    const int nRet = mkdir(pCopy, kLogDirMode);
    std::free(pCopy);
    return nRet == 0 ? kFileSetOk : -1;  // -1 also when the directory already exists
}

int32_t CLogFileSet::FormPath(char* pOut, size_t nSize, const char* pName) const {
    const int nLen = std::snprintf(pOut, nSize, "%s/%s", m_szLogPath, pName);
    return nLen >= 0 && static_cast<size_t>(nLen) < nSize ? kFileSetOk : kFileSetErrNameTooLong;
}

int32_t CLogFileSet::OpenLogFile(const char* pFileName, uint32_t bAppend) {
    if (pFileName == nullptr || bAppend > 1) return kFileSetErrInvalid;
    if (std::strlen(pFileName) > kMaxOpenName) return kFileSetErrNameTooLong;

    char szName[kMaxOpenName + 1];
    CopyText(szName, pFileName);
    (void)CreateLogDir(m_szLogPath);  // a level that cannot be made shows as a failed open

    char szPath[kLogFilePathBuf];
    (void)FormPath(szPath, sizeof(szPath), szName);  // 256 + 1 + 127 fit
    Close();
    // No symbolic link is followed. O_NONBLOCK keeps a FIFO without a reader
    // from blocking the open (it fails, and the loop tries again); the writes
    // then block as for any file.
    const int nFlags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                       (bAppend != 0 ? 0 : O_TRUNC);
    CUniqueFd file(open(szPath, nFlags, kLogFileMode));
    struct stat st {};
    if (!file.Valid() || fstat(file.Get(), &st) != 0 ||
        fcntl(file.Get(), F_SETFL, O_APPEND) != 0) {  // O_NONBLOCK off
        if (m_pDiag != nullptr) {
            m_pDiag->Report(DiagKind::kOpenFailed, "cannot open %s: %s", szPath,
                            std::strerror(errno));
        }
        return kFileSetErrNoFile;
    }
    uint64_t llSize = static_cast<uint64_t>(st.st_size);
    if (bAppend != 0 && llSize > 0 && S_ISREG(st.st_mode)) {
        // Read through a second descriptor of the same file (the first one
        // only writes, so that a FIFO keeps its meaning).
        const CUniqueFd reader(open(szPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat stRead {};
        if (reader.Valid() && fstat(reader.Get(), &stRead) == 0 && stRead.st_ino == st.st_ino &&
            stRead.st_dev == st.st_dev) {
            llSize = RepairTail(reader.Get(), file.Get(), llSize);
        }
    }
    m_File = std::move(file);
    m_llFlushedPos = llSize;
    m_llFilePos = m_llFlushedPos;
    if (m_Journal.Enabled()) {
        m_Journal.Attach(m_File.Get(), llSize);
        SweepJournals();
    }
    // A file made just now: its name reaches the disk with the next sync.
    if (llSize == 0 && SyncMs() != 0) m_bDirSyncDue = true;
    return kFileSetOk;
}

// A power cut can leave the current file with its last line torn (written in
// part) or followed by zeros (blocks the file system allocated, whose data
// never arrived). Appending to that would glue the next record to the torn
// one: the zeros and the torn line are cut first, back to the last line end.
// A record is shorter than kMaxRecordLen, so that line end is at most that
// far from the last byte that is not zero; a tail without one that close is
// no record the set wrote, and only its zeros go. nFd reads, nWriteFd cuts.
// Returns the size now.
uint64_t CLogFileSet::RepairTail(int nFd, int nWriteFd, uint64_t llSize) {
    constexpr uint32_t kChunk = 4096;
    static_assert(kChunk >= kMaxRecordLen, "a record's tail fits one look");
    uint8_t aChunk[kChunk];
    uint64_t llEnd = llSize;  // the end once the zeros are cut
    size_t nIn = 0;           // bytes of aChunk up to llEnd
    uint64_t llFrom = 0;      // where aChunk starts in the file
    while (llEnd > 0 && nIn == 0) {
        llFrom = llEnd > kChunk ? llEnd - kChunk : 0;
        const auto nWant = static_cast<size_t>(llEnd - llFrom);
        if (pread(nFd, aChunk, nWant, static_cast<off_t>(llFrom)) != static_cast<ssize_t>(nWant)) {
            return llSize;  // cannot look: the file stays as it is
        }
        nIn = nWant;
        while (nIn > 0 && aChunk[nIn - 1] == 0) --nIn;
        llEnd = llFrom + nIn;
    }
    uint64_t llKeep = llEnd;
    if (nIn > 0 && aChunk[nIn - 1] != '\n') {
        // Read again so that a whole record's length before llEnd is at hand.
        llFrom = llEnd > kMaxRecordLen ? llEnd - kMaxRecordLen : 0;
        const auto nWant = static_cast<size_t>(llEnd - llFrom);
        if (pread(nFd, aChunk, nWant, static_cast<off_t>(llFrom)) != static_cast<ssize_t>(nWant)) {
            return llSize;
        }
        size_t i = nWant;
        while (i > 0 && aChunk[i - 1] != '\n') --i;
        if (i > 0 || llFrom == 0) llKeep = llFrom + i;
    }
    if (llKeep == llSize) return llSize;
    if (ftruncate(nWriteFd, static_cast<off_t>(llKeep)) != 0) return llSize;
    const uint64_t llCut = llSize - llKeep;
    m_nTornBytes.fetch_add(llCut, std::memory_order_relaxed);
    if (m_pDiag != nullptr) {
        m_pDiag->Report(DiagKind::kTornTail,
                        "the end of the current file was not a whole record (a power cut?): "
                        "%llu bytes cut",
                        static_cast<unsigned long long>(llCut));
    }
    return llKeep;
}

int32_t CLogFileSet::OpenCurrent() {
    CZQLockGuard guard(m_Lock);
    return OpenLogFile(m_szFileName[0], 1);
}

void CLogFileSet::Close() {
    if (m_File.Valid()) {
        Flush();
        if (m_llSyncDueMs != 0) Sync();  // a stop loses nothing to a cut that follows
    }
    m_Journal.Detach();
    m_File.Reset();
}

void CLogFileSet::Sync() {
    if (m_File.Valid()) {
        if (m_nBufLen > 0) Flush();
        // EINTR is no failure of the data; an I/O error shows in the next write.
        m_Journal.Sync();  // no entry is missed for a record on the disk
        (void)fdatasync(m_File.Get());
        if (m_bDirSyncDue) SyncDirectory();
        m_nSyncs.fetch_add(1, std::memory_order_relaxed);
    }
    m_llSyncDueMs = 0;
}

// The names in the directory (a new file, a rotation's renames) reach the disk.
void CLogFileSet::SyncDirectory() {
    m_bDirSyncDue = false;
    const CUniqueFd dir(open(m_szLogPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) (void)fsync(dir.Get());
}

// Records reached the file: they must reach the disk by the sync deadline.
void CLogFileSet::NoteWritten(bool bUrgent) {
    const uint32_t nSyncMs = SyncMs();
    if (nSyncMs == 0) return;
    const uint32_t nWithin = bUrgent && kUrgentSyncMs < nSyncMs ? kUrgentSyncMs : nSyncMs;
    const int64_t llDue = MonotonicMs() + nWithin;
    if (m_llSyncDueMs == 0 || llDue < m_llSyncDueMs) m_llSyncDueMs = llDue;
}

int32_t CLogFileSet::SetFileNum(uint32_t nNum) {
    if (nNum < kMinLogFiles || nNum > kMaxLogFiles) return kFileSetErrInvalid;
    CZQLockGuard guard(m_Lock);
    const bool bRebuild = nNum != m_nFileNum && m_bNamed;
    m_nFileNum = nNum;
    return bRebuild ? BuildFileNamesLocked(m_szPrefix) : kFileSetOk;
}

uint32_t CLogFileSet::FileNum() const {
    CZQLockGuard guard(m_Lock);
    return m_nFileNum;
}

int32_t CLogFileSet::SetFileSize(uint32_t nSizeMiB) {
    if (nSizeMiB < kMinFileSizeMiB || nSizeMiB > kMaxFileSizeMiB) return kFileSetErrInvalid;
    m_llMaxFileSize.store(FileSizeBytes(nSizeMiB), std::memory_order_relaxed);
    return kFileSetOk;
}

// The file set, oldest last, for N files:
//
//   SDK_00.log -> SDK_01.log -> ... -> SDK_0(N-1).log -> deleted
//
// Missing entries are skipped, so a set with gaps closes up only as far as the
// files that exist. Files beyond the count (left from a larger one) are
// removed. Afterwards SDK_00.log does not exist; the caller creates it.
int32_t CLogFileSet::RotateLogFilesLocked() {
    char szFrom[kLogFilePathBuf];
    char szTo[kLogFilePathBuf];
    for (int32_t i = static_cast<int32_t>(m_nFileNum) - 1; i >= 0; --i) {
        if (m_szFileName[i][0] == '\0') continue;
        (void)FormPath(szFrom, sizeof(szFrom), m_szFileName[i]);
        if (access(szFrom, F_OK) != 0) continue;
        if (i == static_cast<int32_t>(m_nFileNum) - 1) {
            (void)std::remove(szFrom);  // a file that stays is overwritten by the rename below
            continue;
        }
        (void)FormPath(szTo, sizeof(szTo), m_szFileName[i + 1]);
        (void)std::remove(szTo);  // usually already gone; rename reports what matters
        // A failed rename ends the rotation; the moves made so far stay made.
        if (std::rename(szFrom, szTo) < 0) {
            if (m_pDiag != nullptr) {
                m_pDiag->Report(DiagKind::kRotateFailed,
                                "rotation stopped: cannot rename %s to %s: %s; %s stays the "
                                "current file",
                                szFrom, szTo, std::strerror(errno), m_szFileName[0]);
            }
            return kFileSetErrInvalid;
        }
    }
    char szName[kFileNameLen + 1];
    for (uint32_t i = m_nFileNum; i < kMaxLogFiles; ++i) {
        FormatFileName(szName, sizeof(szName), m_szPrefix, i);
        (void)FormPath(szFrom, sizeof(szFrom), szName);
        (void)std::remove(szFrom);  // usually absent
    }
    return kFileSetOk;
}

// The current file reached the size limit: shift the set and start an empty
// current file. The current file is renamed while it is open; when a rename
// fails it was not moved, so the set keeps writing to it through its
// descriptor (never reopening it by name) and tries again at the next record. When
// the new file cannot be created, no file is open and the loop reopens entry 0
// before the next record.
void CLogFileSet::RotateCurrentFile() {
    CZQLockGuard guard(m_Lock);
    // What the full file holds reaches the disk before its name moves: after
    // a cut, no record is in two files and none of a synced file is missing.
    if (m_llSyncDueMs != 0) Sync();
    if (RotateLogFilesLocked() != kFileSetOk) return;
    m_nRotations.fetch_add(1, std::memory_order_relaxed);
    (void)OpenLogFile(m_szFileName[0], 0);  // closes the rotated file first
    if (SyncMs() != 0) SyncDirectory();     // the renames and the new name
}

void CLogFileSet::Buffer(const uint8_t* pText, uint32_t nLen, const RecordOrigin& from) {
    if (m_nBufLen + nLen > kBufSize || m_nBufRecords == kMaxBufRecords) Flush();
    std::memcpy(m_pBuf.get() + m_nBufLen, pText, nLen);  // a record is at most one slot
    if (m_pfnUrgent != nullptr && !m_bBufUrgent) m_bBufUrgent = m_pfnUrgent(pText, nLen);
    m_nBufLen += nLen;
    m_pRecordFrom[m_nBufRecords] = from;
    m_pRecordEnd[m_nBufRecords++] = m_nBufLen;
    m_llFilePos += nLen;
}

uint32_t CLogFileSet::DrainForCrash(CRingBuffer& queue, int64_t llDeadlineNs) {
    // The flags of OpenLogFile, but O_NONBLOCK stays (and the current file
    // gets it): a FIFO as the file then refuses what does not fit instead of
    // holding the handler. The process ends right after; nothing else writes.
    const int nOwnFd =
        m_File.Valid() ? -1
                       : open(m_szCurrentPath,
                              O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                              kLogFileMode);
    const int nFd = m_File.Valid() ? m_File.Get() : nOwnFd;
    // Fails only for a bad descriptor, which the writes below report. (A
    // regular file on a device that stops answering can still hold a write:
    // nothing in the process bounds that.)
    if (m_File.Valid()) (void)fcntl(nFd, F_SETFL, O_APPEND | O_NONBLOCK);
    uint32_t nDone = 0;
    const RingSlot* pSlot = nullptr;
    while (MonotonicNs() < llDeadlineNs && (pSlot = queue.GetReadSlot()) != nullptr) {
        const uint32_t nLen = SlotTextLength(pSlot);
        const uint32_t nWritten = nFd >= 0 ? WriteAll(nFd, pSlot->pBuffer, nLen) : 0;
        if (nWritten == nLen) {
            m_nWritten.fetch_add(1, std::memory_order_relaxed);
        } else {
            m_Lost.Add(LossCause::kWriteFailed);  // a piece of it may be in the file
        }
        (void)queue.PopRead();
        ++nDone;
    }
    if (nOwnFd >= 0) (void)close(nOwnFd);  // written with write(): nothing held back
    return nDone;
}

// Writes the buffered records. When the file takes only part of them (a full
// disk, an I/O error), the file is cut back to the end of the last record that
// reached it whole, and the others are counted as lost; the next records are
// tried again, so writing resumes by itself when space returns.
void CLogFileSet::Flush() {
    m_Journal.Record(m_llFlushedPos, m_pRecordEnd.get(), m_pRecordFrom.get(), m_nBufRecords);
    const uint32_t nDone = WriteAll(m_File.Get(), m_pBuf.get(), m_nBufLen);
    uint32_t nKept = m_nBufRecords;
    uint32_t nKeptBytes = nDone;
    if (nDone < m_nBufLen) {
        nKept = 0;
        nKeptBytes = 0;
        while (nKept < m_nBufRecords && m_pRecordEnd[nKept] <= nDone)
            nKeptBytes = m_pRecordEnd[nKept++];
        m_Lost.Add(LossCause::kWriteFailed, m_nBufRecords - nKept);
        if (m_pDiag != nullptr) {
            m_pDiag->Report(DiagKind::kWriteFailed,
                            "writing the log file failed: %s; %u records lost",
                            std::strerror(errno), m_nBufRecords - nKept);
        }
        if (nDone > nKeptBytes &&
            ftruncate(m_File.Get(), static_cast<off_t>(m_llFlushedPos + nKeptBytes)) != 0) {
            // The cut piece stays: go on from where the file really ends.
            struct stat st {};
            if (fstat(m_File.Get(), &st) == 0) {
                nKeptBytes =
                    static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) - m_llFlushedPos);
            }
        }
        m_Journal.Cut(m_llFlushedPos + nKeptBytes);
    }
    if (nKeptBytes > 0) NoteWritten(m_bBufUrgent);
    m_bBufUrgent = false;
    m_llFlushedPos += nKeptBytes;
    m_llFilePos = m_llFlushedPos;
    m_nWrittenSinceCheck += nKept;
    m_nWritten.fetch_add(nKept, std::memory_order_relaxed);
    m_nBufLen = 0;
    m_nBufRecords = 0;
}

// A look at the current file: when it was deleted (its directory removed), the
// records written since the last look are gone, and are counted; when its name
// no longer leads to it (renamed away, replaced), the records stay where the
// file went. Either way entry 0 is opened again, with its directory.
void CLogFileSet::Periodic() {
    if (!m_File.Valid()) return;
    struct stat stFile {};
    if (fstat(m_File.Get(), &stFile) != 0) return;
    char szPath[kLogFilePathBuf];
    {
        CZQLockGuard guard(m_Lock);
        (void)FormPath(szPath, sizeof(szPath), m_szFileName[0]);
    }
    struct stat stName {};
    const bool bInPlace = lstat(szPath, &stName) == 0 && stName.st_ino == stFile.st_ino &&
                          stName.st_dev == stFile.st_dev;
    if (stFile.st_nlink == 0) {
        // Counted as written when they went into the file; now they are lost
        // instead, each counted once.
        m_nWritten.fetch_sub(m_nWrittenSinceCheck, std::memory_order_relaxed);
        m_Lost.Add(LossCause::kWriteFailed, m_nWrittenSinceCheck);
        if (m_pDiag != nullptr) {
            m_pDiag->Report(DiagKind::kDirMade,
                            "%s was deleted (its directory removed?): made again; the %llu "
                            "records written into it since the last look are lost",
                            szPath, static_cast<unsigned long long>(m_nWrittenSinceCheck));
        }
    }
    m_nWrittenSinceCheck = 0;
    if (stFile.st_nlink != 0 && bInPlace) {
        BufferPendingDiagnostics();
        Flush();
        return;
    }
    if (OpenCurrent() != kFileSetOk) return;  // the loop retries before the next record
    BufferPendingDiagnostics();
    Flush();
}

// Takes the records that are ready, up to nMax, into the buffer, then writes
// them with one write(): every record is in the file before the writer waits
// again. The size check follows every record, so rotation happens at record
// boundaries and a rotated file holds at least the limit and less than the
// limit plus one record.
// Records of the set's own (what went wrong), written where they happened.
void CLogFileSet::BufferPendingDiagnostics() {
    if (m_pDiag == nullptr || !m_File.Valid()) return;
    uint8_t szRecord[CDiagnostics::kRecordSize];
    uint32_t nLen = 0;
    while ((nLen = m_pDiag->TakePending(reinterpret_cast<char*>(szRecord), sizeof(szRecord))) > 0) {
        Buffer(szRecord, nLen, kOwnOrigin);
    }
}

uint32_t CLogFileSet::Consume(CRingBuffer& queue, uint32_t nMax) {
    BufferPendingDiagnostics();
    uint32_t nDone = 0;
    RingSlot* pSlot = nullptr;
    while (nDone < nMax && (pSlot = queue.GetReadSlot()) != nullptr) {
        Buffer(pSlot->pBuffer, SlotTextLength(pSlot), pSlot->stOrigin);
        // The buffer holds the bytes now: the slot can go back to the producer.
        (void)queue.PopRead();
        ++nDone;
        if (m_llFilePos >= m_llMaxFileSize.load(std::memory_order_relaxed)) {
            Flush();
            RotateCurrentFile();
            if (!m_File.Valid()) return nDone;
        }
    }
    Flush();
    return nDone;
}
