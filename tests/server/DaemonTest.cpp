// End-to-end tests of the daemon ZuVozAdavid and the client zqlog, as real
// processes on the real port 12345. This process is a child subreaper, so the
// daemon, which detaches with daemon(0, 0), stays its descendant: it is found
// by its parent id, stopped with SIGTERM and reaped with waitpid.

#include "asynclog/ServerProbe.h"
#include "platform/UdpNetLayer.h"
#include "server/InstanceLock.h"
#include "server/MessageRecv.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using zqtest::FileExists;
using zqtest::FileSize;
using zqtest::kNobody;
using zqtest::PollUntil;
using zqtest::ReadFile;
using zqtest::WriteFile;

constexpr const char* kDaemonPath = ZQ_DAEMON_PATH;
constexpr const char* kZqlogPath = ZQ_ZQLOG_PATH;
constexpr const char* kDaemonName = "ZuVozAdavid";
constexpr int kExecFailed = 127;
constexpr long long kMiB = 1 << 20;

// Parent id and name of a process from /proc/<pid>/stat; false when it is gone.
bool ReadStat(pid_t nPid, pid_t* pParent, std::string* pName) {
    const std::string strStat = ReadFile("/proc/" + std::to_string(nPid) + "/stat");
    const size_t nOpen = strStat.find('(');
    const size_t nClose = strStat.rfind(')');
    if (nOpen == std::string::npos || nClose == std::string::npos) return false;
    *pName = strStat.substr(nOpen + 1, nClose - nOpen - 1);
    char cState = 0;
    int nParent = 0;
    if (std::sscanf(strStat.c_str() + nClose + 1, " %c %d", &cState, &nParent) != 2) return false;
    *pParent = nParent;
    return true;
}

// Processes whose parent is this process, optionally only those with a name.
std::vector<pid_t> Children(const char* pName = nullptr) {
    std::vector<pid_t> vPids;
    DIR* pDir = opendir("/proc");
    if (pDir == nullptr) return vPids;
    while (dirent* pEnt = readdir(pDir)) {
        const pid_t nPid = static_cast<pid_t>(std::atoi(pEnt->d_name));
        pid_t nParent = 0;
        std::string strName;
        if (nPid > 0 && ReadStat(nPid, &nParent, &strName) && nParent == getpid() &&
            (pName == nullptr || strName == pName)) {
            vPids.push_back(nPid);
        }
    }
    closedir(pDir);
    return vPids;
}

// A live daemon; a stopped one that its parent has not reaped yet is a zombie
// and does not count.
bool AnyDaemonRuns() { return FindProcessByName(kDaemonName) > 0; }

// True when a socket is bound to 127.0.0.1:12345 (the daemon is receiving).
bool ReceivePortBound() {
    return ReadFile("/proc/net/udp").find(" 0100007F:3039 ") != std::string::npos;
}

// Waits for a child with a deadline; SIGKILLs it when the deadline passes.
// Returns the wait status, or -1 when it had to be killed.
int WaitChild(pid_t nPid) {
    int nStatus = 0;
    pid_t nDone = 0;
    const bool bEnded = PollUntil([&] {
        nDone = waitpid(nPid, &nStatus, WNOHANG);
        return nDone != 0;
    });
    if (bEnded && nDone == nPid) return nStatus;
    (void)kill(nPid, SIGKILL);
    (void)waitpid(nPid, &nStatus, 0);
    return -1;
}

std::string Describe(int nStatus) {
    if (nStatus == -1) return "did not end in time (killed)";
    if (WIFEXITED(nStatus)) return "exit " + std::to_string(WEXITSTATUS(nStatus));
    if (WIFSIGNALED(nStatus)) return std::string("signal ") + strsignal(WTERMSIG(nStatus));
    return "status " + std::to_string(nStatus);
}

// Sends datagrams to 127.0.0.1:12345 from an ephemeral port, and receives its
// own marker datagrams (see Barrier).
class CSender {
public:
    CSender() {
        m_nSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in stAddr{};
        stAddr.sin_family = AF_INET;
        stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof(stAddr);
        if (m_nSocket < 0 || bind(m_nSocket, reinterpret_cast<sockaddr*>(&stAddr), nLen) != 0 ||
            getsockname(m_nSocket, reinterpret_cast<sockaddr*>(&m_stSelf), &nLen) != 0) {
            ADD_FAILURE() << "cannot open the sending socket: " << std::strerror(errno);
        }
    }
    ~CSender() { (void)close(m_nSocket); }

    void Send(const std::string& strData) {
        sockaddr_in stTo{};
        stTo.sin_family = AF_INET;
        stTo.sin_port = htons(kLogServerPort);
        stTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const ssize_t nSent = sendto(m_nSocket, strData.data(), strData.size(), 0,
                                     reinterpret_cast<sockaddr*>(&stTo), sizeof(stTo));
        EXPECT_EQ(static_cast<ssize_t>(strData.size()), nSent) << std::strerror(errno);
    }

    // Returns once every datagram sent before has reached its receiving socket.
    // Loopback datagrams queue, in order, on the backlog of the CPU that sent
    // them; the caller sent from one CPU (PinToOneCpu), so when a marker sent
    // from that CPU to this socket has arrived, the earlier datagrams have been
    // delivered too.
    bool Barrier() {
        const char cMark = 'm';
        if (sendto(m_nSocket, &cMark, 1, 0, reinterpret_cast<sockaddr*>(&m_stSelf),
                   sizeof(m_stSelf)) != 1) {
            return false;
        }
        pollfd stPoll{m_nSocket, POLLIN, 0};
        char cGot = 0;
        return poll(&stPoll, 1, 20000) == 1 && recv(m_nSocket, &cGot, 1, 0) == 1 && cGot == cMark;
    }

private:
    int m_nSocket;
    sockaddr_in m_stSelf{};
};

