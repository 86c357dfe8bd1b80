// The real daemon forwarding its file set to rsyslog, killed with SIGKILL in
// the middle and started again: it resumes from its saved cursor. This
// process is a child subreaper, so the detached daemon stays its child and is
// stopped by its pid.

#include "asynclog/ServerProbe.h"
#include "platform/WireContract.h"
#include "server/InstanceLock.h"
#include "server/Stats.h"
#include "tests/support/TestSupport.h"
#include "tests/upstream/Collector.h"
#include "tests/upstream/UpstreamTestUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using zqtest::PollUntil;
using zqtest::ReadFile;

constexpr const char* kDaemonPath = ZQ_DAEMON_PATH;
constexpr auto kLong = std::chrono::seconds(240);

// Children of this process named ZuVozAdavid.
std::vector<pid_t> DaemonChildren() {
    std::vector<pid_t> vPids;
    DIR* pDir = opendir("/proc");
    if (pDir == nullptr) return vPids;
    while (dirent* pEnt = readdir(pDir)) {
        const pid_t nPid = static_cast<pid_t>(std::atoi(pEnt->d_name));
        if (nPid <= 0) continue;
        const std::string strStat = ReadFile("/proc/" + std::to_string(nPid) + "/stat");
        const size_t nOpen = strStat.find('(');
        const size_t nClose = strStat.rfind(')');
        if (nOpen == std::string::npos || nClose == std::string::npos) continue;
        char cState = 0;
        int nParent = 0;
        if (std::sscanf(strStat.c_str() + nClose + 1, " %c %d", &cState, &nParent) == 2 &&
            nParent == getpid() && cState != 'Z' &&
            strStat.substr(nOpen + 1, nClose - nOpen - 1) == kLogServerName) {
            vPids.push_back(nPid);
        }
    }
    closedir(pDir);
    return vPids;
}

bool ReceivePortBound() {
    return ReadFile("/proc/net/udp").find(" 0100007F:3039 ") != std::string::npos;
}

class DaemonForwardTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
            ASSERT_NE(nullptr, std::getenv("ZQ_TEST_SUBREAPER"));
        }
        ASSERT_LE(FindProcessByName(kLogServerName), 0) << "a ZuVozAdavid runs already";
        m_strRun = m_Dir.File("run");
        m_strLog = m_Dir.File("base/ZqSdkLog");
        ASSERT_EQ(0, mkdir(m_strRun.c_str(), 0755));
        ASSERT_EQ(0, mkdir(m_Dir.File("base").c_str(), 0755));
        ASSERT_EQ(0, mkdir(m_strLog.c_str(), 0755));
        ASSERT_TRUE(zqtest::WriteFile(m_strRun + "/Path.ini", m_Dir.File("base") + "\n"));
        m_nSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_nSocket, 0);
    }
    void TearDown() override {
        for (pid_t nPid : DaemonChildren()) {
            (void)kill(nPid, SIGKILL);
            (void)waitpid(nPid, nullptr, 0);
            ADD_FAILURE() << "a daemon was still running";
        }
        if (m_nSocket >= 0) close(m_nSocket);
    }

    // Starts the daemon; the pid of the detached daemon once it receives.
    pid_t StartDaemon() {
        const std::vector<std::string> vCmd = zqtest::TargetCommand({kDaemonPath}, m_Dir.Path());
        const pid_t nChild = fork();
        if (nChild == 0) {
            const int nNull = open("/dev/null", O_RDWR);
            if (nNull < 0 || dup2(nNull, 0) < 0 || dup2(nNull, 1) < 0 ||
                chdir(m_strRun.c_str()) != 0) {
                _exit(127);
            }
            std::vector<char*> vArgv;
            for (const std::string& s : vCmd) vArgv.push_back(const_cast<char*>(s.c_str()));
            vArgv.push_back(nullptr);
            execv(vArgv[0], vArgv.data());
            _exit(127);
        }
        int nStatus = 0;
        EXPECT_EQ(nChild, waitpid(nChild, &nStatus, 0));
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
        pid_t nDaemon = 0;
        const bool bUp = PollUntil(
            [&] {
                const std::vector<pid_t> vPids = DaemonChildren();
                nDaemon = vPids.size() == 1 ? vPids[0] : 0;
                return nDaemon != 0 && ReceivePortBound();
            },
            kLong);
        EXPECT_TRUE(bUp) << "the daemon did not come up";
        return bUp ? nDaemon : 0;
    }
    int StopDaemon(pid_t nPid, int nSignal) {
        EXPECT_EQ(0, kill(nPid, nSignal));
        int nStatus = -1;
        EXPECT_TRUE(PollUntil([&] { return waitpid(nPid, &nStatus, WNOHANG) == nPid; }, kLong));
        return nStatus;
    }
    void Send(uint64_t nFrom, uint64_t nTo) {
        sockaddr_in stTo{};
        stTo.sin_family = AF_INET;
        stTo.sin_port = htons(kLogServerPort);
        stTo.sin_addr.s_addr = htonl(kLoopbackIp);
        for (uint64_t k = nFrom; k <= nTo; ++k) {
            const std::string strLine = zqtest::RecordLine(k);
            (void)sendto(m_nSocket, strLine.data(), strLine.size(), 0,
                         reinterpret_cast<sockaddr*>(&stTo), sizeof(stTo));
            // Paced, so that the daemon's receive buffer never overflows, also
            // under an emulator.
            if (k % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // Lines in the daemon's current file.
    uint64_t LinesInSet() const {
        const std::string strText = ReadFile(m_strLog + "/SDK_00.log");
        uint64_t nLines = 0;
        for (char c : strText) nLines += c == '\n' ? 1 : 0;
        return nLines;
    }
    uint64_t SavedSeq() const {
        const std::string strState = ReadFile(m_strLog + "/SDK_forward.state");
        const size_t nAt = strState.find("\nseq=");
        return nAt == std::string::npos ? 0
                                        : std::strtoull(strState.c_str() + nAt + 5, nullptr, 10);
    }

    zqtest::TempDir m_Dir;
    std::string m_strRun;
    std::string m_strLog;
    int m_nSocket = -1;
};

TEST_F(DaemonForwardTest, KilledDaemonResumesFromItsCursor) {
    zqtest::CCollector collector(m_Dir.File("collector"), zqtest::ECollector::kRsyslogTcp);
    ASSERT_TRUE(collector.Start()) << collector.Log();
    ASSERT_TRUE(zqtest::WriteFile(
        m_strLog + "/LogServer.ini",
        zqtest::ForwardIni("Host=127.0.0.1\r\nPort=" + std::to_string(collector.Port()) + "\r\n")));
    pid_t nDaemon = StartDaemon();
    ASSERT_NE(0, nDaemon);
    std::thread sender([&] { Send(1, 3000); });
    // Killed in the middle, once the cursor has been saved on the way.
    EXPECT_TRUE(PollUntil([&] { return SavedSeq() > 500; }, kLong)) << collector.Log();
    const int nStatus = StopDaemon(nDaemon, SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(nStatus)) << nStatus;
    sender.join();
    const uint64_t nSaved = SavedSeq();
    const uint64_t nBefore = LinesInSet();

    nDaemon = StartDaemon();
    ASSERT_NE(0, nDaemon);
    Send(3001, 3500);
    // Every line of the file set arrives: the lines are numbered in file order.
    uint64_t nLines = 0;
    EXPECT_TRUE(PollUntil(
        [&] {
            nLines = LinesInSet();
            const std::map<uint64_t, int> mSeqs = collector.SeqCounts();
            for (uint64_t k = 1; k <= nLines; ++k) {
                if (mSeqs.count(k) == 0) return false;
            }
            return nLines >= nBefore + 500 && mSeqs.size() == nLines;
        },
        kLong))
        << nLines << " lines, " << collector.SeqCounts().size() << " arrived";
    // What came twice was sent again from the saved cursor, nothing before it.
    for (const auto& seq : collector.SeqCounts()) {
        if (seq.second > 1) {
            EXPECT_GE(seq.first, nSaved) << "seq " << seq.first;
        }
        EXPECT_LE(seq.second, 2) << "seq " << seq.first;
    }
    // The daemon's own notes are records too, and went along.
    bool bNoted = false;
    for (const std::string& strLine : collector.Lines()) {
        bNoted = bNoted || strLine.find("forwarding: connected to 127.0.0.1") != std::string::npos;
    }
    EXPECT_TRUE(bNoted);
    // The statistics tell what the sender did (root's daemon writes them into
    // its run directory).
    if (getuid() == 0) {
        std::string strStats;
        EXPECT_TRUE(PollUntil(
            [&] {
                strStats = zqtest::ReadFile(std::string(kRunDir) + "/" + kStatsFileName);
                return strStats.find("forward_connected 1\n") != std::string::npos &&
                       strStats.find("forwarded 0\n") == std::string::npos;
            },
            kLong))
            << strStats;
        EXPECT_NE(std::string::npos, strStats.find("forward_rotated_away 0\n")) << strStats;
    }
    const int nEnd = StopDaemon(nDaemon, SIGTERM);
    EXPECT_TRUE(WIFEXITED(nEnd) && WEXITSTATUS(nEnd) == 0) << nEnd;
    EXPECT_GE(SavedSeq(), nLines + 1) << "the cursor saved at stop is past every line";
}

}  // namespace
