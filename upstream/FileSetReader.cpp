#include "upstream/FileSetReader.h"

#include "asynclog/LogFileSet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr uint64_t kFnvOffset = 1469598103934665603ULL;
constexpr uint64_t kFnvPrime = 1099511628211ULL;
constexpr int kScanTries = 5;  // listings compared until two agree (a rotation is quick)
constexpr size_t kCountChunk = 64 * 1024;

uint64_t Fnv1a(const char* p, size_t n) {
    uint64_t h = kFnvOffset;
    for (size_t i = 0; i < n; ++i) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= kFnvPrime;
    }
    return h;
}

// Lines in nLen bytes, split as the reader splits them: at each LF, and in
// pieces of kMaxLineText. *pRun carries the length of the unfinished line.
uint64_t CountPieces(const char* p, size_t nLen, uint64_t* pRun) {
    uint64_t nCount = 0;
    const char* const pEnd = p + nLen;
    while (p < pEnd) {
        const char* pLf =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(pEnd - p)));
        const char* pStop = pLf != nullptr ? pLf : pEnd;
        *pRun += static_cast<uint64_t>(pStop - p);
        if (pLf == nullptr) break;
        nCount += *pRun <= kMaxLineText + 1 ? 1 : (*pRun + kMaxLineText - 1) / kMaxLineText;
        *pRun = 0;
        p = pLf + 1;
    }
    return nCount;
}

// The number of a file's first line, kept with the file (kFirstSeqAttr):
// 0 when it has none.
uint64_t ReadFirstSeq(int nFd) {
    char szValue[24];
    const ssize_t nLen = fgetxattr(nFd, kFirstSeqAttr, szValue, sizeof(szValue) - 1);
    if (nLen <= 0) return 0;
    szValue[nLen] = '\0';
    uint64_t nSeq = 0;
    for (ssize_t i = 0; i < nLen; ++i) {
        const char c = szValue[i];
        if (c < '0' || c > '9' || nSeq > (UINT64_MAX - 9) / 10) return 0;  // not ours
        nSeq = nSeq * 10 + static_cast<uint64_t>(c - '0');
    }
    return nSeq;
}

}  // namespace

CFileSetReader::CFileSetReader()
    : m_aszNames{},
      m_szDir{},
      m_szPrefix{},
      m_Origins(),
      m_nOriginsInode(0),
      m_aFiles{},
      m_nFiles(0),
      m_stPos{0, 0, 1, 0, 0},
      m_nRotatedAway(0),
      m_nBufStart(0),
      m_nBufLen(0),
      m_nBufPos(0),
      m_bPlacing(false),
      m_bMark(true) {}

CFileSetReader::~CFileSetReader() { Close(); }

int32_t CFileSetReader::Open(const char* pLogDir, const char* pPrefix, bool bMark) {
    Close();
    m_bMark = bMark;
    if (pLogDir == nullptr || pPrefix == nullptr) return kLogErrInvalid;
    for (uint32_t i = 0; i < kMaxLogFiles; ++i) {
        const int nLen = FormatLogFileName(m_aszNames[i], kPathLen, pLogDir, pPrefix, i);
        if (nLen < 0 || static_cast<size_t>(nLen) >= kPathLen) return kLogErrInvalid;
    }
    if (std::strlen(pLogDir) > kLogPathLen || std::strlen(pPrefix) > kPrefixLen) {
        return kLogErrInvalid;
    }
    (void)std::snprintf(m_szDir, sizeof(m_szDir), "%s", pLogDir);
    (void)std::snprintf(m_szPrefix, sizeof(m_szPrefix), "%s", pPrefix);
    if (!m_pBuf) m_pBuf.reset(new (std::nothrow) char[kBufSize]);
    if (!m_pBuf) return kLogErrResource;
    m_nRotatedAway = 0;
    m_stPos = StreamPos{0, 0, 1, 0, 0};
    return kLogOk;
}

