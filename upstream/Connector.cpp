#include "upstream/Connector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr int kSendBufferBytes =
    256 * 1024;  // bounds what the kernel holds unacknowledged (< the queue)
constexpr int kKeepIdleS = 60;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 30000;  // unacknowledged data this long: the peer is gone

void SetSocketOptions(int nSocket) {
    const int nOne = 1;
    // Each option only tunes the connection; one the kernel refuses changes
    // how soon a dead peer is noticed, nothing else.
    (void)setsockopt(nSocket, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
    (void)setsockopt(nSocket, SOL_SOCKET, SO_KEEPALIVE, &nOne, sizeof(nOne));
    (void)setsockopt(nSocket, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof(kKeepIdleS));
    (void)setsockopt(nSocket, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof(kKeepIntervalS));
    (void)setsockopt(nSocket, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof(kKeepCount));
    (void)setsockopt(nSocket, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs,
                     sizeof(kUserTimeoutMs));
    (void)setsockopt(nSocket, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof(kSendBufferBytes));
}

}  // namespace

// The state a resolver thread shares with the connector: the thread fills it
// and writes one byte to the pipe; whoever lets go last frees it.
struct CConnector::Resolution {
    std::mutex lock;
    bool bDone = false;                // guarded by lock
    int nResult = 0;                   // getaddrinfo's, guarded by lock
    struct addrinfo* pList = nullptr;  // guarded by lock; taken by the connector
    int aPipe[2] = {-1, -1};           // [0] polled by the connector, [1] written by the thread
    ~Resolution() {
        if (pList != nullptr) freeaddrinfo(pList);
        for (int nFd : aPipe) {
            if (nFd >= 0) (void)close(nFd);
        }
    }
};

CConnector::CConnector()
    : m_pAddrs(nullptr),
      m_pNextAddr(nullptr),
      m_nSocket(-1),
      m_nPort(0),
      m_llDeadlineMs(0),
      m_szHost{},
      m_szError{} {}

CConnector::~CConnector() { Cancel(); }

void CConnector::Cancel() {
    m_pResolution.reset();
    if (m_pAddrs != nullptr) freeaddrinfo(m_pAddrs);
    m_pAddrs = nullptr;
    m_pNextAddr = nullptr;
    if (m_nSocket >= 0) (void)close(m_nSocket);  // never connected: nothing to flush
    m_nSocket = -1;
}

int32_t CConnector::Fail(const char* pFormat, ...) {
    va_list ap;
    va_start(ap, pFormat);
    (void)std::vsnprintf(m_szError, sizeof(m_szError), pFormat, ap);
    va_end(ap);
    Cancel();
    return kConnFailed;
}

int CConnector::Fd() const {
    if (m_pResolution) return m_pResolution->aPipe[0];
    return m_nSocket;
}

short CConnector::Events() const { return m_pResolution ? POLLIN : POLLOUT; }