// Keeps the calling thread on the CPU it runs on, for the life of the object.
class CPinToOneCpu {
public:
    CPinToOneCpu() {
        m_bPinned = sched_getaffinity(0, sizeof(m_stOld), &m_stOld) == 0;
        cpu_set_t stOne;
        CPU_ZERO(&stOne);
        CPU_SET(sched_getcpu(), &stOne);
        m_bPinned = m_bPinned && sched_setaffinity(0, sizeof(stOne), &stOne) == 0;
        EXPECT_TRUE(m_bPinned) << std::strerror(errno);
    }
    ~CPinToOneCpu() {
        if (m_bPinned) (void)sched_setaffinity(0, sizeof(m_stOld), &m_stOld);
    }

private:
    cpu_set_t m_stOld{};
    bool m_bPinned = false;
};

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Under an emulator that refuses the request, the launcher of the
        // cross build made this process a subreaper before the emulator ran.
        if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
            ASSERT_NE(nullptr, std::getenv("ZQ_TEST_SUBREAPER"))
                << "cannot become a child subreaper: " << std::strerror(errno);
        }
        ASSERT_FALSE(AnyDaemonRuns()) << "a ZuVozAdavid runs already; these tests need port "
                                         "12345 and the daemon's name for themselves";
        m_strSanDir = m_Dir.File("sanitizer");
        ASSERT_EQ(0, mkdir(m_strSanDir.c_str(), 0777));
        ASSERT_EQ(0, chmod(m_strSanDir.c_str(), 0777));  // the umask may have cut it
    }

    void TearDown() override {
        for (pid_t nPid : Children()) {
            (void)kill(nPid, SIGKILL);
            int nStatus = 0;
            (void)waitpid(nPid, &nStatus, 0);
            ADD_FAILURE() << "process " << nPid << " was still running";
        }
        // Reports of the sanitizers in the child processes, whose standard error
        // is gone after daemon().
        DIR* pDir = opendir(m_strSanDir.c_str());
        ASSERT_NE(nullptr, pDir);
        while (dirent* pEnt = readdir(pDir)) {
            if (pEnt->d_name[0] != '.') {
                ADD_FAILURE() << ReadFile(m_strSanDir + "/" + pEnt->d_name);
            }
        }
        closedir(pDir);
    }

    // Runs a program in a child process with the working directory strCwd, its
    // standard input from strStdin (empty: /dev/null) and its standard output
    // and error into strOut; as uid nUid when it is not the current one. Waits
    // for the child (not for what it detached) and returns its wait status.
    int Run(const std::vector<std::string>& vArgs, const std::string& strCwd,
            const std::string& strStdin, const std::string& strOut, uid_t nUid = getuid()) {
        std::vector<std::string> vEnv;
        for (char** pp = environ; *pp != nullptr; ++pp) {
            const std::string strVar = *pp;
            if (strVar.rfind("ASAN_OPTIONS=", 0) != 0 && strVar.rfind("TSAN_OPTIONS=", 0) != 0 &&
                strVar.rfind("UBSAN_OPTIONS=", 0) != 0) {
                vEnv.push_back(strVar);
            }
        }
        for (const char* pTool : {"ASAN", "TSAN", "UBSAN"}) {
            const std::string strName = std::string(pTool) + "_OPTIONS";
            const char* pOld = std::getenv(strName.c_str());
            std::string strLower(pTool);
            for (char& c : strLower) c = static_cast<char>(std::tolower(c));
            vEnv.push_back(strName + "=" + (pOld != nullptr ? pOld : "") +
                           ":log_path=" + m_strSanDir + "/" + strLower);
        }
        // The project's own programs run through the emulator of a cross build.
        const bool bOwn = vArgs[0] == kDaemonPath || vArgs[0] == kZqlogPath;
        const std::vector<std::string> vCmd =
            bOwn ? zqtest::TargetCommand(vArgs, m_Dir.Path()) : vArgs;
        std::vector<char*> vArgv;
        for (const std::string& s : vCmd) vArgv.push_back(const_cast<char*>(s.c_str()));
        vArgv.push_back(nullptr);
        std::vector<char*> vEnvp;
        for (const std::string& s : vEnv) vEnvp.push_back(const_cast<char*>(s.c_str()));
        vEnvp.push_back(nullptr);
        const std::string strIn = strStdin.empty() ? "/dev/null" : strStdin;

        const pid_t nPid = fork();
        if (nPid == 0) {
            const int nIn = open(strIn.c_str(), O_RDONLY);
            const int nOut = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (nIn < 0 || nOut < 0 || dup2(nIn, 0) < 0 || dup2(nOut, 1) < 0 || dup2(nOut, 2) < 0 ||
                chdir(strCwd.c_str()) != 0) {
                _exit(kExecFailed);
            }
            if (nUid != getuid() &&
                (setgroups(0, nullptr) != 0 || setgid(nUid) != 0 || setuid(nUid) != 0)) {
                _exit(kExecFailed);
            }
            execve(vArgv[0], vArgv.data(), vEnvp.data());
            _exit(kExecFailed);
        }
        if (nPid < 0) return -1;
        return WaitChild(nPid);
    }

    // Starts the daemon in strCwd and returns the pid of the detached daemon
    // once it receives on its port; 0 when it did not come up.
    pid_t StartDaemon(const std::string& strCwd, uid_t nUid = getuid()) {
        const std::string strOut = m_Dir.File("daemon.out");
        const int nStatus = Run({kDaemonPath}, strCwd, "", strOut, nUid);
        EXPECT_EQ(0, nStatus) << Describe(nStatus) << ": " << ReadFile(strOut);
        if (nStatus != 0) return 0;
        pid_t nDaemon = 0;
        const bool bUp = PollUntil([&] {
            const std::vector<pid_t> vPids = Children(kDaemonName);
            if (vPids.size() == 1) nDaemon = vPids[0];
            return nDaemon != 0 && ReceivePortBound();
        });
        EXPECT_TRUE(bUp) << "the daemon did not come up";
        return bUp ? nDaemon : 0;
    }

    // Stops the daemon with nSignal and returns its wait status.
    int StopDaemon(pid_t nPid, int nSignal = SIGTERM) {
        EXPECT_EQ(0, kill(nPid, nSignal));
        return WaitChild(nPid);
    }

    // A base directory whose Path.ini lies in the returned working directory.
    std::string MakeRunDir(const std::string& strName, const std::string& strPathIni) {
        const std::string strRun = m_Dir.File(strName);
        EXPECT_EQ(0, mkdir(strRun.c_str(), 0755));
        EXPECT_TRUE(WriteFile(strRun + "/Path.ini", strPathIni));
        return strRun;
    }

    zqtest::TempDir m_Dir;
    std::string m_strSanDir;
};

