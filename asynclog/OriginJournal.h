#pragma once

#include "asynclog/LogConfig.h"
#include "platform/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// Who sent a record. The daemon knows it for what comes over its local
// intake (the kernel's credentials of the sending process); over UDP it does
// not; its own records are its own.
enum class OriginKind : uint32_t {
    kUnrecorded = 0,  // no entry covers the record (an older file, a crash, a journal not written)
    kLocal = 1,       // the local intake: uid and pid as the kernel gave them
    kUdp = 2,         // UDP: the sender is unknown
    kOwn = 3,         // the writing process itself
};

struct RecordOrigin {
    OriginKind eKind;
    uint32_t nUid;
    uint32_t nPid;
};
constexpr RecordOrigin kOwnOrigin{OriginKind::kOwn, 0, 0};
constexpr RecordOrigin kUdpOrigin{OriginKind::kUdp, 0, 0};

// What a reader learns of a line: the origin and, for kLocal and kOwn, the
// process's name (/proc/PID/comm, as the sender may set it: the uid and pid
// are what the kernel vouches for) when it could still be read.
constexpr size_t kOriginNameLen = 15;  // the kernel's TASK_COMM_LEN less its NUL
struct LineOrigin {
    RecordOrigin stFrom;
    char szName[kOriginNameLen + 1];
};

// The origin journal of a file of the set: beside each log file, in the
// subdirectory kOriginDirName of the set's directory, a file named by the
// prefix and the log file's inode ("SDK_.1234"), so that a rotation's
// renames need not move it. It holds fixed entries (kOriginEntrySize bytes,
// little-endian), each an origin and the byte range [start, start + length)
// of the log file its records fill, in the order they were written:
//
//   0 magic "ZQO1"   4 kind   8 start (64 bits)   16 length   20 uid
//   24 pid   28 zero   32 name (16 bytes, NUL-padded)
//
// The entries of a write reach the journal before its records reach the log
// file, so a reader that has read a record finds its entry; what a failed
// write did not keep is cut from the journal before the next write, and at
// each opening the journal is cut to what the log file holds (a power cut may
// keep either file's end without the other's). A byte no entry covers is of
// an unrecorded origin: a journal never says a record came from a sender it
// did not come from.
constexpr const char* kOriginDirName = ".origin";
constexpr uint32_t kOriginEntrySize = 48;
// A journal's file name: the prefix, a dot and a 64-bit inode in decimal.
constexpr size_t kOriginJournalNameLen = kPrefixLen + 24;

// The journal's file name for a log file of the set: "<prefix>.<inode>".
// False when it does not fit.
bool FormatOriginJournalName(char* pOut, size_t nSize, const char* pPrefix, uint64_t nInode);
// Opens the journal of the log file with inode nInode for reading: a
// descriptor, or -1 when there is none.
int OpenOriginJournal(const char* pLogDir, const char* pPrefix, uint64_t nInode);

// The writer's side: one journal at a time, that of the set's current file.
// Used by the set's writer thread only.
class COriginJournalWriter {
public:
    COriginJournalWriter();
    ~COriginJournalWriter();
    COriginJournalWriter(const COriginJournalWriter&) = delete;
    COriginJournalWriter& operator=(const COriginJournalWriter&) = delete;

    // The set's directory and prefix, and the most records a write carries;
    // makes the subdirectory. False when it cannot be made or opened (the set
    // then writes no journal).
    bool Init(const char* pLogDir, const char* pPrefix, uint32_t nMaxRecords);
    bool Enabled() const { return m_Dir.Valid(); }

    // The log file nLogFd now is the current file, holding llSize bytes: its
    // journal is opened (made when new, emptied when the file is empty) and
    // cut to those bytes.
    void Attach(int nLogFd, uint64_t llSize);
    void Detach() { m_File.Reset(); }

    // Before the write of a batch: records [0, nRecords) from llStart, record
    // i ending at pEnd[i] (bytes from llStart), from pFrom[i].
    void Record(uint64_t llStart, const uint32_t* pEnd, const RecordOrigin* pFrom,
                uint32_t nRecords);
    // After a write that did not keep all of it: the log file ends at llEnd.
    void Cut(uint64_t llEnd);
    void Sync();

    // Removes the journals of this prefix whose log file is none of
    // pInodes[0, nInodes).
    void Sweep(const uint64_t* pInodes, uint32_t nInodes);

private:
    void FillName(uint32_t nPid, char* pName);
    void Append(const uint8_t* pData, uint32_t nLen);
    void Abandon();

    struct NameCache {
        uint32_t nPid;
        int64_t llReadMs;
        char szName[kOriginNameLen + 1];
    };
    static constexpr uint32_t kNameCacheSize = 8;

    CUniqueFd m_Dir;
    CUniqueFd m_File;
    char m_szPrefix[kPrefixLen + 1];
    char m_szName[kOriginJournalNameLen];  // the current file's journal
    uint64_t m_llSize;                     // bytes of whole entries in m_File
    uint32_t m_nOwnUid;
    uint32_t m_nOwnPid;
    char m_szOwnName[kOriginNameLen + 1];
    NameCache m_aNames[kNameCacheSize];
    uint32_t m_nNextName;
    std::unique_ptr<uint8_t[]> m_pEntries;  // one batch's entries
    uint32_t m_nEntryRoom;
};

// The reader's side: finds the origin of the lines of one log file, read
// from its start towards its end (a step back starts the search again).
// Used by one thread.
class COriginJournalReader {
public:
    COriginJournalReader() = default;
    // Borrows nFd (a journal open for reading, or -1: none) until the next
    // Attach.
    void Attach(int nFd);
    // The origin of the line at llOffset of the log file; llDataEnd: how far
    // the file had been read when that line was, so that entries read since
    // are of records already written.
    void Find(uint64_t llOffset, uint64_t llDataEnd, LineOrigin* pOut);

private:
    bool Load(uint64_t nFirst, uint64_t llDataEnd);

    static constexpr uint32_t kBlockEntries = 128;
    int m_nFd = -1;
    uint64_t m_nFirst = 0;     // index of the first entry in the block
    uint32_t m_nCount = 0;     // entries in the block
    uint32_t m_nAt = 0;        // the entry of the last line found
    uint64_t m_llTrusted = 0;  // data end when the block was read
    uint8_t m_aBlock[kBlockEntries * kOriginEntrySize] = {};
};
