// End-to-end tests of the daemon ZuVozAdavid and the client zqlog, as real
// processes on the real port 12345. This process is a child subreaper, so the
// daemon, which detaches with daemon(0, 0), stays its descendant: it is found
// by its parent id, stopped with SIGTERM and reaped with waitpid.

#include "asynclog/ServerProbe.h"
#include "logmodule/LogModule.h"
#include "logmodule/LogModuleExt.h"
#include "logmodule/LogModuleState.h"
#include "platform/DaemonPaths.h"
#include "platform/UdpNetLayer.h"
#include "server/InstanceLock.h"
#include "server/RecvLoop.h"
#include "server/Stats.h"
#include "tests/support/TestSupport.h"
#include "tests/upstream/Collector.h"

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
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
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
constexpr const char* kZqreadPath = ZQ_ZQREAD_PATH;
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

    // How Spawn runs a program.
    struct SpawnSpec {
        std::vector<std::string> vArgs;  // the program and its arguments
        std::string strCwd;
        std::string strStdin;  // empty: /dev/null
        std::string strOut;    // standard output, and standard error unless strErr
        std::string strErr;    // empty: with standard output
        int nOutFd = -1;       // instead of strOut: this descriptor (the write end of a pipe)
        uid_t nUid = getuid();
        // Commands (full paths) the program runs through, such as setpriv, in
        // front of the emulator of a cross build.
        std::vector<std::string> vPrefix;
        std::vector<std::string> vEnv;  // added to the environment ("NAME=value")
        // Added to the options of each sanitizer, e.g. "detect_leaks=0".
        std::string strSanitizerOptions;
        // A socket passed as a service manager passes it: on descriptor 3,
        // with LISTEN_FDS=1 and LISTEN_PID the program's pid; -1: none.
        int nListenFd = -1;
    };

    // Starts a program in a child process as stSpec says, as uid nUid when it
    // is not the current one; returns its pid (-1 when fork failed).
    pid_t Spawn(const SpawnSpec& stSpec) {
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
            vEnv.push_back(strName + "=" + (pOld != nullptr ? pOld : "") + ":" +
                           stSpec.strSanitizerOptions + ":log_path=" + m_strSanDir + "/" +
                           strLower);
        }
        vEnv.insert(vEnv.end(), stSpec.vEnv.begin(), stSpec.vEnv.end());
        // LISTEN_PID is the child's, known after the fork: written into this
        // room there.
        char szListenPid[32] = "LISTEN_PID=";
        if (stSpec.nListenFd >= 0) vEnv.push_back("LISTEN_FDS=1");
        // The project's own programs run through the emulator of a cross build.
        const std::vector<std::string>& vArgs = stSpec.vArgs;
        const bool bOwn =
            vArgs[0] == kDaemonPath || vArgs[0] == kZqlogPath || vArgs[0] == kZqreadPath;
        std::vector<std::string> vCmd = stSpec.vPrefix;
        const std::vector<std::string> vProgram =
            bOwn ? zqtest::TargetCommand(vArgs, m_Dir.Path()) : vArgs;
        vCmd.insert(vCmd.end(), vProgram.begin(), vProgram.end());
        std::vector<char*> vArgv;
        for (const std::string& s : vCmd) vArgv.push_back(const_cast<char*>(s.c_str()));
        vArgv.push_back(nullptr);
        std::vector<char*> vEnvp;
        for (const std::string& s : vEnv) vEnvp.push_back(const_cast<char*>(s.c_str()));
        if (stSpec.nListenFd >= 0) vEnvp.push_back(szListenPid);
        vEnvp.push_back(nullptr);
        const std::string strIn = stSpec.strStdin.empty() ? "/dev/null" : stSpec.strStdin;

        const pid_t nPid = fork();
        if (nPid == 0) {
            const int nIn = open(strIn.c_str(), O_RDONLY);
            const int nOut = stSpec.nOutFd >= 0
                                 ? stSpec.nOutFd
                                 : open(stSpec.strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int nErr = stSpec.strErr.empty()
                                 ? nOut
                                 : open(stSpec.strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (nIn < 0 || nOut < 0 || nErr < 0 || dup2(nIn, 0) < 0 || dup2(nOut, 1) < 0 ||
                dup2(nErr, 2) < 0 || chdir(stSpec.strCwd.c_str()) != 0) {
                _exit(kExecFailed);
            }
            if (stSpec.nListenFd >= 0) {
                (void)std::snprintf(szListenPid, sizeof(szListenPid), "LISTEN_PID=%d",
                                    static_cast<int>(getpid()));
                // dup2 clears close-on-exec on the copy; the same descriptor
                // keeps its flags.
                if ((stSpec.nListenFd == 3 ? fcntl(3, F_SETFD, 0) : dup2(stSpec.nListenFd, 3)) <
                    0) {
                    _exit(kExecFailed);
                }
            }
            if (stSpec.nUid != getuid() && (setgroups(0, nullptr) != 0 ||
                                            setgid(stSpec.nUid) != 0 || setuid(stSpec.nUid) != 0)) {
                _exit(kExecFailed);
            }
            execve(vArgv[0], vArgv.data(), vEnvp.data());
            _exit(kExecFailed);
        }
        return nPid;
    }

    // Runs a program in a child process with the working directory strCwd, its
    // standard input from strStdin (empty: /dev/null) and its standard output
    // and error into strOut; as uid nUid when it is not the current one. Waits
    // for the child (not for what it detached) and returns its wait status.
    int Run(const std::vector<std::string>& vArgs, const std::string& strCwd,
            const std::string& strStdin, const std::string& strOut, uid_t nUid = getuid()) {
        SpawnSpec stSpec;
        stSpec.vArgs = vArgs;
        stSpec.strCwd = strCwd;
        stSpec.strStdin = strStdin;
        stSpec.strOut = strOut;
        stSpec.nUid = nUid;
        return RunSpec(stSpec);
    }

    // Spawn, then waits for the child (not for what it detached); its wait status.
    int RunSpec(const SpawnSpec& stSpec) {
        const pid_t nPid = Spawn(stSpec);
        if (nPid < 0) return -1;
        return WaitChild(nPid);
    }

    // The one daemon that is a child of this process, once it receives on its
    // port; 0 when it did not come up.
    pid_t DaemonWhenUp() {
        pid_t nDaemon = 0;
        const bool bUp = PollUntil([&] {
            const std::vector<pid_t> vPids = Children(kDaemonName);
            if (vPids.size() == 1) nDaemon = vPids[0];
            return nDaemon != 0 && ReceivePortBound();
        });
        EXPECT_TRUE(bUp) << "the daemon did not come up";
        return bUp ? nDaemon : 0;
    }

    // Starts the daemon in strCwd and returns the pid of the detached daemon
    // once it receives on its port; 0 when it did not come up.
    // What the daemon's starter printed goes to daemon.out; vPrefix as in
    // SpawnSpec.
    pid_t StartDaemon(const std::string& strCwd, uid_t nUid = getuid(),
                      const std::vector<std::string>& vPrefix = {}) {
        SpawnSpec stSpec;
        stSpec.vArgs = {kDaemonPath};
        stSpec.strCwd = strCwd;
        stSpec.strOut = m_Dir.File("daemon.out");
        stSpec.nUid = nUid;
        stSpec.vPrefix = vPrefix;
        const int nStatus = RunSpec(stSpec);
        EXPECT_EQ(0, nStatus) << Describe(nStatus) << ": " << ReadFile(stSpec.strOut);
        if (nStatus != 0) return 0;
        return DaemonWhenUp();
    }

    // Stops the daemon with nSignal and returns its wait status.
    int StopDaemon(pid_t nPid, int nSignal = SIGTERM) {
        EXPECT_EQ(0, kill(nPid, nSignal));
        return WaitChild(nPid);
    }

    // Writes the LogServer.ini of the base directory strBase (made with its log
    // directory when missing), before the daemon starts.
    void WriteConfig(const std::string& strBase, const std::string& strText) {
        (void)mkdir(strBase.c_str(), 0755);  // there already is fine
        (void)mkdir((strBase + "/ZqSdkLog").c_str(), 0755);
        EXPECT_TRUE(WriteFile(strBase + "/ZqSdkLog/LogServer.ini", strText));
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

// A log file's text without the daemon's records of its own.
std::string WithoutOwnRecords(const std::string& strText) {
    std::string strOut;
    for (const std::string& strLine : zqtest::SplitCrLf(strText)) {
        if (strLine.find("Source-Line:ZuVozAdavid(") == std::string::npos)
            strOut += strLine + "\r\n";
    }
    return strOut;
}

std::string LogFile(const std::string& strBase, int nIndex) {
    return strBase + "/ZqSdkLog/SDK_0" + std::to_string(nIndex) + ".log";
}

// A power cut, made for real: the base directory lies on an ext4 image
// mounted through a loop device, and a copy of the image taken while the
// daemon writes holds what had reached the block device, not what was still in
// the page cache. The copy is repaired (e2fsck) and mounted as the device
// would find its disk after the cut.
class CDiskImage {
public:
    explicit CDiskImage(const std::string& strDir) : m_strDir(strDir) {
        const std::string strImg = strDir + "/disk.img";
        m_bOk = Sh("truncate -s 96M " + strImg + " && mkfs.ext4 -q -F " + strImg) &&
                Mount(strImg, Mnt("live"));
    }
    ~CDiskImage() {
        for (const std::string& strMnt : m_vMounted) (void)Sh("umount -l " + strMnt);
    }
    CDiskImage(const CDiskImage&) = delete;
    CDiskImage& operator=(const CDiskImage&) = delete;

    bool Ok() const { return m_bOk; }
    std::string Live() const { return m_strDir + "/live"; }
    // The cut: a copy of the image as the block device holds it now.
    bool Cut(const std::string& strName) {
        return Sh("cp --sparse=always " + m_strDir + "/disk.img " + m_strDir + "/" + strName +
                  ".img");
    }
    // The device boots: the copy is repaired and mounted; its mount point.
    std::string Boot(const std::string& strName) {
        const std::string strImg = m_strDir + "/" + strName + ".img";
        // e2fsck exits 1 when it repaired something: still a usable file system.
        const bool bChecked =
            std::system(("e2fsck -fy " + strImg + " >/dev/null 2>&1").c_str()) >= 0;
        return bChecked && Mount(strImg, Mnt(strName)) ? m_strDir + "/" + strName : "";
    }
    void Unmount(const std::string& strMnt) {
        (void)Sh("umount " + strMnt);
        m_vMounted.erase(std::remove(m_vMounted.begin(), m_vMounted.end(), strMnt),
                         m_vMounted.end());
    }

private:
    static bool Sh(const std::string& strCmd) {
        return std::system((strCmd + " >/dev/null 2>&1").c_str()) == 0;
    }
    std::string Mnt(const std::string& strName) const { return m_strDir + "/" + strName; }
    bool Mount(const std::string& strImg, const std::string& strMnt) {
        if (mkdir(strMnt.c_str(), 0755) != 0 || !Sh("mount -o loop " + strImg + " " + strMnt))
            return false;
        m_vMounted.push_back(strMnt);
        return true;
    }

    std::string m_strDir;
    std::vector<std::string> m_vMounted;
    bool m_bOk = false;
};

// The records of a file set, oldest file first.
std::string SetText(const std::string& strBase) {
    std::string strText;
    for (int i = kMaxLogFiles - 1; i >= 0; --i) strText += ReadFile(LogFile(strBase, i));
    return strText;
}

TEST_F(DaemonTest, APowerCutLosesOnlyWhatWasNotDueOnTheDiskAndTearsNothing) {
    if (getuid() != 0) GTEST_SKIP() << "a loop-mounted image needs root";
    if (std::getenv("ZQ_TEST_EMULATOR") != nullptr)
        GTEST_SKIP() << "no loop devices under qemu-user";
    struct Case {
        const char* pName;
        const char* pLevel;  // the level field each record begins with
        uint32_t nSyncMs;
        int nRate;       // records a second
        size_t nSize;    // bytes of each
        int nSendMs;     // how long records are sent before the cut (random up to this)
        int nQuietMs;    // then silence before the cut; -1: sending goes on across it
        bool bTornTail;  // before the boot, a torn line and zeros end the current file
        bool bForward;   // forwarding to a collector (rsyslog over relp) across the cut
    };
    const Case kCases[] = {
        // 12 records, then silence: a sync comes without a next record.
        {"quiet device", "Info    ", 1000, 24, 100, 500, 1500, false, false},
        // Error records reach the disk long before SyncMs.
        {"errors first", "Error   ", 5000, 100, 100, 300, 500, false, false},
        // What the daemon writes after the boot is forwarded too: its place in
        // the files never points past what the cut left.
        {"steady load", "Info    ", 1000, 1000, 200, 3000, -1, false, true},
        // 10 MiB files: rotations while records come.
        {"across rotations", "Info    ", 1000, 5000, 1000, 4000, -1, false, false},
        {"torn tail", "Info    ", 1000, 200, 100, 500, 1500, true, false},
    };
    const char* pCuts = std::getenv("ZQ_POWER_CUTS");  // cuts per case
    const int nCuts = pCuts != nullptr ? std::max(1, std::atoi(pCuts)) : 1;
    std::srand(static_cast<unsigned>(time(nullptr)));
    int nRun = 0;
    for (const Case& c : kCases) {
        for (int nCut = 0; nCut < nCuts; ++nCut, ++nRun) {
            SCOPED_TRACE(std::string(c.pName) + ", cut " + std::to_string(nCut));
            ASSERT_EQ(0, mkdir(m_Dir.File("disk" + std::to_string(nRun)).c_str(), 0755));
            CDiskImage stImg(m_Dir.File("disk" + std::to_string(nRun)));
            if (!stImg.Ok()) GTEST_SKIP() << "cannot make or mount an ext4 image";
            const std::string strBase = stImg.Live() + "/base";
            ASSERT_EQ(0, mkdir(strBase.c_str(), 0755));
            ASSERT_EQ(0, mkdir((strBase + "/ZqSdkLog").c_str(), 0755));
            zqtest::CCollector stCollector(m_Dir.File("collector" + std::to_string(nRun)),
                                           zqtest::ECollector::kRsyslogRelp);
            std::string strForward;
            if (c.bForward) {
                ASSERT_TRUE(stCollector.Start()) << stCollector.Log();
                strForward = "[Forward]\r\nHost=127.0.0.1\r\nProtocol=relp\r\nPort=" +
                             std::to_string(stCollector.Port()) + "\r\n";
            }
            // Up to about 20,000 UDP records in seconds: more than the default
            // fair share.
            ASSERT_TRUE(WriteFile(
                strBase + "/ZqSdkLog/LogServer.ini",
                "[File]\r\nFileSize=10\r\nFileNum=10\r\nSyncMs=" + std::to_string(c.nSyncMs) +
                    "\r\n[Limit]\r\nBurst=0\r\n" + strForward));
            sync();  // the configuration was there long before the cut
            pid_t nDaemon = StartDaemon(MakeRunDir("run" + std::to_string(nRun), strBase));
            ASSERT_NE(0, nDaemon);

            // Each record says its number; when it was sent, by the clock.
            using Clock = std::chrono::steady_clock;
            std::vector<Clock::time_point> vSent;
            std::atomic<bool> bStop{false};
            const std::string strPad(c.nSize, 'x');
            std::thread stSender([&] {
                CSender stOut;
                const auto tStart = Clock::now();
                const int nSendMs = c.nSendMs / 2 + std::rand() % (c.nSendMs / 2 + 1);
                for (int i = 0; !bStop.load(); ++i) {
                    const auto tDue = tStart + std::chrono::microseconds(1000000LL * i / c.nRate);
                    if (c.nQuietMs >= 0 && tDue - tStart > std::chrono::milliseconds(nSendMs))
                        break;
                    std::this_thread::sleep_until(tDue);
                    stOut.Send(std::string(c.pLevel) + "s" + std::to_string(i) + " " + strPad);
                    vSent.push_back(Clock::now());
                }
            });
            if (c.nQuietMs >= 0) {
                stSender.join();
                std::this_thread::sleep_for(std::chrono::milliseconds(c.nQuietMs));
            } else {
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(c.nSendMs / 2 + std::rand() % (c.nSendMs / 2 + 1)));
            }
            const auto tCut = Clock::now();
            ASSERT_TRUE(stImg.Cut("cut"));
            bStop.store(true);
            if (stSender.joinable()) stSender.join();
            EXPECT_EQ(0, StopDaemon(nDaemon));
            stImg.Unmount(stImg.Live());

            // The device boots on what the disk held, and the daemon goes on.
            const std::string strMnt = stImg.Boot("cut");
            ASSERT_FALSE(strMnt.empty()) << "the cut image does not mount";
            const std::string strCutBase = strMnt + "/base";
            if (c.bTornTail) {
                std::string strTail = LogFile(strCutBase, 0);
                const std::string strTorn =
                    ReadFile(strTail) + "Info    torn-" + std::string(3000, '\0');
                ASSERT_TRUE(WriteFile(strTail, strTorn));
            }
            nDaemon = StartDaemon(MakeRunDir("boot" + std::to_string(nRun), strCutBase));
            ASSERT_NE(0, nDaemon);
            {
                CSender stOut;
                for (int i = 0; i < 20; ++i)
                    stOut.Send(std::string(c.pLevel) + "after" + std::to_string(i));
            }
            ASSERT_TRUE(PollUntil(
                [&] { return SetText(strCutBase).find("after19\r\n") != std::string::npos; }));
            if (c.bForward) {
                EXPECT_TRUE(PollUntil([&] {
                    int nForwarded = 0;
                    for (const std::string& strLine : stCollector.Lines()) {
                        nForwarded += strLine.find("|" + std::string(c.pLevel) + "after") !=
                                      std::string::npos;
                    }
                    return nForwarded >= 20;  // at least once each
                })) << "the records after the boot did not all reach the collector";
            }
            if (c.bTornTail) {
                // Counted in the statistics, which the daemon writes once a second.
                const std::string strOut = m_Dir.File("stats.out");
                EXPECT_TRUE(PollUntil([&] {
                    return Run({kZqlogPath, "--stats"}, m_Dir.Path(), "", strOut) == 0 &&
                           ReadFile(strOut).find("torn_bytes_cut 3013\n") != std::string::npos;
                })) << ReadFile(strOut);
            }
            EXPECT_EQ(0, StopDaemon(nDaemon));

            // Every line whole, each record once, every one that was due on the
            // disk there; after the boot all 20 new ones.
            const std::string strText = WithoutOwnRecords(SetText(strCutBase));
            EXPECT_EQ(std::string::npos, strText.find('\0')) << "zeros in the files";
            std::map<int, int> mSeen;
            int nAfter = 0;
            for (const std::string& strLine : zqtest::SplitCrLf(strText)) {
                const std::string strBody = strLine.substr(std::min(strLine.size(), size_t{8}));
                if (strLine.rfind(c.pLevel, 0) == 0 && strBody.rfind("after", 0) == 0 &&
                    strBody == "after" + std::to_string(nAfter)) {
                    ++nAfter;
                } else if (strLine.rfind(c.pLevel, 0) == 0 && strBody[0] == 's' &&
                           strBody.size() == strBody.find(' ') + 1 + c.nSize) {
                    ++mSeen[std::atoi(strBody.c_str() + 1)];
                } else {
                    ADD_FAILURE() << "not a whole record: " << strLine.substr(0, 80);
                }
            }
            EXPECT_EQ(20, nAfter);
            const auto tDueBy = tCut - std::chrono::milliseconds(c.nSyncMs + 500);
            const auto tUrgentBy = tCut - std::chrono::milliseconds(500);
            const bool bUrgent = std::strcmp(c.pLevel, "Error   ") == 0;
            int nMissing = 0;
            for (size_t i = 0; i < vSent.size(); ++i) {
                const int nTimes =
                    mSeen.count(static_cast<int>(i)) ? mSeen[static_cast<int>(i)] : 0;
                EXPECT_LE(nTimes, 1) << "record " << i << " twice";
                if (nTimes == 0 && vSent[i] < (bUrgent ? tUrgentBy : tDueBy)) ++nMissing;
            }
            EXPECT_EQ(0, nMissing)
                << "of " << vSent.size() << " records, " << mSeen.size() << " survived";
            stImg.Unmount(strMnt);
        }
    }
}

TEST_F(DaemonTest, WritesEachDatagramUnchangedUnderTheBaseOfPathIni) {
    // First line only, backslashes turned into slashes, CR LF cut.
    const std::string strBase = m_Dir.File("base");
    std::string strIni = strBase;
    for (char& c : strIni) c = c == '/' ? '\\' : c;
    const std::string strRun = MakeRunDir("run", strIni + "\r\n/elsewhere\r\n");
    const pid_t nDaemon = StartDaemon(strRun);
    ASSERT_NE(0, nDaemon);

    const std::string strSlotFull = std::string(1022, 'f') + "\r\n";
    const struct {
        std::string strSent;
        std::string strWritten;
    } kCases[] = {
        {"first record\r\n", "first record\r\n"},
        {std::string("cut at\0 the NUL", 15), "cut at\r\n"},
        {"", ""},
        {strSlotFull, strSlotFull},                     // fills a ring slot
        {std::string(1025, 'x'), ""},                   // one byte too long
        {std::string(kLogRecvBufSize, 'b'), ""},        // fills the receive buffer
        {std::string(kLogRecvBufSize + 100, 'c'), ""},  // cut by the socket
        {"two\r\nlines\r\n", "two#015#012lines\r\n"},
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

// Each signal that a stray kill, a limit or a power warning may bring, sent
// while records are queued on the daemon's socket: a stop writes every one of
// them, exits 0 and removes its pid file; an ignored signal leaves the daemon
// receiving. The daemon of an ignored signal takes the next case's records.
TEST_F(DaemonTest, EverySignalEitherStopsInOrderOrIsIgnored) {
    struct Case {
        int nSignal;
        bool bStops;
    };
    std::vector<Case> vCases = {
        {SIGTERM, true},    {SIGINT, true},     {SIGXCPU, true},  {SIGPWR, true}, {SIGXFSZ, false},
        {SIGALRM, false},   {SIGVTALRM, false}, {SIGPROF, false}, {SIGIO, false},
#ifdef SIGSTKFLT
        {SIGSTKFLT, false},
#endif
    };
    for (int nSignal = SIGRTMIN; nSignal <= SIGRTMAX; ++nSignal) vCases.push_back({nSignal, false});
    vCases.push_back({SIGTERM, true});  // the last ignored one's daemon

    pid_t nDaemon = 0;
    std::string strBase;
    std::string strExpected;  // what the running daemon was sent
    int nRun = 0;
    auto PidFileText = [&] {
        const std::string strRun = ReadFile(kPidFilePath);
        return !strRun.empty() ? strRun : ReadFile(strBase + "/ZqSdkLog/" + kPidFileName);
    };
    for (const Case& c : vCases) {
        SCOPED_TRACE(std::string(strsignal(c.nSignal)) + " (" + std::to_string(c.nSignal) + ")");
        if (nDaemon == 0) {
            strBase = m_Dir.File("base" + std::to_string(++nRun));
            // 300 UDP records per signal, over 12,000 for one daemon: more
            // than the default fair share.
            WriteConfig(strBase, "[Limit]\r\nBurst=0\r\n");
            strExpected.clear();
            nDaemon = StartDaemon(MakeRunDir("run" + std::to_string(nRun), strBase));
            ASSERT_NE(0, nDaemon);
        }
        const std::string strPidText = std::to_string(nDaemon) + "\n";
        ASSERT_TRUE(PollUntil([&] { return PidFileText() == strPidText; }))
            << "no pid file names " << nDaemon;

        // Frozen, the daemon cannot read: the records queue on its socket and
        // the signal finds them there.
        ASSERT_EQ(0, kill(nDaemon, SIGSTOP));
        int nStatus = 0;
        ASSERT_EQ(nDaemon, waitpid(nDaemon, &nStatus, WUNTRACED));
        ASSERT_TRUE(WIFSTOPPED(nStatus));
        {
            CPinToOneCpu stPin;
            CSender stSender;
            for (int i = 0; i < 300; ++i) {
                const std::string strRecord =
                    "queued " + std::to_string(c.nSignal) + " " + std::to_string(i) + "\r\n";
                stSender.Send(strRecord);
                strExpected += strRecord;
            }
            ASSERT_TRUE(stSender.Barrier());
        }
        if (kill(nDaemon, c.nSignal) != 0) {
            // An emulator keeps some real-time signals for itself and cannot
            // send them: the case then shows only that the records are written.
            ASSERT_TRUE(!c.bStops && errno == EINVAL && std::getenv("ZQ_TEST_EMULATOR") != nullptr)
                << std::strerror(errno);
        }
        ASSERT_EQ(0, kill(nDaemon, SIGCONT));
        const std::string strFile = LogFile(strBase, 0);
        if (c.bStops) {
            nStatus = WaitChild(nDaemon);
            nDaemon = 0;
            EXPECT_EQ(0, nStatus) << Describe(nStatus);
            EXPECT_NE(strPidText, PidFileText());
        } else {
            EXPECT_TRUE(PollUntil([&] {
                return ReadFile(strFile).size() >= strExpected.size() ||
                       waitpid(nDaemon, &nStatus, WNOHANG) == nDaemon;
            }));
            if (waitpid(nDaemon, &nStatus, WNOHANG) != 0) {
                ADD_FAILURE() << "the daemon ended: " << Describe(nStatus);
                nDaemon = 0;  // reaped; the next case starts another
            }
            EXPECT_EQ(strPidText, PidFileText());
        }
        const std::string strGot = ReadFile(strFile);
        EXPECT_TRUE(strGot == strExpected)
            << zqtest::SplitCrLf(strGot).size() << " of " << zqtest::SplitCrLf(strExpected).size()
            << " lines written";
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
        const std::vector<std::string> vArgs = {
            kZqlogPath, "-D",   strOwn, "--prefix", "tool",  "-l",   "warning",
            "--device", "cam0", "-m",   "net",      "hello", "world"};
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
        ASSERT_EQ(0, Run({kZqlogPath, "-D", strOwn, "--device", "dev1", "-m", "fwd", "-l", "error"},
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
    // About 26,000 records in a few seconds from one UDP sender: more than the
    // default fair share.
    ASSERT_TRUE(WriteFile(strCfg, "[File]\r\nFileSize=10\r\nFileNum=2\r\n[Limit]\r\nBurst=0\r\n"));
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
    ASSERT_TRUE(WriteFile(strCfg, "[File]\r\nFileSize=10\r\nFileNum=3\r\n[Limit]\r\nBurst=0\r\n"));
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

// Record lines of every file of a set, oldest file first.
std::vector<std::string> SetLines(const std::string& strDir, const std::string& strPrefix) {
    std::string strAll;
    for (int i = 9; i >= 0; --i) {
        strAll += ReadFile(strDir + "/" + strPrefix + "_0" + std::to_string(i) + ".log");
    }
    return zqtest::SplitCrLf(strAll);
}

// A client of this process, in mode 2, logs numbered records at about 3,000 a
// second while the daemon is stopped and started again: each record is in the
// daemon's files or in the client's own, once, in order on each side; none is
// lost, and the client forwards again once the daemon is back.
TEST_F(DaemonTest, ClientFollowsTheDaemonThroughARestart) {
    const std::string strBase = m_Dir.File("base");
    const std::string strRun = MakeRunDir("run", strBase);
    pid_t nDaemon = StartDaemon(strRun);
    ASSERT_NE(0, nDaemon);
    const std::string strOwn = m_Dir.File("client");
    ASSERT_EQ(ZQ_OK, SetLogPath(strOwn.c_str(), "CLI"));
    ASSERT_EQ(ZQ_OK, CreateAsyncLog());
    auto Forwarding = [] {
        LogModule& m = GetLogModule();
        CZQLockGuard guard(m.m_Lock);
        return m.m_pAsyncLog != nullptr && m.m_pAsyncLog->IsForwarding() == 1;
    };
    EXPECT_TRUE(Forwarding());
    uint32_t nSeq = 0;
    auto LogFor = [&](uint32_t nRecords) {
        for (uint32_t i = 0; i < nRecords; ++i, ++nSeq) {
            char szRecord[48];
            std::snprintf(szRecord, sizeof(szRecord), "client seq=%08u\r\n", nSeq);
            ASSERT_EQ(ZQ_OK, WriteRawLog(szRecord, 0));
            timespec stPace{0, 333000};
            (void)nanosleep(&stPace, nullptr);
        }
    };
    LogFor(1500);
    EXPECT_EQ(0, StopDaemon(nDaemon));
    LogFor(1500);
    EXPECT_FALSE(Forwarding());
    nDaemon = StartDaemon(strRun);
    ASSERT_NE(0, nDaemon);
    ASSERT_TRUE(PollUntil([&] {
        LogFor(30);
        return Forwarding();
    }));
    LogFor(1500);
    ASSERT_EQ(ZQ_OK, DestroyAsyncLog());
    EXPECT_EQ(0u, GetLostLogCount());
    EXPECT_EQ(0, StopDaemon(nDaemon));

    std::vector<uint32_t> vSeen(nSeq, 0);
    for (const auto& [strDir, strPrefix] :
         {std::make_pair(strBase + "/ZqSdkLog", std::string("SDK")),
          std::make_pair(strOwn, std::string("CLI"))}) {
        SCOPED_TRACE(strDir);
        uint32_t nLast = 0;
        bool bFirst = true;
        for (const std::string& strLine : SetLines(strDir, strPrefix)) {
            unsigned nGot = 0;
            ASSERT_EQ(1, std::sscanf(strLine.c_str(), "client seq=%08u", &nGot)) << strLine;
            ASSERT_LT(nGot, nSeq);
            EXPECT_TRUE(bFirst || nGot > nLast) << "out of order: " << nLast << " then " << nGot;
            ++vSeen[nGot];
            nLast = nGot;
            bFirst = false;
        }
        if (strPrefix == "SDK") {
            EXPECT_EQ(nSeq - 1, nLast) << "the last records reach the daemon";
        }
    }
    for (uint32_t i = 0; i < nSeq; ++i) ASSERT_EQ(1u, vSeen[i]) << "record " << i;
}

// Everything that can be read from nFd until its end of file, or until the
// deadline passes; *pEnded tells which.
std::string ReadUntilEof(int nFd, bool* pEnded) {
    std::string strText;
    *pEnded = PollUntil([&] {
        pollfd stPoll{nFd, POLLIN, 0};
        if (poll(&stPoll, 1, 0) != 1) return false;
        char szBuf[4096];
        const ssize_t nRead = read(nFd, szBuf, sizeof(szBuf));
        if (nRead > 0) strText.append(szBuf, static_cast<size_t>(nRead));
        return nRead == 0;
    });
    return strText;
}

// Lines of a text that end in '\n'.
size_t CountLines(const std::string& strText) {
    return static_cast<size_t>(std::count(strText.begin(), strText.end(), '\n'));
}

// Bytes waiting in the receive queue of the socket on 127.0.0.1:12345 (the
// rx_queue column of /proc/net/udp); -1 when no socket is bound there.
long ReceiveQueueBytes() {
    const std::string strTable = ReadFile("/proc/net/udp");
    const size_t nAt = strTable.find(" 0100007F:3039 ");
    if (nAt == std::string::npos) return -1;
    // "local_address rem_address st tx_queue:rx_queue ..."
    unsigned long nTx = 0;
    unsigned long nRx = 0;
    char szRemote[64];
    unsigned nState = 0;
    if (std::sscanf(strTable.c_str() + nAt, " %*s %63s %x %lx:%lx", szRemote, &nState, &nTx,
                    &nRx) != 4) {
        return -1;
    }
    return static_cast<long>(nRx);
}

TEST_F(DaemonTest, StartUpFailureIsOneLineOnStandardErrorAndStatusOne) {
    ASSERT_TRUE(WriteFile(m_Dir.File("plain"), "x"));
    const struct {
        const char* pName;
        std::string strBase;
        const char* pLine;  // what the line on standard error says
        bool bHoldPort;
    } kCases[] = {
        {"log directory cannot be made", m_Dir.File("plain") + "/base", "cannot write log files",
         false},
        {"base directory too long", m_Dir.File("long" + std::string(250, 'x')),
         "base directory too long", false},
        {"port in use", m_Dir.File("portbase"), "cannot receive on UDP port 12345", true},
    };
    int nRun = 0;
    for (const auto& stCase : kCases) {
        for (bool bForeground : {false, true}) {
            SCOPED_TRACE(std::string(stCase.pName) + (bForeground ? ", foreground" : ", detached"));
            // Holds the port without address reuse, as a foreign program would.
            int nHolder = -1;
            if (stCase.bHoldPort) {
                nHolder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                ASSERT_GE(nHolder, 0);
                sockaddr_in stAddr{};
                stAddr.sin_family = AF_INET;
                stAddr.sin_port = htons(kLogServerPort);
                stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                ASSERT_EQ(0, bind(nHolder, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)))
                    << std::strerror(errno);
            }
            const std::string strRun = MakeRunDir("run" + std::to_string(++nRun), stCase.strBase);
            SpawnSpec stSpec;
            stSpec.vArgs = {kDaemonPath};
            if (bForeground) stSpec.vArgs.push_back("-n");
            stSpec.strCwd = strRun;
            stSpec.strOut = m_Dir.File("failed.out");
            stSpec.strErr = m_Dir.File("failed.err");
            const int nStatus = RunSpec(stSpec);
            const std::string strErr = ReadFile(stSpec.strErr);
            EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << Describe(nStatus);
            EXPECT_EQ(1u, CountLines(strErr)) << strErr;
            EXPECT_EQ(0u, strErr.find(std::string("ZuVozAdavid: "))) << strErr;
            EXPECT_NE(std::string::npos, strErr.find(stCase.pLine)) << strErr;
            EXPECT_TRUE(Children(kDaemonName).empty()) << "a daemon runs after a failed start";
            if (stCase.bHoldPort) {
                // Nothing was made: the port is checked before the log directory.
                EXPECT_FALSE(FileExists(stCase.strBase));
                (void)close(nHolder);
            } else {
                EXPECT_FALSE(ReceivePortBound());
            }
        }
    }
    // An over-long base leaves nothing behind, not even a directory of the cut path.
    DIR* pDir = opendir(m_Dir.Path().c_str());
    ASSERT_NE(nullptr, pDir);
    while (dirent* pEnt = readdir(pDir)) {
        EXPECT_NE(0, std::strncmp(pEnt->d_name, "long", 4)) << pEnt->d_name;
    }
    closedir(pDir);
}

TEST_F(DaemonTest, StarterPrintsThroughAPipeAndReturnsOnceTheDaemonReceives) {
    const std::string strBase = m_Dir.File("base");
    // Close-on-exec: only the daemon's standard output and error hold the
    // write end.
    int nPipe[2];
    ASSERT_EQ(0, pipe2(nPipe, O_CLOEXEC));
    SpawnSpec stSpec;
    stSpec.vArgs = {kDaemonPath};
    stSpec.strCwd = MakeRunDir("run", strBase);
    stSpec.nOutFd = nPipe[1];
    const pid_t nStarter = Spawn(stSpec);
    (void)close(nPipe[1]);
    ASSERT_GT(nStarter, 0);
    // The end of file comes when the starter and the daemon have both let go of
    // the pipe: the daemon does so once it receives.
    bool bEnded = false;
    const std::string strOut = ReadUntilEof(nPipe[0], &bEnded);
    (void)close(nPipe[0]);
    EXPECT_TRUE(bEnded) << "the pipe stayed open: " << strOut;
    EXPECT_TRUE(ReceivePortBound()) << "the starter returned before the port was bound";
    const int nStatus = WaitChild(nStarter);
    EXPECT_EQ(0, nStatus) << Describe(nStatus);
    const std::string strLogDir = strBase + "/ZqSdkLog";
    EXPECT_NE(std::string::npos, strOut.find("start to logserver\n")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("set log path[" + strLogDir + "]\n")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("set log path[" + strLogDir + "/LogServer.ini]\n"))
        << strOut;
    const pid_t nDaemon = DaemonWhenUp();
    ASSERT_NE(0, nDaemon);
    EXPECT_EQ(0, StopDaemon(nDaemon));
}

TEST_F(DaemonTest, FailedDetachExitsNonZero) {
    // A user whose process count has reached its limit cannot fork: the
    // daemon runs, but cannot detach. The uid is one no other program uses,
    // so that only this process counts.
    if (getuid() != 0) GTEST_SKIP() << "needs root to limit another user's processes";
    constexpr const char* kLoneUid = "64999";
    // Its base is its own, so that its lock can lie in its log directory.
    const std::string strBase = m_Dir.File("base");
    ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(strBase.c_str(), 0755));
    ASSERT_EQ(0, chown(strBase.c_str(), 64999, 64999));
    const std::string strOut = m_Dir.File("detach.out");
    SpawnSpec stSpec;
    stSpec.vArgs = {kDaemonPath};
    stSpec.strCwd = MakeRunDir("run", m_Dir.File("base"));
    stSpec.strOut = strOut;
    stSpec.vPrefix = {"/usr/bin/prlimit",
                      "--nproc=1:1",
                      "/usr/bin/setpriv",
                      std::string("--reuid=") + kLoneUid,
                      std::string("--regid=") + kLoneUid,
                      "--clear-groups"};
    // The leak check at exit needs a thread of its own, which the limit refuses.
    stSpec.strSanitizerOptions = "detect_leaks=0";
    const int nStatus = RunSpec(stSpec);
    const std::string strText = ReadFile(strOut);
    if (strText.find("start to logserver") == std::string::npos) {
        GTEST_SKIP() << "the daemon cannot run at all with one process: " << strText;
    }
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) != 0) << Describe(nStatus);
    EXPECT_NE(std::string::npos, strText.find("ZuVozAdavid: cannot detach")) << strText;
    EXPECT_TRUE(Children(kDaemonName).empty());
}

TEST_F(DaemonTest, WritesRecordsAsRootWithoutRealTimePermission) {
    // Without CAP_SYS_NICE (and no real-time rlimit) root is refused the
    // writer's SCHED_FIFO priority, as in a container or a hardened service.
    if (getuid() != 0) GTEST_SKIP() << "needs root: only root asks for real-time scheduling";
    const std::string strBase = m_Dir.File("base");
    const pid_t nDaemon = StartDaemon(
        MakeRunDir("run", strBase), getuid(),
        {"/usr/bin/prlimit", "--rtprio=0:0", "/usr/bin/setpriv", "--bounding-set=-sys_nice"});
    ASSERT_NE(0, nDaemon);
    EXPECT_NE(std::string::npos,
              ReadFile(m_Dir.File("daemon.out")).find("real-time scheduling refused"))
        << ReadFile(m_Dir.File("daemon.out"));
    CSender stSender;
    std::string strExpected;
    for (int i = 0; i < 100; ++i) {
        const std::string strRecord = "no real time " + std::to_string(i) + "\r\n";
        stSender.Send(strRecord);
        strExpected += strRecord;
    }
    const std::string strFile = LogFile(strBase, 0);
    EXPECT_TRUE(PollUntil([&] { return ReadFile(strFile) == strExpected; })) << ReadFile(strFile);
    EXPECT_EQ(0, StopDaemon(nDaemon));
}

// Record nSeq of the signal test: numbered, short.
std::string NumberedRecord(uint32_t nSeq) {
    char szRecord[64];
    std::snprintf(szRecord, sizeof(szRecord), "record %06u of the signal test\r\n", nSeq);
    return szRecord;
}

TEST_F(DaemonTest, SignalsOtherThanStopNeitherEndTheDaemonNorLoseRecords) {
    const std::string strBase = m_Dir.File("base");
    // 20,000 UDP records at once: more than the default fair share.
    WriteConfig(strBase, "[Limit]\r\nBurst=0\r\n");
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    const std::string strPidText = std::to_string(nDaemon) + "\n";
    auto PidFileNamesIt = [&] {
        return ReadFile(kPidFilePath) == strPidText ||
               ReadFile(strBase + "/ZqSdkLog/" + kPidFileName) == strPidText;
    };
    ASSERT_TRUE(PollUntil(PidFileNamesIt));

    const int kSignals[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE};
    constexpr uint32_t kRecords = 20000;
    constexpr uint32_t kBurst = 500;  // far below what the socket and the ring hold
    const std::string strFile = LogFile(strBase, 0);
    CSender stSender;
    std::string strExpected;
    uint32_t nSignalsSent = 0;
    for (uint32_t nSeq = 0; nSeq < kRecords;) {
        // A signal in the middle of every burst, while the daemon receives.
        for (uint32_t i = 0; i < kBurst; ++i, ++nSeq) {
            if (i == kBurst / 2) {
                ASSERT_EQ(0, kill(nDaemon, kSignals[nSignalsSent++ % 4]));
            }
            const std::string strRecord = NumberedRecord(nSeq);
            stSender.Send(strRecord);
            strExpected += strRecord;
        }
        // The last burst is not waited for: the stop must write it.
        if (nSeq == kRecords) break;
        const long long llSent = static_cast<long long>(strExpected.size());
        ASSERT_TRUE(PollUntil([&] { return FileSize(strFile) >= llSent; }))
            << "after " << nSignalsSent << " signals, " << FileSize(strFile) << " of " << llSent
            << " bytes written";
    }
    // Still the same live daemon (not a zombie that nobody reaped yet).
    EXPECT_EQ(std::vector<pid_t>{nDaemon}, Children(kDaemonName));
    EXPECT_EQ(0, waitpid(nDaemon, nullptr, WNOHANG)) << "the daemon ended";
    EXPECT_TRUE(PidFileNamesIt());
    EXPECT_EQ(0, StopDaemon(nDaemon));
    const std::string strGot = ReadFile(strFile);
    EXPECT_TRUE(strGot == strExpected)
        << zqtest::SplitCrLf(strGot).size() << " of " << kRecords << " records written";
}

TEST_F(DaemonTest, StopIsHonouredWhileTheLoopWaitsForASlowWriter) {
    // The daemon's log file is a pipe that this test reads: the writer makes
    // room in the ring only as fast as the test reads, 32 KiB every half
    // second. Whether the writer hands the pipe one record or a whole buffer
    // (64 KiB) at a time, it makes room at least every second or so, so it is
    // never stuck, but at gaps longer than a stop should wait. The ring fills,
    // the receive loop waits for room, and datagrams queue on its socket. A stop
    // then must not wait for the writer to take them all.
    const std::string strBase = m_Dir.File("base");
    const std::string strLogDir = strBase + "/ZqSdkLog";
    ASSERT_EQ(0, mkdir(strBase.c_str(), 0755));
    ASSERT_EQ(0, mkdir(strLogDir.c_str(), 0755));
    ASSERT_EQ(0, mkfifo(LogFile(strBase, 0).c_str(), 0644));
    const int nFifo = open(LogFile(strBase, 0).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nFifo, 0);
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);

    std::string strRead;  // what the writer wrote into the pipe
    auto ReadSome = [&](size_t nMax) {
        char szBuf[4096];
        const ssize_t nGot = read(nFifo, szBuf, std::min(nMax, sizeof(szBuf)));
        if (nGot > 0) strRead.append(szBuf, static_cast<size_t>(nGot));
        return nGot;
    };
    std::atomic<bool> bFast{false};
    std::atomic<bool> bDone{false};
    std::thread stReader([&] {
        while (!bDone.load()) {
            if (bFast.load()) {
                if (ReadSome(4096) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else {
                for (size_t nTaken = 0; nTaken < 32 * 1024;) {
                    const ssize_t nGot = ReadSome(32 * 1024 - nTaken);
                    if (nGot <= 0) break;
                    nTaken += static_cast<size_t>(nGot);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        }
        while (ReadSome(4096) > 0) {
        }
    });

    // Ring (1024 slots), pipe and stdio buffer hold about 1,200 records of
    // this size; the rest waits on the socket, as many as the test reads in
    // half a minute.
    constexpr uint32_t kRecords = 3000;
    std::vector<std::string> vSent;
    CSender stSender;
    for (uint32_t nSeq = 0; nSeq < kRecords; ++nSeq) {
        vSent.push_back(SeqRecord(nSeq));
        stSender.Send(vSent.back());
    }
    EXPECT_TRUE(PollUntil([] { return ReceiveQueueBytes() > 0; }))
        << "no datagram waits on the socket";
    ASSERT_EQ(0, kill(nDaemon, SIGTERM));
    // The endpoint is closed when the loop has returned; the writer still
    // waits for the pipe meanwhile.
    EXPECT_TRUE(PollUntil([] { return !ReceivePortBound(); }, std::chrono::seconds(10)))
        << "the receive loop still waits for room after a stop request";
    bFast.store(true);
    const int nStatus = WaitChild(nDaemon);
    bDone.store(true);
    stReader.join();
    (void)close(nFifo);
    EXPECT_EQ(0, nStatus) << Describe(nStatus);

    // What was written: whole records in the order sent, none twice.
    const std::vector<std::string> vLines = zqtest::SplitCrLf(strRead);
    size_t nNext = 0;
    for (const std::string& strLine : vLines) {
        const std::string strRecord = strLine + "\r\n";
        while (nNext < vSent.size() && vSent[nNext] != strRecord) ++nNext;
        ASSERT_LT(nNext, vSent.size())
            << "not a record sent, or out of order: '" << strLine.substr(0, 40) << "'";
        ++nNext;
    }
    EXPECT_GE(vLines.size(), 1024u) << "the ring's records were not written";
}

TEST_F(DaemonTest, CommandLineHelpVersionAndUsageErrors) {
    const std::string strUsage = "Usage: ZuVozAdavid";
    const std::string strBase = m_Dir.File("base");
    const std::string strBad = m_Dir.File("bad.ini");
    const std::string strClean = m_Dir.File("clean.ini");
    ASSERT_TRUE(WriteFile(strBad, "[Level]\r\nLogLevel=4\r\n[Fil]\r\n"));
    ASSERT_TRUE(WriteFile(strClean, "[Level]\r\nLogLevel=4\r\n"));
    const struct {
        std::vector<std::string> vArgs;
        int nExit;
        std::string strOut;  // expected standard output, or its start when bUsageOut
        bool bUsageOut;
        bool bUsageErr;
    } kCases[] = {
        {{"-h"}, 0, strUsage, true, false},
        {{"--help"}, 0, strUsage, true, false},
        {{"-V"}, 0, std::string("ZuVozAdavid ") + ZQ_VERSION_STRING + "\n", false, false},
        {{"--version"}, 0, std::string("ZuVozAdavid ") + ZQ_VERSION_STRING + "\n", false, false},
        {{"-x"}, 2, "", false, true},
        {{"--bogus"}, 2, "", false, true},
        {{"stray"}, 2, "", false, true},
        {{"-n", "extra"}, 2, "", false, true},
        {{"--check-config", strBad},
         1,
         strBad + ": [Fil]: unknown section; its keys are ignored\n",
         false,
         false},
        {{"--check-config=" + strClean}, 0, strClean + ": no problems found\n", false, false},
        // The file a start from the working directory would follow.
        {{"--check-config"},
         1,
         strBase + "/ZqSdkLog/LogServer.ini: cannot be read (missing or not a regular file); "
                   "the defaults are used\n",
         false,
         false},
    };
    const std::string strRun = MakeRunDir("run", strBase);
    for (const auto& stCase : kCases) {
        SCOPED_TRACE(stCase.vArgs[0] + (stCase.vArgs.size() > 1 ? " " + stCase.vArgs[1] : ""));
        SpawnSpec stSpec;
        stSpec.vArgs = {kDaemonPath};
        stSpec.vArgs.insert(stSpec.vArgs.end(), stCase.vArgs.begin(), stCase.vArgs.end());
        stSpec.strCwd = strRun;
        stSpec.strOut = m_Dir.File("cli.out");
        stSpec.strErr = m_Dir.File("cli.err");
        const int nStatus = RunSpec(stSpec);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == stCase.nExit)
            << Describe(nStatus);
        const std::string strOut = ReadFile(stSpec.strOut);
        const std::string strErr = ReadFile(stSpec.strErr);
        if (stCase.bUsageOut) {
            EXPECT_EQ(0u, strOut.find(stCase.strOut)) << strOut;
        } else {
            EXPECT_EQ(stCase.strOut, strOut);
        }
        EXPECT_EQ(stCase.bUsageErr, strErr.find(strUsage) != std::string::npos) << strErr;
        // Nothing was started.
        EXPECT_TRUE(Children(kDaemonName).empty());
        EXPECT_FALSE(FileExists(strBase));
    }
}

TEST_F(DaemonTest, ForegroundDaemonNotifiesReadyAndStopsOnSignal) {
    const struct {
        int nSignal;
        bool bAbstract;  // the notify socket's name is abstract ("@...") or a path
    } kCases[] = {{SIGTERM, true}, {SIGINT, false}};
    int nRun = 0;
    for (const auto& stCase : kCases) {
        SCOPED_TRACE(std::string(strsignal(stCase.nSignal)) +
                     (stCase.bAbstract ? ", abstract socket" : ", socket file"));
        ++nRun;
        const std::string strName = stCase.bAbstract ? "@zqtest-notify-" + std::to_string(getpid())
                                                     : m_Dir.File("notify" + std::to_string(nRun));
        const int nNotify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(nNotify, 0);
        sockaddr_un stAddr{};
        stAddr.sun_family = AF_UNIX;
        ASSERT_LT(strName.size(), sizeof(stAddr.sun_path));
        std::memcpy(stAddr.sun_path, strName.data(), strName.size());
        if (stCase.bAbstract) stAddr.sun_path[0] = '\0';
        const socklen_t nAddrLen = static_cast<socklen_t>(
            offsetof(sockaddr_un, sun_path) + strName.size() + (stCase.bAbstract ? 0 : 1));
        ASSERT_EQ(0, bind(nNotify, reinterpret_cast<sockaddr*>(&stAddr), nAddrLen))
            << std::strerror(errno);
        auto NextState = [&] {
            pollfd stPoll{nNotify, POLLIN, 0};
            char szState[256] = {};
            if (poll(&stPoll, 1, 20000) != 1) return std::string("(nothing)");
            const ssize_t nGot = recv(nNotify, szState, sizeof(szState) - 1, 0);
            return nGot < 0 ? std::string("(failed)") : std::string(szState, size_t(nGot));
        };

        const std::string strBase = m_Dir.File("base" + std::to_string(nRun));
        SpawnSpec stSpec;
        stSpec.vArgs = {kDaemonPath, "-n"};
        stSpec.strCwd = MakeRunDir("run" + std::to_string(nRun), strBase);
        stSpec.strOut = m_Dir.File("fg.out");
        stSpec.strErr = m_Dir.File("fg.err");
        stSpec.vEnv = {"NOTIFY_SOCKET=" + strName};
        const pid_t nDaemon = Spawn(stSpec);
        ASSERT_GT(nDaemon, 0);
        EXPECT_EQ("READY=1", NextState());
        // Ready means receiving: the port is bound by then, by this very
        // process (it did not detach).
        EXPECT_TRUE(ReceivePortBound());
        EXPECT_EQ(std::vector<pid_t>{nDaemon}, Children(kDaemonName));

        CSender stSender;
        std::string strExpected;
        for (int i = 0; i < 200; ++i) {
            const std::string strRecord = "foreground " + std::to_string(i) + "\r\n";
            stSender.Send(strRecord);
            strExpected += strRecord;
        }
        ASSERT_EQ(0, kill(nDaemon, stCase.nSignal));
        EXPECT_EQ("STOPPING=1", NextState());
        const int nStatus = WaitChild(nDaemon);
        EXPECT_EQ(0, nStatus) << Describe(nStatus) << ": " << ReadFile(stSpec.strErr);
        // In the foreground the daemon adds records of its own (its start and
        // stop): the datagrams are all the others, unchanged and in order.
        EXPECT_EQ(strExpected, WithoutOwnRecords(ReadFile(LogFile(strBase, 0))));
        (void)close(nNotify);
    }
}

// Twenty root clients log 5,000 lines each at once: their writers are
// real-time, so the daemon's receive loop runs above them, and none of the
// 100,000 records is lost to a full socket buffer.
TEST_F(DaemonTest, TwentyRootClientsAtOnceLoseNothing) {
    if (getuid() != 0) GTEST_SKIP() << "the clients' writers are real-time only as root";
    const std::string strBase = m_Dir.File("base");
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    constexpr int kClients = 20;
    constexpr int kLines = 5000;
    const std::string strLines = m_Dir.File("lines");
    {
        std::string strText;
        for (int i = 0; i < kLines; ++i) {
            strText += "line " + std::to_string(i) + " " + std::string(100, 'x') + "\n";
        }
        ASSERT_TRUE(WriteFile(strLines, strText));
    }
    // One shell starts them all at once, as a burst of scripts would.
    SpawnSpec stSpec;
    stSpec.vArgs = {"/bin/sh", "-c",
                    "i=0; while [ $i -lt " + std::to_string(kClients) +
                        " ]; do \"$@\" -t client$i -D own$i <lines & i=$((i+1)); done; wait",
                    "sh"};
    for (const std::string& strWord : zqtest::TargetCommand({kZqlogPath}, m_Dir.Path())) {
        stSpec.vArgs.push_back(strWord);
    }
    stSpec.strCwd = m_Dir.Path();
    stSpec.strOut = m_Dir.File("clients.out");
    const int nStatus = WaitChild(Spawn(stSpec));
    EXPECT_EQ(0, nStatus) << Describe(nStatus) << ": " << ReadFile(stSpec.strOut);
    constexpr long long llExpected = static_cast<long long>(kClients) * kLines;
    auto CountLines = [&] {
        long long ll = 0;
        for (int i = 0; i < 10; ++i) {
            for (char ch : ReadFile(LogFile(strBase, i))) ll += ch == '\n';
        }
        return ll;
    };
    EXPECT_TRUE(PollUntil([&] { return CountLines() >= llExpected; }));
    EXPECT_EQ(0, StopDaemon(nDaemon));
    std::vector<int> vPerClient(kClients, 0);
    for (int i = 1; i >= 0; --i) {
        for (const std::string& strLine : zqtest::SplitCrLf(ReadFile(LogFile(strBase, i)))) {
            const size_t nAt = strLine.find("Source-Line:client");
            int nClient = -1;
            if (nAt != std::string::npos &&
                std::sscanf(strLine.c_str() + nAt, "Source-Line:client%d(", &nClient) == 1 &&
                nClient >= 0 && nClient < kClients) {
                ++vPerClient[static_cast<size_t>(nClient)];
            }
        }
    }
    long long llClientLines = 0;
    for (int n : vPerClient) llClientLines += n;
    EXPECT_EQ(llExpected, llClientLines);
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(kLines, vPerClient[static_cast<size_t>(c)]) << "client " << c;
        EXPECT_FALSE(FileExists(m_Dir.File("own" + std::to_string(c))))
            << "client " << c << " wrote its own files";
    }
}

// Records of the daemon's own (asked for in LogServer.ini), under its name, in
// its own files: the start,
// a reload with what changed, a fault of the writer (the log directory
// removed and made again) and the statistics on SIGUSR1 and at the stop.
TEST_F(DaemonTest, OwnRecordsTellStartReloadFaultsAndStatistics) {
    const std::string strBase = m_Dir.File("base");
    ASSERT_EQ(0, mkdir(strBase.c_str(), 0755));
    ASSERT_EQ(0, mkdir((strBase + "/ZqSdkLog").c_str(), 0755));
    const std::string strCfg = strBase + "/ZqSdkLog/LogServer.ini";
    ASSERT_TRUE(WriteFile(strCfg, "[File]\r\nFileNum=10\r\n[Daemon]\r\nOwnRecords=1\r\n[Fil]\r\n"));
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    // A mistake in the file is said at the start, on the starter's standard error.
    EXPECT_NE(std::string::npos, ReadFile(m_Dir.File("daemon.out"))
                                     .find("ZuVozAdavid: " + strCfg +
                                           ": [Fil]: unknown section; its keys are ignored\n"));
    const std::string strCurrent = LogFile(strBase, 0);
    auto Has = [&](const std::string& strText) {
        return ReadFile(strCurrent).find(strText) != std::string::npos;
    };
    const std::string strOwn = "Source-Line:ZuVozAdavid(";
    EXPECT_TRUE(PollUntil([&] { return Has("started: version " ZQ_VERSION_STRING); }));
    EXPECT_TRUE(Has(strOwn));

    ASSERT_TRUE(
        WriteFile(strCfg, "[File]\r\nFileNum=3\r\nFileSzie=30\r\n[Daemon]\r\nOwnRecords=1\r\n"));
    EXPECT_TRUE(PollUntil([&] {
        return Has(
            "reloaded: FileNum 10 -> 3; not as written: [File] FileSzie: unknown key; "
            "ignored\r\n");
    }));

    CSender stSender;
    zqtest::RemoveTree(strBase + "/ZqSdkLog");
    EXPECT_TRUE(PollUntil([&] {
        stSender.Send("after the removal\r\n");
        return Has("was deleted");
    }));
    EXPECT_EQ(0, kill(nDaemon, SIGUSR1));
    EXPECT_TRUE(PollUntil([&] { return Has("statistics: received "); }));
    EXPECT_EQ(0, StopDaemon(nDaemon));
    EXPECT_TRUE(Has("stopping: received "));
    for (const std::string& strLine : zqtest::SplitCrLf(ReadFile(strCurrent))) {
        if (strLine.find(strOwn) == std::string::npos) {
            EXPECT_EQ("after the removal", strLine);
        }
    }
}

// The statistics match what a test sent and what the daemon dropped: read by
// zqlog --stats while the daemon runs.
// Every datagram is counted once, under one heading: written, empty (no
// text), or dropped by its cause, the kernel's drops on the full socket of a
// stopped daemon among them.
TEST_F(DaemonTest, StatisticsCountWhatWasReceivedWrittenAndDropped) {
    if (getuid() != 0) GTEST_SKIP() << "the statistics file lies in /run";
    const std::string strBase = m_Dir.File("base");
    // A flood of 40,000 UDP records: more than the default fair share.
    WriteConfig(strBase, "[Limit]\r\nBurst=0\r\n");
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    constexpr unsigned kRecords = 500;
    constexpr unsigned kTooLong = 2;
    constexpr unsigned kEmpty = 2;
    {
        CSender stSender;
        for (unsigned i = 0; i < kRecords; ++i)
            stSender.Send("record " + std::to_string(i) + "\r\n");
        for (unsigned i = 0; i < kTooLong; ++i) stSender.Send(std::string(2000, 'L'));
        stSender.Send("");
        stSender.Send(std::string("\0after a NUL\r\n", 15));
    }
    std::map<std::string, unsigned long long> stats;
    auto ReadStats = [&] {
        const std::string strOut = m_Dir.File("stats.out");
        const int nStatus = Run({kZqlogPath, "--stats"}, m_Dir.Path(), "", strOut);
        stats.clear();
        std::istringstream in(ReadFile(strOut));
        std::string strName;
        unsigned long long nValue = 0;
        while (in >> strName >> nValue) stats[strName] = nValue;
        return nStatus == 0;
    };
    EXPECT_TRUE(PollUntil([&] {
        return ReadStats() && stats["received"] == kRecords + kTooLong + kEmpty &&
               stats["written"] - stats["own"] == kRecords;
    })) << "received "
        << stats["received"] << ", written " << stats["written"] << ", own " << stats["own"];
    EXPECT_EQ(kTooLong, stats["dropped_too_long"]);
    EXPECT_EQ(kEmpty, stats["empty"]);
    EXPECT_EQ(0u, stats["dropped_ring_full"]);
    EXPECT_EQ(0u, stats["dropped_write_failed"]);
    EXPECT_EQ(0u, stats["dropped_socket_full"]);
    EXPECT_EQ(0u, stats["rotations"]);

    // Stopped, the daemon reads nothing: a flood larger than its socket's
    // buffer loses datagrams in the kernel, which it counts when it goes on.
    // An emulator that does not pass the option on cannot show it.
    const int nProbe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int nOn = 1;
    const bool bCounted = setsockopt(nProbe, SOL_SOCKET, SO_RXQ_OVFL, &nOn, sizeof(nOn)) == 0;
    (void)close(nProbe);
    if (!bCounted) {
        EXPECT_EQ(0, StopDaemon(nDaemon));
        GTEST_SKIP() << "the kernel's drop count is not to be had here: " << std::strerror(errno);
    }
    ASSERT_EQ(0, kill(nDaemon, SIGSTOP));
    int nStatus = 0;
    ASSERT_EQ(nDaemon, waitpid(nDaemon, &nStatus, WUNTRACED));
    constexpr unsigned kFlood = 40000;
    ASSERT_TRUE(zqtest::FloodLoopback(kLogServerPort, kFlood, 1000));
    ASSERT_EQ(0, kill(nDaemon, SIGCONT));
    // The kernel tells its count with the next datagram it queues.
    ASSERT_TRUE(PollUntil([] { return zqtest::QueuedBytes(kLogServerPort) == 0; }));
    CSender().Send("after the flood\r\n");
    const unsigned long long nSent = kRecords + kTooLong + kEmpty + kFlood + 1;
    EXPECT_TRUE(PollUntil(
        [&] {
            return ReadStats() && stats["received"] + stats["dropped_socket_full"] == nSent &&
                   stats["written"] - stats["own"] == stats["received"] - kTooLong - kEmpty;
        },
        std::chrono::seconds(60)))
        << "received " << stats["received"] << ", dropped by the kernel "
        << stats["dropped_socket_full"] << ", written " << stats["written"] << " of " << nSent;
    EXPECT_GT(stats["dropped_socket_full"], 0u);
    EXPECT_EQ(0, StopDaemon(nDaemon));
    EXPECT_FALSE(ReadStats()) << "the statistics outlive the daemon";
}

using zqtest::ModeOf;

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

// Socket activation: the daemon started as a service manager starts it, with
// the socket bound for it (with address reuse, as the manager binds) passed as
// descriptor 3. It receives on that socket and holds the port alone; the port
// stays bound after it stops, and the next daemon on the same socket (a
// restart) receives again. A passed socket that is not the daemon's is
// refused, said on standard error, and the daemon binds the port itself; one
// that another socket joined meanwhile leaves it without its port.
TEST_F(DaemonTest, DaemonTakesOverTheSocketAServiceManagerPasses) {
    const uint16_t kOtherPort = kLogServerPort + 1;
    const struct {
        const char* pName;
        uint16_t nPort;        // the passed socket's
        bool bJoined;          // another socket bound beside it with address reuse
        const char* pRefusal;  // what standard error says; null: taken over
    } kCases[] = {
        {"the daemon's socket", kLogServerPort, false, nullptr},
        {"a socket on another port", kOtherPort, false, "bound to 127.0.0.1:12346, not"},
        {"a socket another one joined", kLogServerPort, true, "another socket shares"},
    };
    const uid_t nUid = getuid() == 0 ? kNobody : getuid();
    // Bit i set: a user's bind i of address reuse, port reuse, both succeeded.
    auto UserBinds = [nUid] {
        zqtest::UserProcess stUser(nUid, [] {
            const bool kReuse[][2] = {{true, false}, {false, true}, {true, true}};
            int nBound = 0;
            for (int i = 0; i < 3; ++i) {
                if (zqtest::BindUdp(kLoopbackIp, kLogServerPort, kReuse[i][0], kReuse[i][1],
                                    SOCK_CLOEXEC) >= 0) {
                    nBound |= 1 << i;
                }
            }
            return nBound;
        });
        return stUser.Status();
    };
    int nRun = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        const int nPassed = zqtest::BindUdp(kLoopbackIp, c.nPort, true, false, SOCK_CLOEXEC);
        ASSERT_GE(nPassed, 0) << std::strerror(errno);
        const int nJoined =
            c.bJoined ? zqtest::BindUdp(kLoopbackIp, kLogServerPort, true, false, SOCK_CLOEXEC)
                      : -1;
        ASSERT_EQ(c.bJoined, nJoined >= 0) << std::strerror(errno);
        const std::string strBase = m_Dir.File("base" + std::to_string(++nRun));
        SpawnSpec stSpec;
        stSpec.vArgs = {kDaemonPath, "-n"};
        stSpec.strCwd = MakeRunDir("run" + std::to_string(nRun), strBase);
        stSpec.strOut = m_Dir.File("passed.out");
        stSpec.strErr = m_Dir.File("passed.err");
        stSpec.nListenFd = nPassed;
        // Each daemon on the socket writes what it was sent while it runs,
        // sent once it has written its start (its socket is ready by then: a
        // stopping daemon seals it, and the next takes it over).
        std::string strExpected;
        size_t nStarts = 0;
        auto Receives = [&](pid_t nDaemon, const std::string& strTag) {
            ++nStarts;
            if (!PollUntil([&] {
                    const std::string strLog = ReadFile(LogFile(strBase, 0));
                    size_t nSeen = 0;
                    for (size_t n = strLog.find("started: version"); n != std::string::npos;
                         n = strLog.find("started: version", n + 1)) {
                        ++nSeen;
                    }
                    return nSeen == nStarts || waitpid(nDaemon, nullptr, WNOHANG) != 0;
                })) {
                return false;
            }
            CSender stSender;
            for (int i = 0; i < 50; ++i) {
                const std::string strRecord = strTag + " " + std::to_string(i) + "\r\n";
                stSender.Send(strRecord);
                strExpected += strRecord;
            }
            return PollUntil([&] {
                return WithoutOwnRecords(ReadFile(LogFile(strBase, 0))) == strExpected ||
                       waitpid(nDaemon, nullptr, WNOHANG) != 0;
            });
        };
        pid_t nDaemon = Spawn(stSpec);
        ASSERT_GT(nDaemon, 0);
        if (c.bJoined) {
            const int nStatus = WaitChild(nDaemon);
            EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << Describe(nStatus);
            EXPECT_NE(std::string::npos,
                      ReadFile(stSpec.strErr).find("cannot receive on UDP port 12345"))
                << ReadFile(stSpec.strErr);
        } else {
            EXPECT_TRUE(Receives(nDaemon, "first")) << ReadFile(stSpec.strErr);
            EXPECT_EQ(0, UserBinds()) << "the port is shared while the daemon runs";
            EXPECT_EQ(0, StopDaemon(nDaemon)) << ReadFile(stSpec.strErr);
        }
        const std::string strErr = ReadFile(stSpec.strErr);
        if (c.pRefusal != nullptr) {
            EXPECT_NE(std::string::npos,
                      strErr.find("refusing the socket passed by the service manager: "))
                << strErr;
            EXPECT_NE(std::string::npos, strErr.find(c.pRefusal)) << strErr;
        } else {
            EXPECT_EQ(std::string::npos, strErr.find("refusing")) << strErr;
            // Between two daemons the manager holds the port, still alone.
            EXPECT_EQ(0, UserBinds()) << "the port is shared between two daemons";
            nDaemon = Spawn(stSpec);
            ASSERT_GT(nDaemon, 0);
            EXPECT_TRUE(Receives(nDaemon, "second")) << ReadFile(stSpec.strErr);
            EXPECT_EQ(0, StopDaemon(nDaemon));
        }
        EXPECT_EQ(strExpected, WithoutOwnRecords(ReadFile(LogFile(strBase, 0))));
        if (nJoined >= 0) (void)close(nJoined);
        (void)close(nPassed);
    }
}

TEST_F(DaemonTest, DaemonThatCannotBindItsPortStops) {
    // Another socket holds the port, with address reuse on as the daemon's own
    // socket once had it, so that a second socket with the option could share it.
    const int nHolder = zqtest::BindUdp(kLoopbackIp, kLogServerPort, true, false, SOCK_CLOEXEC);
    ASSERT_GE(nHolder, 0) << "127.0.0.1:12345 is taken";
    const std::string strOut = m_Dir.File("daemon.out");
    const int nStatus = Run({kDaemonPath}, MakeRunDir("run", m_Dir.File("base")), "", strOut);
    // The starter waits until the daemon receives: it reports the failure
    // itself, and nothing runs on.
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << Describe(nStatus);
    EXPECT_NE(std::string::npos, ReadFile(strOut).find("cannot receive on UDP port 12345"))
        << ReadFile(strOut);
    EXPECT_TRUE(Children(kDaemonName).empty()) << "a daemon runs on without its port";
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

// The statistics file lies beside the pid file, readable by everyone, and
// zqlog --stats reads it there. Where uid 65534 made the run directory's name
// first, as a link to a directory of its own (in a /run anyone may write), the
// daemon writes and removes nothing through the link: the file is in the log
// directory, and zqlog does not show the user's file.
TEST_F(DaemonTest, StatisticsFileLiesBesideThePidFileForEveryReader) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as uid 65534";
    ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0755));
    const int nProbe = Run({"/bin/sh", "-c", std::string("test -x ") + kZqlogPath}, m_Dir.Path(),
                           "", m_Dir.File("probe.out"), kNobody);
    if (nProbe != 0) GTEST_SKIP() << "uid 65534 cannot run " << kZqlogPath;
    const struct {
        const char* pName;
        bool bLinkedRunDir;  // uid 65534 made kRunDir a link to its own directory
        uid_t nReader;       // who runs zqlog --stats
    } kCases[] = {
        {"root's run directory, read by uid 65534", false, kNobody},
        {"the run directory's name a user's link, read by root", true, 0},
    };
    int nRun = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        CRunSquat stSquat;
        const std::string strUserDir = m_Dir.File("user" + std::to_string(++nRun));
        const std::string strPlanted = "received 999\n\033]0;owned\007\n";
        if (c.bLinkedRunDir) {
            if (!CRunSquat::RunIsOpen()) {
                std::printf("/run is not writable by others here: no link can be planted\n");
                continue;
            }
            zqtest::RemoveTree(kRunDir);  // an earlier root daemon's; none runs (SetUp)
            ASSERT_EQ(0, mkdir(strUserDir.c_str(), 0755));
            ASSERT_EQ(0, chown(strUserDir.c_str(), kNobody, kNobody));
            ASSERT_EQ(0, zqtest::RunAsUser(kNobody, [&] {
                          const bool bOk =
                              WriteFile(strUserDir + "/" + kStatsFileName, strPlanted) &&
                              symlink(strUserDir.c_str(), kRunDir) == 0;
                          return bOk ? 0 : 1;
                      }));
        }
        const std::string strBase = m_Dir.File("base" + std::to_string(nRun));
        const std::string strDir = c.bLinkedRunDir ? strBase + "/ZqSdkLog" : kRunDir;
        const pid_t nDaemon = StartDaemon(MakeRunDir("run" + std::to_string(nRun), strBase));
        ASSERT_NE(0, nDaemon);
        EXPECT_EQ(std::to_string(nDaemon) + "\n", ReadFile(strDir + "/" + kPidFileName));
        const std::string strStats = strDir + "/" + kStatsFileName;
        EXPECT_TRUE(PollUntil([&] { return FileExists(strStats); })) << strStats;
        EXPECT_EQ("0644", ModeOf(strStats));

        CSender stSender;
        for (int i = 0; i < 5; ++i) stSender.Send("counted " + std::to_string(i) + "\r\n");
        const std::string strOut = m_Dir.File("stats" + std::to_string(nRun) + ".out");
        std::string strShown;
        EXPECT_TRUE(PollUntil([&] {
            const int nStatus = Run({kZqlogPath, "--stats", "-D", strBase + "/ZqSdkLog"},
                                    m_Dir.Path(), "", strOut, c.nReader);
            strShown = ReadFile(strOut);
            return nStatus == 0 && strShown.find("received 5\n") != std::string::npos;
        })) << strShown;
        EXPECT_EQ(std::string::npos, strShown.find("999")) << strShown;
        EXPECT_EQ(0, StopDaemon(nDaemon));
        EXPECT_FALSE(FileExists(strStats)) << "the statistics outlive the daemon";
        if (c.bLinkedRunDir) {
            // The user's file is as the user left it, and nothing lies beside it.
            EXPECT_FALSE(FileExists(strUserDir + "/" + kStatsFileName + ".new"));
            EXPECT_EQ(strPlanted, ReadFile(strUserDir + "/" + kStatsFileName));
        }
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

    // Where the system has the group of the log's readers, its members read
    // the files; no other user does.
    const group* pReaders = getgrnam("adm");
    if (pReaders == nullptr) return;
    ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0755));  // the way to the base directory
    for (const std::string& strPath : {strBase, strBase + "/ZqSdkLog", LogFile(strBase, 0),
                                       strBase + "/ZqSdkLog/LogServer.ini"}) {
        struct stat st {};
        ASSERT_EQ(0, lstat(strPath.c_str(), &st)) << strPath;
        EXPECT_EQ(pReaders->gr_gid, st.st_gid) << strPath;
    }
    const struct {
        const char* pGroups;
        int nExit;
    } kReaders[] = {{"--groups=adm", 0}, {"--clear-groups", 1}};
    for (const auto& stReader : kReaders) {
        SCOPED_TRACE(stReader.pGroups);
        const std::string strOut = m_Dir.File("reader.out");
        const int nStatus = Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                 stReader.pGroups, "/bin/cat", LogFile(strBase, 0)},
                                m_Dir.Path(), "", strOut);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == stReader.nExit)
            << Describe(nStatus) << ReadFile(strOut);
        if (stReader.nExit == 0) {
            EXPECT_EQ("modes\r\n", ReadFile(strOut));
        }
    }
}

