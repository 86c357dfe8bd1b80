// The connector against real sockets on loopback and the real system
// resolver, reading names from a private /etc/hosts: a file, or a FIFO that
// nobody writes, on whose opening the resolver hangs. Those cases run in a
// child process with a mount namespace of its own, and are skipped where it
// cannot be had (no root; an emulator, whose threads forbid it).

#include "upstream/Connector.h"

#include "tests/support/TestSupport.h"
#include "tests/upstream/Collector.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using zqtest::PollUntil;

size_t Entries(const char* pDir) {
    size_t n = 0;
    if (DIR* pList = opendir(pDir)) {
        while (const dirent* pEntry = readdir(pList)) n += pEntry->d_name[0] != '.';
        (void)closedir(pList);
    }
    return n;
}

#define EXPECT_PASSED(text)                                         \
    do {                                                            \
        const std::string strGot = (text);                          \
        if (strGot.rfind("skip: ", 0) == 0) GTEST_SKIP() << strGot; \
        EXPECT_EQ("", strGot);                                      \
    } while (0)

sockaddr_in Loopback(const char* pAddr, uint16_t nPort) {
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(nPort);
    (void)inet_pton(AF_INET, pAddr, &stAddr.sin_addr);
    return stAddr;
}

// A listener, or (nBacklog < 0) a non-blocking connect; -1 when it failed.
int Open(const sockaddr_in& stAddr, int nBacklog) {
    const sockaddr* pAddr = reinterpret_cast<const sockaddr*>(&stAddr);
    const int nFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool bOk = nBacklog >= 0
                         ? bind(nFd, pAddr, sizeof(stAddr)) == 0 && listen(nFd, nBacklog) == 0
                         : connect(nFd, pAddr, sizeof(stAddr)) == 0 || errno == EINPROGRESS;
    if (bOk) return nFd;
    (void)close(nFd);
    return -1;
}

// Polls and steps the connector as the sender does, until it connects or
// fails; the clock goes llStepMs on at every poll that saw nothing.
int32_t Drive(CConnector& connector, int32_t nRet, int64_t llStepMs, int64_t* pNowMs,
              CUniqueFd* pSocket, uint32_t* pPeak) {
    (void)PollUntil(
        [&] {
            pollfd aPoll[CConnector::kMaxPollFds];
            const uint32_t nFds = nRet == kConnPending ? connector.FillPoll(aPoll) : 0;
            *pPeak = std::max(*pPeak, nFds);
            if (nFds > 0 && poll(aPoll, nFds, 20) == 0) *pNowMs += llStepMs;
            if (nRet == kConnPending) nRet = connector.Step(aPoll, nFds, *pNowMs, pSocket);
            return nRet != kConnPending;
        },
        std::chrono::seconds(8));
    return nRet;
}

// Empty when nRet is a connection to stAddr.
std::string NotConnectedTo(const sockaddr_in& stAddr, int32_t nRet, const CUniqueFd& socket,
                           const CConnector& connector) {
    sockaddr_in stPeer{};
    socklen_t nLen = sizeof(stPeer);
    if (nRet == kConnDone &&
        getpeername(socket.Get(), reinterpret_cast<sockaddr*>(&stPeer), &nLen) == 0 &&
        stPeer.sin_addr.s_addr == stAddr.sin_addr.s_addr && stPeer.sin_port == stAddr.sin_port) {
        return "";
    }
    return "not connected: " + std::to_string(nRet) + " " + connector.Error();
}