void CFileSetReader::Close() {
    for (uint32_t i = 0; i < m_nFiles; ++i) {
        m_aFiles[i].fd.Reset();
        m_aFiles[i].journal.Reset();
    }
    m_nFiles = 0;
    m_Origins.Attach(-1);
    m_nOriginsInode = 0;
    ResetBuffer(0);
}

void CFileSetReader::ResetBuffer(uint64_t nFileOffset) {
    m_nBufStart = nFileOffset;
    m_nBufLen = 0;
    m_nBufPos = 0;
}

// The inode behind each name, oldest first (index N-1 first); 0 where no file
// is. False when the set kept changing while it was listed.
bool CFileSetReader::ListInodes(uint64_t* pInodes) {
    uint64_t aPrev[kMaxLogFiles];
    for (int nTry = 0; nTry < kScanTries; ++nTry) {
        for (uint32_t i = 0; i < kMaxLogFiles; ++i) {
            struct stat st {};
            // The slot for index i holds the name kMaxLogFiles-1-i: oldest first.
            const uint32_t nName = kMaxLogFiles - 1 - i;
            pInodes[i] = stat(m_aszNames[nName], &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
        }
        // A rotation renames the files one by one; a listing made meanwhile can
        // miss a file that moved from a name not yet looked at to one already
        // looked at. Two equal listings in a row saw no rename.
        if (nTry > 0 && std::memcmp(aPrev, pInodes, sizeof(aPrev)) == 0) return true;
        std::memcpy(aPrev, pInodes, sizeof(aPrev));
    }
    return false;
}

void CFileSetReader::RefreshHead(SetFile* pFile) {
    char aHead[kHeadLen];
    const ssize_t nRead = pread(pFile->fd.Get(), aHead, sizeof(aHead), 0);
    if (nRead < 0 || static_cast<uint32_t>(nRead) <= pFile->nHeadLen) return;
    pFile->nHeadLen = static_cast<uint32_t>(nRead);
    pFile->nHeadHash = Fnv1a(aHead, static_cast<size_t>(nRead));
}

bool CFileSetReader::HeadMatches(const SetFile& file, const StreamPos& pos) {
    if (pos.nHeadLen > kHeadLen) return false;
    char aHead[kHeadLen];
    const ssize_t nRead = pread(file.fd.Get(), aHead, pos.nHeadLen, 0);
    return nRead == static_cast<ssize_t>(pos.nHeadLen) &&
           Fnv1a(aHead, pos.nHeadLen) == pos.nHeadHash;
}

uint64_t CFileSetReader::CountLines(int nFd, uint64_t nFrom) {
    char aChunk[kCountChunk];
    uint64_t nCount = 0;
    uint64_t nRun = 0;
    uint64_t nAt = nFrom;
    for (;;) {
        const ssize_t nRead = pread(nFd, aChunk, sizeof(aChunk), static_cast<off_t>(nAt));
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead <= 0) break;  // an error counts what was read so far
        nCount += CountPieces(aChunk, static_cast<size_t>(nRead), &nRun);
        nAt += static_cast<uint64_t>(nRead);
    }
    if (nRun > 0) nCount += (nRun + kMaxLineText - 1) / kMaxLineText;
    return nCount;
}