// The daemon's wall clock an hour ahead of the kernel's (a preloaded shim): as
// if the system clock had been stepped back by an hour. Every wait of the
// writer and the receive loop runs on the monotonic clock, so each burst is
// written as soon as it arrives; a wait with a wall-clock deadline would
// last an hour.
TEST_F(DaemonTest, WallClockSteppedBackDoesNotHoldRecordsBack) {
    const std::string strBase = m_Dir.File("base");
    SpawnSpec stSpec;
    stSpec.vArgs = {kDaemonPath};
    stSpec.strCwd = MakeRunDir("run", strBase);
    stSpec.strOut = m_Dir.File("daemon.out");
    stSpec.vEnv = {std::string("LD_PRELOAD=") + ZQ_WALL_CLOCK_SHIM,
                   "ZQ_TEST_WALL_CLOCK_AHEAD_S=3600"};
    stSpec.strSanitizerOptions = "verify_asan_link_order=0";
    ASSERT_EQ(0, RunSpec(stSpec)) << ReadFile(stSpec.strOut);
    const pid_t nDaemon = DaemonWhenUp();
    ASSERT_NE(0, nDaemon);
    // Bursts apart: after the first the writer lingers, waiting with a
    // deadline, and no producer wakes it.
    CSender stSender;
    std::string strExpected;
    const std::string strFile = LogFile(strBase, 0);
    for (uint32_t nBurst = 0; nBurst < 10; ++nBurst) {
        for (uint32_t i = 0; i < 10; ++i) {
            const std::string strRecord = NumberedRecord(nBurst * 10 + i);
            stSender.Send(strRecord);
            strExpected += strRecord;
        }
        ASSERT_TRUE(PollUntil([&] { return ReadFile(strFile) == strExpected; }))
            << "burst " << nBurst << ": " << zqtest::SplitCrLf(ReadFile(strFile)).size()
            << " records written";
    }
    EXPECT_EQ(0, StopDaemon(nDaemon));
}

