#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zqtest {

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

class CCollector {
public:
    // Picks a free port; nothing runs yet.
    CCollector(const std::string& strDir, ECollector eKind);
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
    uint16_t m_nPort;
    pid_t m_nPid;
};

// The seq="N" of a line of rsyslog's output; 0 when it has none.
uint64_t SeqOf(const std::string& strLine);

// True while something listens on TCP port nPort (any address).
bool TcpListening(uint16_t nPort);

// A free TCP port of 127.0.0.1 (bound once to port 0, then released).
uint16_t FreeTcpPort();

}  // namespace zqtest
