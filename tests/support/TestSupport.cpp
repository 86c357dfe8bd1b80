#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sched.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace zqtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zqtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    m_strPath = buf.data();
}

TempDir::~TempDir() { RemoveTree(m_strPath); }

std::string TempDir::File(const std::string& name) const { return m_strPath + "/" + name; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    // Written aside and renamed into place, so a reader in another thread or
    // process never sees the file half written.
    const std::string tmp = path + ".zqtmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << content;
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

long long FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

bool SetMTime(const std::string& path, long long seconds) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    // Best effort: a test's leftovers must never fail the test itself.
    (void)::remove(path);
    return 0;
}

void RemoveTree(const std::string& path) {
    (void)nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ModeOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "missing";
    char szMode[8];
    std::snprintf(szMode, sizeof(szMode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return szMode;
}

std::string InChild(const std::function<std::string()>& fn, std::chrono::milliseconds deadline) {
    int fds[2];
    if (pipe(fds) != 0) return "(no pipe)";
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string text = fn();
        _exit(write(fds[1], text.data(), text.size()) >= 0 ? 0 : 1);
    }
    (void)close(fds[1]);
    int status = 0;
    const bool ended = PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline);
    if (!ended) {
        (void)kill(pid, SIGKILL);
        (void)waitpid(pid, &status, 0);
    }
    std::string got;
    char buf[256];
    for (ssize_t n; ended && (n = read(fds[0], buf, sizeof(buf))) > 0;) {
        got.append(buf, static_cast<size_t>(n));
    }
    (void)close(fds[0]);
    return ended ? got : "(did not return)";
}

int RunAsNobody(const std::string& command) {
    std::string quoted = "'";
    for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const int nStatus =
        std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c " + quoted).c_str());
    return nStatus == -1 || !WIFEXITED(nStatus) ? -1 : WEXITSTATUS(nStatus);
}

bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

namespace {

constexpr int kChildFailed = 127;
constexpr int kReportWaitMs = 20000;

// In a child: becomes user and group nUid without supplementary groups.
bool BecomeUser(uid_t nUid) {
    if (nUid == getuid() && nUid == geteuid()) return true;
    return setgroups(0, nullptr) == 0 && setgid(static_cast<gid_t>(nUid)) == 0 && setuid(nUid) == 0;
}

}  // namespace

int RunAsUser(uid_t nUid, const std::function<int()>& fn) {
    const pid_t nPid = fork();
    if (nPid < 0) return -1;
    if (nPid == 0) _exit(BecomeUser(nUid) ? fn() : kChildFailed);
    int nStatus = 0;
    pid_t nDone = 0;
    const bool bEnded = PollUntil([&] {
        nDone = waitpid(nPid, &nStatus, WNOHANG);
        return nDone != 0;
    });
    if (!bEnded || nDone != nPid) {
        (void)kill(nPid, SIGKILL);
        (void)waitpid(nPid, &nStatus, 0);
        return -1;
    }
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) == kChildFailed) return -1;
    return WEXITSTATUS(nStatus);
}

UserProcess::UserProcess(uid_t nUid, const std::function<int()>& setup,
                         const std::vector<std::string>& vExec) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<char*> vArgv;
    for (const std::string& s : vExec) vArgv.push_back(const_cast<char*>(s.c_str()));
    vArgv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        (void)close(fds[0]);
        if (!BecomeUser(nUid)) _exit(kChildFailed);
        const unsigned char cStatus = static_cast<unsigned char>(setup());
        if (write(fds[1], &cStatus, 1) != 1) _exit(kChildFailed);
        if (cStatus == 0 && !vExec.empty()) {
            execv(vArgv[0], vArgv.data());
            _exit(kChildFailed);
        }
        for (;;) pause();
    }
    (void)close(fds[1]);
    if (m_pid > 0) {
        pollfd stPoll{fds[0], POLLIN, 0};
        unsigned char cStatus = 0;
        if (poll(&stPoll, 1, kReportWaitMs) == 1 && read(fds[0], &cStatus, 1) == 1) {
            m_nStatus = cStatus;
        }
    }
    (void)close(fds[0]);
}

UserProcess::~UserProcess() { Stop(); }

