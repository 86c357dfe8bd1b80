#include "asynclog/OriginJournal.h"

#include "asynclog/LogConfig.h"
#include "asynclog/LogFileSet.h"
#include "platform/MonotonicClock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t kMagic[4] = {'Z', 'Q', 'O', '1'};
// Where an entry's fields lie (OriginJournal.h).
constexpr size_t kAtKind = 4;
constexpr size_t kAtStart = 8;
constexpr size_t kAtLen = 16;
constexpr size_t kAtUid = 20;
constexpr size_t kAtPid = 24;
constexpr size_t kAtName = 32;
constexpr int64_t kNameFreshMs = 1000;  // a pid's name is read again after this

void Put32(uint8_t* p, uint32_t n) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(n >> (8 * i));
}
void Put64(uint8_t* p, uint64_t n) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(n >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | p[i];
    return n;
}
uint64_t Get64(const uint8_t* p) {
    uint64_t n = 0;
    for (int i = 7; i >= 0; --i) n = (n << 8) | p[i];
    return n;
}

struct Entry {
    OriginKind eKind;
    uint64_t llStart;
    uint32_t nLen;
    uint32_t nUid;
    uint32_t nPid;
    const uint8_t* pName;  // 16 bytes
};

// False for what no writer wrote: zeros a file system left, a torn entry.
bool Decode(const uint8_t* p, Entry* pOut) {
    if (std::memcmp(p, kMagic, sizeof(kMagic)) != 0) return false;
    const uint32_t nKind = Get32(p + kAtKind);
    if (nKind < static_cast<uint32_t>(OriginKind::kLocal) ||
        nKind > static_cast<uint32_t>(OriginKind::kOwn)) {
        return false;
    }
    *pOut = {static_cast<OriginKind>(nKind),
             Get64(p + kAtStart),
             Get32(p + kAtLen),
             Get32(p + kAtUid),
             Get32(p + kAtPid),
             p + kAtName};
    return pOut->nLen > 0;
}

// The name of a process as /proc has it, without its line end; "" when it
// is gone or cannot be read.
void ReadProcessName(const char* pWhich, char* pOut) {
    pOut[0] = '\0';
    char szPath[40];
    (void)std::snprintf(szPath, sizeof(szPath), "/proc/%s/comm", pWhich);
    const CUniqueFd file(open(szPath, O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) return;
    const ssize_t nRead = read(file.Get(), pOut, kOriginNameLen + 1);
    size_t n = nRead > 0 ? static_cast<size_t>(nRead) : 0;
    if (n > kOriginNameLen) n = kOriginNameLen;
    while (n > 0 && pOut[n - 1] == '\n') --n;
    pOut[n] = '\0';
}

bool SameSender(const RecordOrigin& a, const RecordOrigin& b) {
    return a.eKind == b.eKind && a.nUid == b.nUid && a.nPid == b.nPid;
}

}  // namespace

bool FormatOriginJournalName(char* pOut, size_t nSize, const char* pPrefix, uint64_t nInode) {
    const int n =
        std::snprintf(pOut, nSize, "%s.%llu", pPrefix, static_cast<unsigned long long>(nInode));
    return n > 0 && static_cast<size_t>(n) < nSize;
}