// Voluntary context switches of a thread, from its open status file: a loop
// that sleeps makes them, a loop that spins without system calls does not.
long VoluntarySwitches(int nStatusFd) {
    char szStatus[4096] = {};
    if (pread(nStatusFd, szStatus, sizeof(szStatus) - 1, 0) <= 0) return -1;
    const char* pKey = std::strstr(szStatus, "voluntary_ctxt_switches:");
    return pKey == nullptr ? -1 : std::atol(pKey + std::strlen("voluntary_ctxt_switches:"));
}

TEST(RecvLoopTest, LastingReceiveFailuresPauseTheLoopAndStopStillEndsIt) {
    EXPECT_EQ(0u, RecvPauseMs(0));
    EXPECT_EQ(0u, RecvPauseMs(NET_ERR_TIMEOUT));
    for (int32_t nErr : {NET_ERR_HANDLE, NET_ERR_STATE, NET_ERR_PARAM, NET_ERR_SELECT}) {
        EXPECT_EQ(kRecvBackoffMs, RecvPauseMs(nErr)) << std::hex << nErr;
    }
    g_bStopRecv.store(true);
    EXPECT_EQ(0, CRecvLoop().Run());  // stop before start: no endpoint

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
                (void)CRecvLoop().Run();
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

// Sends the datagrams to the daemon's endpoint, opened before the loop, then
// runs the loop with a stop already requested: it takes what is queued and
// returns. The log file's text; fnBeforeDestroy runs before the log module is
// destroyed, with the loop's counters.
std::string ThroughStoppedLoop(const std::vector<std::string>& vDatagrams,
                               const std::function<void(const RecvCounters&)>& fnBeforeDestroy) {
    zqtest::TempDir stDir;
    EXPECT_EQ(0, SetLogPath(stDir.Path().c_str(), "SDK"));
    EXPECT_EQ(0, SetLogMode(ZQ_MODE_FILES));
    EXPECT_EQ(0, CreateAsyncLog());
    int32_t nOpened = -1;
    std::unique_ptr<CUdpNetLayer> pNet = OpenReceiveEndpoint(&nOpened);
    EXPECT_EQ(0, nOpened);
    {
        CPinToOneCpu stPin;
        CSender stSender;
        for (const std::string& strDatagram : vDatagrams) stSender.Send(strDatagram);
        EXPECT_TRUE(stSender.Barrier());
    }
    g_bStopRecv.store(true);
    CRecvLoop stLoop;
    EXPECT_EQ(0, stLoop.RunOn(std::move(pNet)));
    g_bStopRecv.store(false);
    fnBeforeDestroy(stLoop.Counters());
    EXPECT_EQ(0, DestroyAsyncLog());
    return ReadFile(stDir.File("SDK_00.log"));
}

// The daemon opens its endpoint before the loop runs and then says it is
// ready: what clients send from then on is written, also when a stop request
// came before the loop started.
TEST(RecvLoopTest, StopBeforeTheLoopStillWritesWhatTheOpenedEndpointHolds) {
    std::vector<std::string> vRecords;
    for (int i = 0; i < 3; ++i)
        vRecords.push_back("sent before the loop " + std::to_string(i) + "\r\n");
    const std::string strGot = ThroughStoppedLoop(vRecords, [](const RecvCounters&) {
        EXPECT_FALSE(ReceivePortBound()) << "the endpoint outlived the loop";
    });
    EXPECT_EQ(vRecords[0] + vRecords[1] + vRecords[2], strGot);
}

// One datagram is one line of the file, whatever its sender put in it.
TEST(RecvLoopTest, EachDatagramIsExactlyOneLine) {
    struct LineCase {
        std::string datagram;
        std::string line;  // what the file gets; empty: nothing
    };
    const std::string kForged =
        "Fatal   2026-12-08 10:00:00:000  DevID:-  Source-Line:x(a.c-L0001)";
    const LineCase kCases[] = {
        {"a record\r\n", "a record\r\n"},
        {"ended by LF alone\n", "ended by LF alone\n"},
        {"no line end", "no line end\r\n"},
        {"ends in CR\r", "ends in CR#015\r\n"},
        {"two\r\n" + kForged + "\r\n", "two#015#012" + kForged + "\r\n"},
        {"lone\nLF and\rCR\r\n", "lone#012LF and#015CR\r\n"},
        {std::string("cut at\0 a NUL\r\n", 16), "cut at\r\n"},
        {"", ""},
        {std::string("\0NUL first", 10), ""},
        {"\r\n", "\r\n"},
        // Escaped, 300 CRs take 1200 bytes: more than a record.
        {std::string(300, '\r') + "\r\n", ""},
    };
    std::vector<std::string> vDatagrams;
    std::string strExpected;
    for (const LineCase& c : kCases) {
        vDatagrams.push_back(c.datagram);
        strExpected += c.line;
    }
    const std::string strGot = ThroughStoppedLoop(vDatagrams, [&](const RecvCounters& stCounters) {
        EXPECT_EQ(2u, stCounters.nEmpty.load());
        EXPECT_EQ(1u, GetLostLogCountBy(LossCause::kTooLong));
    });
    EXPECT_EQ(strExpected, strGot);
}

}  // namespace

