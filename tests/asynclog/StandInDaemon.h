#pragma once

// A stand-in for the log daemon on 127.0.0.1:12345, for the tests of
// forwarding: a receiver socket on the daemon's port and a process named like
// the daemon that holds it. Their users run under the zq_daemon resource lock.

#include "asynclog/ServerProbe.h"
#include "platform/DaemonPaths.h"
#include "platform/WireContract.h"
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

namespace zqtest {

// A socket bound to 127.0.0.1:12345, without address reuse as the daemon binds
// it, or with it; -1 when the bind failed. nFlags SOCK_CLOEXEC or 0.
inline int BindServerPort(bool bReuse = false, int nFlags = SOCK_CLOEXEC) {
    return BindUdp(kLoopbackIp, kLogServerPort, bReuse, false, nFlags);
}

// A copy of sleep(1) in dir, named like the daemon.
inline std::string CopySleep(const TempDir& dir) {
    const std::string exe = dir.File(kLogServerName);
    EXPECT_TRUE(WriteFile(exe, ReadFile("/bin/sleep")));
    EXPECT_EQ(0, chmod(exe.c_str(), 0755));
    return exe;
}

// A copy of sleep(1) named like the daemon that holds the socket bound to the
// daemon's port, as the daemon does: nHeld (a socket of this process, which
// keeps it too) or one of its own. Stopped by its pid.
class StandInDaemon {
public:
    explicit StandInDaemon(const TempDir& dir, int nHeld = -1) {
        const std::string exe = CopySleep(dir);
        m_nOwnSocket = nHeld < 0 ? BindServerPort() : -1;
        EXPECT_TRUE(nHeld >= 0 || m_nOwnSocket >= 0) << "127.0.0.1:12345 is taken";
        const int nSocket = nHeld >= 0 ? nHeld : m_nOwnSocket;
        m_pid = fork();
        if (m_pid == 0) {
            // dup clears close-on-exec: the socket lives on in the stand-in.
            if (dup(nSocket) < 0) _exit(127);
            execl(exe.c_str(), kLogServerName, "120", static_cast<char*>(nullptr));
            _exit(127);
        }
        EXPECT_GT(m_pid, 0);
        EXPECT_TRUE(PollUntil([&] { return FindProcessByName(kLogServerName) == m_pid; }));
    }
    ~StandInDaemon() { Stop(); }
    StandInDaemon(const StandInDaemon&) = delete;
    StandInDaemon& operator=(const StandInDaemon&) = delete;
    void Stop() {
        if (m_nOwnSocket >= 0) (void)close(m_nOwnSocket);
        m_nOwnSocket = -1;
        if (m_pid <= 0) return;
        (void)kill(m_pid, SIGKILL);
        (void)waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_nOwnSocket = -1;
};

// A plain UDP socket on 127.0.0.1:12345 standing for the daemon's receiver.
class Receiver {
public:
    explicit Receiver(bool bReuse = false) : m_fd(BindServerPort(bReuse)) {
        EXPECT_GE(m_fd, 0) << "127.0.0.1:12345 is taken";
    }
    ~Receiver() { (void)close(m_fd); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    int Fd() const { return m_fd; }
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

}  // namespace zqtest
