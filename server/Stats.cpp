#include "server/Stats.h"

#include "platform/UniqueFd.h"
#include "server/RecvLoop.h"

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

bool CollectStats(const RecvCounters& stRecv, uint64_t nOwnQueued, DaemonStats* pStats) {
    pStats->nReceived = stRecv.nReceived.load(std::memory_order_relaxed);
    pStats->nEmpty = stRecv.nEmpty.load(std::memory_order_relaxed);
    pStats->nLimitedUid = stRecv.nLimitedUid.load(std::memory_order_relaxed);
    pStats->nLimitedUdp = stRecv.nLimitedUdp.load(std::memory_order_relaxed);
    pStats->nOwnQueued = nOwnQueued;
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
    Put("syncs", stStats.stLog.nSyncs);
    Put("torn_bytes_cut", stStats.stLog.nTornBytes);
    for (uint32_t i = 0; i < kLossCauses; ++i) Put(kLossNames[i], stStats.stLog.nLost[i]);
    Put("dropped_limit_uid", stStats.nLimitedUid);
    Put("dropped_limit_udp", stStats.nLimitedUdp);
    const UpstreamStats& stFwd = stStats.stForward;
    if (stFwd.bActive != 0) {
        Put("forward_connected", stFwd.bConnected);
        Put("forwarded", stFwd.nForwarded);
        Put("forward_rotated_away", stFwd.nRotatedAway);
        Put("forward_rejected", stFwd.nRejected);
        Put("forward_sessions", stFwd.nSessions);
        Put("forward_state_unsaved", stFwd.bStateUnsaved);
        Put("forward_failed_attempts", stFwd.nFailedAttempts);
        // Why the collector cannot be reached, while it cannot.
        if (stFwd.szLastFailure[0] != '\0' && nAt + 1 < nSize) {
            const int n = std::snprintf(pOut + nAt, nSize - nAt, "forward_last_failure %s%s",
                                        stFwd.szLastFailure, pSep);
            if (n > 0) {
                nAt +=
                    static_cast<size_t>(n) < nSize - nAt ? static_cast<size_t>(n) : nSize - nAt - 1;
            }
        }
    }
    return nAt;
}

int WriteStatsFile(int nDirFd, const char* pText) {
    if (nDirFd < 0) return EBADF;
    char szTemp[64];
    (void)std::snprintf(szTemp, sizeof(szTemp), "%s.new", kStatsFileName);  // fits
    (void)unlinkat(nDirFd, szTemp, 0);                                      // a leftover of a crash
    // O_EXCL with O_NOFOLLOW and O_NONBLOCK: a name that appeared meanwhile is
    // not used, and no open follows a link or waits on a FIFO.
    CUniqueFd file(openat(nDirFd, szTemp,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          kStatsMode));
    if (!file.Valid()) return errno;
    // The daemon's umask (027) would keep other users from reading it.
    bool bWritten = fchmod(file.Get(), kStatsMode) == 0;
    const size_t nLen = std::strlen(pText);
    bWritten = bWritten && write(file.Get(), pText, nLen) == static_cast<ssize_t>(nLen);
    const int nErr = bWritten ? 0 : (errno != 0 ? errno : EIO);
    if (file.Close() != 0 || !bWritten) {
        (void)unlinkat(nDirFd, szTemp, 0);
        return nErr != 0 ? nErr : EIO;
    }
    if (renameat(nDirFd, szTemp, nDirFd, kStatsFileName) != 0) {
        const int nRenameErr = errno;
        (void)unlinkat(nDirFd, szTemp, 0);
        return nRenameErr;
    }
    return 0;
}

void RemoveStatsFile(int nDirFd) {
    if (nDirFd >= 0) (void)unlinkat(nDirFd, kStatsFileName, 0);  // absent when never written
}
