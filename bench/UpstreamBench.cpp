// Forwarding to a collector on loopback.
//
//   zq_bench_upstream forward [--count N]
//       N records of about 200 bytes in a file set; how fast they reach an
//       rsyslog collector (imtcp, imrelp; plain and over TLS) through the
//       daemon's sender (tcp, relp, each plain and with TLS), and, in the
//       same run, through rsyslog's own forwarding of the same file (imfile ->
//       omfwd tcp with octet counting, plain and over gtls; imfile -> omrelp).
//       Each run ends when the collector has written all N; the CPU time the
//       forwarding side spent per record is shown beside the rate.
//   zq_bench_upstream flood [--seconds T]
//       zq_bench_daemon's flood for T seconds (default 60) while
//       the daemon forwards over relp to the collector.
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
#include <sys/resource.h>
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

// A CA, a collector certificate for 127.0.0.1 and a device certificate,
// made by the openssl tool in dir; false when it failed.
bool MakeCertificates(const std::string& dir) {
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    const std::string sign = " -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ";
    const std::string script =
        "cd " + dir + " && printf 'subjectAltName=IP:127.0.0.1\\n' >server.ext && " +
        "printf 'extendedKeyUsage=clientAuth\\n' >device.ext && " + "openssl req -x509 " + key +
        "-keyout ca.key -out ca.pem -days 2 -subj /CN=ca && " + "openssl req " + key +
        "-keyout server.key -out server.csr -subj /CN=collector && " + "openssl req " + key +
        "-keyout device.key -out device.csr -subj /CN=device && " +
        "openssl x509 -req -in server.csr" + sign + "server.ext -out server.pem && " +
        "openssl x509 -req -in device.csr" + sign + "device.ext -out device.pem";
    return std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
}