// A name's addresses, each (in the order tried) 'D' dead: a listener whose
// accept queue is full, so that its SYNs are dropped and the attempt stays
// pending; 'R' refused: nothing listens; 'L' a listener. The clock goes a
// connection attempt delay on at every idle poll, or stands still (then only
// a failure moves the connector on). A live address behind dead ones is
// reached while they are all still pending; a refused attempt moves on at
// once; each attempt times out on its own.
TEST(ConnectorTest, AttemptsAreStaggeredAndTheFirstToConnectWins) {
    const struct {
        const char* pRoles;
        bool bClockRuns;
        uint32_t nPeak;        // attempts pending at once; 0: not looked at
        const char* pFailure;  // null: reaches the listener
    } aCases[] = {{"DDDDDL", true, 6, nullptr},
                  {"RRRL", false, 0, nullptr},
                  {"DDD", true, 3, "connect: timed out"}};
    for (const auto& tc : aCases) {
        SCOPED_TRACE(tc.pRoles);
        zqtest::TempDir dir;
        const uint16_t nPort = zqtest::FreeTcpPort();
        std::string strHosts;
        for (size_t n = 0; tc.pRoles[n] != '\0'; ++n) {
            strHosts += "127.0.0." + std::to_string(10 + n) + " peer.test\n";
        }
        ASSERT_TRUE(zqtest::WriteFile(dir.File("hosts"), strHosts));
        EXPECT_PASSED(zqtest::WithHosts(dir, dir.File("hosts"), [&]() -> std::string {
            addrinfo* pList = nullptr;
            if (getaddrinfo("peer.test", nullptr, nullptr, &pList) != 0) return "no peer.test";
            // All IPv4: the connector tries them in the resolver's order.
            std::vector<sockaddr_in> vDead;
            std::vector<int> vFillers;  // the last connection to each dead listener
            sockaddr_in stLive{};
            const char* pRole = tc.pRoles;
            for (const addrinfo* p = pList; p != nullptr && *pRole != '\0'; p = p->ai_next) {
                if (p->ai_socktype != SOCK_STREAM) continue;
                char szAddr[INET_ADDRSTRLEN];
                (void)inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr,
                                szAddr, sizeof(szAddr));
                const sockaddr_in stAddr = Loopback(szAddr, nPort);
                const char cRole = *pRole++;
                if (cRole == 'L') stLive = stAddr;
                if (cRole != 'R' && Open(stAddr, cRole == 'L' ? 16 : 0) < 0) return "no listener";
                if (cRole == 'D') vDead.push_back(stAddr);
                if (cRole == 'D') vFillers.push_back(Open(stAddr, -1));
            }
            freeaddrinfo(pList);
            // Connections never accepted, until one's SYN goes unanswered.
            if (!PollUntil([&] {
                    bool bAllFull = true;
                    for (size_t n = 0; n < vDead.size(); ++n) {
                        tcp_info stInfo{};
                        socklen_t nLen = sizeof(stInfo);
                        (void)getsockopt(vFillers[n], IPPROTO_TCP, TCP_INFO, &stInfo, &nLen);
                        if (stInfo.tcpi_state == TCP_ESTABLISHED) vFillers[n] = Open(vDead[n], -1);
                        bAllFull = bAllFull && stInfo.tcpi_retransmits > 0;
                    }
                    return bAllFull;
                })) {
                return "the accept queues do not fill";
            }
            CConnector connector;
            int64_t llNowMs = 0;
            CUniqueFd socket;
            uint32_t nPeak = 0;
            const int32_t nRet =
                Drive(connector, connector.Start("peer.test", nPort, llNowMs),
                      tc.bClockRuns ? CConnector::kAttemptDelayMs : 0, &llNowMs, &socket, &nPeak);
            std::string strFault;
            if (tc.nPeak != 0 && nPeak != tc.nPeak)
                strFault = "pending at once: " + std::to_string(nPeak);
            if (tc.pFailure == nullptr)
                return strFault + NotConnectedTo(stLive, nRet, socket, connector);
            if (nRet != kConnFailed || std::strstr(connector.Error(), tc.pFailure) == nullptr) {
                strFault += std::string(" ended: ") + connector.Error();
            }
            return strFault;
        }));
    }
}

// The order of the addresses: the first one's family, then alternating.
TEST(ConnectorTest, AddressFamiliesAlternate) {
    const struct {
        const char* pFamilies;  // of getaddrinfo's list, 4 or 6 each
        const char* pTried;     // their places in the list, in the order tried
    } aCases[] = {{"6644", "0213"}, {"44666", "02134"}, {"4666", "0123"}, {"6", "0"}};
    for (const auto& tc : aCases) {
        SCOPED_TRACE(tc.pFamilies);
        std::vector<addrinfo> vList(std::strlen(tc.pFamilies));
        for (size_t n = 0; n < vList.size(); ++n) {
            vList[n].ai_family = tc.pFamilies[n] == '6' ? AF_INET6 : AF_INET;
            vList[n].ai_next = n + 1 < vList.size() ? &vList[n + 1] : nullptr;
        }
        CAddressOrder order;
        order.Reset(vList.data());
        std::string strTried;
        while (const addrinfo* pAddr = order.Next()) strTried += char('0' + (pAddr - &vList[0]));
        EXPECT_EQ(tc.pTried, strTried);
    }
}

