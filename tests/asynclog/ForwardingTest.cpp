// Forwarding to the log daemon. These tests start a stand-in process named
// like the daemon that holds a socket bound to 127.0.0.1:12345, so they run
// under the zq_daemon resource lock.

#include "asynclog/ServerProbe.h"
#include "asynclog/ZIdOrereDov.h"
#include "platform/DaemonPaths.h"

#include "tests/asynclog/EngineHelpers.h"
#include "tests/asynclog/StandInDaemon.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

using zqtest::BindServerPort;
using zqtest::CopySleep;
using zqtest::PollUntil;
using zqtest::PushWaiting;
using zqtest::Receiver;
using zqtest::StandInDaemon;
using zqtest::TempDir;

namespace {

TEST(ForwardingTest, DetectionFollowsTheProcessName) {
    TempDir dir;
    EXPECT_EQ(0, FindProcessByName("no-such-process-zq"));
    EXPECT_EQ(0, FindProcessByName(""));
    EXPECT_EQ(0, FindProcessByName(nullptr));
    StandInDaemon daemon(dir);
    EXPECT_EQ(daemon.Pid(), FindProcessByName(kLogServerName));
    daemon.Stop();
    EXPECT_EQ(0, FindProcessByName(kLogServerName));
}

TEST(ForwardingTest, EachRecordBecomesOneDatagramOfExactlyItsLength) {
    TempDir dir;
    Receiver receiver;
    StandInDaemon daemon(dir, receiver.Fd());
    ZIdOrereDov engine;  // mode 2 by default
    ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "SDK"));
    ASSERT_EQ(1, engine.IsForwarding());

    const std::vector<std::string> texts = {std::string(100, 'h'), std::string(),
                                            std::string(1024, 'f'), "last\r\n"};
    for (const std::string& text : texts) PushWaiting(engine, text);
    for (const std::string& text : texts) {
        std::string got;
        uint16_t port = 0;
        ASSERT_TRUE(receiver.Next(&got, &port));
        EXPECT_EQ(text, got);
        EXPECT_EQ(kForwardPort, port);
    }
    engine.Stop();
    EXPECT_FALSE(zqtest::FileExists(dir.File("SDK_00.log")));  // no file in forwarding mode
    EXPECT_EQ(0u, engine.GetLostCount());
}

TEST(ForwardingTest, FileModeWhenNoDaemonRunsOrModeIsOne) {
    TempDir dir;
    {
        SCOPED_TRACE("mode 2, no daemon");
        ZIdOrereDov engine;
        ASSERT_EQ(0, FindProcessByName(kLogServerName));
        ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "M2"));
        EXPECT_EQ(0, engine.IsForwarding());
        PushWaiting(engine, "two\r\n");
    }
    StandInDaemon daemon(dir);
    {
        SCOPED_TRACE("mode 1 with the daemon running");
        ZIdOrereDov engine;
        engine.SetMode(1);
        ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "M1"));
        EXPECT_EQ(0, engine.IsForwarding());
        PushWaiting(engine, "one\r\n");
    }
    EXPECT_EQ("two\r\n", zqtest::ReadFile(dir.File("M2_00.log")));
    EXPECT_EQ("one\r\n", zqtest::ReadFile(dir.File("M1_00.log")));
}

// What a local user can set up to make clients forward into nothing or to
// the user: a copy of sleep named like the daemon, run as uid 65534, alone or
// holding the user's socket on the daemon's port. Root's client must find no
// daemon and write its own files.
TEST(ForwardingTest, AProcessNamedLikeTheDaemonIsNoDaemon) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run processes as uid 65534";
    TempDir dir;
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));  // uid 65534 runs the copy from it
    const std::string exe = CopySleep(dir);
    const std::vector<std::string> vFake = {exe, "120"};
    auto Named = [](pid_t nPid) {
        return zqtest::ReadFile("/proc/" + std::to_string(nPid) + "/comm") ==
               std::string(kLogServerName) + "\n";
    };
    struct Case {
        const char* szName;
        bool bUserSocket;   // the fake holds a socket of its own on the port
        bool bRootSocket;   // this process holds one (root's)
        bool bRootStandIn;  // ... and a stand-in of root holds it too
    } kCases[] = {
        {"the name alone, the port free", false, false, false},
        {"the name and the user's socket on the port", true, false, false},
        {"the name, root's socket held by someone else", false, true, false},
        {"root's stand-in, but the user's socket shares the port", true, true, true},
    };
    int nCase = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szName);
        const std::string strPrefix = "C" + std::to_string(++nCase);
        // Address reuse on both sides only where the two share the port.
        std::unique_ptr<Receiver> pRoot(c.bRootSocket ? new Receiver(c.bRootStandIn) : nullptr);
        std::unique_ptr<StandInDaemon> pStandIn(c.bRootStandIn ? new StandInDaemon(dir, pRoot->Fd())
                                                               : nullptr);
        const bool bReuse = c.bRootStandIn;
        zqtest::UserProcess fake(
            zqtest::kNobody,
            [&] {
                // Without close-on-exec: the fake keeps the socket.
                if (c.bUserSocket && BindServerPort(bReuse, 0) < 0) return 1;
                return 0;
            },
            vFake);
        ASSERT_EQ(0, fake.Status()) << "uid 65534 could not set up";
        ASSERT_TRUE(PollUntil([&] { return Named(fake.Pid()); }));

        EXPECT_EQ(0, FindProcessByName(kLogServerName));
        ZIdOrereDov engine;  // mode 2
        ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), strPrefix.c_str()));
        EXPECT_EQ(0, engine.IsForwarding());
        PushWaiting(engine, "own file\r\n");
        engine.Stop();
        EXPECT_EQ("own file\r\n", zqtest::ReadFile(dir.File(strPrefix + "_00.log")));
    }
}

// Nobody reads a client's sending socket, and anyone may send to it: what
// queues there must stay small.
TEST(ForwardingTest, NeverReadSendingSocketHoldsLittleKernelMemory) {
    constexpr long long kMaxQueued = 256 * 1024;  // the kernel's minimum plus one datagram
    TempDir dir;
    Receiver receiver;
    StandInDaemon daemon(dir, receiver.Fd());
    ZIdOrereDov engine;
    ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "SDK"));
    ASSERT_EQ(1, engine.IsForwarding());

    // 24 MB, more than the largest buffer a socket can be given.
    const uid_t nUid = geteuid() == 0 ? zqtest::kNobody : geteuid();
    ASSERT_EQ(0, zqtest::RunAsUser(
                     nUid, [] { return zqtest::FloodLoopback(kForwardPort, 400, 60000) ? 0 : 1; }));
    const long long llQueued = zqtest::QueuedBytes(kForwardPort);
    EXPECT_GE(llQueued, 0) << "no socket on 127.0.0.1:" << kForwardPort;
    EXPECT_LE(llQueued, kMaxQueued);

    PushWaiting(engine, "still forwarded\r\n");
    std::string got;
    uint16_t port = 0;
    ASSERT_TRUE(receiver.Next(&got, &port));
    EXPECT_EQ("still forwarded\r\n", got);
}

}  // namespace
