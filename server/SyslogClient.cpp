#include "server/SyslogClient.h"

#include <netdb.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t kMaxPrioPrefix = 191;  // local7.debug
constexpr uint32_t kMaxRfc5424Tag = 48;   // APP-NAME
constexpr size_t kMaxRfc5424Host = 255;   // HOSTNAME
constexpr const char* kNil = "-";         // NILVALUE
constexpr const char* kUdpService = "syslog";
constexpr const char* kTcpService = "syslog-conn";
constexpr const char* kSystemdRunDir = "/run/systemd/system";
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Printf(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* pFormat, ...) {
    char sz[512];
    va_list args;
    va_start(args, pFormat);
    const int n = std::vsnprintf(sz, sizeof(sz), pFormat, args);
    va_end(args);
    const size_t nLen = n < 0 ? 0 : static_cast<size_t>(n);
    return std::string(sz, nLen < sizeof(sz) ? nLen : sizeof(sz) - 1);
}

// The login name, or the name of the effective user, as logger takes its tag.
std::string LoginName() {
    const char* p = getlogin();
    if (p != nullptr && *p != '\0') return p;
    const passwd* pPw = getpwuid(geteuid());
    return pPw != nullptr ? pPw->pw_name : "<someone>";
}

// The host name; empty when there is none.
std::string HostName() {
    char sz[HOST_NAME_MAX + 1] = {};
    if (gethostname(sz, sizeof(sz) - 1) != 0) return "";
    return sz;
}

// "Mmm dd hh:mm:ss" of now (RFC 3164: the day padded with a space).
std::string Rfc3164Time() {
    timeval tv{};
    (void)gettimeofday(&tv, nullptr);  // cannot fail with a valid pointer
    tm stTime{};
    if (localtime_r(&tv.tv_sec, &stTime) == nullptr) return "";
    return Printf("%s %2d %2.2d:%2.2d:%2.2d", kMonths[stTime.tm_mon], stTime.tm_mday,
                  stTime.tm_hour, stTime.tm_min, stTime.tm_sec);
}

// RFC 3339 with microseconds and the UTC offset as +hh:mm; empty when the
// local time is not known.
std::string Rfc5424Time() {
    timeval tv{};
    (void)gettimeofday(&tv, nullptr);
    tm stTime{};
    if (localtime_r(&tv.tv_sec, &stTime) == nullptr) return "";
    char szDate[32];
    char szZone[8];
    if (strftime(szDate, sizeof(szDate), "%Y-%m-%dT%H:%M:%S", &stTime) == 0 ||
        strftime(szZone, sizeof(szZone), "%z", &stTime) != 5) {
        return "";
    }
    return Printf("%s.%06ld%.3s:%s", szDate, static_cast<long>(tv.tv_usec), szZone, szZone + 3);
}

}  // namespace

std::string JoinSd(const std::vector<SdElement>& vSd) {
    std::string strOut;
    for (const SdElement& stElement : vSd) {
        if (stElement.vParams.empty()) continue;
        strOut += '[' + stElement.strId;
        for (const std::string& strParam : stElement.vParams) strOut += ' ' + strParam;
        strOut += ']';
    }
    return strOut;
}

bool ReadPrioPrefix(const char* p, size_t n, uint32_t* pPri, size_t* pLen) {
    if (n == 0 || p[0] != '<') return false;
    size_t i = 1;
    uint32_t nPri = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9' && nPri <= kMaxPrioPrefix) {
        nPri = nPri * 10 + static_cast<uint32_t>(p[i] - '0');
        ++i;
    }
    if (i == n || p[i] != '>' || nPri > kMaxPrioPrefix) return false;
    *pPri = nPri < 8 ? nPri | kLoggerFacilityUser * 8 : nPri;  // kern is not for programs
    *pLen = i + 1;
    return true;
}

bool AutoSocketErrors(bool bNoAct, bool bStderr) {
    struct stat st {};
    return bNoAct || bStderr || (stat(kSystemdRunDir, &st) == 0 && S_ISDIR(st.st_mode));
}

