// Forwarding to the log daemon. These tests start a stand-in process named
// like the daemon and bind 127.0.0.1:12345 themselves, so they run under the
// zq_daemon resource lock.

#include "asynclog/ServerProbe.h"
#include "asynclog/ZIdOrereDov.h"

#include "tests/asynclog/EngineHelpers.h"
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

#include <string>

using zqtest::PollUntil;
using zqtest::PushWaiting;
using zqtest::TempDir;

namespace {

// A copy of sleep(1) named like the daemon: the process name is all that
// detection looks at. Stopped by its pid.
class StandInDaemon {
public:
    explicit StandInDaemon(const TempDir& dir) {
        const std::string exe = dir.File(kLogServerName);
        EXPECT_TRUE(zqtest::WriteFile(exe, zqtest::ReadFile("/bin/sleep")));
        EXPECT_EQ(0, chmod(exe.c_str(), 0755));
        m_pid = fork();
        if (m_pid == 0) {
            execl(exe.c_str(), kLogServerName, "120", static_cast<char*>(nullptr));
            _exit(127);
        }
        EXPECT_GT(m_pid, 0);
        EXPECT_TRUE(PollUntil([&] { return FindProcessByName(kLogServerName) == m_pid; }));
    }
    ~StandInDaemon() { Stop(); }
    void Stop() {
        if (m_pid <= 0) return;
        (void)kill(m_pid, SIGKILL);
        (void)waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// A plain UDP socket on 127.0.0.1:12345 standing for the daemon's receiver.
class Receiver {
public:
    Receiver() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        EXPECT_GE(m_fd, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kLogServerPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    }
    ~Receiver() { (void)close(m_fd); }
    // One datagram, or false when none comes within the deadline.
    bool Next(std::string* pData, uint16_t* pPort) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, 20000) != 1) return false;
        char buf[4096];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return false;
        pData->assign(buf, static_cast<size_t>(n));
        *pPort = ntohs(from.sin_port);
        return true;
    }

private:
    int m_fd = -1;
};

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
    StandInDaemon daemon(dir);
    Receiver receiver;
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

}  // namespace