void UserProcess::Stop() {
    if (m_pid <= 0) return;
    (void)kill(m_pid, SIGKILL);
    (void)waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

int BindUdp(uint32_t nIp, uint16_t nPort, bool bReuseAddr, bool bReusePort, int nFlags) {
    const int fd = socket(AF_INET, SOCK_DGRAM | nFlags, 0);
    if (fd < 0) return -1;
    const int nOn = 1;
    bool bOk = !bReuseAddr || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn)) == 0;
    bOk = bOk && (!bReusePort || setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &nOn, sizeof(nOn)) == 0);
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(nPort);
    stAddr.sin_addr.s_addr = htonl(nIp);
    if (bOk && bind(fd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) == 0) return fd;
    const int nErr = errno;
    (void)close(fd);
    errno = nErr;
    return -1;
}

bool FloodLoopback(uint16_t nPort, int nCount, size_t nSize) {
    cpu_set_t stOld;
    cpu_set_t stOne;
    CPU_ZERO(&stOne);
    CPU_SET(sched_getcpu(), &stOne);
    if (sched_getaffinity(0, sizeof(stOld), &stOld) != 0 ||
        sched_setaffinity(0, sizeof(stOne), &stOne) != 0) {
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in stSelf{};
    stSelf.sin_family = AF_INET;
    stSelf.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(stSelf);
    bool bOk = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&stSelf), nLen) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr*>(&stSelf), &nLen) == 0;
    sockaddr_in stTo = stSelf;
    stTo.sin_port = htons(nPort);
    const std::string strData(nSize, 'f');
    for (int i = 0; bOk && i < nCount; ++i) {
        bOk = sendto(fd, strData.data(), strData.size(), 0, reinterpret_cast<sockaddr*>(&stTo),
                     sizeof(stTo)) == static_cast<ssize_t>(strData.size());
    }
    // Loopback datagrams wait, in order, in the queue of the CPU that sent
    // them: when this one is back, the flood has been handled.
    const char cMark = 'm';
    bOk =
        bOk && sendto(fd, &cMark, 1, 0, reinterpret_cast<sockaddr*>(&stSelf), sizeof(stSelf)) == 1;
    pollfd stPoll{fd, POLLIN, 0};
    char cGot = 0;
    bOk =
        bOk && poll(&stPoll, 1, kReportWaitMs) == 1 && recv(fd, &cGot, 1, 0) == 1 && cGot == cMark;
    if (fd >= 0) (void)close(fd);
    (void)sched_setaffinity(0, sizeof(stOld), &stOld);
    return bOk;
}

long long QueuedBytes(uint16_t nPort) {
    std::ifstream in("/proc/net/udp");
    std::string strLine;
    std::getline(in, strLine);  // the header
    long long llQueued = -1;
    while (std::getline(in, strLine)) {
        unsigned int nAddr = 0;
        unsigned int nLocalPort = 0;
        unsigned int nRxQueue = 0;
        if (std::sscanf(strLine.c_str(), " %*d: %8X:%4X %*8X:%*4X %*2X %*8X:%8X", &nAddr,
                        &nLocalPort, &nRxQueue) != 3) {
            continue;
        }
        if (nLocalPort != nPort || nAddr != htonl(INADDR_LOOPBACK)) continue;
        llQueued = (llQueued < 0 ? 0 : llQueued) + nRxQueue;
    }
    return llQueued;
}

std::vector<std::string> TargetCommand(const std::vector<std::string>& vArgs,
                                       const std::string& strLinkDir) {
    const char* pEmulator = std::getenv("ZQ_TEST_EMULATOR");
    if (vArgs.empty() || pEmulator == nullptr || *pEmulator == '\0') return vArgs;
    std::vector<std::string> vCmd;
    std::istringstream words(pEmulator);
    for (std::string word; words >> word;) vCmd.push_back(word);
    if (vCmd.empty()) return vArgs;

    const std::string& program = vArgs[0];
    const std::string link = strLinkDir + "/" + program.substr(program.rfind('/') + 1);
    // A link left by an earlier call of the same test is reused.
    if (symlink(vCmd[0].c_str(), link.c_str()) != 0 && errno != EEXIST) {
        std::perror(("symlink " + link).c_str());
        return vArgs;  // the exec then fails and the test reports it
    }
    vCmd[0] = link;
    vCmd.insert(vCmd.end(), vArgs.begin(), vArgs.end());
    return vCmd;
}

}  // namespace zqtest
