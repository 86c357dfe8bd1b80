#include "platform/UdpNetLayer.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;
constexpr uint32_t kForeignIp = 0x0A010203u;  // 10.1.2.3
constexpr uint32_t kNoIp = 0xFFFFFFFFu;
// Upper bound for a datagram already queued on loopback; never reached when it works.
constexpr uint32_t kWaitMicros = 10000000;

uint16_t PortOf(CUdpNetLayer& endpoint) {
    uint16_t nPort = 0;
    EXPECT_EQ(0, endpoint.GetLocalPort(&nPort));
    return nPort;
}

// A send record for a text to 127.0.0.1:nToPort; the text must outlive it.
NetSendParam SendParam(const std::string& text, uint16_t nToPort, uint8_t bSelect) {
    NetSendParam stSend{};
    stSend.pData = reinterpret_cast<const uint8_t*>(text.data());
    stSend.nLen = static_cast<int32_t>(text.size());
    stSend.nIp = kLoopback;
    stSend.nPort = nToPort;
    stSend.nTimeOut = kWaitMicros;
    stSend.bSelect = bSelect;
    return stSend;
}

int32_t SendText(CUdpNetLayer& from, const std::string& text, uint16_t nToPort,
                 uint8_t bSelect = 0) {
    NetSendParam stSend = SendParam(text, nToPort, bSelect);
    const int32_t nRet = from.Send(&stSend);
    if (nRet == 0) {
        EXPECT_EQ(static_cast<int32_t>(text.size()), stSend.nLen);
    }
    return nRet;
}

struct Received {
    int32_t nRet;
    std::string text;
    uint32_t nIp;
    uint16_t nPort;
};

Received RecvText(CUdpNetLayer& at, uint8_t bSelect = 1, uint32_t nTimeOut = kWaitMicros) {
    NetRecvParam stRecv{};
    stRecv.nTimeOut = nTimeOut;
    stRecv.bSelect = bSelect;
    Received got{at.Recv(&stRecv), std::string(), stRecv.nIp, stRecv.nPort};
    if (got.nRet == 0) {
        got.text.assign(reinterpret_cast<const char*>(stRecv.pBuf),
                        static_cast<size_t>(stRecv.nLen));
    }
    return got;
}

bool HasLocalIp(uint32_t nIp) {
    LocalIfTable stTable{};
    EXPECT_EQ(0, NetLayerGetLocalIfTable(&stTable));
    for (int32_t i = 0; i < stTable.nIfCount; ++i) {
        if (stTable.stIfEntry[i].nIp == nIp) return true;
    }
    return false;
}

TEST(UdpNetLayer, DatagramArrivesWholeWithSenderAddress) {
    ASSERT_EQ(0, NetLayerInit());
    CUdpNetLayer sender(kLoopback, 0, kLogRecvBufSize);
    CUdpNetLayer receiver(kLoopback, 0, kLogRecvBufSize);
    uint16_t nSenderPort = 0;
    uint16_t nReceiverPort = 0;
    ASSERT_EQ(0, sender.GetLocalPort(&nSenderPort));
    ASSERT_EQ(0, receiver.GetLocalPort(&nReceiverPort));
    ASSERT_NE(nSenderPort, nReceiverPort);

    // Every combination of waiting and immediate send and receive.
    for (uint8_t bSelectSend = 0; bSelectSend < 2; ++bSelectSend) {
        for (uint8_t bSelectRecv = 0; bSelectRecv < 2; ++bSelectRecv) {
            SCOPED_TRACE(testing::Message() << "select send " << int{bSelectSend}
                                            << ", select receive " << int{bSelectRecv});
            const std::string text = "INFO 2024-01-01 line " + std::to_string(bSelectSend) +
                                     std::to_string(bSelectRecv) + "\r\n";
            NetSendParam stSend = SendParam(text, nReceiverPort, bSelectSend);
            ASSERT_EQ(0, sender.Send(&stSend));
            EXPECT_EQ(static_cast<int32_t>(text.size()), stSend.nLen);

            NetRecvParam stRecv{};
            stRecv.nTimeOut = kWaitMicros;
            stRecv.bSelect = bSelectRecv;
            ASSERT_EQ(0, receiver.Recv(&stRecv));
            ASSERT_NE(nullptr, stRecv.pBuf);
            EXPECT_EQ(text, std::string(reinterpret_cast<const char*>(stRecv.pBuf),
                                        static_cast<size_t>(stRecv.nLen)));
            EXPECT_EQ(kLoopback, stRecv.nIp);
            EXPECT_EQ(nSenderPort, stRecv.nPort);
        }
    }
    EXPECT_EQ(0, NetLayerDeInit());
}

