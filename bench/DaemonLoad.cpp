// Load and idle cost of the real daemon binary.
//
//   zq_bench_daemon load --count N --size S --senders K [--rate R] [--forward PORT]
//                        [--sync MS] [--block-dev NAME] [--daemon PATH] [--intake udp|local]
//   zq_bench_daemon idle [--seconds T] [--daemon PATH]
//   zq_bench_daemon flood [--seconds T] [--forward-relp PORT] [--daemon PATH]
//
// The daemon is started in a fresh temporary base directory (Path.ini in its
// working directory names it; LogServer.ini asks for 10 files of 10 MiB, and
// turns the fair share per sender off, [Limit] Burst=0: one sender here
// sends far more than an ordinary device's heaviest). This
// program makes itself a child subreaper, so the detached daemon becomes its
// child: its pid is read from the pid file and checked to be our child, and it
// is stopped by that pid (SIGTERM, wait; SIGKILL after 10 s), never by name,
// also when this program is interrupted.
//
// load: K sender processes send N datagrams in total of exactly S bytes to
// 127.0.0.1:12345 (or, with --intake local, to the daemon's local intake,
// waiting for room as a client does), each "s<sender> n<sequence> xxx...\n",
// flat out or at R datagrams per second in total (paced per millisecond). Afterwards the files
// are read back: written and lost records are counted by sequence number.
// Also reported: the kernel's UDP receive-buffer drops (RcvbufErrors of
// /proc/net/snmp, machine-wide), the daemon's CPU time during the run and its
// resident memory.
//
// With --block-dev (the device under $TMPDIR, where the base directory is
// made): what the device wrote during the run, once everything is synced, per
// byte of records; --sync sets [File] SyncMs.
//
// idle: the daemon's CPU time and wake-ups (context switches of each of its
// threads) over T idle seconds, and its resident memory.
//
// flood: the fair share with its default [Limit] keys. Two processes of uid
// 65534 send 1,023-byte datagrams flat out for T seconds, one to the local
// intake (waiting for room), one over UDP; root (this process) writes a record
// before and one every 100 ms during the flood over the intake. Afterwards:
// whether root's are all in the files, what was suppressed by the counters and
// by the daemon's notes, and, with --forward-relp, whether the daemon's
// forwarder had every line of its files acknowledged by the collector
// (forwarded = written, none rotated away). Needs root.
//
// Only loopback traffic. Port 12345 and the instance lock are machine-wide:
// do not run this while the test suite runs.

#include "platform/DaemonPaths.h"
#include "platform/WireContract.h"
#include "bench/BenchUtil.h"
#include "server/InstanceLock.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifndef ZQ_DAEMON_PATH
#error "ZQ_DAEMON_PATH must name the daemon binary"
#endif