namespace {

// Reads the pipe nPipe (and then closes it) while the log module is destroyed:
// its writer drains the ring into the pipe and closes its end at the stop.
// The text read; *pDestroyed receives DestroyAsyncLog's result.
std::string ReadPipeWhileDestroying(int nPipe, int32_t* pDestroyed) {
    std::string strRead;
    std::thread stReader([&] {
        pollfd stPoll{nPipe, POLLIN, 0};
        char szBuf[65536];
        while (poll(&stPoll, 1, 20000) == 1) {
            const ssize_t nGot = read(nPipe, szBuf, sizeof(szBuf));
            if (nGot <= 0) break;
            strRead.append(szBuf, static_cast<size_t>(nGot));
        }
    });
    *pDestroyed = DestroyAsyncLog();
    stReader.join();
    (void)close(nPipe);
    return strRead;
}

// The receive loop in this process with a writer that waits: its log file is
// a pipe nobody reads yet. The ring fills, the loop waits for room, gives up
// and drops what follows: every datagram given up is counted once, by its
// cause (however often the loop tried again), and every other one is written.
TEST(RecvLoopTest, EveryDatagramGivenUpIsCountedOnceByCause) {
    if (getuid() != 0) GTEST_SKIP() << "needs root for the receive buffer the burst needs";
    zqtest::TempDir stDir;
    ASSERT_EQ(0, mkfifo(stDir.File("SDK_00.log").c_str(), 0644));
    const int nPipe = open(stDir.File("SDK_00.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nPipe, 0);
    ASSERT_EQ(ZQ_OK, SetLogMode(ZQ_MODE_FILES));
    ASSERT_EQ(ZQ_OK, SetLogPath(stDir.Path().c_str(), "SDK"));
    ASSERT_EQ(ZQ_OK, CreateAsyncLog());

    g_bStopRecv.store(false);
    std::thread stLoop([&] { (void)CRecvLoop().Run(); });
    ASSERT_TRUE(PollUntil(ReceivePortBound));
    constexpr uint32_t kRecords = 1500;  // more than the ring, the pipe and a write hold
    constexpr uint32_t kTooLong = 2;
    {
        CSender stSender;
        for (uint32_t i = 0; i < kRecords; ++i) {
            char szHead[32];
            std::snprintf(szHead, sizeof(szHead), "seq=%08u ", i);
            stSender.Send(szHead + std::string(880, 'r') + "\r\n");
        }
        for (uint32_t i = 0; i < kTooLong; ++i) stSender.Send(std::string(2000, 'L'));
    }
    EXPECT_TRUE(PollUntil([] { return ReceiveQueueBytes() == 0; }, std::chrono::seconds(60)));
    g_bStopRecv.store(true);
    stLoop.join();
    const uint64_t nFull = GetLostLogCountBy(LossCause::kRingFull);
    const uint64_t nLong = GetLostLogCountBy(LossCause::kTooLong);

    // Now the pipe is read: the writer writes all it holds, and closes it at
    // the stop.
    int32_t nDestroyed = -1;
    const std::string strRead = ReadPipeWhileDestroying(nPipe, &nDestroyed);
    ASSERT_EQ(ZQ_OK, nDestroyed);
    const size_t nWritten = zqtest::SplitCrLf(strRead).size();
    EXPECT_EQ(kTooLong, nLong);
    EXPECT_GT(nFull, 0u);
    EXPECT_EQ(kRecords, nWritten + nFull) << nWritten << " written, " << nFull << " refused";
    g_bStopRecv.store(false);
}

// Datagrams queued before the loop runs are taken in whole batches. Too long
// ones end batches (and one stands inside): each is refused and counted, and
// the batch goes on with the next datagram; every other text is written with
// the length the socket gave, cut at a NUL, in order.
TEST(RecvLoopTest, BatchesEndingInTooLongDatagramsLoseNothingElse) {
    if (getuid() != 0) GTEST_SKIP() << "needs root for the receive buffer the burst needs";
    zqtest::TempDir stDir;
    ASSERT_EQ(ZQ_OK, SetLogPath(stDir.Path().c_str(), "SDK"));
    ASSERT_EQ(ZQ_OK, SetLogMode(ZQ_MODE_FILES));
    ASSERT_EQ(ZQ_OK, CreateAsyncLog());
    int32_t nOpened = -1;
    std::unique_ptr<CUdpNetLayer> pNet = OpenReceiveEndpoint(&nOpened);
    ASSERT_EQ(0, nOpened);
    constexpr uint32_t kDatagrams = 3 * kRecvBatchCount + 5;
    std::string strExpected;
    uint64_t nTooLong = 0;
    {
        CPinToOneCpu stPin;
        CSender stSender;
        for (uint32_t i = 0; i < kDatagrams; ++i) {
            const std::string strRecord = "batched " + std::to_string(i) + "\r\n";
            if (i % kRecvBatchCount == kRecvBatchCount - 1 || i == kRecvBatchCount + 7) {
                // 1025 bytes, 2000 bytes (cut by the batch's buffer), and one
                // whose NUL comes only after 1024 characters.
                const std::string strLong[] = {std::string(1025, 'x'), std::string(2000, 'y'),
                                               std::string(1100, 'z') + '\0' + "tail"};
                stSender.Send(strLong[nTooLong % 3]);
                ++nTooLong;
            } else if (i == 5) {
                const std::string strSlotFull = std::string(1022, 'f') + "\r\n";
                stSender.Send(strSlotFull);  // fills a slot
                strExpected += strSlotFull;
            } else if (i == 6) {
                stSender.Send(strRecord + std::string("\0after the NUL", 14));
                strExpected += strRecord;
            } else {
                stSender.Send(strRecord);
                strExpected += strRecord;
            }
        }
        ASSERT_TRUE(stSender.Barrier());
    }
    g_bStopRecv.store(true);
    EXPECT_EQ(0, CRecvLoop().RunOn(std::move(pNet)));
    g_bStopRecv.store(false);
    EXPECT_EQ(nTooLong, GetLostLogCountBy(LossCause::kTooLong));
    EXPECT_EQ(0u, GetLostLogCountBy(LossCause::kRingFull));
    ASSERT_EQ(ZQ_OK, DestroyAsyncLog());
    EXPECT_EQ(strExpected, ReadFile(stDir.File("SDK_00.log")));
}

// A stop that comes while the loop hands on a batch into a ring that stays
// full (the writer's file is a pipe nobody reads yet): the loop waits for room
// only briefly, then gives the datagrams up. Every datagram taken off the
// socket is either written, in order, or counted once as lost; the rest of the
// batch, and the batches after it, are not dropped unseen.
TEST(RecvLoopTest, StopDuringABatchIntoAFullRingCountsWhatItGivesUp) {
    if (getuid() != 0) GTEST_SKIP() << "needs root for the receive buffer the burst needs";
    zqtest::TempDir stDir;
    ASSERT_EQ(0, mkfifo(stDir.File("SDK_00.log").c_str(), 0644));
    const int nPipe = open(stDir.File("SDK_00.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(nPipe, 0);
    ASSERT_EQ(ZQ_OK, SetLogMode(ZQ_MODE_FILES));
    ASSERT_EQ(ZQ_OK, SetLogPath(stDir.Path().c_str(), "SDK"));
    ASSERT_EQ(ZQ_OK, CreateAsyncLog());
    int32_t nOpened = -1;
    std::unique_ptr<CUdpNetLayer> pNet = OpenReceiveEndpoint(&nOpened);
    ASSERT_EQ(0, nOpened);
    // More than the ring, the pipe and a write hold, and not a whole number
    // of batches: the ring fills in the middle of one.
    constexpr uint32_t kRecords = 1500;
    std::vector<std::string> records;
    {
        CPinToOneCpu stPin;
        CSender stSender;
        for (uint32_t i = 0; i < kRecords; ++i) {
            char szHead[32];
            std::snprintf(szHead, sizeof(szHead), "seq=%08u ", i);
            records.push_back(szHead + std::string(880, 'r') + "\r\n");
            stSender.Send(records.back());
        }
        ASSERT_TRUE(stSender.Barrier());
    }
    g_bStopRecv.store(true);
    EXPECT_EQ(0, CRecvLoop().RunOn(std::move(pNet)));
    g_bStopRecv.store(false);
    const uint64_t nFull = GetLostLogCountBy(LossCause::kRingFull);

    int32_t nDestroyed = -1;
    const std::string strRead = ReadPipeWhileDestroying(nPipe, &nDestroyed);
    ASSERT_EQ(ZQ_OK, nDestroyed);
    const std::vector<std::string> written = zqtest::SplitCrLf(strRead);
    EXPECT_GT(nFull, 0u);
    EXPECT_EQ(kRecords, written.size() + nFull)
        << written.size() << " written, " << nFull << " given up";
    // The written ones are the first records, in order.
    for (size_t i = 0; i < written.size() && i < kRecords; ++i) {
        ASSERT_EQ(records[i], written[i] + "\r\n") << "record " << i;
    }
}

}  // namespace

namespace {

TEST(RecvLoopTest, PortHeldByAnotherSocketEndsTheLoopWithItsOwnResult) {
    const int nHolder = zqtest::BindUdp(kLoopbackIp, kLogServerPort, true, false, SOCK_CLOEXEC);
    ASSERT_GE(nHolder, 0) << "127.0.0.1:12345 is taken";
    g_bStopRecv.store(false);
    std::atomic<bool> bDone{false};
    std::atomic<int> nRet{-1};
    testing::internal::CaptureStderr();
    std::thread stLoop([&] {
        nRet.store(CRecvLoop().Run());
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

// The daemon's figures as its statistics file shows them (root's daemon).
std::map<std::string, unsigned long long> StatsNow() {
    std::map<std::string, unsigned long long> stats;
    std::istringstream in(ReadFile(std::string(kRunDir) + "/" + kStatsFileName));
    std::string strName;
    unsigned long long nValue = 0;
    while (in >> strName >> nValue) stats[strName] = nValue;
    return stats;
}

// Sends each datagram to the daemon's local intake from a socket of the
// calling process, waiting for room as a client does; false when one could
// not be sent.
bool SendToIntake(const std::vector<std::string>& vDatagrams) {
    const int nFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un stAddr{};
    stAddr.sun_family = AF_UNIX;
    std::snprintf(stAddr.sun_path, sizeof(stAddr.sun_path), "%s", kIntakeSocketPath);
    bool bOk = nFd >= 0 && connect(nFd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) == 0;
    for (size_t i = 0; bOk && i < vDatagrams.size(); ++i) {
        bOk = send(nFd, vDatagrams[i].data(), vDatagrams[i].size(), MSG_NOSIGNAL) ==
              static_cast<ssize_t>(vDatagrams[i].size());
    }
    if (nFd >= 0) (void)close(nFd);
    return bOk;
}

// The same over UDP (without waiting: a full socket buffer drops, counted by
// the daemon as dropped_socket_full).
bool SendToUdp(const std::vector<std::string>& vDatagrams) {
    const int nFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in stTo{};
    stTo.sin_family = AF_INET;
    stTo.sin_port = htons(kLogServerPort);
    stTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bOk = nFd >= 0;
    for (size_t i = 0; bOk && i < vDatagrams.size(); ++i) {
        bOk = sendto(nFd, vDatagrams[i].data(), vDatagrams[i].size(), 0,
                     reinterpret_cast<sockaddr*>(&stTo),
                     sizeof(stTo)) == static_cast<ssize_t>(vDatagrams[i].size());
    }
    if (nFd >= 0) (void)close(nFd);
    return bOk;
}

// Sends as root (the calling process) or as another user.
bool SendAs(uid_t nUid, bool bIntake, const std::vector<std::string>& vDatagrams) {
    auto Send = [&] { return bIntake ? SendToIntake(vDatagrams) : SendToUdp(vDatagrams); };
    if (nUid == getuid()) return Send();
    return zqtest::RunAsUser(nUid, [&] { return Send() ? 0 : 1; }) == 0;
}

TEST_F(DaemonTest, LocalIntakeWritesEveryDatagramAsUdpDoes) {
    if (getuid() != 0) GTEST_SKIP() << "needs root: only root's daemon has the intake";
    const std::string strBase = m_Dir.File("base");
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    struct stat st {};
    ASSERT_EQ(0, lstat(kIntakeSocketPath, &st)) << std::strerror(errno);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ("0666", ModeOf(kIntakeSocketPath));
    EXPECT_EQ(0u, st.st_uid);
    // Whatever a sender puts in a datagram, one datagram is one line.
    const std::vector<std::string> vDatagrams = {
        "a record\r\n",
        "without a line end",
        "line\r\nend inside\r\n",
        "lf only\n",
        std::string("text\0after a NUL\r\n", 19),
        std::string(kMaxRecordLen - 2, 'x') + "\r\n",
        "",
    };
    constexpr unsigned kWritten = 6;  // the empty one writes nothing
    struct Case {
        const char* pName;
        uid_t nUid;
        bool bIntake;
    };
    const Case kCases[] = {
        {"udp as root", 0, false},
        {"intake as root", 0, true},
        {"intake as 65534", kNobody, true},
        {"udp as 65534", kNobody, false},
    };
    std::string strFirst;  // what UDP made of them
    size_t nAt = 0;
    unsigned long long nWritten = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pName);
        ASSERT_TRUE(SendAs(c.nUid, c.bIntake, vDatagrams));
        nWritten += kWritten;
        ASSERT_TRUE(PollUntil([&] { return StatsNow()["written"] == nWritten; }));
        const std::string strFile = ReadFile(LogFile(strBase, 0));
        const std::string strGot = strFile.substr(nAt);
        nAt = strFile.size();
        if (strFirst.empty()) strFirst = strGot;
        EXPECT_EQ(strFirst, strGot);
    }
    std::map<std::string, unsigned long long> stats = StatsNow();
    EXPECT_EQ(vDatagrams.size() * 4, stats["received"]);
    EXPECT_EQ(4u, stats["empty"]);
    EXPECT_EQ(0, StopDaemon(nDaemon));
    EXPECT_FALSE(FileExists(kIntakeSocketPath)) << "the stop leaves the intake's socket behind";
}

// A record of 1,024 bytes of the flood.
std::string FloodRecord(uint32_t nSeq) {
    std::string strRecord = "flood " + std::to_string(nSeq) + " ";
    strRecord.resize(kMaxRecordLen - 2, 'f');
    return strRecord + "\r\n";
}

// The count of a fair-share note ("uid 65534: 1,234 records suppressed in 1 s").
unsigned long long NoteCount(const std::string& strLine, size_t nAt) {
    unsigned long long nCount = 0;
    for (size_t i = nAt; i < strLine.size() && strLine[i] != ' '; ++i) {
        if (strLine[i] >= '0' && strLine[i] <= '9') {
            nCount = nCount * 10 + static_cast<unsigned long long>(strLine[i] - '0');
        }
    }
    return nCount;
}

// One user floods over either intake while root writes; the file set is
// 2 x 10 MiB, and the flood is 25,000 records of 1 KiB, which would rotate
// every earlier record out of it.
TEST_F(DaemonTest, AFloodUsesUpOnlyItsSendersShare) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as uid 65534";
    constexpr uint32_t kFlood = 25000;
    constexpr uint32_t kRootDuring = 50;
    struct Case {
        const char* pName;
        bool bIntake;
        uint32_t nBurst;
        const char* pWho;      // the notes' sender
        const char* pCounter;  // where the suppressed records count
        const char* pOther;    // stays 0
        bool bForward;         // to a collector, which gets all of root's too
    };
    const Case kCases[] = {
        {"intake, Burst=100", true, 100, "uid 65534: ", "dropped_limit_uid", "dropped_limit_udp",
         true},
        {"udp, Burst=100", false, 100, "udp (sender unknown): ", "dropped_limit_udp",
         "dropped_limit_uid", false},
        {"intake, Burst=0", true, 0, "", "dropped_limit_uid", "dropped_limit_udp", false},
        {"udp, Burst=0", false, 0, "", "dropped_limit_udp", "dropped_limit_uid", false},
    };
    std::vector<std::string> vFlood;
    for (uint32_t i = 0; i < kFlood; ++i) vFlood.push_back(FloodRecord(i));
    int nRun = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pName);
        const std::string strBase = m_Dir.File("base" + std::to_string(++nRun));
        zqtest::CCollector stCollector(m_Dir.File("collector" + std::to_string(nRun)),
                                       zqtest::ECollector::kRsyslogTcp);
        std::string strForward;
        if (c.bForward) {
            ASSERT_TRUE(stCollector.Start()) << stCollector.Log();
            strForward = "[Forward]\r\nHost=127.0.0.1\r\nProtocol=tcp\r\nPort=" +
                         std::to_string(stCollector.Port()) + "\r\n";
        }
        WriteConfig(strBase,
                    "[File]\r\nFileSize=10\r\nFileNum=2\r\n[Limit]\r\nInterval=1\r\nBurst=" +
                        std::to_string(c.nBurst) + "\r\n" + strForward);
        const pid_t nDaemon = StartDaemon(MakeRunDir("run" + std::to_string(nRun), strBase));
        ASSERT_NE(0, nDaemon);
        ASSERT_TRUE(SendToIntake({"root before the flood\r\n"}));
        ASSERT_TRUE(PollUntil([&] {
            auto stats = StatsNow();  // the forwarder's notes are the daemon's own
            return stats["written"] - stats["own"] == 1;
        }));

        std::thread flood([&] { EXPECT_TRUE(SendAs(kNobody, c.bIntake, vFlood)); });
        for (uint32_t i = 0; i < kRootDuring; ++i) {
            EXPECT_TRUE(SendToIntake({"root during the flood " + std::to_string(i) + "\r\n"}));
            const timespec stPace{0, 10000000};  // spreads them over the flood
            (void)nanosleep(&stPace, nullptr);
        }
        flood.join();

        // Every datagram the daemon got is written or counted by its cause.
        // What the kernel dropped on a full UDP socket is counted with the
        // next datagram the daemon takes there: after a UDP flood root sends
        // markers over UDP (now and then) until that count has come.
        std::map<std::string, unsigned long long> stats;
        const unsigned long long nSent = 1 + kRootDuring + kFlood;
        unsigned long long nMarkers = 0;
        uint32_t nLooks = 0;
        CSender stMarker;
        auto AllAccounted = [&] {
            stats = StatsNow();
            if (stats["received"] + stats["dropped_socket_full"] == nSent + nMarkers &&
                stats["written"] - stats["own"] + stats[c.pCounter] == stats["received"]) {
                return true;
            }
            if (!c.bIntake && ++nLooks % 20 == 0) {
                stMarker.Send("udp marker\r\n");
                ++nMarkers;
            }
            return false;
        };
        EXPECT_TRUE(PollUntil(AllAccounted, std::chrono::seconds(60)))
            << "received " << stats["received"] << ", written " << stats["written"];
        // Each window that suppressed anything says so once, with its count.
        unsigned long long nNoted = 0;
        size_t nNotes = 0;
        auto NotesCount = [&] {
            nNoted = 0;
            nNotes = 0;
            for (const std::string& strLine : zqtest::SplitCrLf(SetText(strBase))) {
                const size_t nAt = strLine.find("records suppressed in 1 s");
                if (nAt == std::string::npos) continue;
                const size_t nWho = strLine.find(c.pWho);
                EXPECT_NE(std::string::npos, nWho) << strLine;
                if (nWho != std::string::npos) nNoted += NoteCount(strLine, nWho + strlen(c.pWho));
                ++nNotes;
            }
            return nNoted == StatsNow()[c.pCounter];
        };
        EXPECT_TRUE(PollUntil(NotesCount)) << nNoted << " noted";
        // All of root's reach the collector too, each saying it is root's.
        uint32_t nRootForwarded = 0;
        EXPECT_TRUE(!c.bForward || PollUntil([&] {
            nRootForwarded = 0;
            for (const std::string& strLine : stCollector.Lines()) {
                nRootForwarded +=
                    strLine.find("[origin@32473 uid=\"0\" pid=") != std::string::npos &&
                    strLine.find("|root ") != std::string::npos;
            }
            return nRootForwarded == 1 + kRootDuring;
        })) << nRootForwarded
            << " of root's at the collector";
        stats = StatsNow();  // the stop removes the file
        EXPECT_EQ(0, StopDaemon(nDaemon));

        const std::string strSet = SetText(strBase);
        for (uint32_t i = 0; c.nBurst != 0 && i < kRootDuring; ++i) {
            EXPECT_NE(std::string::npos,
                      strSet.find("root during the flood " + std::to_string(i) + "\r\n"))
                << i;
        }
        uint32_t nFloodWritten = 0;
        uint32_t nMarkersWritten = 0;
        for (const std::string& strLine : zqtest::SplitCrLf(strSet)) {
            if (strLine.rfind("flood ", 0) == 0) ++nFloodWritten;
            if (strLine == "udp marker") ++nMarkersWritten;
        }
        EXPECT_EQ(0u, stats[c.pOther]);
        if (c.nBurst == 0) {
            EXPECT_EQ(0u, stats[c.pCounter]);
            EXPECT_EQ(0u, nNotes);
            // Without the limit the flood takes the set: the point of it.
            if (c.bIntake) {
                EXPECT_EQ(std::string::npos, strSet.find("root before the flood"));
            }
            continue;
        }
        EXPECT_NE(std::string::npos, strSet.find("root before the flood\r\n"));
        EXPECT_GT(nNotes, 0u);
        // A window that suppressed passed its burst; at most one more passed less.
        EXPECT_GE(nFloodWritten, c.nBurst * nNotes);
        EXPECT_LE(nFloodWritten, c.nBurst * (nNotes + 1));
        // Counted exactly: every flood record the daemon got is written or
        // suppressed (over the intake it gets all of them).
        EXPECT_EQ(stats["received"] - 1 - kRootDuring - nFloodWritten - nMarkersWritten,
                  stats[c.pCounter]);
        if (c.bIntake) {
            EXPECT_EQ(nSent, stats["received"]);
        }
    }
}

// Removes a file planted in the run directory, also when the test fails.
struct RemoveAtEnd {
    std::string strPath;
    ~RemoveAtEnd() { (void)unlink(strPath.c_str()); }
};

// A client of the log module (zqlog) as root: every record is limited
// (ExemptBelow=0, Burst=1), so the counters show which intake it used.
TEST_F(DaemonTest, ClientsUseTheIntakeWhereTheDaemonOffersItAndUdpElsewhere) {
    if (getuid() != 0) GTEST_SKIP() << "needs root: only root's daemon has the intake";
    struct Case {
        const char* pName;
        bool bOffered;
        unsigned long long nUid;  // dropped_limit_uid
        unsigned long long nUdp;  // dropped_limit_udp
    };
    const Case kCases[] = {
        {"offered", true, 2, 0},
        {"not offered: the name is taken", false, 0, 2},
    };
    int nRun = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pName);
        RemoveAtEnd stPlanted{c.bOffered ? "" : kIntakeSocketPath};
        if (!c.bOffered) {
            (void)mkdir(kRunDir, 0755);
            ASSERT_TRUE(WriteFile(kIntakeSocketPath, "no socket"));
        }
        const std::string strBase = m_Dir.File("base" + std::to_string(++nRun));
        WriteConfig(strBase, "[Limit]\r\nInterval=3600\r\nBurst=1\r\nExemptBelow=0\r\n");
        const pid_t nDaemon = StartDaemon(MakeRunDir("run" + std::to_string(nRun), strBase));
        ASSERT_NE(0, nDaemon);
        const std::string strStarter = ReadFile(m_Dir.File("daemon.out"));
        EXPECT_EQ(!c.bOffered, strStarter.find("receiving on UDP only") != std::string::npos)
            << strStarter;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(0, Run({kZqlogPath, "-t", "intake", "record " + std::to_string(i)},
                             m_Dir.Path(), "", m_Dir.File("zqlog.out")))
                << ReadFile(m_Dir.File("zqlog.out"));
        }
        std::map<std::string, unsigned long long> stats;
        EXPECT_TRUE(PollUntil([&] {
            stats = StatsNow();
            return stats["received"] == 3;
        })) << stats["received"];
        EXPECT_EQ(c.nUid, stats["dropped_limit_uid"]);
        EXPECT_EQ(c.nUdp, stats["dropped_limit_udp"]);
        EXPECT_EQ(0, StopDaemon(nDaemon));
    }
}

