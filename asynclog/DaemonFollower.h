#pragma once

#include "asynclog/LogFileSet.h"
#include "asynclog/RecordSink.h"
#include "asynclog/UdpForwarder.h"

#include <atomic>
#include <cstdint>

// The sink of a client in mode 2: it forwards to the daemon while the daemon
// runs and writes the client's own files while it does not, and follows the
// daemon as it goes and comes. A refused send (the daemon went away) turns it
// to the files at once, starting with the refused records; the periodic look
// turns it to the daemon once one runs (its port bound, and the process
// holding it is the daemon). Each record is either in the daemon's files or in
// the client's own, in order on each side.
//
// Threads: the engine builds it before the writer starts; everything runs on
// the writer thread but Forwarding, which any thread may read.
class CDaemonFollower final : public CRecordSink {
public:
    CDaemonFollower(CLogFileSet& files, CUdpForwarder& forwarder, bool bForwarding);
    CDaemonFollower(const CDaemonFollower&) = delete;
    CDaemonFollower& operator=(const CDaemonFollower&) = delete;

    uint32_t Consume(CRingBuffer& queue, uint32_t nMax) override;
    bool Ready() const override;
    void Recover() override;
    void Periodic() override;
    void Reopen() override;
    int64_t SyncDueMs() const override { return Forwarding() ? 0 : m_Files.SyncDueMs(); }
    void Sync() override { m_Files.Sync(); }
    // To the daemon while forwarding; what it refuses, and everything while
    // not forwarding, to the client's own current file.
    uint32_t DrainForCrash(CRingBuffer& queue, int64_t llDeadlineNs) override;

    bool Forwarding() const { return m_bForwarding.load(std::memory_order_relaxed); }

    // Whether the daemon runs (FindProcessByName: its port bound by it, and
    // nobody else's socket on the port; the port is looked at first, cheaply).
    static bool DaemonRuns();

private:
    void UseFiles();
    void UseDaemon();

    CLogFileSet& m_Files;
    CUdpForwarder& m_Forwarder;
    // The writer switches it; others read it for statistics only (relaxed).
    std::atomic<bool> m_bForwarding;
    uint32_t m_nLooksForwarding = 0;  // the writer's: looks since the last check of the daemon
};