int32_t CConnector::Start(const char* pHost, uint16_t nPort, int64_t llNowMs) {
    Cancel();
    m_szError[0] = '\0';
    m_nPort = nPort;
    (void)std::snprintf(m_szHost, sizeof(m_szHost), "%s", pHost);
    char szPort[8];
    (void)std::snprintf(szPort, sizeof(szPort), "%u", nPort);
    struct addrinfo stHints {};
    stHints.ai_family = AF_UNSPEC;
    stHints.ai_socktype = SOCK_STREAM;
    stHints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    // An address needs no resolver.
    if (getaddrinfo(pHost, szPort, &stHints, &m_pAddrs) == 0) {
        m_pNextAddr = m_pAddrs;
        return TryNextAddress(llNowMs);
    }
    m_pAddrs = nullptr;
    auto pResolution = std::make_shared<Resolution>();
    if (pipe2(pResolution->aPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return Fail("cannot resolve %s: pipe: %s", pHost, std::strerror(errno));
    }
    const std::string strHost(pHost);
    const std::string strPort(szPort);
    try {
        std::thread([pResolution, strHost, strPort] {
            struct addrinfo stHints2 {};
            stHints2.ai_family = AF_UNSPEC;
            stHints2.ai_socktype = SOCK_STREAM;
            stHints2.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
            struct addrinfo* pList = nullptr;
            const int nResult = getaddrinfo(strHost.c_str(), strPort.c_str(), &stHints2, &pList);
            std::lock_guard<std::mutex> guard(pResolution->lock);
            pResolution->bDone = true;
            pResolution->nResult = nResult;
            pResolution->pList = nResult == 0 ? pList : nullptr;
            const char cDone = 1;
            // The pipe is empty and ours alone: the byte fits. A connector that
            // gave up no longer looks at it.
            (void)!write(pResolution->aPipe[1], &cDone, 1);
        }).detach();
    } catch (...) {  // no thread to be had
        return Fail("cannot resolve %s: no thread for the resolver", pHost);
    }
    m_pResolution = pResolution;
    m_llDeadlineMs = llNowMs + kResolveTimeoutMs;
    return kConnPending;
}

int32_t CConnector::TryNextAddress(int64_t llNowMs) {
    while (m_pNextAddr != nullptr) {
        struct addrinfo* pAddr = m_pNextAddr;
        m_pNextAddr = pAddr->ai_next;
        m_nSocket = socket(pAddr->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_nSocket < 0) {
            (void)std::snprintf(m_szError, sizeof(m_szError), "socket: %s", std::strerror(errno));
            continue;
        }
        SetSocketOptions(m_nSocket);
        if (connect(m_nSocket, pAddr->ai_addr, pAddr->ai_addrlen) == 0 || errno == EINPROGRESS) {
            m_llDeadlineMs = llNowMs + kConnectTimeoutMs;
            return kConnPending;
        }
        (void)std::snprintf(m_szError, sizeof(m_szError), "connect: %s", std::strerror(errno));
        (void)close(m_nSocket);
        m_nSocket = -1;
    }
    char szLast[sizeof(m_szError)];
    (void)std::snprintf(szLast, sizeof(szLast), "%s", m_szError);
    return Fail("cannot connect to %s port %u: %s", m_szHost, m_nPort,
                szLast[0] != '\0' ? szLast : "no address");
}

int32_t CConnector::Step(short nRevents, int64_t llNowMs, int* pSocket) {
    if (m_pResolution) {
        std::unique_lock<std::mutex> guard(m_pResolution->lock);
        if (!m_pResolution->bDone) {
            guard.unlock();
            if (llNowMs >= m_llDeadlineMs) {
                return Fail("cannot resolve %s: no answer from the resolver", m_szHost);
            }
            return kConnPending;
        }
        const int nResult = m_pResolution->nResult;
        m_pAddrs = m_pResolution->pList;
        m_pResolution->pList = nullptr;
        guard.unlock();
        m_pResolution.reset();
        if (nResult != 0) return Fail("cannot resolve %s: %s", m_szHost, gai_strerror(nResult));
        m_pNextAddr = m_pAddrs;
        return TryNextAddress(llNowMs);
    }
    if (m_nSocket < 0) return Fail("cannot connect to %s: no attempt running", m_szHost);
    if (nRevents == 0) {
        if (llNowMs < m_llDeadlineMs) return kConnPending;
        (void)std::snprintf(m_szError, sizeof(m_szError), "connect: timed out");
    } else {
        int nErr = 0;
        socklen_t nLen = sizeof(nErr);
        if (getsockopt(m_nSocket, SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0) nErr = errno;
        if (nErr == 0) {
            *pSocket = m_nSocket;
            m_nSocket = -1;
            Cancel();
            return kConnDone;
        }
        (void)std::snprintf(m_szError, sizeof(m_szError), "connect: %s", std::strerror(nErr));
    }
    (void)close(m_nSocket);
    m_nSocket = -1;
    return TryNextAddress(llNowMs);
}