CSyslogClient::CSyslogClient(const SyslogClientConfig& stConfig)
    : m_Config(stConfig), m_nPri(stConfig.nPri) {}

bool CSyslogClient::Open() {
    if (!Connect() && !m_bOk) return false;
    m_strTag = m_Config.pTag != nullptr ? m_Config.pTag : LoginName();
    const EWireFormat eFormat = m_Config.bFormatSet           ? m_Config.eFormat
                                : m_Config.pServer != nullptr ? EWireFormat::kRfc5424
                                                              : EWireFormat::kLocal;
    if (eFormat == EWireFormat::kRfc5424) {
        if (m_Config.bHost && HostName().size() > kMaxRfc5424Host) {
            std::fprintf(stderr, "zqlog: hostname '%s' is too long\n", HostName().c_str());
            return false;
        }
        if (m_strTag.size() > kMaxRfc5424Tag) {
            std::fprintf(stderr, "zqlog: tag '%s' is too long\n", m_strTag.c_str());
            return false;
        }
    }
    MakeHeader();
    return true;
}

bool CSyslogClient::Connect() {
    m_Fd.Reset();
    return m_Config.pServer != nullptr ? ConnectInet() : ConnectUnix();
}

// Each type asked for in turn, datagrams first; the first address of the name.
bool CSyslogClient::ConnectInet() {
    const char* pService = m_Config.pPort;
    for (const uint32_t nType : {kSocketUdp, kSocketTcp}) {
        if ((m_Config.nTypes & nType) == 0) continue;
        if (m_Config.pPort == nullptr) pService = nType == kSocketUdp ? kUdpService : kTcpService;
        addrinfo stHints{};
        stHints.ai_family = AF_UNSPEC;
        stHints.ai_socktype = nType == kSocketUdp ? SOCK_DGRAM : SOCK_STREAM;
        addrinfo* pFound = nullptr;
        const int nErr = getaddrinfo(m_Config.pServer, pService, &stHints, &pFound);
        if (nErr != 0) {
            std::fprintf(stderr, "zqlog: failed to resolve name %s port %s: %s\n", m_Config.pServer,
                         pService, gai_strerror(nErr));
            m_bOk = false;
            return false;
        }
        CUniqueFd fd(
            socket(pFound->ai_family, pFound->ai_socktype | SOCK_CLOEXEC, pFound->ai_protocol));
        const bool bConnected =
            fd.Valid() && connect(fd.Get(), pFound->ai_addr, pFound->ai_addrlen) == 0;
        freeaddrinfo(pFound);
        if (bConnected) {
            m_Fd = std::move(fd);
            m_nType = nType;
            return true;
        }
    }
    std::fprintf(stderr, "zqlog: failed to connect to %s port %s\n", m_Config.pServer,
                 pService != nullptr ? pService : "");
    m_bOk = false;
    return false;
}

