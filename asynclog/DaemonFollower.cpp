#include "asynclog/DaemonFollower.h"

#include "asynclog/ServerProbe.h"
#include "platform/DaemonPaths.h"
#include "platform/WireContract.h"

#include <cstring>

namespace {

constexpr uint32_t kLooksBetweenChecks = 10;  // periodic looks: about ten seconds

}  // namespace

CDaemonFollower::CDaemonFollower(CLogFileSet& files, CUdpForwarder& forwarder, bool bForwarding)
    : m_Files(files), m_Forwarder(forwarder), m_bForwarding(bForwarding) {}

bool CDaemonFollower::DaemonRuns() { return FindProcessByName(kLogServerName) > 0; }

uint32_t CDaemonFollower::Consume(CRingBuffer& queue, uint32_t nMax) {
    if (!Forwarding()) return m_Files.Consume(queue, nMax);
    const uint32_t nDone = m_Forwarder.Consume(queue, nMax);
    if (m_Forwarder.PeerGone()) UseFiles();  // the refused records are still in the ring
    return nDone;
}

bool CDaemonFollower::Ready() const { return Forwarding() || m_Files.Ready(); }

void CDaemonFollower::Recover() {
    if (!Forwarding()) m_Files.Recover();
}

void CDaemonFollower::Periodic() {
    if (Forwarding()) {
        // A daemon that goes away refuses the next record. Now and then the
        // receiver is looked at as well: another user's socket that took the
        // port in the moment after the daemon's end refuses nothing.
        if (++m_nLooksForwarding >= kLooksBetweenChecks) {
            m_nLooksForwarding = 0;
            if (!DaemonRuns()) UseFiles();
        }
        return;
    }
    m_Files.Periodic();
    if (DaemonRuns()) UseDaemon();
}

void CDaemonFollower::Reopen() {
    if (!Forwarding()) m_Files.Reopen();
}

uint32_t CDaemonFollower::DrainForCrash(CRingBuffer& queue, int64_t llDeadlineNs) {
    uint32_t nDone = 0;
    // The switch itself (UseFiles) opens under the engine lock: the file set
    // opens its file alone here, and the flag stays as it is.
    if (Forwarding()) {
        nDone = m_Forwarder.DrainForCrash(queue, llDeadlineNs);
        if (!m_Forwarder.PeerGone()) return nDone;
    }
    return nDone + m_Files.DrainForCrash(queue, llDeadlineNs);
}

void CDaemonFollower::UseFiles() {
    m_Forwarder.ClearPeerGone();
    m_bForwarding.store(false, std::memory_order_relaxed);
    (void)m_Files.OpenCurrent();  // no file: the loop waits and retries
}

void CDaemonFollower::UseDaemon() {
    m_Files.Close();  // everything written so far stays in the client's files
    // A daemon that came (back) may offer its intake; without it, UDP.
    m_Forwarder.LookForIntake();
    m_bForwarding.store(true, std::memory_order_relaxed);
}
