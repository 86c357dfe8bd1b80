#include "tests/upstream/Collector.h"

#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <sstream>

#ifndef ZQ_PEER_ROOT
#define ZQ_PEER_ROOT "/var/cache/zq-peers"
#endif

namespace zqtest {

namespace {

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";
constexpr const char* kSystemSyslogNg = "/usr/sbin/syslog-ng";

std::string PeerRoot() {
    const char* pRoot = std::getenv("ZQ_PEER_ROOT");
    return pRoot != nullptr && *pRoot != '\0' ? pRoot : ZQ_PEER_ROOT;
}

// syslog-ng's binary, its module directory and its library directory ("" for
// an installed one, which finds its own).
void SyslogNgPaths(std::string* pBinary, std::string* pModules, std::string* pLibs) {
    if (access(kSystemSyslogNg, X_OK) == 0) {
        *pBinary = kSystemSyslogNg;
        pModules->clear();
        pLibs->clear();
        return;
    }
    const std::string strRoot = PeerRoot() + "/syslog-ng";
    *pBinary = strRoot + "/usr/sbin/syslog-ng";
    *pLibs = strRoot + "/usr/lib/syslog-ng";
    pModules->clear();
    if (DIR* pDir = opendir(pLibs->c_str())) {
        while (dirent* pEnt = readdir(pDir)) {
            if (pEnt->d_name[0] >= '0' && pEnt->d_name[0] <= '9') {
                *pModules = *pLibs + "/" + pEnt->d_name;
            }
        }
        closedir(pDir);
    }
}

}  // namespace

std::string WithHosts(const TempDir& dir, const std::string& strHosts,
                      const std::function<std::string()>& fn, std::chrono::milliseconds deadline) {
    const std::string strNss = dir.File("nsswitch.conf");
    if (!WriteFile(strNss, "hosts: files\n")) return "cannot write " + strNss;
    return InChild(
        [&]() -> std::string {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(strNss.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0 ||
                mount(strHosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
                return std::string("skip: no private /etc/hosts here: ") + std::strerror(errno);
            }
            return fn();
        },
        deadline);
}

uint16_t FreeTcpPort() {
    const int nSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in stAddr{};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(stAddr);
    uint16_t nPort = 0;
    if (nSocket >= 0 && bind(nSocket, reinterpret_cast<sockaddr*>(&stAddr), nLen) == 0 &&
        getsockname(nSocket, reinterpret_cast<sockaddr*>(&stAddr), &nLen) == 0) {
        nPort = ntohs(stAddr.sin_port);
    }
    if (nSocket >= 0) close(nSocket);
    return nPort;
}

bool TcpListening(uint16_t nPort) {
    char szPort[8];
    std::snprintf(szPort, sizeof(szPort), ":%04X", nPort);
    for (const char* pTable : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream in(ReadFile(pTable));
        std::string strLine;
        while (std::getline(in, strLine)) {
            std::istringstream fields(strLine);
            std::string strSlot, strLocal, strRemote, strState;
            fields >> strSlot >> strLocal >> strRemote >> strState;
            if (strState == "0A" && strLocal.size() > 5 &&
                strLocal.compare(strLocal.size() - 5, 5, szPort) == 0) {
                return true;
            }
        }
    }
    return false;
}

uint64_t SeqOf(ECollector eKind, const std::string& strLine) {
    if (eKind != ECollector::kSyslogNg) return SeqOf(strLine);
    size_t nAt = 0;
    for (int n = 0; n < 5 && nAt != std::string::npos; ++n) nAt = strLine.find('|', nAt + 1);
    return nAt == std::string::npos ? 0 : std::strtoull(strLine.c_str() + nAt + 1, nullptr, 10);
}

uint64_t SeqOf(const std::string& strLine) {
    const size_t nAt = strLine.find("seq=\"");
    if (nAt == std::string::npos) return 0;
    return std::strtoull(strLine.c_str() + nAt + 5, nullptr, 10);
}

std::string MakeTestPki(const std::string& strDir, TestPki* pPki) {
    (void)mkdir(strDir.c_str(), 0755);
    const std::string d = strDir + "/";
    *pPki = {d + "ca.pem",        d + "server.key",         d + "server.pem", d + "expired.pem",
             d + "wrongname.pem", d + "otherca-signed.pem", d + "client.pem", d + "client.key"};
    if (!WriteFile(d + "names.ext",
                   "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:zq-collector\n"
                   "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n") ||
        !WriteFile(d + "wrongname.ext",
                   "subjectAltName=DNS:other.example\nbasicConstraints=CA:FALSE\n") ||
        !WriteFile(d + "client.ext", "basicConstraints=CA:FALSE\nextendedKeyUsage=clientAuth\n")) {
        return "cannot write into " + strDir;
    }
    const std::string strKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    auto Sign = [&](const std::string& strCsr, const std::string& strCa, const char* pDays,
                    const std::string& strExt, const std::string& strOut) {
        return "openssl x509 -req -in " + d + strCsr + " -CA " + d + strCa + ".pem -CAkey " + d +
               strCa + ".key -CAcreateserial -days " + pDays + " -extfile " + d + strExt +
               " -out " + strOut + " && ";
    };
    const std::string strScript =
        "set -e; cd " + strDir + " && " +  //
        "openssl req -x509 " + strKey + "-keyout ca.key -out ca.pem -days 30 -subj /CN=zqCA && " +
        "openssl req -x509 " + strKey +
        "-keyout otherca.key -out otherca.pem -days 30 -subj /CN=zqOtherCA && " + "openssl req " +
        strKey + "-keyout server.key -out server.csr -subj /CN=collector && " + "openssl req " +
        strKey + "-keyout client.key -out client.csr -subj /CN=device && " +
        Sign("server.csr", "ca", "30", "names.ext", pPki->strServerCert) +
        Sign("server.csr", "ca", "-1", "names.ext", pPki->strExpiredCert) +
        Sign("server.csr", "ca", "30", "wrongname.ext", pPki->strWrongNameCert) +
        Sign("server.csr", "otherca", "30", "names.ext", pPki->strOtherCaCert) +
        Sign("client.csr", "ca", "30", "client.ext", pPki->strClientCert) +
        "chmod 644 *.key";  // the collectors may drop privileges
    const std::string strCmd = "(" + strScript + ") >" + d + "openssl.log 2>&1";
    if (std::system(strCmd.c_str()) != 0) {
        return "openssl failed: " + ReadFile(d + "openssl.log");
    }
    return "";
}

std::string CCollector::TlsMissing(ECollector eKind, const CollectorTls& tls) {
    if (eKind == ECollector::kSyslogNg) return "";
    const std::string strModule =
        eKind == ECollector::kRsyslogRelp ? "imrelp.so" : "lmnsd_" + tls.strDriver + ".so";
    for (const char* pDir :
         {"/usr/lib/x86_64-linux-gnu/rsyslog/", "/usr/lib/rsyslog/",
          "/usr/lib/arm-linux-gnueabihf/rsyslog/", "/usr/lib/aarch64-linux-gnu/rsyslog/"}) {
        if (access((pDir + strModule).c_str(), R_OK) == 0) return "";
    }
    return "rsyslog's " + strModule + " is not installed (package rsyslog-" +
           (eKind == ECollector::kRsyslogRelp ? "relp"
            : tls.strDriver == "ossl"         ? "openssl"
                                              : "gnutls") +
           ")";
}

CCollector::CCollector(const std::string& strDir, ECollector eKind, const CollectorTls* pTls)
    : m_strDir(strDir),
      m_eKind(eKind),
      m_bTls(pTls != nullptr),
      m_Tls(pTls != nullptr ? *pTls : CollectorTls{}),
      m_nPort(FreeTcpPort()),
      m_nPid(0) {
    (void)mkdir(m_strDir.c_str(), 0755);
    WriteConfig();
}

CCollector::~CCollector() {
    if (m_nPid > 0) (void)Stop(SIGKILL);
}

void CCollector::WriteConfig() const {
    const std::string strOut = m_strDir + "/out.log";
    std::ostringstream conf;
    if (m_eKind == ECollector::kSyslogNg) {
        conf << "@version: 3.38\n"
                "options { keep-hostname(yes); keep-timestamp(yes); frac-digits(3);\n"
                "  chain-hostnames(no); stats-freq(0); log-msg-size(65536); };\n"
                "source s { syslog(ip(\"127.0.0.1\") port("
             << m_nPort << ") transport(\"" << (m_bTls ? "tls" : "tcp") << "\")";
        if (m_bTls) {
            conf << " tls(key-file(\"" << m_Tls.strKey << "\") cert-file(\"" << m_Tls.strCert
                 << "\") ca-file(\"" << m_Tls.strCa << "\") peer-verify("
                 << (m_Tls.bClientCert ? "required-trusted" : "optional-untrusted") << "))";
        }
        conf << " log-msg-size(65536)); };\n"
                "destination d { file(\""
             << strOut
             << "\" template(\"${ISODATE}|${HOST}|${PROGRAM}|${PID}|${MSGID}"
                "|${.SDATA.zqlog@32473.seq}|${.SDATA.zqlog@32473.boot}|${.SDATA.zqlog@32473.dev}"
                "|${.SDATA.zqlog@32473.file}|${.SDATA.zqlog@32473.line}"
                "|${.SDATA.zqlog@32473.func}|${MESSAGE}\\n\")); };\n"
                "log { source(s); destination(d); flags(flow-control); };\n";
    } else {
        conf << "global(workDirectory=\"" << m_strDir << "\" maxMessageSize=\"64k\"";
        if (m_bTls && m_eKind == ECollector::kRsyslogTcp) {
            conf << " defaultNetstreamDriverCAFile=\"" << m_Tls.strCa
                 << "\" defaultNetstreamDriverCertFile=\"" << m_Tls.strCert
                 << "\" defaultNetstreamDriverKeyFile=\"" << m_Tls.strKey << "\"";
        }
        conf << ")\n";
        if (m_eKind == ECollector::kRsyslogTcp) {
            conf << "module(load=\"imtcp\"";
            if (m_bTls) {
                conf << " streamDriver.name=\"" << m_Tls.strDriver
                     << "\" streamDriver.mode=\"1\" streamDriver.authMode=\""
                     << (m_Tls.bClientCert ? "x509/certvalid" : "anon") << "\"";
            }
            conf << ")\ninput(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << m_nPort
                 << "\" ruleset=\"r\")\n";
        } else {
            conf << "module(load=\"imrelp\")\n"
                    "input(type=\"imrelp\" address=\"127.0.0.1\" port=\""
                 << m_nPort << "\" ruleset=\"r\"";
            if (m_bTls) {
                // imrelp asks a client for its certificate when it has a CA.
                conf << " tls=\"on\" tls.myCert=\"" << m_Tls.strCert << "\" tls.myPrivKey=\""
                     << m_Tls.strKey << "\"";
                if (m_Tls.bClientCert) {
                    conf << " tls.caCert=\"" << m_Tls.strCa << "\" tls.authMode=\"certvalid\"";
                }
            }
            conf << ")\n";
        }
        // The messages go through no queue: what rsyslog took is written, and
        // a stop drops no queue (relp: the answer 200 means written, rsyslog
        // answers once its ruleset has the message). A real collector keeps
        // its queue across a stop instead (queue.saveOnShutdown).
        conf << "template(name=\"t\" type=\"string\" string=\"%hostname%|%app-name%|%procid%|"
                "%msgid%|%structured-data%|%msg%\\n\")\n"
                "ruleset(name=\"r\" queue.type=\"Direct\") { action(type=\"omfile\" file=\""
             << strOut << "\" template=\"t\") }\n";
    }
    (void)WriteFile(m_strDir + "/collector.conf", conf.str());
}

bool CCollector::Start() {
    if (m_nPid > 0) return true;
    std::vector<std::string> vArgs;
    std::string strLibs;
    if (m_eKind == ECollector::kSyslogNg) {
        std::string strBinary, strModules;
        SyslogNgPaths(&strBinary, &strModules, &strLibs);
        vArgs = {strBinary,  "-F",
                 "-f",       m_strDir + "/collector.conf",
                 "-R",       m_strDir + "/persist",
                 "-p",       m_strDir + "/syslog-ng.pid",
                 "-c",       m_strDir + "/syslog-ng.ctl",
                 "--no-caps"};
        if (!strModules.empty()) vArgs.push_back("--module-path=" + strModules);
    } else {
        vArgs = {
            kRsyslogd, "-n", "-f", m_strDir + "/collector.conf", "-i", m_strDir + "/rsyslogd.pid"};
    }
    const std::string strLog = m_strDir + "/collector.stderr";
    const pid_t nPid = fork();
    if (nPid == 0) {
        const int nOut = open(strLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int nNull = open("/dev/null", O_RDONLY);
        if (nOut < 0 || nNull < 0 || dup2(nNull, 0) < 0 || dup2(nOut, 1) < 0 || dup2(nOut, 2) < 0) {
            _exit(127);
        }
        if (!strLibs.empty()) setenv("LD_LIBRARY_PATH", strLibs.c_str(), 1);
        std::vector<char*> vArgv;
        for (const std::string& s : vArgs) vArgv.push_back(const_cast<char*>(s.c_str()));
        vArgv.push_back(nullptr);
        execv(vArgv[0], vArgv.data());
        _exit(127);
    }
    if (nPid < 0) return false;
    m_nPid = nPid;
    const bool bUp = PollUntil(
        [&] {
            int nStatus = 0;
            if (waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid) {
                m_nPid = 0;
                return true;  // ended: reported below
            }
            return TcpListening(m_nPort);
        },
        std::chrono::seconds(60));
    return bUp && m_nPid > 0;
}

bool CCollector::Stop(int nSignal) {
    if (m_nPid <= 0) return true;
    (void)kill(m_nPid, nSignal);
    int nStatus = 0;
    const bool bEnded = PollUntil([&] { return waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid; },
                                  std::chrono::seconds(60));
    if (!bEnded) {
        (void)kill(m_nPid, SIGKILL);
        (void)waitpid(m_nPid, &nStatus, 0);
    }
    m_nPid = 0;
    // A stopped server's port must be free again before a restart can bind it.
    (void)PollUntil([&] { return !TcpListening(m_nPort); }, std::chrono::seconds(30));
    return bEnded;
}

std::vector<std::string> CCollector::Lines() const {
    std::vector<std::string> vLines;
    const std::string strText = ReadFile(m_strDir + "/out.log");
    size_t nAt = 0;
    for (;;) {
        const size_t nEnd = strText.find('\n', nAt);
        if (nEnd == std::string::npos) break;
        vLines.push_back(strText.substr(nAt, nEnd - nAt));
        nAt = nEnd + 1;
    }
    return vLines;
}

std::map<uint64_t, int> CCollector::SeqCounts() const {
    std::map<uint64_t, int> mCounts;
    for (const std::string& strLine : Lines()) {
        const uint64_t nSeq = SeqOf(m_eKind, strLine);
        if (nSeq != 0) ++mCounts[nSeq];
    }
    return mCounts;
}

std::string CCollector::Log() const { return ReadFile(m_strDir + "/collector.stderr"); }

}  // namespace zqtest