std::string LogFile(const std::string& strBase, int nIndex) {
    return strBase + "/ZqSdkLog/SDK_0" + std::to_string(nIndex) + ".log";
}

TEST_F(DaemonTest, WritesEachDatagramUnchangedUnderTheBaseOfPathIni) {
    // First line only, backslashes turned into slashes, CR LF cut.
    const std::string strBase = m_Dir.File("base");
    std::string strIni = strBase;
    for (char& c : strIni) c = c == '/' ? '\\' : c;
    const std::string strRun = MakeRunDir("run", strIni + "\r\n/elsewhere\r\n");
    const pid_t nDaemon = StartDaemon(strRun);
    ASSERT_NE(0, nDaemon);

    const std::string strSlotFull(1024, 'f');
    const struct {
        std::string strSent;
        std::string strWritten;
    } kCases[] = {
        {"first record\r\n", "first record\r\n"},
        {std::string("cut at\0 the NUL", 15), "cut at"},
        {"", ""},
        {strSlotFull, strSlotFull},                  // fills a ring slot
        {std::string(1025, 'x'), ""},                // one byte too long
        {std::string(kRecvBufSize, 'b'), ""},        // fills the receive buffer
        {std::string(kRecvBufSize + 100, 'c'), ""},  // cut by the socket
        {"two\r\nlines\r\n", "two\r\nlines\r\n"},
        {"last\r\n", "last\r\n"},
    };
    CSender stSender;
    std::string strExpected;
    for (const auto& stCase : kCases) {
        stSender.Send(stCase.strSent);
        strExpected += stCase.strWritten;
    }
    const std::string strFile = LogFile(strBase, 0);
    EXPECT_TRUE(PollUntil([&] { return FileSize(strFile) >= (long long)strExpected.size(); }));
    EXPECT_EQ(0, StopDaemon(nDaemon));
    EXPECT_EQ(strExpected, ReadFile(strFile));
    EXPECT_FALSE(FileExists(LogFile(strBase, 1)));
    // A first start leaves the default settings to edit.
    EXPECT_EQ("[Level]\r\nLogLevel=4\r\n[File]\r\nFileSize=20\r\nFileNum=10\r\n",
              ReadFile(strBase + "/ZqSdkLog/LogServer.ini"));
}

TEST_F(DaemonTest, StopSignalWritesEveryQueuedDatagramAndRemovesThePidFile) {
    for (int nSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(nSignal));
        const std::string strBase = m_Dir.File(std::string("base") + std::to_string(nSignal));
        const pid_t nDaemon = StartDaemon(MakeRunDir("run" + std::to_string(nSignal), strBase));
        ASSERT_NE(0, nDaemon);
        const std::string strPidText = std::to_string(nDaemon) + "\n";
        // Without a run directory the pid file lies in the log directory.
        const std::string strPidFallback = strBase + "/ZqSdkLog/" + kPidFileName;
        EXPECT_TRUE(PollUntil([&] {
            return ReadFile(kPidFilePath) == strPidText || ReadFile(strPidFallback) == strPidText;
        })) << "no pid file names "
            << nDaemon;

        // Frozen, the daemon cannot read: the records queue on its socket and
        // the stop request finds them there.
        ASSERT_EQ(0, kill(nDaemon, SIGSTOP));
        int nStatus = 0;
        ASSERT_EQ(nDaemon, waitpid(nDaemon, &nStatus, WUNTRACED));
        ASSERT_TRUE(WIFSTOPPED(nStatus));
        std::string strExpected;
        {
            CPinToOneCpu stPin;
            CSender stSender;
            for (int i = 0; i < 300; ++i) {
                const std::string strRecord = "queued " + std::to_string(i) + "\r\n";
                stSender.Send(strRecord);
                strExpected += strRecord;
            }
            ASSERT_TRUE(stSender.Barrier());
        }
        ASSERT_EQ(0, kill(nDaemon, nSignal));
        ASSERT_EQ(0, kill(nDaemon, SIGCONT));
        nStatus = WaitChild(nDaemon);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << Describe(nStatus);
        const std::string strGot = ReadFile(LogFile(strBase, 0));
        EXPECT_TRUE(strGot == strExpected)
            << zqtest::SplitCrLf(strGot).size() << " lines of 300 written: '" << strGot << "'";
        EXPECT_NE(strPidText, ReadFile(kPidFilePath));
        EXPECT_NE(strPidText, ReadFile(strPidFallback));
    }
}

TEST_F(DaemonTest, SecondDaemonRefusesToStartAndTheFirstGoesOn) {
    const std::string strBase = m_Dir.File("base");
    const pid_t nFirst = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nFirst);

    const std::string strOtherBase = m_Dir.File("other");
    const std::string strOut = m_Dir.File("second.out");
    const int nStatus = Run({kDaemonPath}, MakeRunDir("run2", strOtherBase), "", strOut);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) != 0) << Describe(nStatus);
    EXPECT_NE(std::string::npos, ReadFile(strOut).find("already running")) << ReadFile(strOut);
    EXPECT_FALSE(FileExists(strOtherBase));
    EXPECT_EQ(std::vector<pid_t>{nFirst}, Children(kDaemonName));

    CSender stSender;
    stSender.Send("still here\r\n");
    EXPECT_TRUE(PollUntil([&] { return ReadFile(LogFile(strBase, 0)) == "still here\r\n"; }));
    EXPECT_EQ(0, StopDaemon(nFirst));
}

