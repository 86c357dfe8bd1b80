#pragma once

#include "logmodule/LogModuleExt.h"
#include "platform/DaemonPaths.h"
#include "upstream/UpstreamStats.h"

#include <cstddef>
#include <cstdint>

// The daemon's statistics: datagrams received, records written (its own
// among them), rotations, records dropped by cause and, while forwarding is
// configured, what the sender forwarded and lost. They are in a small
// text file, rewritten about once a second while the daemon runs (written
// aside and renamed over, so a reader never sees half of it), which
// `zqlog --stats` prints; and in one record of the daemon's own on SIGUSR1 and
// at the stop. The file lies beside the pid file, in the directory the
// instance lock found trusted (InstanceLock.h): the run directory, or the log
// directory where there is none.

struct DaemonStats {
    uint64_t nReceived;
    uint64_t nEmpty;       // of those, datagrams without text: nothing to write
    uint64_t nLimitedUid;  // dropped for their sender's fair share: a user of the local intake
    uint64_t nLimitedUdp;  // and over UDP
    uint64_t nOwnQueued;   // records of the daemon's own it queued (start, statistics)
    LogStats stLog;
    UpstreamStats stForward;  // all 0 while nothing is forwarded
};

struct RecvCounters;  // RecvLoop.h

// The figures now: the receive loop's counters, nOwnQueued records of the
// daemon's own, and the log's. False without a log.
bool CollectStats(const RecvCounters& stRecv, uint64_t nOwnQueued, DaemonStats* pStats);
// "name value" pairs, each followed by pSep (a newline for the file, ", " for
// a record); the length written (cut to nSize - 1).
size_t FormatStats(const DaemonStats& stStats, const char* pSep, char* pOut, size_t nSize);
// Replaces the statistics file in the directory nDirFd with pText, a fresh
// regular file of mode 0644 whatever the umask, so that every user may read
// it: 0, or an errno value (EBADF for a negative nDirFd).
int WriteStatsFile(int nDirFd, const char* pText);
// Removes it, at the stop (best effort: a reader of a stale file finds no
// daemon).
void RemoveStatsFile(int nDirFd);