// Opens the files of the listing not held yet, in their place by age. A file
// older than every held one is behind the reader and is left alone, except
// when nothing is held (the first scan, or an empty set).
void CFileSetReader::OpenNew(const uint64_t* pInodes) {
    const bool bTakeAll = m_nFiles == 0;
    int32_t nAfter = -1;  // position of the last held file seen in the listing
    for (uint32_t i = 0; i < kMaxLogFiles; ++i) {
        if (pInodes[i] == 0) continue;
        int32_t nHeld = -1;
        for (uint32_t k = 0; k < m_nFiles; ++k) {
            if (m_aFiles[k].fd.Valid() && m_aFiles[k].nInode == pInodes[i])
                nHeld = static_cast<int32_t>(k);
        }
        const int32_t nName = static_cast<int32_t>(kMaxLogFiles - 1 - i);
        if (nHeld >= 0) {
            m_aFiles[nHeld].nIndex = nName;
            nAfter = nHeld;
            continue;
        }
        if ((!bTakeAll && nAfter < 0) || m_nFiles == kMaxHeld) continue;
        // Never through a link, and never waiting for a writer of a FIFO: only
        // the files the engine made, which the inode check below confirms.
        CUniqueFd file(open(m_aszNames[nName], O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!file.Valid()) continue;  // gone since the listing: the next scan sees the set as it is
        struct stat st {};
        if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<uint64_t>(st.st_ino) != pInodes[i]) {
            continue;  // another file took the name meanwhile; the next scan sorts it out
        }
        const uint32_t nAt = static_cast<uint32_t>(nAfter + 1);
        std::move_backward(m_aFiles + nAt, m_aFiles + m_nFiles, m_aFiles + m_nFiles + 1);
        // The journal is opened with its file: a rotation that deletes the
        // file takes the journal's name too, not what the reader holds.
        m_aFiles[nAt] = SetFile{std::move(file),
                                CUniqueFd(OpenOriginJournal(m_szDir, m_szPrefix, pInodes[i])),
                                pInodes[i],
                                0,
                                0,
                                0,
                                nName};
        RefreshHead(&m_aFiles[nAt]);
        ++m_nFiles;
        nAfter = static_cast<int32_t>(nAt);
        if (nAt == 0) {
            m_stPos.nInode = pInodes[i];
            m_stPos.nOffset = 0;
            m_stPos.nHeadHash = m_aFiles[0].nHeadHash;
            m_stPos.nHeadLen = m_aFiles[0].nHeadLen;
            ResetBuffer(0);
            NumberFront();
        }
    }
}

// The file now read from its start: its lines are numbered from its mark
// when it has one (an earlier run numbered them so), and it is marked with
// the number its first line gets now when it has none. So a line keeps its
// number also when the state file was lost: numbering starts again at the
// mark of the oldest file. Marking may fail (a file system without extended
// attributes, a full one): the numbers then depend on the state file alone.
void CFileSetReader::NumberFront() {
    SetFile& f = m_aFiles[0];
    if (m_bPlacing || !f.fd.Valid()) return;
    const uint64_t nMarked = ReadFirstSeq(f.fd.Get());
    if (nMarked != 0) {
        m_stPos.nSeq = nMarked;
        return;
    }
    if (!m_bMark) return;
    char szValue[24];
    const int nLen = std::snprintf(szValue, sizeof(szValue), "%llu",
                                   static_cast<unsigned long long>(m_stPos.nSeq));
    // XATTR_CREATE: a mark, once made, is never changed.
    (void)fsetxattr(f.fd.Get(), kFirstSeqAttr, szValue, static_cast<size_t>(nLen), XATTR_CREATE);
}

void CFileSetReader::DropFront() {
    if (m_nFiles == 0) return;
    m_aFiles[0].fd.Reset();
    m_aFiles[0].journal.Reset();
    m_Origins.Attach(-1);
    m_nOriginsInode = 0;
    std::move(m_aFiles + 1, m_aFiles + m_nFiles, m_aFiles);
    --m_nFiles;
    ResetBuffer(0);
    m_stPos.nOffset = 0;
    if (m_nFiles > 0) {
        m_stPos.nInode = m_aFiles[0].nInode;
        m_stPos.nHeadHash = m_aFiles[0].nHeadHash;
        m_stPos.nHeadLen = m_aFiles[0].nHeadLen;
        NumberFront();
    } else {
        m_stPos.nInode = 0;
        m_stPos.nHeadHash = 0;
        m_stPos.nHeadLen = 0;
    }
}