TEST_F(DaemonTest, ReadOnlyPathIniIsHonoured) {
    // Root may write any file, so the daemon runs as an unprivileged user for
    // whom the Path.ini (root's, mode 0444) is read-only.
    if (getuid() != 0) GTEST_SKIP() << "needs root to start the daemon as uid 65534";
    const std::string strBase = m_Dir.File("base");
    const std::string strRun = MakeRunDir("run", strBase + "\n");
    ASSERT_EQ(0, chmod((strRun + "/Path.ini").c_str(), 0444));
    ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(strBase.c_str(), 0755));
    ASSERT_EQ(0, chown(strBase.c_str(), kNobody, kNobody));
    const int nProbe = Run({"/bin/sh", "-c", std::string("test -x ") + kDaemonPath}, strRun, "",
                           m_Dir.File("probe.out"), kNobody);
    if (nProbe != 0) GTEST_SKIP() << "uid 65534 cannot run " << kDaemonPath;

    const pid_t nDaemon = StartDaemon(strRun, kNobody);
    ASSERT_NE(0, nDaemon);
    CSender stSender;
    stSender.Send("as nobody\r\n");
    EXPECT_TRUE(PollUntil([&] { return ReadFile(LogFile(strBase, 0)) == "as nobody\r\n"; }));
    EXPECT_EQ(0, StopDaemon(nDaemon));
}

// The fields of a zqlog record between the time stamp and the process id.
std::string RecordFields(const std::string& strDev, const std::string& strModule, size_t nLine) {
    char szLine[32];
    std::snprintf(szLine, sizeof(szLine), "%04zu", nLine);
    return "  DevID:" + strDev + "  Source-Line:" + strModule + "(zqlog-L" + szLine +
           ")  ProcessName:zqlog(";
}

// Checks that strFile holds exactly the records (level word, fields and text)
// in order; the time stamps and process ids are not compared.
void ExpectRecords(const std::string& strFile, const std::string& strLevel,
                   const std::string& strDev, const std::string& strModule,
                   const std::vector<std::string>& vTexts) {
    const std::vector<std::string> vLines = zqtest::SplitCrLf(ReadFile(strFile));
    ASSERT_EQ(vTexts.size(), vLines.size()) << strFile;
    for (size_t i = 0; i < vTexts.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const std::string& strLine = vLines[i];
        EXPECT_EQ(0u, strLine.find(strLevel + std::string(8 - strLevel.size(), ' '))) << strLine;
        // zqlog numbers the records by their input line; arguments are line 1.
        EXPECT_NE(std::string::npos, strLine.find(RecordFields(strDev, strModule, i + 1)))
            << strLine;
        const std::string strEnd = "     Description:[]" + vTexts[i];
        ASSERT_GE(strLine.size(), strEnd.size());
        EXPECT_EQ(strEnd, strLine.substr(strLine.size() - strEnd.size()));
    }
}

TEST_F(DaemonTest, ZqlogForwardsToTheDaemonAndWritesItsOwnFilesOtherwise) {
    const std::string strOut = m_Dir.File("zqlog.out");
    EXPECT_EQ(0, Run({kZqlogPath, "--help"}, m_Dir.Path(), "", strOut));
    EXPECT_NE(std::string::npos, ReadFile(strOut).find("Usage: zqlog"));
    EXPECT_NE(0, Run({kZqlogPath, "-l", "loud", "x"}, m_Dir.Path(), "", strOut));

    // Lines of standard input, many more than the ring holds: zqlog waits for
    // room when the ring is full instead of dropping lines.
    auto MakeInput = [&](int nCount, const std::string& strName) {
        std::vector<std::string> vTexts;
        std::string strInput;
        for (int i = 0; i < nCount; ++i) {
            vTexts.push_back("line " + std::to_string(i) + " of " + strName);
            strInput += vTexts.back() + (i % 2 == 0 ? "\n" : "\r\n");
        }
        EXPECT_TRUE(WriteFile(m_Dir.File(strName), strInput));
        return vTexts;
    };

    {
        SCOPED_TRACE("no daemon: zqlog's own files");
        const std::string strOwn = m_Dir.File("own");
        const std::vector<std::string> vArgs = {kZqlogPath, "-D",      strOwn, "-p",   "tool",
                                                "-l",       "warning", "-d",   "cam0", "-m",
                                                "net",      "hello",   "world"};
        ASSERT_EQ(0, Run(vArgs, m_Dir.Path(), "", strOut)) << ReadFile(strOut);
        ExpectRecords(strOwn + "/tool_00.log", "Warning", "cam0", "net", {"hello world"});

        const std::vector<std::string> vTexts = MakeInput(20000, "input.txt");
        ASSERT_EQ(0, Run({kZqlogPath, "--dir", strOwn, "--prefix", "many", "--level", "7"},
                         m_Dir.Path(), m_Dir.File("input.txt"), strOut))
            << ReadFile(strOut);
        ExpectRecords(strOwn + "/many_00.log", "Trace", "", "", vTexts);
    }
    {
        SCOPED_TRACE("daemon running: forwarded");
        const std::string strBase = m_Dir.File("base");
        const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
        ASSERT_NE(0, nDaemon);
        const std::string strOwn = m_Dir.File("unused");
        // Fewer lines than the daemon's ring holds: it needs no pacing.
        const std::vector<std::string> vTexts = MakeInput(300, "fwd.txt");
        ASSERT_EQ(0, Run({kZqlogPath, "-D", strOwn, "-d", "dev1", "-m", "fwd", "-l", "error"},
                         m_Dir.Path(), m_Dir.File("fwd.txt"), strOut))
            << ReadFile(strOut);
        const std::string strFile = LogFile(strBase, 0);
        EXPECT_TRUE(PollUntil(
            [&] { return zqtest::SplitCrLf(ReadFile(strFile)).size() >= vTexts.size(); }));
        EXPECT_EQ(0, StopDaemon(nDaemon));
        ExpectRecords(strFile, "Error", "dev1", "fwd", vTexts);
        EXPECT_FALSE(FileExists(strOwn));
    }
}