int OpenOriginJournal(const char* pLogDir, const char* pPrefix, uint64_t nInode) {
    char szName[kOriginJournalNameLen];
    char szPath[kLogPathLen + sizeof(szName) + 16];
    if (!FormatOriginJournalName(szName, sizeof(szName), pPrefix, nInode)) return -1;
    const int n =
        std::snprintf(szPath, sizeof(szPath), "%s/%s/%s", pLogDir, kOriginDirName, szName);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(szPath)) return -1;
    return open(szPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

COriginJournalWriter::COriginJournalWriter()
    : m_szPrefix(),
      m_szName(),
      m_llSize(0),
      m_nOwnUid(0),
      m_nOwnPid(0),
      m_szOwnName(),
      m_aNames(),
      m_nNextName(0),
      m_nEntryRoom(0) {}

COriginJournalWriter::~COriginJournalWriter() = default;

bool COriginJournalWriter::Init(const char* pLogDir, const char* pPrefix, uint32_t nMaxRecords) {
    if (std::strlen(pPrefix) >= sizeof(m_szPrefix)) return false;
    const CUniqueFd logDir(open(pLogDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!logDir.Valid()) return false;
    if (mkdirat(logDir.Get(), kOriginDirName, kLogDirMode) != 0 && errno != EEXIST) return false;
    // No link is followed: the journals stay inside the set's directory.
    CUniqueFd dir(
        openat(logDir.Get(), kOriginDirName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.Valid()) return false;
    m_pEntries.reset(new (std::nothrow) uint8_t[size_t{nMaxRecords} * kOriginEntrySize]);
    if (m_pEntries == nullptr) return false;
    m_nEntryRoom = nMaxRecords;
    (void)std::snprintf(m_szPrefix, sizeof(m_szPrefix), "%s", pPrefix);
    m_nOwnUid = static_cast<uint32_t>(geteuid());
    ReadProcessName("self", m_szOwnName);
    m_Dir = std::move(dir);
    return true;
}

void COriginJournalWriter::Attach(int nLogFd, uint64_t llSize) {
    m_File.Reset();
    m_llSize = 0;
    struct stat stLog {};
    if (!Enabled() || fstat(nLogFd, &stLog) != 0 ||
        !FormatOriginJournalName(m_szName, sizeof(m_szName), m_szPrefix, stLog.st_ino)) {
        return;
    }
    m_nOwnPid = static_cast<uint32_t>(getpid());  // after a fork or a detach too
    CUniqueFd file(
        openat(m_Dir.Get(), m_szName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLogFileMode));
    struct stat stJournal {};
    if (!file.Valid() || fstat(file.Get(), &stJournal) != 0 || !S_ISREG(stJournal.st_mode)) return;
    m_File = std::move(file);
    // A torn last entry goes; Cut drops what the log file does not hold.
    m_llSize = llSize == 0
                   ? 0
                   : static_cast<uint64_t>(stJournal.st_size) / kOriginEntrySize * kOriginEntrySize;
    if (static_cast<uint64_t>(stJournal.st_size) != m_llSize &&
        ftruncate(m_File.Get(), static_cast<off_t>(m_llSize)) != 0) {
        Abandon();
        return;
    }
    Cut(llSize);
}

// A journal that cannot be kept right goes, so that what it holds is not
// taken for the origin of other records: the file's lines read as unrecorded.
void COriginJournalWriter::Abandon() {
    (void)unlinkat(m_Dir.Get(), m_szName, 0);
    m_File.Reset();
    m_llSize = 0;
}

void COriginJournalWriter::FillName(uint32_t nPid, char* pName) {
    const int64_t llNow = MonotonicMs();
    NameCache* pSlot = nullptr;
    for (NameCache& c : m_aNames) {
        if (c.nPid == nPid) pSlot = &c;
    }
    if (pSlot == nullptr || llNow - pSlot->llReadMs >= kNameFreshMs) {
        if (pSlot == nullptr) {
            pSlot = &m_aNames[m_nNextName];
            m_nNextName = (m_nNextName + 1) % kNameCacheSize;
        }
        char szPid[16];
        (void)std::snprintf(szPid, sizeof(szPid), "%u", nPid);
        ReadProcessName(szPid, pSlot->szName);
        pSlot->nPid = nPid;
        pSlot->llReadMs = llNow;
    }
    std::memcpy(pName, pSlot->szName, sizeof(pSlot->szName));
}

void COriginJournalWriter::Record(uint64_t llStart, const uint32_t* pEnd, const RecordOrigin* pFrom,
                                  uint32_t nRecords) {
    if (!m_File.Valid() || nRecords == 0) return;
    uint32_t nEntries = 0;
    uint32_t nRunStart = 0;  // bytes from llStart
    for (uint32_t i = 0; i < nRecords && nEntries < m_nEntryRoom; ++i) {
        const bool bLast = i + 1 == nRecords || !SameSender(pFrom[i], pFrom[i + 1]);
        if (!bLast) continue;
        uint8_t* p = m_pEntries.get() + static_cast<size_t>(nEntries++) * kOriginEntrySize;
        std::memset(p, 0, kOriginEntrySize);
        const RecordOrigin& from = pFrom[i];
        std::memcpy(p, kMagic, sizeof(kMagic));
        Put32(p + kAtKind, static_cast<uint32_t>(from.eKind));
        Put64(p + kAtStart, llStart + nRunStart);
        Put32(p + kAtLen, pEnd[i] - nRunStart);
        char* pName = reinterpret_cast<char*>(p + kAtName);
        if (from.eKind == OriginKind::kOwn) {
            Put32(p + kAtUid, m_nOwnUid);
            Put32(p + kAtPid, m_nOwnPid);
            std::memcpy(pName, m_szOwnName, sizeof(m_szOwnName));
        } else if (from.eKind == OriginKind::kLocal) {
            Put32(p + kAtUid, from.nUid);
            Put32(p + kAtPid, from.nPid);
            FillName(from.nPid, pName);
        }
        nRunStart = pEnd[i];
    }
    Append(m_pEntries.get(), nEntries * kOriginEntrySize);
}

// A journal that cannot take the entries (a full disk) leaves those records
// unrecorded: a torn entry is cut off, so the next ones line up again.
void COriginJournalWriter::Append(const uint8_t* pData, uint32_t nLen) {
    uint32_t nDone = 0;
    while (nDone < nLen) {
        const ssize_t n =
            pwrite(m_File.Get(), pData + nDone, nLen - nDone, static_cast<off_t>(m_llSize + nDone));
        if (n > 0) {
            nDone += static_cast<uint32_t>(n);
        } else if (n >= 0 || errno != EINTR) {
            break;
        }
    }
    if (nDone == nLen) {
        m_llSize += nLen;
    } else if (nDone > 0 && ftruncate(m_File.Get(), static_cast<off_t>(m_llSize)) != 0) {
        Abandon();
    }
}

// Entries that begin at or after llEnd go; one that runs past it ends there.
// They are at the journal's end (the last write's), so the look goes back
// from there.
void COriginJournalWriter::Cut(uint64_t llEnd) {
    if (!m_File.Valid()) return;
    const uint64_t llWas = m_llSize;
    uint8_t aEntry[kOriginEntrySize];
    while (m_llSize >= kOriginEntrySize) {
        const off_t nAt = static_cast<off_t>(m_llSize - kOriginEntrySize);
        if (pread(m_File.Get(), aEntry, sizeof(aEntry), nAt) !=
            static_cast<ssize_t>(sizeof(aEntry))) {
            break;
        }
        Entry e{};
        if (Decode(aEntry, &e) && e.llStart < llEnd) {
            if (e.llStart + e.nLen > llEnd) {
                Put32(aEntry + kAtLen, static_cast<uint32_t>(llEnd - e.llStart));
                if (pwrite(m_File.Get(), aEntry, sizeof(aEntry), nAt) !=
                    static_cast<ssize_t>(sizeof(aEntry))) {
                    Abandon();
                    return;
                }
            }
            break;
        }
        m_llSize -= kOriginEntrySize;
    }
    if (m_llSize != llWas && ftruncate(m_File.Get(), static_cast<off_t>(m_llSize)) != 0) {
        Abandon();
    }
}

void COriginJournalWriter::Sync() {
    if (m_File.Valid()) (void)fdatasync(m_File.Get());
}

void COriginJournalWriter::Sweep(const uint64_t* pInodes, uint32_t nInodes) {
    if (!Enabled()) return;
    const int nDup = fcntl(m_Dir.Get(), F_DUPFD_CLOEXEC, 0);
    DIR* pDir = nDup >= 0 ? fdopendir(nDup) : nullptr;
    if (pDir == nullptr) {
        if (nDup >= 0) (void)close(nDup);
        return;
    }
    rewinddir(pDir);  // the duplicate shares the position of earlier sweeps
    const size_t nPrefix = std::strlen(m_szPrefix);
    while (const dirent* pEnt = readdir(pDir)) {
        const char* pName = pEnt->d_name;
        if (std::strncmp(pName, m_szPrefix, nPrefix) != 0 || pName[nPrefix] != '.') continue;
        const char* pDigits = pName + nPrefix + 1;
        char* pEnd = nullptr;
        errno = 0;
        const unsigned long long nInode = std::strtoull(pDigits, &pEnd, 10);
        if (*pDigits < '0' || *pDigits > '9' || *pEnd != '\0' || errno != 0) continue;
        bool bHeld = false;
        for (uint32_t i = 0; i < nInodes && !bHeld; ++i) bHeld = pInodes[i] == nInode;
        if (!bHeld) (void)unlinkat(m_Dir.Get(), pName, 0);
    }
    closedir(pDir);
}

void COriginJournalReader::Attach(int nFd) {
    m_nFd = nFd;
    m_nFirst = 0;
    m_nCount = 0;
    m_nAt = 0;
    m_llTrusted = 0;
}

bool COriginJournalReader::Load(uint64_t nFirst, uint64_t llDataEnd) {
    m_nFirst = nFirst;
    m_nAt = 0;
    m_nCount = 0;
    m_llTrusted = llDataEnd;
    const ssize_t n =
        pread(m_nFd, m_aBlock, sizeof(m_aBlock), static_cast<off_t>(nFirst * kOriginEntrySize));
    const uint32_t nWhole = n > 0 ? static_cast<uint32_t>(n) / kOriginEntrySize : 0;
    Entry e{};
    while (m_nCount < nWhole && Decode(m_aBlock + m_nCount * kOriginEntrySize, &e)) ++m_nCount;
    return m_nCount > 0;
}

void COriginJournalReader::Find(uint64_t llOffset, uint64_t llDataEnd, LineOrigin* pOut) {
    *pOut = LineOrigin{{OriginKind::kUnrecorded, 0, 0}, {}};
    if (m_nFd < 0) return;
    Entry e{};
    auto StartOf = [&](uint32_t i) {
        (void)Decode(m_aBlock + i * kOriginEntrySize, &e);
        return e.llStart;
    };
    if (m_nCount > 0 && llOffset < StartOf(m_nAt)) {  // a step back: from the start again
        m_nFirst = 0;
        m_nAt = 0;
        m_nCount = 0;
    }
    // Entries read before the data of this line was are only sure for the
    // data read then: a write that failed may have been cut from the journal.
    if ((m_nCount == 0 || llOffset >= m_llTrusted) && !Load(m_nFirst + m_nAt, llDataEnd)) return;
    for (;;) {
        while (m_nAt + 1 < m_nCount && StartOf(m_nAt + 1) <= llOffset) ++m_nAt;
        if (m_nAt + 1 < m_nCount || m_nCount < kBlockEntries) break;
        // The block ends at the entry found: the next may begin at or before llOffset.
        if (!Load(m_nFirst + m_nAt, llDataEnd) || m_nCount == 1) break;
    }
    if (m_nCount == 0 || !Decode(m_aBlock + m_nAt * kOriginEntrySize, &e)) return;
    if (llOffset < e.llStart || llOffset - e.llStart >= e.nLen) return;
    pOut->stFrom = {e.eKind, e.nUid, e.nPid};
    std::memcpy(pOut->szName, e.pName, kOriginNameLen);
    pOut->szName[kOriginNameLen] = '\0';
}
