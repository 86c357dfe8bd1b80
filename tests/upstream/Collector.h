#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zqtest {

class TempDir;

// The collectors the forwarding tests send to, each a real server from its
// Debian package, run as a child process in the foreground with its own
// configuration, pid and state files in a directory of the test, listening on
// a free port of 127.0.0.1. Each writes every message it receives as one line
// of its output file.
enum class ECollector {
    kRsyslogTcp,   // imtcp; line: HOSTNAME|APP-NAME|PROCID|MSGID|STRUCTURED-DATA|MSG
    kRsyslogRelp,  // imrelp; the same line
    kSyslogNg,     // syslog() source (RFC 5424 parser); line: ISODATE|HOST|PROGRAM|PID|
                   // MSGID|seq|boot|dev|file|line|func|MESSAGE (SD parameters unescaped)
};

// A collector's TLS settings: its certificate and key, the CA it trusts for
// clients, and whether it demands a client certificate.
struct CollectorTls {
    std::string strCa;
    std::string strCert;
    std::string strKey;
    std::string strDriver = "gtls";  // rsyslog's stream driver for imtcp: gtls or ossl
    bool bClientCert = false;
};

class CCollector {
public:
    // Picks a free port; nothing runs yet. With pTls the collector speaks TLS
    // (imtcp with a stream driver, imrelp tls="on", syslog-ng tls()).
    CCollector(const std::string& strDir, ECollector eKind, const CollectorTls* pTls = nullptr);
    // Why eKind cannot speak TLS here (a package missing); "" when it can.
    static std::string TlsMissing(ECollector eKind, const CollectorTls& tls);
    ~CCollector();  // kills the server when it still runs
    CCollector(const CCollector&) = delete;
    CCollector& operator=(const CCollector&) = delete;

    // Starts the server and waits until it listens. False (with the reason in
    // Log()) when it does not come up.
    bool Start();
    // Sends nSignal and waits for the server to end.
    bool Stop(int nSignal = SIGTERM);
    bool Running() const { return m_nPid > 0; }

    uint16_t Port() const { return m_nPort; }
    // The complete lines of the output file so far.
    std::vector<std::string> Lines() const;
    // How often each seq="N" arrived.
    std::map<uint64_t, int> SeqCounts() const;
    // What the server said about itself (for failure messages).
    std::string Log() const;

private:
    void WriteConfig() const;

    std::string m_strDir;
    ECollector m_eKind;
    bool m_bTls;
    CollectorTls m_Tls;
    uint16_t m_nPort;
    pid_t m_nPid;
};

// Certificates for the TLS tests, made by the openssl tool: a CA the sender
// trusts and what it signed. Every server certificate holds the same key and,
// but for the wrong-name one, the names 127.0.0.1, localhost and zq-collector.
struct TestPki {
    std::string strCa;
    std::string strServerKey;
    std::string strServerCert;
    std::string strExpiredCert;    // expired yesterday
    std::string strWrongNameCert;  // other.example only
    std::string strOtherCaCert;    // signed by a CA the sender does not trust
    std::string strClientCert;
    std::string strClientKey;
};
// Makes them in strDir; "" on success, else what failed.
std::string MakeTestPki(const std::string& strDir, TestPki* pPki);

// Runs fn in a child whose name service is the hosts file strHosts alone,
// bound over /etc/hosts in a mount namespace of its own; fn's text, empty
// when it passed, "skip: ..." where no such namespace can be had (no root; an
// emulator, whose threads forbid it).
std::string WithHosts(const TempDir& dir, const std::string& strHosts,
                      const std::function<std::string()>& fn,
                      std::chrono::milliseconds deadline = std::chrono::seconds(20));

// The seq="N" of a line of rsyslog's output; 0 when it has none.
uint64_t SeqOf(const std::string& strLine);
// The same of a line of eKind's output.
uint64_t SeqOf(ECollector eKind, const std::string& strLine);

// True while something listens on TCP port nPort (any address).
bool TcpListening(uint16_t nPort);

// A free TCP port of 127.0.0.1 (bound once to port 0, then released).
uint16_t FreeTcpPort();

}  // namespace zqtest