// Record seq of the rotation test: whole, numbered, of varying length.
std::string SeqRecord(uint32_t nSeq) {
    std::string strRecord = "seq " + std::to_string(nSeq) + " ";
    strRecord.append(600 + (nSeq * 37) % 400, static_cast<char>('a' + nSeq % 26));
    return strRecord + "\r\n";
}

TEST_F(DaemonTest, RotatesUnderLoadWithoutLossAndFollowsARaisedFileNum) {
    const std::string strBase = m_Dir.File("base");
    const std::string strCfg = strBase + "/ZqSdkLog/LogServer.ini";
    ASSERT_EQ(0, mkdir(strBase.c_str(), 0755));
    ASSERT_EQ(0, mkdir((strBase + "/ZqSdkLog").c_str(), 0755));
    ASSERT_TRUE(WriteFile(strCfg, "[File]\r\nFileSize=10\r\nFileNum=2\r\n"));
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);

    auto TotalSize = [&] {
        long long llTotal = 0;
        for (int i = 0; i < 3; ++i) llTotal += std::max(0LL, FileSize(LogFile(strBase, i)));
        return llTotal;
    };
    CSender stSender;
    std::string strExpected;
    uint32_t nSeq = 0;
    // Sends in bursts far smaller than the ring and the socket buffer, each
    // written before the next is sent, until llBytes have been sent.
    auto SendUntil = [&](long long llBytes) {
        while (static_cast<long long>(strExpected.size()) < llBytes) {
            for (int i = 0; i < 64; ++i, ++nSeq) {
                const std::string strRecord = SeqRecord(nSeq);
                stSender.Send(strRecord);
                strExpected += strRecord;
            }
            const long long llSent = static_cast<long long>(strExpected.size());
            if (!PollUntil([&] { return TotalSize() >= llSent; })) return false;
        }
        return true;
    };

    ASSERT_TRUE(SendUntil(10 * kMiB + 64 * 1024));
    EXPECT_TRUE(FileExists(LogFile(strBase, 1)));
    // Two files kept so far; now three, without a restart. The writer notices
    // the new modification time within 300 passes (each record is one).
    ASSERT_TRUE(WriteFile(strCfg, "[File]\r\nFileSize=10\r\nFileNum=3\r\n"));
    const long long llStart = static_cast<long long>(time(nullptr));
    ASSERT_TRUE(zqtest::SetMTime(strCfg, llStart + 100));
    ASSERT_TRUE(SendUntil(20 * kMiB + 64 * 1024));
    EXPECT_EQ(0, StopDaemon(nDaemon));

    const std::string strOldest = ReadFile(LogFile(strBase, 2));
    const std::string strMiddle = ReadFile(LogFile(strBase, 1));
    ASSERT_FALSE(strOldest.empty()) << "the raised FileNum was not applied";
    for (const std::string* pFile : {&strOldest, &strMiddle}) {
        EXPECT_GE(static_cast<long long>(pFile->size()), 10 * kMiB);
        EXPECT_LT(static_cast<long long>(pFile->size()), 10 * kMiB + 1024);
    }
    // Every record exactly once, whole and in order across the set.
    const std::string strAll = strOldest + strMiddle + ReadFile(LogFile(strBase, 0));
    if (strAll != strExpected) {
        const size_t nAt = static_cast<size_t>(
            std::mismatch(strAll.begin(), strAll.end(), strExpected.begin(), strExpected.end())
                .first -
            strAll.begin());
        FAIL() << "files differ from the records sent at byte " << nAt << " of "
               << strExpected.size() << ": '" << strAll.substr(nAt > 40 ? nAt - 40 : 0, 80) << "'";
    }
}

