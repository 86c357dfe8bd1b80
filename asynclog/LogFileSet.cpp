#include "asynclog/LogFileSet.h"

#include "asynclog/RingBuffer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr size_t kPathBuf = 512;  // directory + "/" + name
constexpr mode_t kDirMode = 0775;
constexpr size_t kStdioBufSize = 64 * 1024;  // one write() carries many records

// Copies a text of at most nMax characters into a zeroed array of nMax + 1.
void CopyText(char* pDst, size_t nMax, const char* pSrc) {
    std::memset(pDst, 0, nMax + 1);
    std::memcpy(pDst, pSrc, std::strlen(pSrc));
}

// A text that fills its slot has no terminator: nDataLen bounds it. A NUL
// inside the text ends it, as for any C string.
size_t SlotTextLength(const RingSlot* pSlot) {
    return strnlen(reinterpret_cast<const char*>(pSlot->pBuffer), pSlot->nDataLen);
}

}  // namespace

void CLogFileSet::FileCloser::operator()(FILE* pFile) const {
    (void)std::fclose(pFile);  // the writer flushed and checked every record
}

CLogFileSet::CLogFileSet(CLossCounters& lost)
    : m_Lost(lost),
      m_szLogPath(),
      m_szPrefix(),
      m_szFileName(),
      m_nFileNum(kMinLogFiles),
      m_bNamed(false),
      m_llMaxFileSize(FileSizeBytes(kDefaultFileSizeMiB)),
      m_llFilePos(0) {}

CLogFileSet::~CLogFileSet() = default;

int32_t CLogFileSet::Init(const char* pLogPath, const char* pPrefix) {
    if (pLogPath == nullptr || std::strlen(pLogPath) > kLogPathLen) return kFileSetErrInvalid;
    CZQLockGuard guard(m_Lock);
    const int32_t nRet = BuildFileNamesLocked(pPrefix);
    if (nRet != kFileSetOk) return nRet;
    CopyText(m_szLogPath, kLogPathLen, pLogPath);
    m_bNamed = true;
    return kFileSetOk;
}

int32_t CLogFileSet::BuildFileNamesLocked(const char* pPrefix) {
    if (pPrefix == nullptr || *pPrefix == '\0' || std::strlen(pPrefix) > kPrefixLen) {
        return kFileSetErrInvalid;
    }
    // The prefix may be m_szPrefix itself (SetFileNum builds the names again
    // from it): take a copy before the member is cleared.
    char szPrefix[kPrefixLen + 1];
    CopyText(szPrefix, kPrefixLen, pPrefix);
    CopyText(m_szPrefix, kPrefixLen, szPrefix);
    for (uint32_t i = 0; i < kMaxLogFiles; ++i) {
        std::memset(m_szFileName[i], 0, sizeof(m_szFileName[i]));
        if (i < m_nFileNum) {
            (void)std::snprintf(m_szFileName[i], sizeof(m_szFileName[i]), "%s_0%u.log", m_szPrefix,
                                i);  // 128 + 7 characters always fit
        }
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
        if (access(pCopy, F_OK) != 0 && mkdir(pCopy, kDirMode) != 0 && errno != EEXIST) {
            std::free(pCopy);
            return kFileSetErrNoFile;
        }
        pCopy[i] = '/';
    }
    const int nRet = mkdir(pCopy, kDirMode);
    std::free(pCopy);
    return nRet == 0 ? kFileSetOk : -1;  // -1 also when the directory already exists
}

