#include "server/StartGuard.h"

#include "platform/DaemonPaths.h"
#include "platform/UniqueFd.h"
#include "platform/WireContract.h"
#include "server/TrustedDir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void ReportLock(int32_t nRet, const CInstanceLock& lock) {
    if (nRet == kLockHeld) {
        std::fprintf(stderr, "%s: another %s is already running (lock %s is held); not starting\n",
                     kLogServerName, kLogServerName, lock.Where());
    } else {
        std::fprintf(stderr, "%s: cannot take the instance lock %s: %s; not starting\n",
                     kLogServerName, lock.Where(), lock.Why());
    }
}

}  // namespace

bool PrepareStart(CInstanceLock* pLock, const char* pLogDir, bool (*pfnAfterLock)(void*),
                  void* pContext) {
    int32_t nLock = pLock->Acquire();
    if (nLock != kLockOk && nLock != kLockNoRunDir) {
        ReportLock(nLock, *pLock);
        return false;
    }
    if (pfnAfterLock != nullptr && !pfnAfterLock(pContext)) return false;
    const bool bRoot = geteuid() == 0;
    char szWhy[320];
    int nDirFd = -1;
    const int32_t nDir =
        PrepareTrustedDir(pLogDir, kDaemonDirMode, kDirCreateParents | (bRoot ? kDirCheck : 0u),
                          szWhy, sizeof(szWhy), nLock == kLockNoRunDir ? &nDirFd : nullptr);
    if (nDir == kDirUntrusted) {
        std::fprintf(stderr, "%s: refusing the log directory %s: %s; not starting\n",
                     kLogServerName, pLogDir, szWhy);
        return false;
    }
    if (nLock == kLockOk) return true;
    if (nDir != kDirTrusted) {
        std::fprintf(stderr,
                     "%s: no place for the instance lock: %s: %s; log directory %s: %s; "
                     "not starting\n",
                     kLogServerName, pLock->Where(), pLock->Why(), pLogDir, szWhy);
        return false;
    }
    nLock = pLock->AcquireIn(CUniqueFd(nDirFd), pLogDir);
    if (nLock != kLockOk) {
        ReportLock(nLock, *pLock);
        return false;
    }
    return true;
}

FILE* OpenStartFile(const char* pPath) {
    // Nothing is read or written through it unless the stream takes it over.
    CUniqueFd file(open(pPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file.Valid()) {
        if (errno != ENOENT) {
            std::fprintf(stderr, "%s: ignoring %s: %s\n", kLogServerName, pPath,
                         std::strerror(errno));
        }
        return nullptr;
    }
    struct stat st {};
    const char* pWhy = nullptr;
    const uid_t nSelf = geteuid();
    if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        pWhy = "not a regular file";
    } else if (nSelf == 0 && st.st_uid != 0) {
        pWhy = "it belongs to another user";
    } else if (nSelf == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        pWhy = "group or others may write it";
    }
    FILE* pFile = pWhy == nullptr ? fdopen(file.Get(), "rb") : nullptr;
    if (pFile != nullptr) {
        (void)file.Release();  // the stream's now
    } else if (pWhy != nullptr) {
        std::fprintf(stderr, "%s: ignoring %s: %s\n", kLogServerName, pPath, pWhy);
    }
    return pFile;
}
