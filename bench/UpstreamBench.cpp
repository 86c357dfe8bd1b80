// Forwarding to a collector on loopback.
//
//   zq_bench_upstream forward [--count N]
//       N records of about 200 bytes in a file set; how fast they reach an
//       rsyslog collector (imtcp, imrelp) through the daemon's sender (tcp,
//       relp), and, in the same run, through rsyslog's own forwarding of the
//       same file (imfile -> omfwd tcp with octet counting, imfile -> omrelp).
//       Each run ends when the collector has written all N.
//   zq_bench_upstream intake [--count N] [--rate R]
//       The real daemon forwarding over tcp to rsyslog while zq_bench_daemon
//       sends it R datagrams a second: the intake loss with forwarding on.
//
// Every server runs as a child process in a temporary directory with its own
// configuration, on free loopback ports, and is stopped by its pid.

#include "bench/BenchUtil.h"
#include "upstream/UpstreamSender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef ZQ_BENCH_DAEMON_LOAD
#error "ZQ_BENCH_DAEMON_LOAD must name zq_bench_daemon"
#endif

namespace {

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";
constexpr int64_t kNsPerSec = 1000000000;
constexpr int64_t kDeadlineNs = 300 * kNsPerSec;

bool WriteText(const std::string& path, const std::string& text) {
    FILE* pFile = std::fopen(path.c_str(), "w");
    if (pFile == nullptr) return false;
    const bool bOk = std::fwrite(text.data(), 1, text.size(), pFile) == text.size();
    return std::fclose(pFile) == 0 && bOk;
}

uint16_t FreePort() {
    const int nSocket = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(stAddr);
    uint16_t nPort = 0;
    if (bind(nSocket, reinterpret_cast<sockaddr*>(&stAddr), nLen) == 0 &&
        getsockname(nSocket, reinterpret_cast<sockaddr*>(&stAddr), &nLen) == 0) {
        nPort = ntohs(stAddr.sin_port);
    }
    close(nSocket);
    return nPort;
}

bool Listening(uint16_t nPort) {
    char szPort[8];
    std::snprintf(szPort, sizeof(szPort), ":%04X ", nPort);
    for (const char* pTable : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        FILE* pFile = std::fopen(pTable, "r");
        if (pFile == nullptr) continue;
        char szLine[512];
        bool bFound = false;
        while (std::fgets(szLine, sizeof(szLine), pFile) != nullptr) {
            if (std::strstr(szLine, szPort) != nullptr && std::strstr(szLine, " 0A ") != nullptr) {
                bFound = true;
            }
        }
        std::fclose(pFile);
        if (bFound) return true;
    }
    return false;
}

long long FileBytes(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// An rsyslogd in the foreground with its own configuration.
class CRsyslog {
public:
    CRsyslog(const std::string& dir, const std::string& conf) : m_dir(dir) {
        (void)mkdir(dir.c_str(), 0755);
        (void)WriteText(dir + "/rsyslog.conf", "global(workDirectory=\"" + dir + "\")\n" + conf);
    }
    ~CRsyslog() { Stop(); }
    bool Start(uint16_t nWaitPort) {
        m_nPid = fork();
        if (m_nPid == 0) {
            const int nNull = open("/dev/null", O_RDWR);
            (void)dup2(nNull, 0);
            (void)dup2(nNull, 1);
            execl(kRsyslogd, "rsyslogd", "-n", "-f", (m_dir + "/rsyslog.conf").c_str(), "-i",
                  (m_dir + "/pid").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        const int64_t llEnd = zqbench::NowNs() + 30 * kNsPerSec;
        while (nWaitPort != 0 && !Listening(nWaitPort) && zqbench::NowNs() < llEnd) {
            zqbench::SleepNs(1000000);
        }
        return m_nPid > 0 && (nWaitPort == 0 || Listening(nWaitPort));
    }
    void Stop() {
        if (m_nPid <= 0) return;
        (void)kill(m_nPid, SIGTERM);
        (void)waitpid(m_nPid, nullptr, 0);
        m_nPid = -1;
    }

private:
    std::string m_dir;
    pid_t m_nPid = -1;
};

// A collector writing two bytes per message it receives, on a tcp and a relp port.
class CCollector {
public:
    explicit CCollector(const std::string& dir)
        : m_out(dir + "/out"),
          m_nTcp(FreePort()),
          m_nRelp(FreePort()),
          m_rsyslog(dir,
                    "module(load=\"imtcp\")\nmodule(load=\"imrelp\")\n"
                    "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" +
                        std::to_string(m_nTcp) + "\" ruleset=\"r\")\n" +
                        "input(type=\"imrelp\" address=\"127.0.0.1\" port=\"" +
                        std::to_string(m_nRelp) + "\" ruleset=\"r\")\n" +
                        "template(name=\"t\" type=\"string\" string=\"x\\n\")\n"
                        "ruleset(name=\"r\") { action(type=\"omfile\" file=\"" +
                        dir + "/out\" template=\"t\") }\n") {}
    bool Start() { return m_rsyslog.Start(m_nTcp) && WaitListening(m_nRelp); }
    void Stop() { m_rsyslog.Stop(); }
    long long Received() const { return FileBytes(m_out) / 2; }
    uint16_t TcpPort() const { return m_nTcp; }
    uint16_t RelpPort() const { return m_nRelp; }

private:
    static bool WaitListening(uint16_t nPort) {
        const int64_t llEnd = zqbench::NowNs() + 30 * kNsPerSec;
        while (!Listening(nPort) && zqbench::NowNs() < llEnd) zqbench::SleepNs(1000000);
        return Listening(nPort);
    }
    std::string m_out;
    uint16_t m_nTcp;
    uint16_t m_nRelp;
    CRsyslog m_rsyslog;
};

// Waits until the collector has nCount messages; the rate, or 0 on time-out.
double WaitAll(const CCollector& collector, long long nCount, int64_t llStartNs) {
    while (collector.Received() < nCount) {
        if (zqbench::NowNs() - llStartNs > kDeadlineNs) return 0;
        zqbench::SleepNs(500000);
    }
    return static_cast<double>(nCount) * kNsPerSec /
           static_cast<double>(zqbench::NowNs() - llStartNs);
}

void Report(const char* pWhat, double dRate, long long nCount) {
    if (dRate == 0) {
        std::printf("%-34s timed out\n", pWhat);
    } else {
        std::printf("%-34s %10.0f records/s (%lld records)\n", pWhat, dRate, nCount);
    }
    std::fflush(stdout);
}

int RunForward(long long nCount) {
    zqbench::TempDir dir("upstream");
    const std::string logDir = dir.Path() + "/log";
    (void)mkdir(logDir.c_str(), 0755);
    {
        std::string text;
        char szLine[256];
        FILE* pFile = std::fopen((logDir + "/SDK_00.log").c_str(), "w");
        for (long long k = 1; k <= nCount && pFile != nullptr; ++k) {
            const int nLen = std::snprintf(
                szLine, sizeof(szLine),
                "Info    2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)  "
                "ProcessName:app(1234)     Description:[Run]record %09lld of the benchmark\r\n",
                k);
            (void)std::fwrite(szLine, 1, static_cast<size_t>(nLen), pFile);
        }
        if (pFile == nullptr || std::fclose(pFile) != 0) return 2;
    }
    std::printf("records of %lld bytes\n", FileBytes(logDir + "/SDK_00.log") / nCount);
    const std::string cfg = logDir + "/LogServer.ini";
    for (const char* pProtocol : {"tcp", "relp"}) {
        CCollector collector(dir.Path() + "/collector_" + pProtocol);
        if (!collector.Start()) return 2;
        const bool bRelp = std::strcmp(pProtocol, "relp") == 0;
        (void)unlink((logDir + "/" + kDaemonFilePrefix + kCursorFileSuffix).c_str());
        (void)WriteText(cfg,
                        std::string("[Forward]\nHost=127.0.0.1\nPort=") +
                            std::to_string(bRelp ? collector.RelpPort() : collector.TcpPort()) +
                            "\nProtocol=" + pProtocol + "\n");
        CUpstreamSender sender;
        const int64_t llStart = zqbench::NowNs();
        if (sender.Start(logDir.c_str(), cfg.c_str(), "SDK", [](int32_t, const char*) {}) != 0) {
            return 2;
        }
        const double dRate = WaitAll(collector, nCount, llStart);
        sender.Stop();
        Report((std::string("ZuVozAdavid sender, ") + pProtocol).c_str(), dRate, nCount);
        collector.Stop();
    }
    for (const char* pProtocol : {"tcp", "relp"}) {
        CCollector collector(dir.Path() + "/collector_rs_" + pProtocol);
        if (!collector.Start()) return 2;
        const bool bRelp = std::strcmp(pProtocol, "relp") == 0;
        const std::string action = bRelp ? "action(type=\"omrelp\" target=\"127.0.0.1\" port=\"" +
                                               std::to_string(collector.RelpPort()) +
                                               "\" template=\"RSYSLOG_SyslogProtocol23Format\")"
                                         : "action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" +
                                               std::to_string(collector.TcpPort()) +
                                               "\" protocol=\"tcp\" TCP_Framing=\"octet-counted\" "
                                               "template=\"RSYSLOG_SyslogProtocol23Format\")";
        CRsyslog forwarder(dir.Path() + "/forwarder_" + pProtocol,
                           std::string(bRelp ? "module(load=\"omrelp\")\n" : "") +
                               "module(load=\"imfile\")\n"
                               "input(type=\"imfile\" file=\"" +
                               logDir +
                               "/SDK_00.log\" tag=\"app\" ruleset=\"f\")\n"
                               "ruleset(name=\"f\") { " +
                               action + " }\n");
        const int64_t llStart = zqbench::NowNs();
        if (!forwarder.Start(0)) return 2;
        const double dRate = WaitAll(collector, nCount, llStart);
        forwarder.Stop();
        Report((std::string("rsyslog imfile -> ") + (bRelp ? "omrelp" : "omfwd tcp")).c_str(),
               dRate, nCount);
        collector.Stop();
    }
    return 0;
}

int RunIntake(long long nCount, double dRate) {
    zqbench::TempDir dir("upstream_intake");
    CCollector collector(dir.Path() + "/collector");
    if (!collector.Start()) return 2;
    const std::string count = std::to_string(nCount);
    const std::string rate = std::to_string(static_cast<long long>(dRate));
    const std::string port = std::to_string(collector.TcpPort());
    const pid_t nPid = fork();
    if (nPid == 0) {
        execl(ZQ_BENCH_DAEMON_LOAD, "zq_bench_daemon", "load", "--count", count.c_str(), "--size",
              "200", "--senders", "2", "--rate", rate.c_str(), "--forward", port.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int nStatus = 0;
    (void)waitpid(nPid, &nStatus, 0);
    std::printf("forwarded to the collector by the daemon's stop: %lld records\n",
                collector.Received());
    collector.Stop();
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s forward|intake [--count N] [--rate R]\n", argv[0]);
        return 2;
    }
    long long nCount = 300000;
    double dRate = 100000;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--count") == 0) nCount = std::atoll(argv[i + 1]);
        if (std::strcmp(argv[i], "--rate") == 0) dRate = std::atof(argv[i + 1]);
    }
    if (std::strcmp(argv[1], "forward") == 0) return RunForward(nCount);
    if (std::strcmp(argv[1], "intake") == 0) return RunIntake(nCount, dRate);
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
}