namespace {

constexpr int64_t kNsPerSec = 1000000000;
constexpr int64_t kTickNs = 1000000;  // pacing step of a rate-limited sender

volatile sig_atomic_t g_nDaemonPid = 0;
// The binary started: this build's daemon, or another one (--daemon) to
// compare with in the same run. It must be named ZuVozAdavid.
const char* g_pDaemonPath = ZQ_DAEMON_PATH;
std::string
    g_strForward;         // --forward: a [Forward] section for LogServer.ini (to a local collector)
std::string g_strSyncMs;  // --sync MS: [File] SyncMs of LogServer.ini
std::string g_strBlockDev;     // --block-dev NAME: the device the files lie on (loop0)
bool g_bLocalIntake = false;   // --intake local: send to the daemon's local intake
bool g_bDefaultLimit = false;  // flood: LogServer.ini keeps the default [Limit]

void OnSignal(int nSig) {
    if (g_nDaemonPid > 0) (void)kill(g_nDaemonPid, SIGTERM);
    _exit(128 + nSig);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteText(const std::string& path, const std::string& text) {
    FILE* pFile = std::fopen(path.c_str(), "w");
    if (pFile == nullptr) return false;
    const bool bOk = std::fwrite(text.data(), 1, text.size(), pFile) == text.size();
    return std::fclose(pFile) == 0 && bOk;
}

// Parent pid of a process, -1 when it does not exist.
int ParentOf(int nPid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(nPid) + "/stat");
    const size_t nParen = stat.rfind(')');
    if (nParen == std::string::npos) return -1;
    char cState = 0;
    int nParent = -1;
    if (std::sscanf(stat.c_str() + nParen + 1, " %c %d", &cState, &nParent) != 2) return -1;
    return nParent;
}

struct ThreadSample {
    std::string tid;
    double dCpuSec = 0;
    long long nSwitches = 0;  // voluntary + involuntary context switches: its wake-ups
};

struct ProcSample {
    double dCpuSec = 0;       // user + system, all threads, from schedstat (ns)
    long long nSwitches = 0;  // all threads
    std::vector<ThreadSample> threads;
    long nRssKiB = 0;
    long nHwmKiB = 0;
    long nRssAnonKiB = 0;
    long nRssFileKiB = 0;
};

long StatusField(const std::string& status, const char* pKey) {
    const size_t nPos = status.find(pKey);
    if (nPos == std::string::npos) return -1;
    return std::atol(status.c_str() + nPos + std::strlen(pKey));
}

ProcSample Sample(int nPid) {
    ProcSample s;
    const std::string base = "/proc/" + std::to_string(nPid);
    DIR* pDir = opendir((base + "/task").c_str());
    if (pDir != nullptr) {
        while (struct dirent* pEnt = readdir(pDir)) {
            if (pEnt->d_name[0] == '.') continue;
            unsigned long long nRunNs = 0;
            const std::string task = base + "/task/" + pEnt->d_name;
            const std::string sched = ReadFile(task + "/schedstat");
            if (std::sscanf(sched.c_str(), "%llu", &nRunNs) == 1) {
                const std::string status = ReadFile(task + "/status");
                ThreadSample t;
                t.tid = pEnt->d_name;
                t.dCpuSec = static_cast<double>(nRunNs) / 1e9;
                t.nSwitches = StatusField(status, "\nvoluntary_ctxt_switches:") +
                              StatusField(status, "nonvoluntary_ctxt_switches:");
                s.dCpuSec += t.dCpuSec;
                s.nSwitches += t.nSwitches;
                s.threads.push_back(t);
            }
        }
        (void)closedir(pDir);
    }
    const std::string status = ReadFile(base + "/status");
    s.nRssKiB = StatusField(status, "VmRSS:");
    s.nHwmKiB = StatusField(status, "VmHWM:");
    s.nRssAnonKiB = StatusField(status, "RssAnon:");
    s.nRssFileKiB = StatusField(status, "RssFile:");
    return s;
}

long long UdpRcvbufErrors() {
    std::istringstream in(ReadFile("/proc/net/snmp"));
    std::string header;
    std::string values;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Udp:", 0) != 0) continue;
        if (header.empty()) {
            header = line;
        } else {
            values = line;
            break;
        }
    }
    std::istringstream h(header);
    std::istringstream v(values);
    std::string name;
    std::string value;
    while (h >> name && v >> value) {
        if (name == "RcvbufErrors") return std::atoll(value.c_str());
    }
    return -1;
}

// Whether something listens on 127.0.0.1:12345 (0100007F:3039 in /proc/net/udp).
bool PortBound() { return ReadFile("/proc/net/udp").find("0100007F:3039") != std::string::npos; }

class CDaemon {
public:
    explicit CDaemon(const std::string& base) : m_base(base), m_nPid(-1) {}
    ~CDaemon() { Stop(); }