// Tombstones at the front are passed: their lines keep their numbers.
void CFileSetReader::SettleFront() {
    while (m_nFiles > 0 && !m_aFiles[0].fd.Valid()) {
        m_stPos.nSeq += m_aFiles[0].nLost;
        DropFront();
    }
}

void CFileSetReader::Rescan() {
    uint64_t aInodes[kMaxLogFiles];
    (void)ListInodes(aInodes);  // an unsettled listing still serves; the next scan corrects it
    for (uint32_t k = 0; k < m_nFiles; ++k) {
        SetFile& f = m_aFiles[k];
        if (!f.fd.Valid()) continue;
        bool bListed = false;
        for (uint32_t i = 0; i < kMaxLogFiles && !bListed; ++i) bListed = aInodes[i] == f.nInode;
        if (bListed) continue;
        struct stat st {};
        if (fstat(f.fd.Get(), &st) == 0 && st.st_nlink > 0) {
            f.nIndex = -1;  // renamed out of the set, not deleted: read on
            continue;
        }
        // Deleted before it was read out: what is left in it is lost.
        f.nLost = CountLines(f.fd.Get(), k == 0 ? m_stPos.nOffset : 0);
        m_nRotatedAway += f.nLost;
        f.fd.Reset();
        f.journal.Reset();
        if (m_nOriginsInode == f.nInode) {
            m_Origins.Attach(-1);
            m_nOriginsInode = 0;
        }
    }
    SettleFront();
    OpenNew(aInodes);
}

int32_t CFileSetReader::Seek(const StreamPos* pCursor) {
    Close();
    m_stPos = StreamPos{0, 0, pCursor != nullptr ? pCursor->nSeq : 1, 0, 0};
    // Files are opened and passed while the place is looked for; only where
    // the reader stays is a file numbered.
    m_bPlacing = true;
    Rescan();
    if (pCursor != nullptr && pCursor->nInode != 0) {
        for (uint32_t k = 0; k < m_nFiles; ++k) {
            if (m_aFiles[k].nInode != pCursor->nInode || !HeadMatches(m_aFiles[k], *pCursor)) {
                continue;
            }
            while (k-- > 0) DropFront();
            m_bPlacing = false;
            struct stat st {};
            uint64_t nOffset = pCursor->nOffset;
            if (fstat(m_aFiles[0].fd.Get(), &st) == 0 &&
                nOffset > static_cast<uint64_t>(st.st_size)) {
                nOffset = static_cast<uint64_t>(st.st_size);  // the file was cut: go on at its end
            }
            m_stPos.nOffset = nOffset;
            m_stPos.nSeq = pCursor->nSeq;
            ResetBuffer(nOffset);
            if (nOffset == 0) NumberFront();
            return kSeekExact;
        }
    }
    // No cursor, or its file has left the set: the oldest line, numbered from
    // its file's mark. Lines between the cursor and that mark were rotated
    // away unsent and are counted; without a mark the numbers go on from the
    // cursor (or from 1).
    m_bPlacing = false;
    if (m_nFiles > 0) NumberFront();
    if (pCursor == nullptr || pCursor->nInode == 0) return kSeekExact;
    if (m_stPos.nSeq > pCursor->nSeq) m_nRotatedAway += m_stPos.nSeq - pCursor->nSeq;
    return kSeekCursorGone;
}

void CFileSetReader::SyncHeld() {
    for (uint32_t k = 0; k < m_nFiles; ++k) {
        // Read-only descriptors sync too; a failure only leaves the place
        // behind what the disk may hold after a cut, which Seek handles.
        if (m_aFiles[k].fd.Valid()) (void)fdatasync(m_aFiles[k].fd.Get());
    }
}