TEST(UdpNetLayer, LocalAddressAndPort) {
    {
        SCOPED_TRACE("port 0 on loopback: the chosen port is learned");
        CUdpNetLayer endpoint(kLoopback, 0, 64);
        uint32_t nIp = 0;
        EXPECT_EQ(0, endpoint.GetLocalIp(&nIp));
        EXPECT_EQ(kLoopback, nIp);
        EXPECT_NE(0, PortOf(endpoint));
        EXPECT_EQ(NET_ERR_PARAM, endpoint.GetLocalIp(nullptr));
        EXPECT_EQ(NET_ERR_PARAM, endpoint.GetLocalPort(nullptr));
    }
    {
        SCOPED_TRACE("address 0 binds every local address");
        CUdpNetLayer any(0, 0, 64);
        CUdpNetLayer sender(kLoopback, 0, 64);
        uint32_t nIp = kNoIp;
        EXPECT_EQ(0, any.GetLocalIp(&nIp));
        EXPECT_EQ(0u, nIp);
        ASSERT_EQ(0, SendText(sender, "to any", PortOf(any)));
        const Received got = RecvText(any);
        ASSERT_EQ(0, got.nRet);
        EXPECT_EQ("to any", got.text);
        EXPECT_EQ(PortOf(sender), got.nPort);
    }
    {
        SCOPED_TRACE("never bound with port 0");
        CUdpNetLayer unbound(kNoIp, 0, 64);
        uint16_t nPort = 77;
        EXPECT_EQ(NET_ERR_STATE, unbound.GetLocalPort(&nPort));
        EXPECT_EQ(77, nPort);
    }
}

TEST(UdpNetLayer, ForeignAddressOpensNoSocket) {
    if (HasLocalIp(kForeignIp)) GTEST_SKIP() << "this host owns 10.1.2.3";
    CUdpNetLayer endpoint(kForeignIp, 0, 64);
    uint32_t nIp = 0;
    EXPECT_EQ(0, endpoint.GetLocalIp(&nIp));
    EXPECT_EQ(kNoIp, nIp);
    uint16_t nPort = 0;
    EXPECT_EQ(NET_ERR_STATE, endpoint.GetLocalPort(&nPort));
    EXPECT_EQ(NET_ERR_PARAM, endpoint.SetLocalIp(kForeignIp));
    EXPECT_EQ(NET_ERR_STATE, SendText(endpoint, "x", 9, 0));
    EXPECT_EQ(NET_ERR_STATE, SendText(endpoint, "x", 9, 1));
    EXPECT_EQ(NET_ERR_STATE, RecvText(endpoint, 1, 0).nRet);
    EXPECT_EQ(NET_ERR_RECV, RecvText(endpoint, 0).nRet);
}

TEST(UdpNetLayer, SetLocalIpKeepsOrReplacesSocket) {
    {
        SCOPED_TRACE("255.255.255.255 at construction");
        CUdpNetLayer none(kNoIp, 4000, 64);
        uint32_t nIp = 0;
        EXPECT_EQ(0, none.GetLocalIp(&nIp));
        EXPECT_EQ(kNoIp, nIp);
        EXPECT_EQ(NET_ERR_STATE, SendText(none, "x", 9));
        EXPECT_EQ(NET_ERR_STATE, RecvText(none, 1, 0).nRet);
    }
    CUdpNetLayer endpoint(kLoopback, 0, 64);
    CUdpNetLayer sender(kLoopback, 0, 64);
    const uint16_t nPort = PortOf(endpoint);
    // A datagram queued before each call survives only if the socket is kept.
    for (const uint32_t nSameOrForeign : {kLoopback, kForeignIp}) {
        SCOPED_TRACE(testing::Message() << "SetLocalIp " << std::hex << nSameOrForeign);
        if (nSameOrForeign == kForeignIp && HasLocalIp(kForeignIp)) continue;
        ASSERT_EQ(0, SendText(sender, "queued", nPort));
        EXPECT_EQ(nSameOrForeign == kLoopback ? 0 : NET_ERR_PARAM,
                  endpoint.SetLocalIp(nSameOrForeign));
        const Received got = RecvText(endpoint);
        ASSERT_EQ(0, got.nRet);
        EXPECT_EQ("queued", got.text);
        uint32_t nIp = 0;
        EXPECT_EQ(0, endpoint.GetLocalIp(&nIp));
        EXPECT_EQ(kLoopback, nIp);
    }
    {
        SCOPED_TRACE("rebinding to address 0 keeps the port");
        ASSERT_EQ(0, endpoint.SetLocalIp(0));
        uint32_t nIp = kNoIp;
        EXPECT_EQ(0, endpoint.GetLocalIp(&nIp));
        EXPECT_EQ(0u, nIp);
        EXPECT_EQ(nPort, PortOf(endpoint));
        ASSERT_EQ(0, SendText(sender, "after rebind", nPort));
        const Received got = RecvText(endpoint);
        ASSERT_EQ(0, got.nRet);
        EXPECT_EQ("after rebind", got.text);
    }
}