// CPU seconds (user and system) of this process, or of its waited children.
double CpuSeconds(int nWho) {
    rusage st{};
    (void)getrusage(nWho, &st);
    return static_cast<double>(st.ru_utime.tv_sec + st.ru_stime.tv_sec) +
           static_cast<double>(st.ru_utime.tv_usec + st.ru_stime.tv_usec) / 1e6;
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

// A collector writing two bytes per message it receives, on a tcp and a relp
// port; with pki (a directory of MakeCertificates) both speak TLS (imtcp's
// gtls driver; imrelp demanding the device's certificate).
class CCollector {
public:
    explicit CCollector(const std::string& dir, const std::string& pki = "")
        : m_out(dir + "/out"),
          m_nTcp(FreePort()),
          m_nRelp(FreePort()),
          m_rsyslog(dir, Config(dir, pki, m_nTcp, m_nRelp)) {}
    bool Start() { return m_rsyslog.Start(m_nTcp) && WaitListening(m_nRelp); }
    void Stop() { m_rsyslog.Stop(); }
    long long Received() const { return FileBytes(m_out) / 2; }
    uint16_t TcpPort() const { return m_nTcp; }
    uint16_t RelpPort() const { return m_nRelp; }

private:
    static std::string Config(const std::string& dir, const std::string& pki, uint16_t nTcp,
                              uint16_t nRelp) {
        std::string tcp = "module(load=\"imtcp\")\n", relp;
        if (!pki.empty()) {
            tcp = "global(defaultNetstreamDriverCAFile=\"" + pki +
                  "/ca.pem\" defaultNetstreamDriverCertFile=\"" + pki +
                  "/server.pem\" defaultNetstreamDriverKeyFile=\"" + pki +
                  "/server.key\")\nmodule(load=\"imtcp\" streamDriver.name=\"gtls\" "
                  "streamDriver.mode=\"1\" streamDriver.authMode=\"anon\")\n";
            relp = " tls=\"on\" tls.caCert=\"" + pki + "/ca.pem\" tls.myCert=\"" + pki +
                   "/server.pem\" tls.myPrivKey=\"" + pki +
                   "/server.key\" tls.authMode=\"certvalid\"";
        }
        return tcp + "module(load=\"imrelp\")\n" +
               "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" + std::to_string(nTcp) +
               "\" ruleset=\"r\")\n" + "input(type=\"imrelp\" address=\"127.0.0.1\" port=\"" +
               std::to_string(nRelp) + "\" ruleset=\"r\"" + relp + ")\n" +
               "template(name=\"t\" type=\"string\" string=\"x\\n\")\n"
               "ruleset(name=\"r\") { action(type=\"omfile\" file=\"" +
               dir + "/out\" template=\"t\") }\n";
    }
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

void Report(const char* pWhat, double dRate, long long nCount, double dCpuSeconds) {
    if (dRate == 0) {
        std::printf("%-38s timed out\n", pWhat);
    } else {
        std::printf("%-38s %10.0f records/s %8.2f us CPU/record (%lld records)\n", pWhat, dRate,
                    dCpuSeconds * 1e6 / static_cast<double>(nCount), nCount);
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
    const std::string pki = dir.Path() + "/pki";
    (void)mkdir(pki.c_str(), 0755);
    if (!MakeCertificates(pki)) {
        std::fprintf(stderr, "openssl could not make the certificates\n");
        return 2;
    }
    for (const char* pName : {"tcp", "relp", "tcp+TLS", "relp+TLS"}) {
        const bool bRelp = std::strncmp(pName, "relp", 4) == 0;
        const bool bTls = std::strstr(pName, "TLS") != nullptr;
        CCollector collector(dir.Path() + "/collector_" + pName, bTls ? pki : "");
        if (!collector.Start()) return 2;
        (void)unlink((logDir + "/" + kDaemonFilePrefix + kCursorFileSuffix).c_str());
        std::string forward = std::string("[Forward]\nHost=127.0.0.1\nPort=") +
                              std::to_string(bRelp ? collector.RelpPort() : collector.TcpPort()) +
                              "\nProtocol=" + (bRelp ? "relp" : "tcp") + "\n";
        if (bTls) {
            forward += "TLS=1\nCAFile=" + pki + "/ca.pem\nCertFile=" + pki +
                       "/device.pem\nKeyFile=" + pki + "/device.key\n";
        }
        (void)WriteText(cfg, forward);
        CUpstreamSender sender;
        const double dCpu = CpuSeconds(RUSAGE_SELF);
        const int64_t llStart = zqbench::NowNs();
        if (sender.Start(logDir.c_str(), cfg.c_str(), "SDK", [](int32_t, const char*) {}) != 0) {
            return 2;
        }
        const double dRate = WaitAll(collector, nCount, llStart);
        sender.Stop();
        Report((std::string("ZuVozAdavid sender, ") + pName).c_str(), dRate, nCount,
               CpuSeconds(RUSAGE_SELF) - dCpu);
        collector.Stop();
    }
    for (const char* pName : {"omfwd tcp", "omfwd tcp+gtls", "omrelp"}) {
        const bool bRelp = std::strcmp(pName, "omrelp") == 0;
        const bool bTls = std::strstr(pName, "gtls") != nullptr;
        CCollector collector(dir.Path() + "/collector_rs_" + std::to_string(bRelp + 2 * bTls),
                             bTls ? pki : "");
        if (!collector.Start()) return 2;
        const std::string tls = bTls ? " StreamDriver=\"gtls\" StreamDriverMode=\"1\" "
                                       "StreamDriverAuthMode=\"x509/name\" "
                                       "StreamDriverPermittedPeers=\"collector\""
                                     : "";
        const std::string action = bRelp ? "action(type=\"omrelp\" target=\"127.0.0.1\" port=\"" +
                                               std::to_string(collector.RelpPort()) +
                                               "\" template=\"RSYSLOG_SyslogProtocol23Format\")"
                                         : "action(type=\"omfwd\" target=\"127.0.0.1\" port=\"" +
                                               std::to_string(collector.TcpPort()) +
                                               "\" protocol=\"tcp\" TCP_Framing=\"octet-counted\" "
                                               "template=\"RSYSLOG_SyslogProtocol23Format\"" +
                                               tls + ")";
        const std::string globals =
            bTls ? "global(defaultNetstreamDriverCAFile=\"" + pki + "/ca.pem\")\n" : "";
        CRsyslog forwarder(dir.Path() + "/forwarder_" + std::to_string(bRelp + 2 * bTls),
                           globals + (bRelp ? "module(load=\"omrelp\")\n" : "") +
                               "module(load=\"imfile\")\n"
                               "input(type=\"imfile\" file=\"" +
                               logDir +
                               "/SDK_00.log\" tag=\"app\" ruleset=\"f\")\n"
                               "ruleset(name=\"f\") { " +
                               action + " }\n");
        const double dCpu = CpuSeconds(RUSAGE_CHILDREN);
        const int64_t llStart = zqbench::NowNs();
        if (!forwarder.Start(0)) return 2;
        const double dRate = WaitAll(collector, nCount, llStart);
        forwarder.Stop();
        // The forwarder was waited for: its CPU time is among the children's,
        // beside that of the collectors stopped before it.
        Report((std::string("rsyslog imfile -> ") + pName).c_str(), dRate, nCount,
               CpuSeconds(RUSAGE_CHILDREN) - dCpu);
        collector.Stop();
    }
    return 0;
}

// The flood of zq_bench_daemon's flood mode, while the daemon forwards to the
// collector over relp.
int RunFlood(long long nSeconds) {
    zqbench::TempDir dir("upstream_flood");
    CCollector collector(dir.Path() + "/collector");
    if (!collector.Start()) return 2;
    const std::string seconds = std::to_string(nSeconds);
    const std::string port = std::to_string(collector.RelpPort());
    const pid_t nPid = fork();
    if (nPid == 0) {
        execl(ZQ_BENCH_DAEMON_LOAD, "zq_bench_daemon", "flood", "--seconds", seconds.c_str(),
              "--forward-relp", port.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int nStatus = 0;
    (void)waitpid(nPid, &nStatus, 0);
    std::printf("messages at the collector: %lld\n", collector.Received());
    collector.Stop();
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 2;
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
        std::fprintf(stderr,
                     "usage: %s forward|intake|flood [--count N] [--rate R] [--seconds T]\n",
                     argv[0]);
        return 2;
    }
    long long nCount = 300000;
    long long nSeconds = 60;
    double dRate = 100000;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--count") == 0) nCount = std::atoll(argv[i + 1]);
        if (std::strcmp(argv[i], "--rate") == 0) dRate = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) nSeconds = std::atoll(argv[i + 1]);
    }
    if (std::strcmp(argv[1], "forward") == 0) return RunForward(nCount);
    if (std::strcmp(argv[1], "intake") == 0) return RunIntake(nCount, dRate);
    if (std::strcmp(argv[1], "flood") == 0) return RunFlood(nSeconds);
    std::fprintf(stderr, "unknown mode %s\n", argv[1]);
    return 2;
}