// What a collector and zqread learn of a record's sender comes from the
// kernel, whatever the record claims: a record of sshd(1) or of the daemon's
// own module forged by uid 65534 reads as uid 65534's, one over UDP as of an
// unknown sender.
TEST_F(DaemonTest, ForwardedAndReadRecordsCarryTheKernelsWordOnTheirSender) {
    if (getuid() != 0) GTEST_SKIP() << "needs root: only root's daemon has the intake";
    zqtest::CCollector stCollector(m_Dir.File("collector"), zqtest::ECollector::kRsyslogTcp);
    ASSERT_TRUE(stCollector.Start()) << stCollector.Log();
    const std::string strBase = m_Dir.File("base");
    WriteConfig(strBase, "[Forward]\r\nHost=127.0.0.1\r\nProtocol=tcp\r\nPort=" +
                             std::to_string(stCollector.Port()) + "\r\n");
    const pid_t nDaemon = StartDaemon(MakeRunDir("run", strBase));
    ASSERT_NE(0, nDaemon);
    std::string strComm = ReadFile("/proc/self/comm");
    strComm.erase(std::min(strComm.find('\n'), strComm.size()));
    const std::string strMe = std::to_string(getpid());
    struct Case {
        const char* pText;
        RecordSender stClaim;
        uid_t nUid;
        bool bIntake;
        std::string strSd;      // at the collector
        std::string strZqread;  // zqread --origin -o raw
    };
    const Case kCases[] = {
        {"genuine root",
         {"net", "app", 77},
         0,
         true,
         "[origin@32473 uid=\"0\" pid=\"" + strMe + "\" name=\"" + strComm + "\"]",
         "[uid 0 pid " + strMe + " " + strComm + "] "},
        {"forged sshd",
         {"auth", "sshd", 1},
         kNobody,
         true,
         "[origin@32473 uid=\"65534\" pid=\"",
         "[uid 65534 pid "},
        {"forged daemon",
         {kLogServerName, kLogServerName, nDaemon},
         kNobody,
         true,
         "[origin@32473 uid=\"65534\" pid=\"",
         "[uid 65534 pid "},
        {"over udp",
         {"auth", "sshd", 1},
         kNobody,
         false,
         "[origin@32473 unknown=\"udp\"]",
         "[origin unknown: udp] "},
    };
    for (const Case& c : kCases) {
        char aRecord[kMaxRecordLen];
        bool bCut = false;
        const uint32_t nLen = FormatRecordAs(aRecord, c.stClaim, ZQ_LEVEL_INFO, "main.cpp", 42,
                                             "dev0", c.pText, std::strlen(c.pText), &bCut);
        ASSERT_TRUE(SendAs(c.nUid, c.bIntake, {std::string(aRecord, nLen)})) << c.pText;
    }
    std::vector<std::string> vLines;
    auto Arrived = [&](const Case& c) {
        return std::find_if(vLines.begin(), vLines.end(), [&](const std::string& s) {
            return s.find(std::string("|") + c.pText) != std::string::npos;
        });
    };
    ASSERT_TRUE(PollUntil([&] {
        vLines = stCollector.Lines();  // the daemon's own notes come too
        return std::all_of(std::begin(kCases), std::end(kCases),
                           [&](const Case& c) { return Arrived(c) != vLines.end(); });
    })) << vLines.size()
        << " lines at the collector";
    const std::string strOut = m_Dir.File("zqread.out");
    EXPECT_EQ(0, Run({kZqreadPath, "-D", strBase + "/ZqSdkLog", "--origin", "-o", "raw"},
                     m_Dir.Path(), "", strOut));
    const std::string strRead = ReadFile(strOut);
    EXPECT_EQ(0, StopDaemon(nDaemon));
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pText);
        const auto it = Arrived(c);
        // The claim stays what it was; the origin beside it says who it is.
        EXPECT_NE(std::string::npos, it->find(std::string("|") + c.stClaim.pProcess + "|" +
                                              std::to_string(c.stClaim.nPid) + "|"))
            << *it;
        EXPECT_NE(std::string::npos, it->find("func=\"\"]" + c.strSd)) << *it;
        const size_t nAt = strRead.find(c.pText);
        ASSERT_NE(std::string::npos, nAt) << strRead;
        const size_t nLineStart = strRead.rfind('\n', nAt) + 1;  // npos + 1 is 0
        EXPECT_EQ(0u, strRead.compare(nLineStart, c.strZqread.size(), c.strZqread))
            << strRead.substr(nLineStart, nAt - nLineStart);
    }
}

}  // namespace