TEST(UdpNetLayer, TimeOutsAndBufferLimits) {
    constexpr uint32_t kBufSize = 16;
    CUdpNetLayer endpoint(kLoopback, 0, kBufSize);
    CUdpNetLayer sender(kLoopback, 0, 64);
    const uint16_t nPort = PortOf(endpoint);
    {
        SCOPED_TRACE("time-out 0 with nothing waiting");
        NetRecvParam stRecv{};
        stRecv.nLen = 5;
        stRecv.nIp = 6;
        stRecv.nPort = 7;
        stRecv.bSelect = 1;
        EXPECT_EQ(NET_ERR_TIMEOUT, endpoint.Recv(&stRecv));
        EXPECT_NE(nullptr, stRecv.pBuf);
        EXPECT_EQ(5, stRecv.nLen);
        EXPECT_EQ(6u, stRecv.nIp);
        EXPECT_EQ(7, stRecv.nPort);
    }
    const std::string longText(40, 'L');
    const std::string exactText(kBufSize, 'E');
    const std::string shortText = "short";
    struct Case {
        const char* szName;
        const std::string& text;
        std::string expected;
    } cases[] = {
        {"longer than the buffer", longText, longText.substr(0, kBufSize)},
        {"shorter, after a longer one", shortText, shortText},
        {"exactly the buffer size", exactText, exactText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szName);
        ASSERT_EQ(0, SendText(sender, c.text, nPort));
        NetRecvParam stRecv{};
        stRecv.nTimeOut = kWaitMicros;
        stRecv.bSelect = 1;
        ASSERT_EQ(0, endpoint.Recv(&stRecv));
        ASSERT_EQ(static_cast<int32_t>(c.expected.size()), stRecv.nLen);
        const std::string whole(reinterpret_cast<const char*>(stRecv.pBuf), kBufSize);
        // The buffer is cleared before each wait: NULs follow a short datagram.
        EXPECT_EQ(c.expected + std::string(kBufSize - c.expected.size(), '\0'), whole);
    }
    for (const uint32_t nAsked : {kNetMaxRecvBuf + 1, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << "buffer size asked " << nAsked);
        CUdpNetLayer big(kLoopback, 0, nAsked);
        ASSERT_EQ(0, SendText(sender, "big", PortOf(big)));
        NetRecvParam stRecv{};
        stRecv.nTimeOut = kWaitMicros;
        stRecv.bSelect = 1;
        ASSERT_EQ(0, big.Recv(&stRecv));
        EXPECT_EQ(3, stRecv.nLen);
        // The whole 1 MiB was cleared (ASan checks the range), and no more was allocated.
        EXPECT_EQ(0, stRecv.pBuf[kNetMaxRecvBuf - 1]);
        EXPECT_GE(malloc_usable_size(stRecv.pBuf), size_t{kNetMaxRecvBuf});
        EXPECT_LT(malloc_usable_size(stRecv.pBuf), size_t{2} * kNetMaxRecvBuf);
    }
}