std::string ModeOf(const std::string& strPath) {
    struct stat st {};
    if (lstat(strPath.c_str(), &st) != 0) return "missing";
    char szMode[8];
    std::snprintf(szMode, sizeof(szMode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return szMode;
}

// Every way a user may try to bind the daemon's port; the sockets that get it
// stay open in the user's process while the records are sent.
TEST_F(DaemonTest, NoOtherUserCanBindThePortWhileTheDaemonRuns) {
    const std::string strBase = m_Dir.File("base");
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    const uid_t nUid = getuid() == 0 ? kNobody : getuid();
    zqtest::UserProcess stUser(nUid, [] {
        const struct {
            uint32_t nIp;
            bool bReuseAddr;
            bool bReusePort;
        } kTries[] = {{kLoopbackIp, false, false},
                      {kLoopbackIp, true, false},
                      {kLoopbackIp, false, true},
                      {kLoopbackIp, true, true},
                      {0, true, true}};
        int nBound = 0;
        for (size_t i = 0; i < sizeof(kTries) / sizeof(kTries[0]); ++i) {
            // A socket that binds is kept: it would take the daemon's datagrams.
            if (zqtest::BindUdp(kTries[i].nIp, kLogServerPort, kTries[i].bReuseAddr,
                                kTries[i].bReusePort, SOCK_CLOEXEC) >= 0) {
                nBound |= 1 << i;
            }
        }
        return nBound;
    });
    EXPECT_EQ(0, stUser.Status()) << "bit i set: bind i of plain, address reuse, port reuse, "
                                     "both, both on 0.0.0.0 succeeded";
    CSender stSender;
    std::string strExpected;
    for (int i = 0; i < 200; ++i) {
        const std::string strRecord = "record " + std::to_string(i) + "\r\n";
        stSender.Send(strRecord);
        strExpected += strRecord;
    }
    const std::string strFile = LogFile(strBase, 0);
    EXPECT_TRUE(PollUntil([&] { return FileSize(strFile) >= (long long)strExpected.size(); }));
    stUser.Stop();
    EXPECT_EQ(0, StopDaemon(nDaemon));
    EXPECT_EQ(strExpected, ReadFile(strFile));
}

TEST_F(DaemonTest, DaemonThatCannotBindItsPortStops) {
    // Another socket holds the port, with address reuse on as the daemon's own
    // socket once had it, so that a second socket with the option could share it.
    const int nHolder = zqtest::BindUdp(kLoopbackIp, kLogServerPort, true, false, SOCK_CLOEXEC);
    ASSERT_GE(nHolder, 0) << "127.0.0.1:12345 is taken";
    const std::string strOut = m_Dir.File("daemon.out");
    EXPECT_EQ(0, Run({kDaemonPath}, MakeRunDir("run", m_Dir.File("base")), "", strOut))
        << ReadFile(strOut);
    // The detached daemon binds and ends by itself; it is this process's
    // descendant. Its line on stderr goes where daemon() sent stderr.
    int nStatus = 0;
    pid_t nEnded = 0;
    const bool bEnded = PollUntil([&] {
        nEnded = waitpid(-1, &nStatus, WNOHANG);
        return nEnded > 0;
    });
    EXPECT_TRUE(bEnded) << "the daemon runs on without its port";
    if (bEnded) {
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << Describe(nStatus);
    }
    (void)close(nHolder);
}

// Log directories a local user could write, made ready before the daemon's
// first start. Root's daemon refuses to start in each; the file a planted link
// leads to stays as it is.
TEST_F(DaemonTest, LogDirectoryOpenToOtherUsersIsRefused) {
    if (getuid() != 0) GTEST_SKIP() << "needs root: only a root daemon checks its log directory";
    ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0755));
    const std::string strVictim = m_Dir.File("victim");
    ASSERT_TRUE(WriteFile(strVictim, "root's file\n"));
    const std::string strPub = m_Dir.File("pub");  // like /tmp
    ASSERT_EQ(0, mkdir(strPub.c_str(), 0755));
    ASSERT_EQ(0, chmod(strPub.c_str(), 01777));
    const std::string strRootDir = m_Dir.File("rootdir");
    ASSERT_EQ(0, mkdir(strRootDir.c_str(), 0755));
    auto AsUser = [](const std::function<bool()>& fn) {
        EXPECT_EQ(0, zqtest::RunAsUser(kNobody, [&] { return fn() ? 0 : 1; }));
    };
    auto MakeDir = [](const std::string& strDir, mode_t nMode, uid_t nOwner) {
        ASSERT_EQ(0, mkdir(strDir.c_str(), 0700));
        ASSERT_EQ(0, chmod(strDir.c_str(), nMode));
        ASSERT_EQ(0, chown(strDir.c_str(), nOwner, nOwner));
    };
    struct Case {
        const char* szName;
        std::string strBase;
        std::function<void(const std::string& strLogDir)> fnPlant;
        std::string strNotMade;  // a directory the daemon must not make
    };
    const std::vector<Case> vCases = {
        {"a world-writable ZqSdkLog, SDK_00.log a user's link to root's file", m_Dir.File("a"),
         [&](const std::string& strLogDir) {
             MakeDir(m_Dir.File("a"), 0755, 0);
             MakeDir(strLogDir, 0777, 0);
             AsUser([&] {
                 return symlink(strVictim.c_str(), (strLogDir + "/SDK_00.log").c_str()) == 0;
             });
         },
         ""},
        {"the user's ZqSdkLog with a failing rotation and SDK_00.log a link", m_Dir.File("b"),
         [&](const std::string& strLogDir) {
             MakeDir(m_Dir.File("b"), 0755, 0);
             MakeDir(strLogDir, 0755, kNobody);
             AsUser([&] {
                 return mkdir((strLogDir + "/SDK_01.log").c_str(), 0755) == 0 &&
                        WriteFile(strLogDir + "/SDK_01.log/keep", "x") &&
                        WriteFile(strLogDir + "/LogServer.ini",
                                  "[File]\r\nFileSize=10\r\nFileNum=2\r\n") &&
                        symlink(strVictim.c_str(), (strLogDir + "/SDK_00.log").c_str()) == 0;
             });
         },
         ""},
        {"a base of the user", m_Dir.File("c"),
         [&](const std::string&) { MakeDir(m_Dir.File("c"), 0755, kNobody); },
         m_Dir.File("c") + "/ZqSdkLog"},
        {"a group-writable ZqSdkLog", m_Dir.File("d"),
         [&](const std::string& strLogDir) {
             MakeDir(m_Dir.File("d"), 0755, 0);
             MakeDir(strLogDir, 0770, 0);
         },
         ""},
        {"a base that is the user's link to a root directory", strPub + "/e",
         [&](const std::string&) {
             AsUser([&] { return symlink(strRootDir.c_str(), (strPub + "/e").c_str()) == 0; });
         },
         strRootDir + "/ZqSdkLog"},
        {"a base in a world-writable directory without the sticky bit", m_Dir.File("f") + "/base",
         [&](const std::string&) {
             MakeDir(m_Dir.File("f"), 0777, 0);
             MakeDir(m_Dir.File("f") + "/base", 0755, 0);
         },
         ""},
    };
    int nCase = 0;
    for (const Case& c : vCases) {
        SCOPED_TRACE(c.szName);
        const std::string strLogDir = c.strBase + "/ZqSdkLog";
        c.fnPlant(strLogDir);
        const std::string strOut = m_Dir.File("out" + std::to_string(++nCase));
        const std::string strRun = MakeRunDir("run" + std::to_string(nCase), c.strBase);
        const int nStatus = Run({kDaemonPath}, strRun, "", strOut);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << Describe(nStatus);
        const std::string strMessage = ReadFile(strOut);
        EXPECT_NE(std::string::npos, strMessage.find("refusing the log directory")) << strMessage;
        if (nStatus == 0) {
            // It started: what it was sent ends up where its log file leads.
            EXPECT_TRUE(PollUntil(ReceivePortBound));
            CSender stSender;
            stSender.Send("written by root\r\n");
            for (pid_t nPid : Children(kDaemonName)) (void)StopDaemon(nPid);
        }
        EXPECT_EQ("root's file\n", ReadFile(strVictim));
        if (!c.strNotMade.empty()) {
            EXPECT_FALSE(FileExists(c.strNotMade));
        }
        EXPECT_TRUE(Children(kDaemonName).empty());
    }
}

