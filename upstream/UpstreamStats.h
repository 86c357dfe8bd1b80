#pragma once

#include <cstdint>

// Counters of the sender, since Start. Read with GetStats from any thread.
struct UpstreamStats {
    uint64_t nForwarded;       // messages the collector acknowledged
    uint64_t nRotatedAway;     // lines rotation deleted before they were sent
    uint64_t nRejected;        // messages the collector refused (relp)
    uint64_t nSessions;        // connections made: the collector proved to be there
    uint64_t nFailedAttempts;  // connections that failed, or broke before that proof
    uint32_t bActive;          // 1 while [Forward] names a collector
    uint32_t bConnected;       // 1 while a session is up
    uint32_t bStateUnsaved;   // 1 while the state file cannot be saved (a restart sends more again)
    char szLastFailure[200];  // why the last attempt failed; empty once a session is made
};