TEST(UdpNetLayer, EmptyDatagramAndBadLengths) {
    CUdpNetLayer endpoint(kLoopback, 0, 64);
    CUdpNetLayer sender(kLoopback, 0, 64);
    const uint16_t nPort = PortOf(endpoint);
    ASSERT_EQ(0, SendText(sender, "", nPort));
    Received got = RecvText(endpoint);
    ASSERT_EQ(0, got.nRet);
    EXPECT_EQ("", got.text);
    EXPECT_EQ(PortOf(sender), got.nPort);

    const uint8_t byData[4] = {1, 2, 3, 4};
    NetSendParam stSend{};
    stSend.pData = byData;
    stSend.nLen = -1;
    stSend.nIp = kLoopback;
    stSend.nPort = nPort;
    EXPECT_EQ(NET_ERR_PARAM, sender.Send(&stSend));
    EXPECT_EQ(-1, stSend.nLen);
    stSend.pData = nullptr;
    stSend.nLen = 4;
    EXPECT_EQ(NET_ERR_PARAM, sender.Send(&stSend));
    EXPECT_EQ(NET_ERR_TIMEOUT, RecvText(endpoint, 1, 0).nRet);
}

TEST(UdpNetLayer, TwoEndpointsBindSameAddressAndPort) {
    CUdpNetLayer first(kLoopback, 0, 64);
    const uint16_t nPort = PortOf(first);
    CUdpNetLayer second(kLoopback, nPort, 64);
    EXPECT_EQ(nPort, PortOf(second));
    // Bound, not merely open: its datagrams leave from the shared port.
    CUdpNetLayer observer(kLoopback, 0, 64);
    ASSERT_EQ(0, SendText(second, "from second", PortOf(observer)));
    const Received got = RecvText(observer);
    ASSERT_EQ(0, got.nRet);
    EXPECT_EQ("from second", got.text);
    EXPECT_EQ(nPort, got.nPort);
}

TEST(UdpNetLayer, NullRecordsAndTheInterfaceTable) {
    CUdpNetLayer endpoint(kLoopback, 0, 64);
    EXPECT_EQ(NET_ERR_PARAM, endpoint.Recv(nullptr));
    EXPECT_EQ(NET_ERR_PARAM, endpoint.Send(nullptr));
    EXPECT_EQ(NET_ERR_PARAM, endpoint.GetLocalIp(nullptr));
    EXPECT_EQ(NET_ERR_PARAM, endpoint.GetLocalPort(nullptr));
    uint32_t nIp = 0;
    EXPECT_EQ(0, endpoint.GetLocalIp(&nIp));
    EXPECT_EQ(kLoopback, nIp);
    EXPECT_EQ(0, endpoint.SetLocalIp(kLoopback));

    EXPECT_EQ(NET_ERR_PARAM, NetLayerGetLocalIfTable(nullptr));
    LocalIfTable stTable{};
    ASSERT_EQ(0, NetLayerGetLocalIfTable(&stTable));
    EXPECT_GE(stTable.nIfCount, 1);
    EXPECT_LE(stTable.nIfCount, kMaxLocalIf);
    EXPECT_TRUE(HasLocalIp(kLoopback));
}

TEST(UdpNetLayer, OpenResultTellsWhetherTheEndpointIsBound) {
    // A socket without address reuse holds its port: no endpoint can bind it.
    const int nHolder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(nHolder, 0);
    sockaddr_in stAddr{};
    CUdpNetLayer::FillSockAddr(kLoopback, 0, &stAddr);
    socklen_t nLen = sizeof(stAddr);
    ASSERT_EQ(0, bind(nHolder, reinterpret_cast<sockaddr*>(&stAddr), nLen));
    ASSERT_EQ(0, getsockname(nHolder, reinterpret_cast<sockaddr*>(&stAddr), &nLen));
    uint32_t nIp = 0;
    uint16_t nHeldPort = 0;
    CUdpNetLayer::ParseSockAddr(&stAddr, &nIp, &nHeldPort);

    const struct {
        const char* pName;
        uint32_t nIp;
        uint16_t nPort;
        int32_t nExpected;
    } kCases[] = {
        {"any free port", kLoopback, 0, 0},
        {"a port held by another socket", kLoopback, nHeldPort, NET_ERR_BIND},
        {"a foreign address", kForeignIp, 0, NET_ERR_PARAM},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        if (c.nIp == kForeignIp && HasLocalIp(kForeignIp)) continue;
        CUdpNetLayer endpoint(c.nIp, c.nPort, 64);
        EXPECT_EQ(c.nExpected, endpoint.GetBindResult(nullptr));
    }
    (void)close(nHolder);
}

