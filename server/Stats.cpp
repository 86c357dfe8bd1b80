#include "server/Stats.h"

#include "server/MessageRecv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr mode_t kStatsMode = 0644;  // anyone may read the figures

// The names of the drop counters, in the order of LossCause.
constexpr const char* kLossNames[kLossCauses] = {"dropped_ring_full", "dropped_too_long",
                                                 "dropped_write_failed", "dropped_send_failed",
                                                 "dropped_socket_full"};

}  // namespace

std::atomic<uint64_t> g_nOwnQueued{0};

bool CollectStats(DaemonStats* pStats) {
    pStats->nReceived = g_nRecvDatagrams.load(std::memory_order_relaxed);
    pStats->nEmpty = g_nRecvEmpty.load(std::memory_order_relaxed);
    pStats->nOwnQueued = g_nOwnQueued.load(std::memory_order_relaxed);
    return GetLogStats(&pStats->stLog);
}

size_t FormatStats(const DaemonStats& stStats, const char* pSep, char* pOut, size_t nSize) {
    size_t nAt = 0;
    auto Put = [&](const char* pName, uint64_t nValue) {
        if (nAt + 1 >= nSize) return;
        const int n = std::snprintf(pOut + nAt, nSize - nAt, "%s %llu%s", pName,
                                    static_cast<unsigned long long>(nValue), pSep);
        if (n > 0)
            nAt += static_cast<size_t>(n) < nSize - nAt ? static_cast<size_t>(n) : nSize - nAt - 1;
    };
    Put("received", stStats.nReceived);
    Put("empty", stStats.nEmpty);
    Put("written", stStats.stLog.nWritten);
    Put("own", stStats.stLog.nOwn + stStats.nOwnQueued);
    Put("rotations", stStats.stLog.nRotations);
    for (uint32_t i = 0; i < kLossCauses; ++i) Put(kLossNames[i], stStats.stLog.nLost[i]);
    const UpstreamStats& stFwd = stStats.stForward;
    if (stFwd.bActive != 0) {
        Put("forward_connected", stFwd.bConnected);
        Put("forwarded", stFwd.nForwarded);
        Put("forward_rotated_away", stFwd.nRotatedAway);
        Put("forward_rejected", stFwd.nRejected);
        Put("forward_sessions", stFwd.nSessions);
        Put("forward_state_unsaved", stFwd.bStateUnsaved);
    }
    return nAt;
}

int WriteStatsFile(const char* pPath, const char* pText) {
    char szTemp[256];
    if (std::snprintf(szTemp, sizeof(szTemp), "%s.new", pPath) >=
        static_cast<int>(sizeof(szTemp))) {
        return ENAMETOOLONG;
    }
    (void)unlink(szTemp);  // a leftover of a crash, or a name someone planted
    const int nFd = open(szTemp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStatsMode);
    if (nFd < 0) return errno;
    const size_t nLen = std::strlen(pText);
    const bool bWritten = write(nFd, pText, nLen) == static_cast<ssize_t>(nLen);
    const int nErr = bWritten ? 0 : (errno != 0 ? errno : EIO);
    if (close(nFd) != 0 || !bWritten) {
        (void)unlink(szTemp);
        return nErr != 0 ? nErr : EIO;
    }
    if (rename(szTemp, pPath) != 0) {
        const int nRenameErr = errno;
        (void)unlink(szTemp);
        return nRenameErr;
    }
    return 0;
}
