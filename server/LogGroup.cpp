#include "server/LogGroup.h"

#include "asynclog/LogConfig.h"
#include "asynclog/LogFileName.h"
#include "platform/DaemonPaths.h"
#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Gives one entry of the directory to the group, when it is root's and not
// a link.
void GiveEntry(int nDirFd, const char* pName, gid_t nGid) {
    struct stat st {};
    if (fstatat(nDirFd, pName, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode) ||
        st.st_uid != 0 || st.st_gid == nGid) {
        return;
    }
    if (fchownat(nDirFd, pName, static_cast<uid_t>(-1), nGid, AT_SYMLINK_NOFOLLOW) != 0) {
        return;  // the entry stays as it was; readers of the group miss it
    }
}

}  // namespace

bool TakeLogReadersGroup(gid_t* pGid) {
    if (geteuid() != 0) return false;
    long nBuf = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buf(nBuf > 0 ? static_cast<size_t>(nBuf) : 4096);
    struct group stGroup {};
    struct group* pFound = nullptr;
    while (getgrnam_r(kLogReadersGroup, &stGroup, buf.data(), buf.size(), &pFound) == ERANGE) {
        buf.resize(buf.size() * 2);
    }
    if (pFound == nullptr) return false;
    const gid_t nGid = pFound->gr_gid;
    if (getegid() != nGid && setgid(nGid) != 0) {
        std::fprintf(stderr, "%s: files stay group %u, not %s: %s\n", kLogServerName,
                     static_cast<unsigned>(getegid()), kLogReadersGroup, std::strerror(errno));
        return false;
    }
    *pGid = nGid;
    return true;
}

void GiveToLogReadersGroup(const char* pLogDir, const char* pPrefix, const char* pCfgName,
                           gid_t nGid) {
    const CUniqueFd dir(open(pLogDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.Valid()) return;
    struct stat st {};
    if (fstat(dir.Get(), &st) == 0 && st.st_uid == 0 && st.st_gid != nGid) {
        if (fchown(dir.Get(), static_cast<uid_t>(-1), nGid) != 0) return;  // no reader gets in
    }
    GiveEntry(dir.Get(), pCfgName, nGid);
    char szName[kPrefixLen + 16];
    for (uint32_t i = 0; i < kMaxLogFiles; ++i) {
        if (FormatLogFileName(szName, sizeof(szName), nullptr, pPrefix, i) > 0) {
            GiveEntry(dir.Get(), szName, nGid);
        }
    }
}