// An endpoint whose descriptor is beyond what an fd_set can hold still waits
// correctly for reading and writing.
TEST(UdpNetLayer, DescriptorAboveFdSetSize) {
    constexpr int kHighFd = FD_SETSIZE;  // 1024
    const rlim_t nNeeded = kHighFd + 64;
    rlimit stLimit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &stLimit));
    if (stLimit.rlim_cur != RLIM_INFINITY && stLimit.rlim_cur < nNeeded) {
        if (stLimit.rlim_max != RLIM_INFINITY && stLimit.rlim_max < nNeeded) {
            GTEST_SKIP() << "RLIMIT_NOFILE hard limit too low";
        }
        stLimit.rlim_cur = nNeeded;
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &stLimit));
    }
    CUdpNetLayer sender(kLoopback, 0, 64);
    // The lowest free descriptor is always taken: fill every one up to kHighFd.
    std::vector<int> fillers;
    for (;;) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= kHighFd) break;
    }
    {
        CUdpNetLayer endpoint(kLoopback, 0, 64);
        const uint16_t nPort = PortOf(endpoint);
        bool bHigh = false;
        for (int fd = kHighFd + 1; fd < kHighFd + 32 && !bHigh; ++fd) {
            sockaddr_in stAddr{};
            socklen_t nLen = sizeof(stAddr);
            bHigh = getsockname(fd, reinterpret_cast<sockaddr*>(&stAddr), &nLen) == 0 &&
                    stAddr.sin_family == AF_INET && ntohs(stAddr.sin_port) == nPort;
        }
        ASSERT_TRUE(bHigh) << "the endpoint did not get a descriptor above " << kHighFd;

        EXPECT_EQ(NET_ERR_TIMEOUT, RecvText(endpoint, 1, 0).nRet);
        ASSERT_EQ(0, SendText(sender, "to a high descriptor", nPort));
        Received got = RecvText(endpoint);
        ASSERT_EQ(0, got.nRet);
        EXPECT_EQ("to a high descriptor", got.text);
        EXPECT_EQ(PortOf(sender), got.nPort);

        ASSERT_EQ(0, SendText(endpoint, "from a high descriptor", PortOf(sender), 1));
        got = RecvText(sender);
        ASSERT_EQ(0, got.nRet);
        EXPECT_EQ("from a high descriptor", got.text);
        EXPECT_EQ(nPort, got.nPort);
    }
    for (const int fd : fillers) EXPECT_EQ(0, close(fd));
}

// One endpoint sends datagrams to itself from one thread and receives them in
// another; the endpoint's lock serialises the two.
TEST(UdpNetLayer, SharedBySendingAndReceivingThreads) {
    constexpr int kCount = 2000;
    constexpr int kWindow = 32;  // in flight at most, well below the socket buffer
    CUdpNetLayer endpoint(kLoopback, 0, 256);
    const uint16_t nPort = PortOf(endpoint);
    std::atomic<int> nReceived{0};
    std::atomic<bool> bFailed{false};
    std::string strSendError;
    std::string strRecvError;

    std::thread sender([&] {
        for (int i = 0; i < kCount && !bFailed.load(); ++i) {
            if (!zqtest::PollUntil([&] { return i - nReceived.load() < kWindow || bFailed; })) {
                strSendError = "receiver stalled at " + std::to_string(nReceived.load());
                bFailed = true;
                break;
            }
            const std::string text = "record " + std::to_string(i);
            NetSendParam stSend = SendParam(text, nPort, static_cast<uint8_t>(i % 2));
            const int32_t nRet = endpoint.Send(&stSend);
            if (nRet != 0 || stSend.nLen != static_cast<int32_t>(text.size())) {
                strSendError = "send " + std::to_string(i) + " gave " + std::to_string(nRet);
                bFailed = true;
            }
        }
    });
    std::thread receiver([&] {
        while (nReceived.load() < kCount && !bFailed.load()) {
            const int nNext = nReceived.load();
            bool bProgress = false;
            // Short waits so that the sender gets the lock in between.
            const bool bDone = zqtest::PollUntil([&] {
                const Received got = RecvText(endpoint, 1, 1000);
                if (got.nRet == NET_ERR_TIMEOUT) return bFailed.load();
                const std::string expected = "record " + std::to_string(nNext);
                if (got.nRet != 0 || got.text != expected || got.nIp != kLoopback ||
                    got.nPort != nPort) {
                    strRecvError = "datagram " + std::to_string(nNext) + ": result " +
                                   std::to_string(got.nRet) + ", text '" + got.text + "'";
                    bFailed = true;
                    return true;
                }
                bProgress = true;
                return true;
            });
            if (!bDone) {
                strRecvError = "nothing arrived after " + std::to_string(nNext);
                bFailed = true;
            }
            if (bProgress) nReceived.fetch_add(1);
        }
    });
    sender.join();
    receiver.join();
    EXPECT_EQ("", strSendError);
    EXPECT_EQ("", strRecvError);
    EXPECT_EQ(kCount, nReceived.load());
}