// A datagram socket first, then a stream one. When neither connects, that is
// said (and the run fails) only when the socket's errors are wanted;
// otherwise each message tries again and is lost quietly, as logger does.
bool CSyslogClient::ConnectUnix() {
    sockaddr_un stAddr{};
    if (std::strlen(m_Config.pSocket) >= sizeof(stAddr.sun_path)) {
        std::fprintf(stderr, "zqlog: openlog %s: pathname too long\n", m_Config.pSocket);
        m_bOk = false;
        return false;
    }
    stAddr.sun_family = AF_UNIX;
    std::strcpy(stAddr.sun_path, m_Config.pSocket);
    int nErr = 0;
    for (const uint32_t nType : {kSocketUdp, kSocketTcp}) {
        if ((m_Config.nTypes & nType) == 0) continue;
        CUniqueFd fd(
            socket(AF_UNIX, (nType == kSocketUdp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0));
        if (fd.Valid() &&
            connect(fd.Get(), reinterpret_cast<const sockaddr*>(&stAddr), sizeof(stAddr)) == 0) {
            m_Fd = std::move(fd);
            m_nType = nType;
            return true;
        }
        nErr = errno;
    }
    if (m_Config.bSocketErrors) {
        std::fprintf(stderr, "zqlog: socket %s: %s\n", m_Config.pSocket, std::strerror(nErr));
        m_bOk = false;
    }
    return false;
}

void CSyslogClient::MakeHeader() {
    const std::string strPid = m_Config.nPid != 0 ? Printf("%d", m_Config.nPid) : "";
    const EWireFormat eFormat = m_Config.bFormatSet           ? m_Config.eFormat
                                : m_Config.pServer != nullptr ? EWireFormat::kRfc5424
                                                              : EWireFormat::kLocal;
    const std::string strPidPart = strPid.empty() ? "" : "[" + strPid + "]";
    if (eFormat == EWireFormat::kLocal) {
        m_strHeader = Printf("<%u>", m_nPri) + Rfc3164Time() + " " + m_strTag + strPidPart + ": ";
        return;
    }
    std::string strHost = HostName();
    if (eFormat == EWireFormat::kRfc3164) {
        strHost = strHost.substr(0, strHost.find('.'));
        m_strHeader =
            Printf("<%u>%.15s %s %.200s%s: ", m_nPri, Rfc3164Time().c_str(),
                   strHost.empty() ? kNil : strHost.c_str(), m_strTag.c_str(), strPidPart.c_str());
        return;
    }
    bool bUserTimeQuality = false;
    for (const SdElement& stElement : m_Config.vSd) {
        bUserTimeQuality = bUserTimeQuality || stElement.strId == "timeQuality";
    }
    if (m_Config.bTime && m_Config.bTimeQuality && !bUserTimeQuality && m_strTimeQuality.empty()) {
        ntptimeval stNtp{};
        m_strTimeQuality = ntp_gettime(&stNtp) == TIME_OK
                               ? Printf(
                                     "[timeQuality tzKnown=\"1\" isSynced=\"1\" "
                                     "syncAccuracy=\"%ld\"]",
                                     static_cast<long>(stNtp.maxerror))
                               : "[timeQuality tzKnown=\"1\" isSynced=\"0\"]";
    }
    const std::string strSd = m_strTimeQuality + JoinSd(m_Config.vSd);
    const std::string strTime = m_Config.bTime ? Rfc5424Time() : kNil;
    m_strHeader = Printf("<%u>1 ", m_nPri) + strTime + " " +
                  (m_Config.bHost && !strHost.empty() ? strHost : kNil) + " " + m_strTag + " " +
                  (strPid.empty() ? kNil : strPid) + " " +
                  (m_Config.pMsgId != nullptr ? m_Config.pMsgId : kNil) + " " +
                  (strSd.empty() ? kNil : strSd) + " ";
}

void CSyslogClient::Write(const char* pMsg) {
    if (!m_Config.bNoAct && !m_Fd.Valid()) (void)Connect();
    const size_t nMsgLen = std::strlen(pMsg);
    const std::string strCount =
        m_Config.bOctetCount ? Printf("%zu ", m_strHeader.size() + nMsgLen) : "";
    iovec aIov[4];
    int nIov = 0;
    if (!strCount.empty()) aIov[nIov++] = {const_cast<char*>(strCount.data()), strCount.size()};
    aIov[nIov++] = {const_cast<char*>(m_strHeader.data()), m_strHeader.size()};
    aIov[nIov++] = {const_cast<char*>(pMsg), nMsgLen};
    static char szLineFeed[] = "\n";
    if (!m_Config.bNoAct && m_Fd.Valid()) {
        if (m_nType == kSocketTcp && !m_Config.bOctetCount) aIov[nIov++] = {szLineFeed, 1};
        msghdr stMsg{};
        stMsg.msg_iov = aIov;
        stMsg.msg_iovlen = static_cast<size_t>(nIov);
        // Local syslog daemons take the pid from the sender's credentials:
        // root may give them the one --id names, of a process that exists.
        union {
            cmsghdr stHeader;
            char aControl[CMSG_SPACE(sizeof(ucred))];
        } uControl{};
        if (m_Config.nPid != 0 && m_Config.pServer == nullptr && m_Config.nPid != getpid() &&
            geteuid() == 0 && kill(m_Config.nPid, 0) == 0) {
            stMsg.msg_control = uControl.aControl;
            stMsg.msg_controllen = sizeof(uControl.aControl);
            cmsghdr* pHeader = CMSG_FIRSTHDR(&stMsg);
            pHeader->cmsg_len = CMSG_LEN(sizeof(ucred));
            pHeader->cmsg_level = SOL_SOCKET;
            pHeader->cmsg_type = SCM_CREDENTIALS;
            ucred stCred{m_Config.nPid, getuid(), getgid()};
            std::memcpy(CMSG_DATA(pHeader), &stCred, sizeof(stCred));
        }
        // A server that went away (a restarted syslog daemon) gets one new
        // connection before the message is given up.
        if (sendmsg(m_Fd.Get(), &stMsg, MSG_NOSIGNAL) < 0) {
            if (Connect() && sendmsg(m_Fd.Get(), &stMsg, MSG_NOSIGNAL) >= 0) {
                // sent on the new connection
            } else if (m_bOk) {
                std::fprintf(stderr, "zqlog: send message failed: %s\n", std::strerror(errno));
            }
        }
    }
    if (m_Config.bStderr) {
        // Ended by a line feed unless the last piece starts with one (logger's test).
        if (*static_cast<const char*>(aIov[nIov - 1].iov_base) != '\n') {
            aIov[nIov++] = {szLineFeed, 1};
        }
        // A copy for the user: nothing to do when it is lost.
        if (writev(STDERR_FILENO, aIov, nIov) < 0) return;
    }
}

void CSyslogClient::LogArgs(int argc, char** argv) {
    const size_t nMax = m_Config.nMaxSize;
    std::string strBuf;
    for (int i = 0; i < argc; ++i) {
        const size_t nLen = std::strlen(argv[i]);
        if (!strBuf.empty() && strBuf.size() + nLen > nMax - 1) {
            Write(strBuf.c_str());
            strBuf.clear();
        }
        if (nLen > nMax) {
            Write(std::string(argv[i], nMax).c_str());
            continue;
        }
        if (!strBuf.empty()) strBuf += ' ';
        strBuf.append(argv[i], nLen);
    }
    if (!strBuf.empty()) Write(strBuf.c_str());
}

// Character by character as logger 2.38 reads: a line longer than -S is sent
// in pieces of that size, each with a new header (its time); with
// --prio-prefix a piece that begins with "<N>" has that priority, and so
// has every later one until the next such prefix; a '<' that begins none is
// text, at the priority of -p.
void CSyslogClient::LogStream(FILE* pIn) {
    const uint32_t nDefaultPri = m_nPri;
    const size_t nRoom = m_Config.nMaxSize;
    std::string strBuf;
    int c = std::getc(pIn);
    while (c != EOF) {
        strBuf.clear();
        if (m_Config.bPrioPrefix && c == '<') {
            // Digits while the number stays at most 191, then one more byte.
            std::string strPrefix(1, '<');
            uint32_t nPri = 0;
            while ((c = std::getc(pIn)) != EOF && c >= '0' && c <= '9' && nPri <= kMaxPrioPrefix) {
                strPrefix += static_cast<char>(c);
                nPri = nPri * 10 + static_cast<uint32_t>(c - '0');
            }
            if (c != EOF && c != '\n') strPrefix += static_cast<char>(c);
            size_t nPrefixLen = 0;
            if (!ReadPrioPrefix(strPrefix.data(), strPrefix.size(), &m_nPri, &nPrefixLen)) {
                strBuf = strPrefix;  // not a prefix: the line's text
                m_nPri = nDefaultPri;
            }
            if (c != EOF && c != '\n') c = std::getc(pIn);
        }
        while (c != EOF && c != '\n' && strBuf.size() < nRoom) {
            strBuf += static_cast<char>(c);
            c = std::getc(pIn);
        }
        if (!strBuf.empty() || !m_Config.bSkipEmpty) {
            MakeHeader();
            Write(strBuf.c_str());
        }
        if (c == '\n') c = std::getc(pIn);
    }
}