    bool Start() {
        const std::string logDir = m_base + "/" + kLogSubDir;
        // 0755: root's daemon accepts only a log directory no one else may write.
        if (mkdir(logDir.c_str(), 0755) != 0 || chmod(logDir.c_str(), 0755) != 0 ||
            !WriteText(m_base + "/Path.ini", m_base + "\n") ||
            !WriteText(logDir + "/LogServer.ini",
                       "[Level]\nLogLevel=4\n[File]\nFileSize=10\nFileNum=10\n" +
                           (g_strSyncMs.empty() ? "" : "SyncMs=" + g_strSyncMs + "\n") +
                           (g_bDefaultLimit ? "" : "[Limit]\nBurst=0\n") + g_strForward)) {
            std::fprintf(stderr, "cannot prepare %s\n", m_base.c_str());
            return false;
        }
        if (PortBound()) {
            std::fprintf(stderr, "127.0.0.1:12345 is in use (tests running?): not starting\n");
            return false;
        }
        const pid_t nChild = fork();
        if (nChild < 0) return false;
        if (nChild == 0) {
            if (chdir(m_base.c_str()) != 0) _exit(120);
            std::FILE* pNull = std::freopen("/dev/null", "w", stdout);
            (void)pNull;
            execl(g_pDaemonPath, kLogServerName, static_cast<char*>(nullptr));
            _exit(121);
        }
        int nStatus = 0;
        (void)waitpid(nChild, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
            std::fprintf(stderr, "the daemon did not start (status %d)\n", nStatus);
            return false;
        }
        // The detached daemon is our child now (subreaper); its pid file names it.
        const int64_t llDeadline = zqbench::NowNs() + 5 * kNsPerSec;
        while (m_nPid < 0 && zqbench::NowNs() < llDeadline) {
            // In its run directory, or else in its log directory.
            for (const std::string& strFile :
                 {std::string(kPidFilePath), logDir + "/" + kPidFileName}) {
                const int nPid = std::atoi(ReadFile(strFile).c_str());
                if (nPid > 0 && ParentOf(nPid) == getpid()) m_nPid = nPid;
            }
            if (m_nPid < 0) zqbench::SleepNs(1000000);
        }
        if (m_nPid < 0) {
            std::fprintf(stderr, "no pid file naming our daemon\n");
            return false;
        }
        g_nDaemonPid = m_nPid;
        while (!PortBound() && zqbench::NowNs() < llDeadline) zqbench::SleepNs(1000000);
        if (!PortBound()) {
            std::fprintf(stderr, "the daemon does not listen on 12345\n");
            return false;
        }
        return true;
    }

    // SIGTERM, then wait; SIGKILL after 10 s. Returns the exit status.
    int Stop() {
        if (m_nPid <= 0) return -1;
        (void)kill(m_nPid, SIGTERM);
        int nStatus = -1;
        const int64_t llDeadline = zqbench::NowNs() + 10 * kNsPerSec;
        while (waitpid(m_nPid, &nStatus, WNOHANG) == 0) {
            if (zqbench::NowNs() > llDeadline) {
                std::fprintf(stderr, "daemon %d ignores SIGTERM: killing it\n", m_nPid);
                (void)kill(m_nPid, SIGKILL);
                (void)waitpid(m_nPid, &nStatus, 0);
                break;
            }
            zqbench::SleepNs(1000000);
        }
        m_nPid = -1;
        g_nDaemonPid = 0;
        return nStatus;
    }

    int Pid() const { return m_nPid; }
    std::string LogDir() const { return m_base + "/" + kLogSubDir; }

private:
    std::string m_base;
    int m_nPid;
};

