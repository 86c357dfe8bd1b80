#include "upstream/CursorFile.h"

#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kStateTextLen = 512;

bool ReadKey(const char* pText, const char* pKey, int nBase, uint64_t* pValue) {
    char szNeedle[32];
    (void)std::snprintf(szNeedle, sizeof(szNeedle), "\n%s=", pKey);
    const char* pAt = std::strstr(pText, szNeedle);
    if (pAt == nullptr) return false;
    pAt += std::strlen(szNeedle);
    char* pEnd = nullptr;
    errno = 0;
    const unsigned long long nValue = std::strtoull(pAt, &pEnd, nBase);
    if (pEnd == pAt || *pEnd != '\n' || errno != 0) return false;
    *pValue = nValue;
    return true;
}

bool WriteAll(int nFd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t nDone = write(nFd, p, n);
        if (nDone < 0 && errno == EINTR) continue;
        if (nDone <= 0) return false;
        p += nDone;
        n -= static_cast<size_t>(nDone);
    }
    return true;
}

}  // namespace

CCursorFile::CCursorFile() : m_szPath{}, m_szTmpPath{}, m_szDir{} {}

int32_t CCursorFile::SetPath(const char* pLogDir, const char* pPrefix) {
    const int nLen =
        std::snprintf(m_szPath, kPathLen, "%s/%s%s", pLogDir, pPrefix, kCursorFileSuffix);
    const int nTmp = std::snprintf(m_szTmpPath, kPathLen, "%s.tmp", m_szPath);
    const int nDir = std::snprintf(m_szDir, kPathLen, "%s", pLogDir);
    if (nLen < 0 || nTmp < 0 || nDir < 0 || static_cast<size_t>(nTmp) >= kPathLen) {
        m_szPath[0] = '\0';
        return -5;
    }
    return 0;
}

int32_t CCursorFile::Load(CursorState* pState) const {
    std::memset(pState, 0, sizeof(*pState));
    char szText[kStateTextLen + 2];
    ssize_t nRead = 0;
    {
        // Read-only: closing it loses nothing.
        const CUniqueFd file(open(m_szPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!file.Valid()) return errno == ENOENT ? kCursorNone : kCursorDamaged;
        szText[0] = '\n';  // every key, the first too, follows a line end
        nRead = read(file.Get(), szText + 1, kStateTextLen);
    }
    if (nRead <= 0) return kCursorDamaged;
    szText[nRead + 1] = '\0';
    uint64_t nHeadLen = 0;
    CursorState st{};
    if (!ReadKey(szText, "inode", 10, &st.stPos.nInode) ||
        !ReadKey(szText, "offset", 10, &st.stPos.nOffset) ||
        !ReadKey(szText, "seq", 10, &st.stPos.nSeq) || !ReadKey(szText, "headlen", 10, &nHeadLen) ||
        !ReadKey(szText, "headhash", 16, &st.stPos.nHeadHash) ||
        !ReadKey(szText, "lost", 10, &st.nLost) || nHeadLen > CFileSetReader::kHeadLen ||
        st.stPos.nSeq == 0) {
        return kCursorDamaged;
    }
    st.stPos.nHeadLen = static_cast<uint32_t>(nHeadLen);
    *pState = st;
    return kCursorOk;
}

int32_t CCursorFile::Save(const CursorState& state) const {
    char szText[kStateTextLen];
    const int nLen =
        std::snprintf(szText, sizeof(szText),
                      "inode=%" PRIu64 "\noffset=%" PRIu64 "\nseq=%" PRIu64 "\nheadlen=%" PRIu32
                      "\nheadhash=%016" PRIx64 "\nlost=%" PRIu64 "\n",
                      state.stPos.nInode, state.stPos.nOffset, state.stPos.nSeq,
                      state.stPos.nHeadLen, state.stPos.nHeadHash, state.nLost);
    if (nLen <= 0 || static_cast<size_t>(nLen) >= sizeof(szText)) return kCursorIoError;
    // Made afresh: a leftover of a crash, or anything else under the name, is
    // removed first, and a link is never followed.
    (void)unlink(m_szTmpPath);
    CUniqueFd file(open(m_szTmpPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file.Valid()) return kCursorIoError;
    const bool bWritten =
        WriteAll(file.Get(), szText, static_cast<size_t>(nLen)) && fsync(file.Get()) == 0;
    const int nErr = errno;
    // A written file: its close is checked, as the last word on the data.
    if (close(file.Release()) != 0 || !bWritten) {
        (void)unlink(m_szTmpPath);  // the old state stays as it was
        errno = nErr;
        return kCursorIoError;
    }
    if (rename(m_szTmpPath, m_szPath) != 0) return kCursorIoError;
    // The rename itself reaches the disk with the directory.
    const CUniqueFd dir(open(m_szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) {
        (void)fsync(dir.Get());  // some file systems refuse it for directories; the rename stands
    }
    return kCursorOk;
}