int32_t CLogFileSet::OpenLogFile(const char* pFileName, uint32_t bAppend) {
    if (pFileName == nullptr || bAppend > 1) return kFileSetErrInvalid;
    if (std::strlen(pFileName) > kMaxOpenName) return kFileSetErrNameTooLong;

    char szName[kMaxOpenName + 1];
    CopyText(szName, kMaxOpenName, pFileName);
    (void)CreateLogDir(m_szLogPath);  // a level that cannot be made shows as a failed open

    char szPath[kPathBuf];
    (void)std::snprintf(szPath, sizeof(szPath), "%s/%s", m_szLogPath, szName);  // 256+1+127 fit
    m_pFile.reset(std::fopen(szPath, bAppend != 0 ? "ab+" : "wb+"));
    if (m_pFile == nullptr) return kFileSetErrNoFile;

    // The writer hands many records to one write(); the buffer is the set's.
    if (m_pStdioBuf == nullptr) m_pStdioBuf.reset(new (std::nothrow) char[kStdioBufSize]);
    if (m_pStdioBuf != nullptr) {
        (void)std::setvbuf(m_pFile.get(), m_pStdioBuf.get(), _IOFBF,
                           kStdioBufSize);  // else stdio's own
    }
    struct stat st {};
    m_llFilePos = fstat(fileno(m_pFile.get()), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return kFileSetOk;
}

int32_t CLogFileSet::OpenCurrent() {
    CZQLockGuard guard(m_Lock);
    return OpenLogFile(m_szFileName[0], 1);
}

void CLogFileSet::Close() { m_pFile.reset(); }

int32_t CLogFileSet::SetFileNum(uint32_t nNum) {
    if (nNum < kMinLogFiles || nNum > kMaxLogFiles) return kFileSetErrInvalid;
    CZQLockGuard guard(m_Lock);
    const bool bRebuild = nNum != m_nFileNum && m_bNamed;
    m_nFileNum = nNum;
    return bRebuild ? BuildFileNamesLocked(m_szPrefix) : kFileSetOk;
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
// files that exist. Afterwards SDK_00.log does not exist; the caller creates it.
int32_t CLogFileSet::RotateLogFilesLocked() {
    char szFrom[kPathBuf];
    char szTo[kPathBuf];
    for (int32_t i = static_cast<int32_t>(m_nFileNum) - 1; i >= 0; --i) {
        if (m_szFileName[i][0] == '\0') continue;
        (void)std::snprintf(szFrom, sizeof(szFrom), "%s/%s", m_szLogPath, m_szFileName[i]);
        if (access(szFrom, F_OK) != 0) continue;
        if (i == static_cast<int32_t>(m_nFileNum) - 1) {
            (void)std::remove(szFrom);  // a file that stays is overwritten by the rename below
            continue;
        }
        (void)std::snprintf(szTo, sizeof(szTo), "%s/%s", m_szLogPath, m_szFileName[i + 1]);
        (void)std::remove(szTo);  // usually already gone; rename reports what matters
        // A failed rename ends the rotation; the moves made so far stay made.
        if (std::rename(szFrom, szTo) < 0) return kFileSetErrInvalid;
    }
    return kFileSetOk;
}

// Flushes what stdio holds. Records whose bytes did not reach the file (a full
// disk, an I/O error) are counted as lost.
void CLogFileSet::FlushChecked(uint32_t nRecords) {
    if (std::fflush(m_pFile.get()) != 0 || std::ferror(m_pFile.get()) != 0) {
        m_Lost.Add(LossCause::kWriteFailed, nRecords);
        std::clearerr(m_pFile.get());
    }
}

// The current file reached the size limit: close it, shift the set and start
// an empty current file. When a rename fails the current file is reopened for
// appending and the next size check tries again; when the new file cannot be
// created, no file is open and the loop reopens it before the next record.
// Every record written so far has already been released, so none is written
// twice.
void CLogFileSet::RotateCurrentFile() {
    Close();  // flushed and checked just before
    CZQLockGuard guard(m_Lock);
    if (RotateLogFilesLocked() == kFileSetOk) {
        (void)OpenLogFile(m_szFileName[0], 0);
    } else {
        (void)OpenLogFile(m_szFileName[0], 1);
    }
}

// Writes the records that are ready, up to nMax, then flushes once: one write()
// for many records, and every record on disk before the writer waits again. The
// size check follows every record, so rotation happens at record boundaries and
// a rotated file holds at least the limit and less than the limit plus one
// record.
uint32_t CLogFileSet::Consume(CLogQueue& queue, uint32_t nMax) {
    uint32_t nDone = 0;
    uint32_t nUnflushed = 0;
    RingSlot* pSlot = nullptr;
    while (nDone < nMax && (pSlot = queue.GetReadSlot()) != nullptr) {
        const size_t nLen = SlotTextLength(pSlot);
        if (nLen > 0) {
            (void)std::fwrite(pSlot->pBuffer, nLen, 1, m_pFile.get());  // errors: see FlushChecked
        }
        m_llFilePos += nLen;
        // stdio holds the bytes now: the slot can go back to the producer.
        (void)queue.PopRead();
        ++nDone;
        ++nUnflushed;
        if (m_llFilePos >= m_llMaxFileSize.load(std::memory_order_relaxed)) {
            FlushChecked(nUnflushed);
            nUnflushed = 0;
            RotateCurrentFile();
            if (m_pFile == nullptr) return nDone;
        }
    }
    if (nUnflushed > 0) FlushChecked(nUnflushed);
    return nDone;
}