void CFileSetReader::TakeLine(StreamLine* pLine, uint32_t nTextLen, uint32_t nConsumed) {
    SetFile& f = m_aFiles[0];
    if (f.nHeadLen < kHeadLen) {
        RefreshHead(&f);
        if (m_stPos.nOffset == 0 || m_stPos.nHeadLen < f.nHeadLen) {
            m_stPos.nHeadHash = f.nHeadHash;
            m_stPos.nHeadLen = f.nHeadLen;
        }
    }
    if (m_nOriginsInode != f.nInode) {
        m_Origins.Attach(f.journal.Get());
        m_nOriginsInode = f.nInode;
    }
    m_Origins.Find(m_stPos.nOffset, m_nBufStart + m_nBufLen, &pLine->stOrigin);
    pLine->pText = m_pBuf.get() + m_nBufPos;
    pLine->nLen = nTextLen;
    pLine->stPos = m_stPos;
    m_nBufPos += nConsumed;
    m_stPos.nOffset += nConsumed;
    ++m_stPos.nSeq;
}

int32_t CFileSetReader::Next(StreamLine* pLine) {
    bool bLookedAtNames = false;
    for (;;) {
        SettleFront();
        if (m_nFiles == 0) return kReadCaughtUp;
        SetFile& f = m_aFiles[0];
        const char* p = m_pBuf.get() + m_nBufPos;
        const uint32_t nAvail = m_nBufLen - m_nBufPos;
        const uint32_t nLook = nAvail < kMaxLineText + 2 ? nAvail : kMaxLineText + 2;
        const char* pLf = static_cast<const char*>(std::memchr(p, '\n', nLook));
        if (pLf != nullptr) {
            uint32_t nText = static_cast<uint32_t>(pLf - p);
            if (nText > 0 && p[nText - 1] == '\r') --nText;
            if (nText <= kMaxLineText) {
                TakeLine(pLine, nText, static_cast<uint32_t>(pLf - p) + 1);
            } else {
                TakeLine(pLine, kMaxLineText, kMaxLineText);
            }
            return kReadLine;
        }
        if (nAvail >= kMaxLineText + 2) {
            TakeLine(pLine, kMaxLineText, kMaxLineText);  // a line too long for one message
            return kReadLine;
        }
        // Need more bytes: keep the unfinished line at the start of the buffer.
        if (m_nBufPos > 0) {
            std::memmove(m_pBuf.get(), p, nAvail);
            m_nBufStart += m_nBufPos;
            m_nBufLen = nAvail;
            m_nBufPos = 0;
        }
        // Decided before reading: once a newer file exists (or this one has left
        // the current name), nothing more is written to this one, so an end of
        // file found afterwards is its real end.
        const bool bNewer = m_nFiles > 1;
        const bool bFinished = bNewer || f.nIndex != 0;
        const ssize_t nRead = pread(f.fd.Get(), m_pBuf.get() + m_nBufLen, kBufSize - m_nBufLen,
                                    static_cast<off_t>(m_nBufStart + m_nBufLen));
        if (nRead > 0) {
            m_nBufLen += static_cast<uint32_t>(nRead);
            continue;
        }
        if (nRead < 0) {
            if (errno == EINTR) continue;
            return kReadError;
        }
        if (bFinished && m_nBufLen > 0) {
            // The file ends in a line without LF: it is complete as it is.
            uint32_t nText = m_nBufLen;
            if (m_pBuf[nText - 1] == '\r') --nText;
            TakeLine(pLine, nText, m_nBufLen);
            return kReadLine;
        }
        if (bNewer) {
            DropFront();
            continue;
        }
        // The last file held stays, also when it has been renamed: a scan that
        // finds no file held takes every file of the set as new.
        if (bLookedAtNames) return kReadCaughtUp;
        // At the end of what looks like the current file: has it been rotated?
        bLookedAtNames = true;
        struct stat st {};
        if (stat(m_aszNames[0], &st) == 0 && static_cast<uint64_t>(st.st_ino) == f.nInode) {
            return kReadCaughtUp;
        }
        Rescan();
    }
}