TEST(UdpNetLayer, ExclusiveEndpointHoldsItsPortAlone) {
    CUdpNetLayer exclusive(kLoopback, 0, 64, NetUse::kExclusive);
    int nErrno = -1;
    EXPECT_EQ(0, exclusive.GetBindResult(&nErrno));
    EXPECT_EQ(0, nErrno);
    const uint16_t nPort = PortOf(exclusive);
    const struct {
        const char* szName;
        uint32_t nIp;
        bool bReuseAddr;
        bool bReusePort;
    } kTries[] = {
        {"plain", kLoopback, false, false},
        {"address reuse", kLoopback, true, false},
        {"port reuse", kLoopback, false, true},
        {"both", kLoopback, true, true},
        {"the wildcard address with address reuse", 0, true, false},
    };
    for (const auto& t : kTries) {
        SCOPED_TRACE(t.szName);
        const int fd = zqtest::BindUdp(t.nIp, nPort, t.bReuseAddr, t.bReusePort, SOCK_CLOEXEC);
        EXPECT_LT(fd, 0);
        EXPECT_EQ(EADDRINUSE, errno);
        if (fd >= 0) (void)close(fd);
    }
    {
        SCOPED_TRACE("a shared endpoint");
        CUdpNetLayer shared(kLoopback, nPort, 64);
        EXPECT_EQ(NET_ERR_BIND, shared.GetBindResult(&nErrno));
        EXPECT_EQ(EADDRINUSE, nErrno);
    }
    // Still the only receiver.
    CUdpNetLayer sender(kLoopback, 0, 64);
    ASSERT_EQ(0, SendText(sender, "to the holder", nPort));
    const Received got = RecvText(exclusive);
    ASSERT_EQ(0, got.nRet);
    EXPECT_EQ("to the holder", got.text);
}

TEST(UdpNetLayer, BindResultTellsWhyThereIsNoPort) {
    CUdpNetLayer shared(kLoopback, 0, 64);
    const uint16_t nPort = PortOf(shared);
    int nErrno = -1;
    {
        SCOPED_TRACE("the port is shared already: an exclusive bind fails");
        CUdpNetLayer exclusive(kLoopback, nPort, 64, NetUse::kExclusive);
        EXPECT_EQ(NET_ERR_BIND, exclusive.GetBindResult(&nErrno));
        EXPECT_EQ(EADDRINUSE, nErrno);
    }
    {
        SCOPED_TRACE("a second shared endpoint binds");
        CUdpNetLayer second(kLoopback, nPort, 64);
        EXPECT_EQ(0, second.GetBindResult(&nErrno));
        EXPECT_EQ(0, nErrno);
        EXPECT_EQ(0, second.GetBindResult(nullptr));
    }
    if (!HasLocalIp(kForeignIp)) {
        SCOPED_TRACE("an address of another host");
        CUdpNetLayer foreign(kForeignIp, 0, 64);
        EXPECT_EQ(NET_ERR_PARAM, foreign.GetBindResult(nullptr));
    }
}