// Removes, at the end of a test, what uid 65534 planted in /run.
class CRunSquat {
public:
    CRunSquat() { Clean(); }
    ~CRunSquat() { Clean(); }
    static bool RunIsOpen() {
        struct stat st {};
        return stat("/run", &st) == 0 && (st.st_mode & S_IWOTH) != 0;
    }
    static const std::vector<std::string>& Paths() {
        static const std::vector<std::string> vPaths = {"/run/ZuVozAdavid.pid",
                                                        "/run/ZuVozAdavid.lock", kRunDir};
        return vPaths;
    }

private:
    static void Clean() {
        for (const std::string& strPath : Paths()) {
            struct stat st {};
            if (lstat(strPath.c_str(), &st) == 0 && st.st_uid == kNobody) {
                zqtest::RemoveTree(strPath);
            }
        }
    }
};

// Anything an unprivileged user can take or plant before the daemon starts:
// the abstract unix name once used as the lock and, in a /run that anyone may
// write, the names of the lock, the pid file and the run directory.
TEST_F(DaemonTest, UnprivilegedUserCannotKeepTheDaemonFromStarting) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as uid 65534";
    CRunSquat stSquat;
    const bool bRunOpen = CRunSquat::RunIsOpen();
    if (bRunOpen) {
        // The run directory of an earlier root daemon goes, so that the user
        // can make it first. No daemon runs (SetUp).
        zqtest::RemoveTree(kRunDir);
    } else {
        std::printf("/run is not writable by others here: only the abstract name is taken\n");
    }
    zqtest::UserProcess stUser(kNobody, [bRunOpen] {
        const int nUnix = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un stAddr{};
        stAddr.sun_family = AF_UNIX;
        const size_t nNameLen = std::strlen(kLogServerName);
        std::memcpy(stAddr.sun_path + 1, kLogServerName, nNameLen);
        const socklen_t nAddrLen =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nNameLen);
        if (bind(nUnix, reinterpret_cast<sockaddr*>(&stAddr), nAddrLen) != 0) return 1;
        if (!bRunOpen) return 0;
        auto LockedFile = [](const std::string& strPath) {
            const int nFd = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            return nFd >= 0 && flock(nFd, LOCK_EX | LOCK_NB) == 0;
        };
        const bool bOk = mkfifo("/run/ZuVozAdavid.pid", 0666) == 0 &&
                         LockedFile("/run/ZuVozAdavid.lock") && mkdir(kRunDir, 0777) == 0 &&
                         LockedFile(std::string(kRunDir) + "/" + kLockFileName) &&
                         mkfifo(kPidFilePath, 0666) == 0;
        return bOk ? 0 : 2;
    });
    ASSERT_EQ(0, stUser.Status()) << "uid 65534 could not take the names";

    const std::string strBase = m_Dir.File("base");
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    CSender stSender;
    stSender.Send("started all the same\r\n");
    EXPECT_TRUE(
        PollUntil([&] { return ReadFile(LogFile(strBase, 0)) == "started all the same\r\n"; }));
    // Its pid file: in its run directory, or in the log directory when the
    // user has taken the run directory's name.
    const std::string strPidFile =
        bRunOpen ? strBase + "/ZqSdkLog/" + kPidFileName : std::string(kPidFilePath);
    EXPECT_EQ(std::to_string(nDaemon) + "\n", ReadFile(strPidFile));
    struct stat st {};
    ASSERT_EQ(0, lstat(strPidFile.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_nlink == 1);
    EXPECT_EQ(0, StopDaemon(nDaemon));
    if (bRunOpen) {
        // What the user planted was left alone.
        ASSERT_EQ(0, lstat("/run/ZuVozAdavid.pid", &st));
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        ASSERT_EQ(0, lstat(kPidFilePath, &st));
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
    }
}

TEST_F(DaemonTest, LockGoesWithItsHolderAndAStalePidFileIsReplaced) {
    const std::string strBase = m_Dir.File("base");
    const std::string strRun = MakeRunDir("run", strBase);
    const pid_t nFirst = StartDaemon(strRun);
    ASSERT_NE(0, nFirst);
    // Killed: no orderly exit removes its pid file or releases its lock.
    EXPECT_EQ(SIGKILL, WTERMSIG(StopDaemon(nFirst, SIGKILL)));
    const pid_t nSecond = StartDaemon(strRun);
    ASSERT_NE(0, nSecond);
    const std::string strPidText = std::to_string(nSecond) + "\n";
    EXPECT_TRUE(PollUntil([&] {
        return ReadFile(kPidFilePath) == strPidText ||
               ReadFile(strBase + "/ZqSdkLog/" + kPidFileName) == strPidText;
    }));
    EXPECT_EQ(0, StopDaemon(nSecond));
}