// A resolver that hangs: every retry waits for the one lookup running, whose
// thread and pipe are all that stays, never one per retry. Its answer (none: the FIFO comes
// empty) is taken by the attempt waiting when that is for the same name; a
// retry for another name has its own lookup then, which reads the hosts file
// that is there by then.
TEST(ConnectorTest, HungLookupIsWaitedForNotMultiplied) {
    const struct {
        const char* pFirst;
        const char* pRetry;
    } aCases[] = {{"live.test", "live.test"}, {"refused.test", "live.test"}};
    for (const auto& tc : aCases) {
        SCOPED_TRACE(std::string(tc.pFirst) + ", then " + tc.pRetry);
        zqtest::TempDir dir;
        const std::string strFifo = dir.File("fifo");
        const std::string strHosts = dir.File("hosts");
        ASSERT_EQ(0, mkfifo(strFifo.c_str(), 0644));
        ASSERT_TRUE(zqtest::WriteFile(strHosts, "127.0.0.1 live.test\n127.0.0.2 refused.test\n"));
        const uint16_t nPort = zqtest::FreeTcpPort();
        EXPECT_PASSED(zqtest::WithHosts(dir, strFifo, [&]() -> std::string {
            const sockaddr_in stLive = Loopback("127.0.0.1", nPort);
            if (Open(stLive, 16) < 0) return "no listener";
            CConnector connector;
            int64_t llNowMs = 0;
            CUniqueFd socket;
            if (connector.Start(tc.pFirst, nPort, llNowMs) != kConnPending) return "no lookup";
            const size_t nThreads = Entries("/proc/self/task");
            const size_t nFds = Entries("/proc/self/fd");
            for (int n = 0; n < 20; ++n) {
                llNowMs += CConnector::kResolveTimeoutMs;
                if (connector.Step(nullptr, 0, llNowMs, &socket) != kConnFailed) return "waits";
                if (connector.Start(tc.pRetry, nPort, llNowMs) != kConnPending) return "no retry";
            }
            // The lookup's thread may hold a file of the name service open a moment.
            if (!PollUntil(
                    [&] {
                        return Entries("/proc/self/task") <= nThreads &&
                               Entries("/proc/self/fd") <= nFds + 1;
                    },
                    std::chrono::seconds(2))) {
                return "threads " + std::to_string(nThreads) + " -> " +
                       std::to_string(Entries("/proc/self/task")) + ", descriptors " +
                       std::to_string(nFds) + " -> " + std::to_string(Entries("/proc/self/fd"));
            }
            // The hung lookups get the FIFO's end, later ones the hosts file.
            int nWriter = -1;
            if (!PollUntil([&] {
                    return (nWriter = open(strFifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
                })) {
                return "nobody reads the FIFO";
            }
            (void)close(nWriter);
            if (mount(strHosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
                return "mount";
            uint32_t nPeak = 0;
            int32_t nRet = Drive(connector, kConnPending, 0, &llNowMs, &socket, &nPeak);
            if (std::strcmp(tc.pFirst, tc.pRetry) == 0) {  // the answer it waited for
                const std::string strError = connector.Error();
                if (nRet != kConnFailed || strError.find("cannot resolve live.test: ") != 0 ||
                    strError.find("no answer") != std::string::npos) {
                    return "the hung lookup's answer: " + strError;
                }
                nRet = Drive(connector, connector.Start(tc.pRetry, nPort, llNowMs), 0, &llNowMs,
                             &socket, &nPeak);
            }
            return NotConnectedTo(stLive, nRet, socket, connector);
        }));
    }
}

}  // namespace