TEST(UdpNetLayer, SendOnlyEndpointQueuesLittle) {
    constexpr long long kMaxQueued = 256 * 1024;  // the kernel's minimum plus one datagram
    for (const NetUse eUse : {NetUse::kSendOnly, NetUse::kShared}) {
        SCOPED_TRACE(eUse == NetUse::kSendOnly ? "send-only" : "shared");
        CUdpNetLayer endpoint(kLoopback, 0, 64, eUse);
        const uint16_t nPort = PortOf(endpoint);
        ASSERT_TRUE(zqtest::FloodLoopback(nPort, 100, 60000));
        const long long llQueued = zqtest::QueuedBytes(nPort);
        if (eUse == NetUse::kSendOnly) {
            EXPECT_GT(llQueued, 0);  // it does receive, only little
            EXPECT_LE(llQueued, kMaxQueued);
        } else {
            EXPECT_GT(llQueued, kMaxQueued);  // a receiver keeps its burst
        }
        // Sending is unaffected.
        CUdpNetLayer observer(kLoopback, 0, 64);
        ASSERT_EQ(0, SendText(endpoint, "sent", PortOf(observer)));
        const Received got = RecvText(observer);
        ASSERT_EQ(0, got.nRet);
        EXPECT_EQ("sent", got.text);
    }
}

// A batch receive keeps each datagram's length as the socket gave it, in
// arrival order, at most a batch at a time; one longer than its buffer is cut
// and marked. Without datagrams it waits until the wake descriptor is readable.
TEST(UdpNetLayer, BatchReceiveKeepsEachLengthAndOrder) {
    constexpr uint32_t kBufSize = 16;
    constexpr uint32_t kCapacity = 4;
    CUdpNetLayer endpoint(kLoopback, 0, 64);
    CUdpNetLayer sender(kLoopback, 0, 64);
    CNetRecvBatch batch(kCapacity, kBufSize);
    ASSERT_TRUE(batch.Valid());
    bool bWoken = true;
    EXPECT_EQ(NET_ERR_TIMEOUT, endpoint.RecvBatch(&batch, 0, -1, &bWoken));
    EXPECT_EQ(0u, batch.Count());
    EXPECT_FALSE(bWoken);

    struct Sent {
        std::string text;
        std::string expected;  // the bytes received
        bool bTruncated;
    };
    const std::vector<Sent> sent = {
        {"a", "a", false},
        {"", "", false},
        {"exactly sixteen!", "exactly sixteen!", false},
        {std::string(40, 'L'), std::string(kBufSize, 'L'), true},
        {std::string("with\0nul", 8), std::string("with\0nul", 8), false},
        {std::string(17, 'M'), std::string(kBufSize, 'M'), true},
        {"last", "last", false},
    };
    for (const Sent& s : sent) ASSERT_EQ(0, SendText(sender, s.text, PortOf(endpoint)));
    size_t nNext = 0;
    while (nNext < sent.size()) {
        ASSERT_EQ(0, endpoint.RecvBatch(&batch, kWaitMicros, -1, &bWoken));
        ASSERT_GE(batch.Count(), 1u);
        ASSERT_LE(batch.Count(), kCapacity);
        ASSERT_LE(nNext + batch.Count(), sent.size());
        for (uint32_t i = 0; i < batch.Count(); ++i, ++nNext) {
            SCOPED_TRACE("datagram " + std::to_string(nNext));
            const std::string got(reinterpret_cast<const char*>(batch.Data(i)), batch.Length(i));
            EXPECT_EQ(sent[nNext].expected, got);
            EXPECT_EQ(sent[nNext].bTruncated, batch.Truncated(i));
        }
    }
    EXPECT_EQ(NET_ERR_TIMEOUT, endpoint.RecvBatch(&batch, 0, -1, &bWoken));

    int nPipe[2] = {-1, -1};
    ASSERT_EQ(0, pipe(nPipe));
    ASSERT_EQ(1, write(nPipe[1], "w", 1));
    EXPECT_EQ(NET_ERR_TIMEOUT, endpoint.RecvBatch(&batch, kWaitMicros, nPipe[0], &bWoken));
    EXPECT_TRUE(bWoken);
    EXPECT_EQ(0u, batch.Count());
    (void)close(nPipe[0]);
    (void)close(nPipe[1]);

    CNetRecvBatch empty(0, kBufSize);
    EXPECT_FALSE(empty.Valid());
    EXPECT_EQ(NET_ERR_PARAM, endpoint.RecvBatch(&empty, 0, -1, nullptr));
    EXPECT_EQ(NET_ERR_PARAM, endpoint.RecvBatch(nullptr, 0, -1, nullptr));
    CUdpNetLayer noSocket(kForeignIp, 0, 64);
    EXPECT_EQ(NET_ERR_STATE, noSocket.RecvBatch(&batch, 0, -1, nullptr));
}

}  // namespace