TEST_F(DaemonTest, CreatedFilesAndDirectoriesIgnoreTheStartersUmask) {
    const std::string strBase = m_Dir.File("base");
    const std::string strRun = MakeRunDir("run", strBase);
    const mode_t nOld = umask(0);
    const pid_t nDaemon = StartDaemon(strRun);
    (void)umask(nOld);
    ASSERT_NE(0, nDaemon);
    CSender stSender;
    stSender.Send("modes\r\n");
    EXPECT_TRUE(PollUntil([&] { return ReadFile(LogFile(strBase, 0)) == "modes\r\n"; }));
    const std::string strPidText = std::to_string(nDaemon) + "\n";
    const std::string strPidFile = ReadFile(kPidFilePath) == strPidText
                                       ? std::string(kPidFilePath)
                                       : strBase + "/ZqSdkLog/" + kPidFileName;
    EXPECT_EQ("0644", ModeOf(strPidFile));  // others may read it
    EXPECT_EQ(0, StopDaemon(nDaemon));
    EXPECT_EQ("0750", ModeOf(strBase));
    EXPECT_EQ("0750", ModeOf(strBase + "/ZqSdkLog"));
    EXPECT_EQ("0640", ModeOf(LogFile(strBase, 0)));
    EXPECT_EQ("0640", ModeOf(strBase + "/ZqSdkLog/LogServer.ini"));
}

// Voluntary context switches of a thread, from its open status file: a loop
// that sleeps makes them, a loop that spins without system calls does not.
long VoluntarySwitches(int nStatusFd) {
    char szStatus[4096] = {};
    if (pread(nStatusFd, szStatus, sizeof(szStatus) - 1, 0) <= 0) return -1;
    const char* pKey = std::strstr(szStatus, "voluntary_ctxt_switches:");
    return pKey == nullptr ? -1 : std::atol(pKey + std::strlen("voluntary_ctxt_switches:"));
}

TEST(MessageRecvTest, LastingReceiveFailuresPauseTheLoopAndStopStillEndsIt) {
    EXPECT_EQ(0u, RecvPauseMs(0));
    EXPECT_EQ(0u, RecvPauseMs(NET_ERR_TIMEOUT));
    for (int32_t nErr : {NET_ERR_HANDLE, NET_ERR_STATE, NET_ERR_PARAM, NET_ERR_SELECT}) {
        EXPECT_EQ(kRecvBackoffMs, RecvPauseMs(nErr)) << std::hex << nErr;
    }
    char szBase[] = "/unused";
    g_bStopRecv.store(true);
    EXPECT_EQ(0, MessageRecv(szBase));  // stop before start: no endpoint
    EXPECT_EQ(0, MessageRecv(nullptr));

    // With no descriptor left the endpoint gets no socket and every receive
    // fails at once with NET_ERR_STATE: the loop must sleep between passes.
    // The status file of the loop's thread is opened before the limit is set.
    std::atomic<pid_t> nTid{0};
    std::atomic<bool> bWatched{false};
    std::atomic<bool> bDone{false};
    g_bStopRecv.store(false);
    std::thread stLoop([&] {
        nTid.store(static_cast<pid_t>(syscall(SYS_gettid)));
        while (!bWatched.load()) std::this_thread::yield();
        rlimit stOld{};
        const int nFree = dup(0);
        if (nFree >= 0 && close(nFree) == 0 && getrlimit(RLIMIT_NOFILE, &stOld) == 0) {
            rlimit stNone = stOld;
            stNone.rlim_cur = static_cast<rlim_t>(nFree);
            if (setrlimit(RLIMIT_NOFILE, &stNone) == 0) {
                (void)MessageRecv(szBase);
                (void)setrlimit(RLIMIT_NOFILE, &stOld);
            }
        }
        bDone.store(true);
    });
    while (nTid.load() == 0) std::this_thread::yield();
    const int nStatusFd =
        open(("/proc/self/task/" + std::to_string(nTid.load()) + "/status").c_str(), O_RDONLY);
    bWatched.store(true);
    if (nStatusFd < 0) {
        g_bStopRecv.store(true);
        stLoop.join();
        FAIL() << "cannot open the loop thread's status: " << std::strerror(errno);
    }
    // 15 pauses (150 sleeps of 10 ms): more passes than a loop that gives up
    // after a few failures would make.
    EXPECT_TRUE(PollUntil([&] { return bDone.load() || VoluntarySwitches(nStatusFd) >= 150; }));
    EXPECT_FALSE(bDone.load()) << "the loop ended without a stop request";
    g_bStopRecv.store(true);
    EXPECT_TRUE(PollUntil([&] { return bDone.load(); }));
    (void)close(nStatusFd);
    stLoop.join();
    g_bStopRecv.store(false);
}

TEST(MessageRecvTest, PortHeldByAnotherSocketEndsTheLoopWithItsOwnResult) {
    const int nHolder = zqtest::BindUdp(kLoopbackIp, kLogServerPort, true, false, SOCK_CLOEXEC);
    ASSERT_GE(nHolder, 0) << "127.0.0.1:12345 is taken";
    char szBase[] = "/unused";
    g_bStopRecv.store(false);
    std::atomic<bool> bDone{false};
    std::atomic<int> nRet{-1};
    testing::internal::CaptureStderr();
    std::thread stLoop([&] {
        nRet.store(MessageRecv(szBase));
        bDone.store(true);
    });
    const bool bEnded = PollUntil([&] { return bDone.load(); });
    if (!bEnded) g_bStopRecv.store(true);
    stLoop.join();
    const std::string strErr = testing::internal::GetCapturedStderr();
    g_bStopRecv.store(false);
    (void)close(nHolder);
    EXPECT_TRUE(bEnded) << "the loop ran on without its port";
    EXPECT_EQ(kRecvErrBind, nRet.load());
    EXPECT_EQ(0u, strErr.find("ZuVozAdavid: cannot bind 127.0.0.1:12345: ")) << strErr;
    EXPECT_EQ(1, std::count(strErr.begin(), strErr.end(), '\n')) << strErr;
}

}  // namespace
