#include "asynclog/DaemonFollower.h"

#include "asynclog/ServerProbe.h"
#include "platform/WireContract.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kLooksBetweenChecks = 10;  // periodic looks: about ten seconds

constexpr size_t kReadChunk = 4096;

// Whether a UDP socket is bound to 127.0.0.1:12345: a read of /proc/net/udp,
// far cheaper than looking through every process. The kernel prints the local
// address as the 32-bit word of the network-order address, in hex, and the
// port in host order.
bool LogServerPortBound() {
    char szWanted[32];
    const int nWanted = std::snprintf(szWanted, sizeof(szWanted), " %08X:%04X ",
                                      static_cast<unsigned>(htonl(kLoopbackIp)),
                                      static_cast<unsigned>(kLogServerPort));
    const size_t nKeep = static_cast<size_t>(nWanted) - 1;  // a match may span two reads
    const int nFd = open("/proc/net/udp", O_RDONLY | O_CLOEXEC);
    if (nFd < 0) return true;  // no /proc to ask: let the process look decide
    char szBuf[kReadChunk + 32];
    size_t nHave = 0;
    bool bFound = false;
    ssize_t n = 0;
    while (!bFound && (n = read(nFd, szBuf + nHave, kReadChunk)) > 0) {
        nHave += static_cast<size_t>(n);
        szBuf[nHave] = '\0';
        bFound = std::strstr(szBuf, szWanted) != nullptr;
        if (nHave > nKeep) {
            std::memmove(szBuf, szBuf + nHave - nKeep, nKeep);
            nHave = nKeep;
        }
    }
    (void)close(nFd);  // read-only: nothing to lose
    return bFound;
}

}  // namespace

CDaemonFollower::CDaemonFollower(CLogFileSet& files, CUdpForwarder& forwarder, bool bForwarding)
    : m_Files(files), m_Forwarder(forwarder), m_bForwarding(bForwarding) {}

bool CDaemonFollower::DaemonRuns() {
    return LogServerPortBound() && FindProcessByName(kLogServerName) > 0;
}

uint32_t CDaemonFollower::Consume(CLogQueue& queue, uint32_t nMax) {
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

void CDaemonFollower::UseFiles() {
    m_Forwarder.ClearPeerGone();
    m_bForwarding.store(false, std::memory_order_relaxed);
    (void)m_Files.OpenCurrent();  // no file: the loop waits and retries
}

void CDaemonFollower::UseDaemon() {
    m_Files.Close();  // everything written so far stays in the client's files
    m_bForwarding.store(true, std::memory_order_relaxed);
}
