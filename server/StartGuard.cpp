#include "server/StartGuard.h"

#include "platform/WireContract.h"
#include "server/TrustedDir.h"

#include <unistd.h>

#include <cstdio>

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

bool PrepareStart(CInstanceLock* pLock, const char* pLogDir) {
    int32_t nLock = pLock->Acquire();
    if (nLock != kLockOk && nLock != kLockNoRunDir) {
        ReportLock(nLock, *pLock);
        return false;
    }
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
    nLock = pLock->AcquireIn(nDirFd, pLogDir);
    if (nLock != kLockOk) {
        ReportLock(nLock, *pLock);
        return false;
    }
    return true;
}