// One sender process: nCount datagrams, sequence numbers 0..nCount-1.
// A blocking socket connected to the daemon: over UDP, or to its local
// intake, where a send waits for room as the log module's forwarder does.
int ConnectToDaemon() {
    if (g_bLocalIntake) {
        const int nSock = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::snprintf(to.sun_path, sizeof(to.sun_path), "%s", kIntakeSocketPath);
        if (nSock < 0 || connect(nSock, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
            return -1;
        }
        return nSock;
    }
    const int nSock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kLogServerPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (nSock < 0 || connect(nSock, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) return -1;
    return nSock;
}

void RunSender(int nId, uint32_t nCount, uint32_t nSize, double dRate) {
    const int nSock = ConnectToDaemon();
    if (nSock < 0) _exit(3);
    std::vector<char> buf(nSize, 'x');
    buf[nSize - 1] = '\n';
    uint32_t nFailed = 0;
    const int64_t llStart = zqbench::NowNs();
    for (uint32_t i = 0; i < nCount; ++i) {
        if (dRate > 0) {
            // Due time of datagram i, rounded to the pacing tick.
            const int64_t llDue =
                llStart +
                static_cast<int64_t>(static_cast<double>(i) / dRate * 1e9) / kTickNs * kTickNs;
            const int64_t llNow = zqbench::NowNs();
            if (llDue > llNow) zqbench::SleepNs(llDue - llNow);
        }
        const int nHead = std::snprintf(buf.data(), nSize, "s%d n%010u ", nId, i);
        buf[static_cast<size_t>(nHead)] = 'x';  // snprintf's terminator
        if (send(nSock, buf.data(), nSize, 0) != static_cast<ssize_t>(nSize)) ++nFailed;
    }
    (void)close(nSock);
    _exit(nFailed == 0 ? 0 : 4);
}

struct FileCount {
    uint64_t nLines = 0;
    uint64_t nUnique = 0;
    uint64_t nDuplicates = 0;
    uint64_t nMalformed = 0;
    uint64_t nBytes = 0;
};

FileCount CountRecords(const std::string& logDir, int nSenders, uint32_t nPerSender) {
    FileCount c;
    std::vector<std::vector<bool>> seen(static_cast<size_t>(nSenders),
                                        std::vector<bool>(nPerSender, false));
    for (uint32_t f = 0; f < kMaxLogFiles; ++f) {
        const std::string text = ReadFile(zqbench::SetFileName(logDir, kDaemonFilePrefix, f));
        c.nBytes += text.size();
        size_t nPos = 0;
        while (nPos < text.size()) {
            size_t nEnd = text.find('\n', nPos);
            if (nEnd == std::string::npos) nEnd = text.size();
            int nId = -1;
            unsigned nSeq = 0;
            ++c.nLines;
            if (std::sscanf(text.c_str() + nPos, "s%d n%u ", &nId, &nSeq) == 2 && nId >= 0 &&
                nId < nSenders && nSeq < nPerSender) {
                auto ref = seen[static_cast<size_t>(nId)][nSeq];
                if (ref) {
                    ++c.nDuplicates;
                } else {
                    ref = true;
                    ++c.nUnique;
                }
            } else {
                ++c.nMalformed;
            }
            nPos = nEnd + 1;
        }
    }
    return c;
}

uint64_t LogBytes(const std::string& logDir) {
    uint64_t n = 0;
    for (uint32_t f = 0; f < kMaxLogFiles; ++f) {
        struct stat st {};
        const std::string path = zqbench::SetFileName(logDir, kDaemonFilePrefix, f);
        if (stat(path.c_str(), &st) == 0) n += static_cast<uint64_t>(st.st_size);
    }
    return n;
}

void PrintSocketBuffer() {
    // The kernel's view of the daemon's socket: rb is the receive buffer limit.
    FILE* pPipe =
        popen("ss -uamn 'sport = :12345' 2>/dev/null | grep -o 'rb[0-9]*' | head -1", "r");
    if (pPipe == nullptr) return;
    char szLine[128] = {};
    if (std::fgets(szLine, sizeof(szLine), pPipe) != nullptr) {
        szLine[std::strcspn(szLine, "\n")] = '\0';
        std::printf("socket receive buffer (ss): %s bytes; net.core.rmem_max %s", szLine,
                    ReadFile("/proc/sys/net/core/rmem_max").c_str());
    }
    (void)pclose(pPipe);
}

// CPU time and wake-ups of each thread between two samples.
void PrintThreads(const char* pTag, const ProcSample& before, const ProcSample& after, double dSec,
                  int nPid) {
    const std::string mainTid = std::to_string(nPid);
    for (const ThreadSample& t : after.threads) {
        ThreadSample b;
        for (const ThreadSample& o : before.threads) {
            if (o.tid == t.tid) b = o;
        }
        std::printf("%s %s cpu_ms=%.2f wakeups=%lld wakeups_per_s=%.2f\n", pTag,
                    t.tid == mainTid ? "receive-loop(main)" : "writer",
                    1000.0 * (t.dCpuSec - b.dCpuSec), t.nSwitches - b.nSwitches,
                    static_cast<double>(t.nSwitches - b.nSwitches) / dSec);
    }
}

// Sectors (512 bytes) a block device wrote since it was set up: the seventh
// field of /sys/block/<dev>/stat; -1 without one.
long long SectorsWritten(const std::string& strDev) {
    if (strDev.empty()) return -1;
    std::istringstream in(ReadFile("/sys/block/" + strDev + "/stat"));
    long long llField = -1;
    for (int i = 0; i < 7 && in >> llField; ++i) {
    }
    return llField;
}

int RunLoad(uint32_t nCount, uint32_t nSize, int nSenders, double dRate) {
    zqbench::TempDir dir("daemon");
    CDaemon daemonProc(dir.Path());
    if (!daemonProc.Start()) return 2;
    PrintSocketBuffer();
    const uint32_t nPerSender = nCount / static_cast<uint32_t>(nSenders);
    const ProcSample before = Sample(daemonProc.Pid());
    const long long llDropsBefore = UdpRcvbufErrors();
    sync();  // what came before the run is not the run's
    const long long llSectorsBefore = SectorsWritten(g_strBlockDev);
    const int64_t llStart = zqbench::NowNs();

    std::vector<pid_t> senders;
    for (int k = 0; k < nSenders; ++k) {
        const pid_t nPid = fork();
        if (nPid == 0) RunSender(k, nPerSender, nSize, dRate / nSenders);
        if (nPid > 0) senders.push_back(nPid);
    }
    int nSendFailures = 0;
    for (pid_t nPid : senders) {
        int nStatus = 0;
        (void)waitpid(nPid, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) ++nSendFailures;
    }
    const int64_t llSent = zqbench::NowNs();

    // Wait until the files hold everything sent, or stop growing for a second.
    const uint64_t nExpected = static_cast<uint64_t>(nPerSender) * nSenders * nSize;
    uint64_t nLastBytes = 0;
    int64_t llLastGrowth = zqbench::NowNs();
    while (true) {
        const uint64_t nBytes = LogBytes(daemonProc.LogDir());
        if (nBytes >= nExpected) break;
        if (nBytes != nLastBytes) {
            nLastBytes = nBytes;
            llLastGrowth = zqbench::NowNs();
        } else if (zqbench::NowNs() - llLastGrowth > kNsPerSec) {
            break;
        }
        zqbench::SleepNs(2000000);
    }
    const int64_t llDone = zqbench::NowNs();
    const ProcSample after = Sample(daemonProc.Pid());
    const long long llDropsAfter = UdpRcvbufErrors();
    const int nPid = daemonProc.Pid();
    const int nExit = daemonProc.Stop();
    PrintThreads("DAEMON_LOAD_THREAD", before, after, static_cast<double>(llDone - llStart) / 1e9,
                 nPid);
    if (!g_strBlockDev.empty()) {
        // Everything still in the page cache is written too: the device's
        // writes per byte of records, whoever asked for them.
        sync();
        const double dBytes =
            512.0 * static_cast<double>(SectorsWritten(g_strBlockDev) - llSectorsBefore);
        const double dRecordBytes = static_cast<double>(LogBytes(daemonProc.LogDir()));
        std::printf(
            "DAEMON_FLASH device=%s sync_ms=%s device_bytes=%.0f record_bytes=%.0f "
            "device_bytes_per_record_byte=%.3f\n",
            g_strBlockDev.c_str(), g_strSyncMs.empty() ? "default" : g_strSyncMs.c_str(), dBytes,
            dRecordBytes, dRecordBytes > 0 ? dBytes / dRecordBytes : 0.0);
    }

    const FileCount c = CountRecords(dir.Path() + "/" + kLogSubDir, nSenders, nPerSender);
    const uint64_t nSentTotal = static_cast<uint64_t>(nPerSender) * nSenders;
    const double dSendSec = static_cast<double>(llSent - llStart) / 1e9;
    const double dRunSec = static_cast<double>(llDone - llStart) / 1e9;
    std::printf(
        "DAEMON_LOAD intake=%s senders=%d size=%u offered_rate=%s sent=%llu send_seconds=%.3f "
        "achieved_send_rate=%.0f written=%llu lost=%llu written_pct=%.3f duplicates=%llu "
        "malformed=%llu rcvbuf_errors=%lld daemon_cpu_s=%.3f daemon_cpu_pct_of_core=%.1f "
        "cpu_us_per_datagram=%.3f daemon_wakeups=%lld rss_kib=%ld hwm_kib=%ld exit_status=%d "
        "send_failures=%d\n",
        g_bLocalIntake ? "local" : "udp", nSenders, nSize,
        dRate > 0 ? std::to_string(static_cast<long>(dRate)).c_str() : "flat",
        static_cast<unsigned long long>(nSentTotal), dSendSec,
        static_cast<double>(nSentTotal) / dSendSec, static_cast<unsigned long long>(c.nUnique),
        static_cast<unsigned long long>(nSentTotal - c.nUnique),
        100.0 * static_cast<double>(c.nUnique) / static_cast<double>(nSentTotal),
        static_cast<unsigned long long>(c.nDuplicates),
        static_cast<unsigned long long>(c.nMalformed), llDropsAfter - llDropsBefore,
        after.dCpuSec - before.dCpuSec, 100.0 * (after.dCpuSec - before.dCpuSec) / dRunSec,
        1e6 * (after.dCpuSec - before.dCpuSec) / static_cast<double>(nSentTotal),
        after.nSwitches - before.nSwitches, after.nRssKiB, after.nHwmKiB, nExit, nSendFailures);
    return 0;
}

std::map<std::string, unsigned long long> DaemonStats() {
    std::map<std::string, unsigned long long> stats;
    std::istringstream in(ReadFile(std::string(kRunDir) + "/" + kStatsFileName));
    std::string strName;
    unsigned long long nValue = 0;
    while (in >> strName >> nValue) stats[strName] = nValue;
    return stats;
}

// A flooding process of uid 65534 for nSeconds; its count of datagrams sent
// comes back through the pipe.
pid_t StartFlood(bool bLocal, int nSeconds, int nPipe) {
    const pid_t nPid = fork();
    if (nPid != 0) return nPid;
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0) {
        _exit(5);
    }
    g_bLocalIntake = bLocal;
    const int nSock = ConnectToDaemon();
    if (nSock < 0) _exit(3);
    std::vector<char> buf(1023, 'f');
    buf.back() = '\n';
    unsigned long long nSent = 0;
    const int64_t llEnd = zqbench::NowNs() + nSeconds * kNsPerSec;
    while (zqbench::NowNs() < llEnd) {
        for (int i = 0; i < 256; ++i) {
            const int nHead = std::snprintf(buf.data(), buf.size(), "flood %s n%llu ",
                                            bLocal ? "local" : "udp", nSent);
            buf[static_cast<size_t>(nHead)] = 'f';
            nSent += send(nSock, buf.data(), buf.size(), 0) == static_cast<ssize_t>(buf.size());
        }
    }
    if (write(nPipe, &nSent, sizeof(nSent)) != static_cast<ssize_t>(sizeof(nSent))) _exit(6);
    _exit(0);
}

int RunFlood(int nSeconds) {
    zqbench::TempDir dir("flood");
    g_bDefaultLimit = true;
    CDaemon daemonProc(dir.Path());
    if (!daemonProc.Start()) return 2;
    g_bLocalIntake = true;
    const int nRoot = ConnectToDaemon();
    if (nRoot < 0) {
        std::fprintf(stderr, "no local intake (not root?)\n");
        return 2;
    }
    auto SendRoot = [&](const std::string& strText) {
        return send(nRoot, strText.data(), strText.size(), 0) ==
               static_cast<ssize_t>(strText.size());
    };
    bool bSent = SendRoot("root before the flood\n");
    int aPipe[2];
    if (pipe(aPipe) != 0) return 2;
    const ProcSample before = Sample(daemonProc.Pid());
    const pid_t aFlood[2] = {StartFlood(true, nSeconds, aPipe[1]),
                             StartFlood(false, nSeconds, aPipe[1])};
    const int nDuring = nSeconds * 10;
    for (int i = 0; i < nDuring; ++i) {
        zqbench::SleepNs(100000000);
        bSent = SendRoot("root during the flood " + std::to_string(i) + "\n") && bSent;
    }
    unsigned long long nFlooded = 0;
    for (const pid_t nPid : aFlood) {
        unsigned long long n = 0;
        int nStatus = 0;
        (void)waitpid(nPid, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0 ||
            read(aPipe[0], &n, sizeof(n)) != static_cast<ssize_t>(sizeof(n))) {
            std::fprintf(stderr, "a flooding process failed (status %d)\n", nStatus);
            return 2;
        }
        nFlooded += n;
    }
    (void)close(nRoot);
    // Settled: nothing more received for 2 s; then, when forwarding, every
    // line acknowledged (or 120 s).
    std::map<std::string, unsigned long long> stats = DaemonStats();
    for (unsigned long long nLast = ~0ULL; stats["received"] != nLast;) {
        nLast = stats["received"];
        zqbench::SleepNs(2 * kNsPerSec);
        stats = DaemonStats();
    }
    const int64_t llForwardEnd = zqbench::NowNs() + 120 * kNsPerSec;
    while (!g_strForward.empty() && stats["forwarded"] < stats["written"] &&
           zqbench::NowNs() < llForwardEnd) {
        zqbench::SleepNs(kNsPerSec);
        stats = DaemonStats();
    }
    const ProcSample after = Sample(daemonProc.Pid());
    const int nExit = daemonProc.Stop();

    unsigned long long nRootDuring = 0;
    unsigned long long nFloodWritten = 0;
    unsigned long long nNoted = 0;
    unsigned long long nNotes = 0;
    bool bRootBefore = false;
    for (uint32_t f = 0; f < kMaxLogFiles; ++f) {
        std::istringstream in(
            ReadFile(zqbench::SetFileName(daemonProc.LogDir(), kDaemonFilePrefix, f)));
        std::string strLine;
        while (std::getline(in, strLine)) {
            bRootBefore = bRootBefore || strLine == "root before the flood";
            nRootDuring += strLine.rfind("root during the flood ", 0) == 0;
            nFloodWritten += strLine.rfind("flood ", 0) == 0;
            const size_t nAt = strLine.find(" records suppressed in ");
            const size_t nColon = strLine.rfind(": ", nAt);
            if (nAt == std::string::npos || nColon == std::string::npos) continue;
            std::string strCount = strLine.substr(nColon + 2, nAt - nColon - 2);
            strCount.erase(std::remove(strCount.begin(), strCount.end(), ','), strCount.end());
            nNoted += std::strtoull(strCount.c_str(), nullptr, 10);
            ++nNotes;
        }
    }
    const unsigned long long nSuppressed = stats["dropped_limit_uid"] + stats["dropped_limit_udp"];
    std::printf(
        "DAEMON_FLOOD seconds=%d flooded=%llu received=%llu dropped_socket_full=%llu "
        "flood_written=%llu dropped_limit_uid=%llu dropped_limit_udp=%llu noted=%llu notes=%llu "
        "root_before_kept=%d root_during=%llu/%d forwarded=%llu written=%llu "
        "forward_rotated_away=%llu daemon_cpu_s=%.2f hwm_kib=%ld exit_status=%d root_sent=%d\n",
        nSeconds, nFlooded, stats["received"], stats["dropped_socket_full"], nFloodWritten,
        stats["dropped_limit_uid"], stats["dropped_limit_udp"], nNoted, nNotes, bRootBefore ? 1 : 0,
        nRootDuring, nDuring, stats["forwarded"], stats["written"], stats["forward_rotated_away"],
        after.dCpuSec - before.dCpuSec, after.nHwmKiB, nExit, bSent ? 1 : 0);
    std::printf("DAEMON_FLOOD_CHECK suppression_counted_exactly=%s notes_match_counters=%s\n",
                stats["received"] ==
                        1 + static_cast<unsigned long long>(nDuring) + nFloodWritten + nSuppressed
                    ? "yes"
                    : "no",
                nNoted == nSuppressed ? "yes" : "no");
    return 0;
}

int RunIdle(int nSeconds) {
    zqbench::TempDir dir("idle");
    CDaemon daemonProc(dir.Path());
    if (!daemonProc.Start()) return 2;
    zqbench::SleepNs(2 * kNsPerSec);  // past start-up and the writer's linger
    const ProcSample before = Sample(daemonProc.Pid());
    const int64_t llStart = zqbench::NowNs();
    zqbench::SleepNs(static_cast<int64_t>(nSeconds) * kNsPerSec);
    const ProcSample after = Sample(daemonProc.Pid());
    const double dSec = static_cast<double>(zqbench::NowNs() - llStart) / 1e9;
    PrintThreads("DAEMON_IDLE_THREAD", before, after, dSec, daemonProc.Pid());
    const int nExit = daemonProc.Stop();
    std::printf(
        "DAEMON_IDLE seconds=%.1f daemon_cpu_ms=%.2f cpu_pct_of_core=%.4f wakeups=%lld "
        "wakeups_per_s=%.2f rss_kib=%ld rss_anon_kib=%ld rss_file_kib=%ld hwm_kib=%ld "
        "exit_status=%d\n",
        dSec, 1000.0 * (after.dCpuSec - before.dCpuSec),
        100.0 * (after.dCpuSec - before.dCpuSec) / dSec, after.nSwitches - before.nSwitches,
        static_cast<double>(after.nSwitches - before.nSwitches) / dSec, after.nRssKiB,
        after.nRssAnonKiB, after.nRssFileKiB, after.nHwmKiB, nExit);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s load|idle|flood [options]\n", argv[0]);
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
        std::perror("PR_SET_CHILD_SUBREAPER");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
    (void)sigaction(SIGHUP, &sa, nullptr);

    uint32_t nCount = 300000;
    uint32_t nSize = 200;
    int nSenders = 2;
    double dRate = 0;
    int nSeconds = 10;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--count") {
            nCount = static_cast<uint32_t>(std::atol(argv[i + 1]));
        } else if (opt == "--size") {
            nSize = static_cast<uint32_t>(std::atol(argv[i + 1]));
        } else if (opt == "--senders") {
            nSenders = std::atoi(argv[i + 1]);
        } else if (opt == "--rate") {
            dRate = std::atof(argv[i + 1]);
        } else if (opt == "--forward") {
            g_strForward = std::string("[Forward]\nHost=127.0.0.1\nPort=") + argv[i + 1] + "\n";
        } else if (opt == "--forward-relp") {
            g_strForward =
                std::string("[Forward]\nHost=127.0.0.1\nProtocol=relp\nPort=") + argv[i + 1] + "\n";
        } else if (opt == "--sync") {
            g_strSyncMs = argv[i + 1];
        } else if (opt == "--block-dev") {
            g_strBlockDev = argv[i + 1];
        } else if (opt == "--seconds") {
            nSeconds = std::atoi(argv[i + 1]);
        } else if (opt == "--intake") {
            g_bLocalIntake = std::string(argv[i + 1]) == "local";
        } else if (opt == "--daemon") {
            g_pDaemonPath = argv[i + 1];
        } else {
            std::fprintf(stderr, "unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (nSize < 24 || nSize > 1024 || nSenders < 1) {
        std::fprintf(stderr, "size must be 24..1024, senders >= 1\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "load") return RunLoad(nCount, nSize, nSenders, dRate);
    if (mode == "idle") return RunIdle(nSeconds);
    if (mode == "flood") return RunFlood(nSeconds);
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
