#pragma once

#include "asynclog/OriginJournal.h"
#include "asynclog/ZIdOrereDov.h"
#include "platform/UniqueFd.h"
#include "upstream/SyslogFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// A place in the daemon's stream of lines: the file by inode (and a hash of its
// first bytes, so that a reused inode is not taken for the old file), the byte
// offset of a line in it, and that line's sequence number.
struct StreamPos {
    uint64_t nInode;  // 0: no file yet (the set was empty)
    uint64_t nOffset;
    uint64_t nSeq;       // 1 for the first line ever read
    uint64_t nHeadHash;  // FNV-1a of the file's first nHeadLen bytes
    uint32_t nHeadLen;   // up to kHeadLen; fewer while the file was shorter
};

// One line handed out by Next: its text without CR LF and where it lies.
struct StreamLine {
    const char* pText;    // valid until the next call of the reader
    uint32_t nLen;        // at most kMaxLineText
    StreamPos stPos;      // the line's own place (resuming there reads it again)
    LineOrigin stOrigin;  // its sender, from its file's origin journal
};

// The extended attribute of a file of the set that holds the number of its
// first line (decimal text), written by the reader when it first reads it.
constexpr const char* kFirstSeqAttr = "user.zqlog.seq";

// Results of CFileSetReader.
constexpr int32_t kReadLine = 1;        // Next filled a line
constexpr int32_t kReadCaughtUp = 0;    // nothing more to read now
constexpr int32_t kReadError = -1;      // a read failed (errno); try again later
constexpr int32_t kSeekExact = 0;       // Seek found its place
constexpr int32_t kSeekCursorGone = 1;  // the cursor's file left the set: oldest line

// Reads the rotating file set of the log engine, oldest line first, across
// rotations:
//
//   <prefix>_00.log -> <prefix>_01.log -> ... -> <prefix>_0(N-1).log -> deleted
//
// (the names are the engine's, made by FormatLogFileName of
// asynclog/LogFileSet.h). A file is known by its inode, so a rename does not
// disturb the reader; it keeps the file it reads, and every newer one, open.
// The file being read is finished when a newer file exists: the engine starts
// a new current file only after the old one was flushed and renamed. The
// current file may end in a line not yet complete (a record need not end its
// line, and a write of the engine may be caught half done); it is read once
// its LF has come, or as it is when the file turned out to be finished.
//
// When rotation deletes a file before it was read to its end, the lines left
// in it are counted (RotatedAway) and skipped: the sequence numbers go on as if
// they had been read, so a collector sees the gap. Lines longer than
// kMaxLineText come out in pieces, each with a number of its own.
//
// Used by one thread; not thread-safe.
class CFileSetReader {
public:
    CFileSetReader();
    ~CFileSetReader();
    CFileSetReader(const CFileSetReader&) = delete;
    CFileSetReader& operator=(const CFileSetReader&) = delete;

    // The set's directory and file prefix. 0; -5 a null or too long a name;
    // -6 no memory for the buffer. bMark false: the files are never marked
    // (kFirstSeqAttr), for a reader that must not write to the set; their
    // lines are then numbered from the marks there are.
    int32_t Open(const char* pLogDir, const char* pPrefix, bool bMark = true);
    // Closes every file.
    void Close();

    // Places the reader at *pCursor; null: the oldest line of the set, number 1.
    // kSeekExact, or kSeekCursorGone when the cursor's file is no longer in the
    // set (the reader then starts at the oldest line). Lines are numbered from
    // the mark of their file (kFirstSeqAttr) where it has one, so a line read
    // again keeps its number without a cursor too; the lines between a gone
    // cursor and that mark count as rotated away.
    int32_t Seek(const StreamPos* pCursor);

    // Looks at the names of the set again: opens new files, counts and drops
    // those deleted. Cheap enough for every rotation; Next calls it itself
    // when the current file is at its end and no longer the set's current file.
    void Rescan();

    // kReadLine with *pLine filled, kReadCaughtUp, or kReadError.
    int32_t Next(StreamLine* pLine);

    // The files it holds open reach the disk (fdatasync): a place saved
    // after this points at data a power cut cannot take.
    void SyncHeld();

    // The place of the next line to be read.
    const StreamPos& Position() const { return m_stPos; }
    // Lines deleted by rotation before they were read, since Open; a Seek to a
    // cursor that has left the set adds those between it and the oldest line.
    uint64_t RotatedAway() const { return m_nRotatedAway; }

    // The files held, oldest first ([0] is the one read; after Seek(nullptr)
    // every file of the set), for a reader that looks at them from their end:
    // the descriptor of file k (-1 for one deleted before it was read out),
    // and the place of the byte nOffset of it, which Seek takes.
    uint32_t HeldCount() const { return m_nFiles; }
    int HeldFd(uint32_t k) const { return m_aFiles[k].fd.Get(); }
    StreamPos HeldPlace(uint32_t k, uint64_t nOffset) const {
        return StreamPos{m_aFiles[k].nInode, nOffset, m_stPos.nSeq, m_aFiles[k].nHeadHash,
                         m_aFiles[k].nHeadLen};
    }

    static constexpr uint32_t kHeadLen = 64;
    static constexpr uint32_t kBufSize = 64 * 1024;  // > kMaxLineText + 2

private:
    struct SetFile {
        CUniqueFd fd;       // read-only; none: deleted before it was read out (a tombstone)
        CUniqueFd journal;  // its origin journal, held with it; none: there is none
        uint64_t nInode;
        uint64_t nLost;  // a tombstone's unread lines
        uint64_t nHeadHash;
        uint32_t nHeadLen;
        int32_t nIndex;  // its name's index at the last scan; -1 not seen
    };
    static constexpr uint32_t kMaxHeld = 2 * kMaxLogFiles;
    static constexpr size_t kPathLen = kLogPathLen + kPrefixLen + 16;

    bool ListInodes(uint64_t* pInodes);
    void OpenNew(const uint64_t* pInodes);
    void DropFront();
    void SettleFront();
    void ResetBuffer(uint64_t nFileOffset);
    void RefreshHead(SetFile* pFile);
    bool HeadMatches(const SetFile& file, const StreamPos& pos);
    uint64_t CountLines(int nFd, uint64_t nFrom);
    void TakeLine(StreamLine* pLine, uint32_t nTextLen, uint32_t nConsumed);
    void NumberFront();

    char m_aszNames[kMaxLogFiles][kPathLen];
    char m_szDir[kLogPathLen + 1];
    char m_szPrefix[kPrefixLen + 1];
    COriginJournalReader m_Origins;  // of m_aFiles[0]
    uint64_t m_nOriginsInode;        // whose journal m_Origins reads; 0 none
    SetFile m_aFiles[kMaxHeld];      // [0] is read; the rest are newer, oldest first
    uint32_t m_nFiles;
    StreamPos m_stPos;
    uint64_t m_nRotatedAway;
    std::unique_ptr<char[]> m_pBuf;  // kBufSize bytes of m_aFiles[0] from m_nBufStart
    uint64_t m_nBufStart;
    uint32_t m_nBufLen;
    uint32_t m_nBufPos;  // the next line starts here
    bool m_bPlacing;     // Seek looks for its place: files are not numbered
    bool m_bMark;        // files without a mark get one (Open)
};
