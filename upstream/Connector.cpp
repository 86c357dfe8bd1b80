#include "upstream/Connector.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

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

// The state a lookup thread shares with the connector: the thread fills it
// and writes one byte to the pipe; whoever lets go last frees it.
struct CConnector::Lookup {
    // What is looked up: written before the thread starts, then only read.
    char szHost[kHostBytes] = {};
    char szPort[8] = {};  // "65535"
    uint16_t nPort = 0;
    std::mutex lock;
    bool bDone = false;                // guarded by lock
    int nResult = 0;                   // getaddrinfo's, guarded by lock
    struct addrinfo* pList = nullptr;  // guarded by lock; taken by the connector
    CUniqueFd readEnd;                 // polled by the connector
    CUniqueFd writeEnd;                // written by the thread, once
    ~Lookup() {
        if (pList != nullptr) freeaddrinfo(pList);
    }
};

namespace {

// The first address from p on whose family is nFamily (bSame), or is not.
const struct addrinfo* SkipTo(const struct addrinfo* p, int nFamily, bool bSame) {
    while (p != nullptr && (p->ai_family == nFamily) != bSame) p = p->ai_next;
    return p;
}

}  // namespace

void CAddressOrder::Reset(const struct addrinfo* pList) {
    m_nFamily = pList != nullptr ? pList->ai_family : 0;
    m_pFirst = pList;
    m_pOther = SkipTo(pList, m_nFamily, false);
    m_bOtherTurn = false;
}

const struct addrinfo* CAddressOrder::Next() {
    const bool bOther = m_pFirst == nullptr || (m_bOtherTurn && m_pOther != nullptr);
    const struct addrinfo*& rpNext = bOther ? m_pOther : m_pFirst;
    const struct addrinfo* pAddr = rpNext;
    if (pAddr == nullptr) return nullptr;
    rpNext = SkipTo(pAddr->ai_next, m_nFamily, !bOther);
    m_bOtherTurn = !bOther;
    return pAddr;
}

CConnector::CConnector()
    : m_bResolving(false),
      m_llResolveDeadlineMs(0),
      m_pAddrs(nullptr),
      m_aAttempts{},
      m_nAttempts(0),
      m_llNextStartMs(0),
      m_nPort(0),
      m_szHost{},
      m_szError{} {}

// A lookup still running keeps its state through its own reference.
CConnector::~CConnector() { CloseAll(); }

bool CConnector::LookupDone() const {
    std::lock_guard<std::mutex> guard(m_pLookup->lock);
    return m_pLookup->bDone;
}

void CConnector::CloseAttempt(uint32_t nAt) {
    m_aAttempts[nAt].socket.Reset();
    if (nAt != --m_nAttempts) m_aAttempts[nAt] = std::move(m_aAttempts[m_nAttempts]);
}

// Every attempt and the addresses; the lookup stays.
void CConnector::CloseAll() {
    while (m_nAttempts > 0) CloseAttempt(m_nAttempts - 1);
    m_Order.Reset(nullptr);
    if (m_pAddrs != nullptr) freeaddrinfo(m_pAddrs);
    m_pAddrs = nullptr;
    m_bResolving = false;
}

void CConnector::Cancel() {
    CloseAll();
    // An answer nobody waits for is let go; a lookup still running is kept,
    // so that the next Start waits for it instead of starting another.
    if (m_pLookup && LookupDone()) m_pLookup.reset();
}

// Formats aside first: the arguments may be m_szError itself.
int32_t CConnector::Fail(const char* pFormat, ...) {
    char szReason[sizeof(m_szError)];
    va_list ap;
    va_start(ap, pFormat);
    (void)std::vsnprintf(szReason, sizeof(szReason), pFormat, ap);
    va_end(ap);
    (void)std::snprintf(m_szError, sizeof(m_szError), "%s", szReason);
    CloseAll();
    return kConnFailed;
}

uint32_t CConnector::FillPoll(struct pollfd* pPoll) const {
    if (m_bResolving) {
        pPoll[0] = {m_pLookup->readEnd.Get(), POLLIN, 0};
        return 1;
    }
    for (uint32_t n = 0; n < m_nAttempts; ++n) {
        pPoll[n] = {m_aAttempts[n].socket.Get(), POLLOUT, 0};
    }
    return m_nAttempts;
}

int64_t CConnector::DeadlineMs() const {
    if (m_bResolving) return m_llResolveDeadlineMs;
    int64_t llAt = INT64_MAX;
    for (uint32_t n = 0; n < m_nAttempts; ++n) llAt = std::min(llAt, m_aAttempts[n].llDeadlineMs);
    if (!m_Order.Empty() && m_nAttempts < kMaxPollFds) llAt = std::min(llAt, m_llNextStartMs);
    return llAt;
}

int32_t CConnector::Start(const char* pHost, uint16_t nPort, int64_t llNowMs) {
    CloseAll();
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
        if (m_pLookup && LookupDone()) m_pLookup.reset();  // an answer for an earlier name
        m_Order.Reset(m_pAddrs);
        m_llNextStartMs = llNowMs;
        return Advance(llNowMs);
    }
    m_pAddrs = nullptr;
    m_llResolveDeadlineMs = llNowMs + kResolveTimeoutMs;
    if (m_pLookup) {
        // Still running, or its answer not taken yet: Advance takes it for
        // this name, or waits for it to end before looking this one up.
        m_bResolving = true;
        return Advance(llNowMs);
    }
    return StartLookup();
}

int32_t CConnector::StartLookup() {
    try {
        auto pLookup = std::make_shared<Lookup>();
        (void)std::snprintf(pLookup->szHost, sizeof(pLookup->szHost), "%s", m_szHost);
        (void)std::snprintf(pLookup->szPort, sizeof(pLookup->szPort), "%u", m_nPort);
        pLookup->nPort = m_nPort;
        int aPipe[2];
        if (pipe2(aPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            return Fail("cannot resolve %s: pipe: %s", m_szHost, std::strerror(errno));
        }
        pLookup->readEnd.Reset(aPipe[0]);
        pLookup->writeEnd.Reset(aPipe[1]);
        std::thread([pLookup] {
            struct addrinfo stHints {};
            stHints.ai_family = AF_UNSPEC;
            stHints.ai_socktype = SOCK_STREAM;
            stHints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
            struct addrinfo* pList = nullptr;
            const int nResult = getaddrinfo(pLookup->szHost, pLookup->szPort, &stHints, &pList);
            std::lock_guard<std::mutex> guard(pLookup->lock);
            pLookup->bDone = true;
            pLookup->nResult = nResult;
            pLookup->pList = nResult == 0 ? pList : nullptr;
            const char cDone = 1;
            // The pipe is empty and ours alone: the byte fits. A connector
            // that let go of the lookup no longer looks at it.
            (void)!write(pLookup->writeEnd.Get(), &cDone, 1);
        }).detach();
        m_pLookup = pLookup;
    } catch (...) {  // no memory, or no thread to be had
        return Fail("cannot resolve %s: no thread for the resolver", m_szHost);
    }
    m_bResolving = true;
    return kConnPending;
}

void CConnector::StartAttempt(const struct addrinfo* pAddr, int64_t llNowMs) {
    // A failure here lets the next address go at once; a start, after
    // kAttemptDelayMs.
    m_llNextStartMs = llNowMs;
    CUniqueFd socket(::socket(pAddr->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.Valid()) {
        (void)std::snprintf(m_szError, sizeof(m_szError), "socket: %s", std::strerror(errno));
        return;
    }
    SetSocketOptions(socket.Get());
    if (connect(socket.Get(), pAddr->ai_addr, pAddr->ai_addrlen) != 0 && errno != EINPROGRESS) {
        // Refused or unreachable at once (a local port, no route).
        (void)std::snprintf(m_szError, sizeof(m_szError), "connect: %s", std::strerror(errno));
        return;
    }
    // Connected at once too: the poll says so.
    m_aAttempts[m_nAttempts++] = {std::move(socket), llNowMs + kConnectTimeoutMs};
    m_llNextStartMs = llNowMs + kAttemptDelayMs;
}

// What follows from the time: the lookup's answer, attempts that time out,
// new attempts.
int32_t CConnector::Advance(int64_t llNowMs) {
    if (m_bResolving) {
        std::unique_lock<std::mutex> guard(m_pLookup->lock);
        if (!m_pLookup->bDone) {
            guard.unlock();
            if (llNowMs < m_llResolveDeadlineMs) return kConnPending;
            // The lookup goes on; the next Start waits for it again.
            return Fail("cannot resolve %s: no answer from the resolver", m_szHost);
        }
        const bool bOurs =
            std::strcmp(m_pLookup->szHost, m_szHost) == 0 && m_pLookup->nPort == m_nPort;
        const int nResult = m_pLookup->nResult;
        if (bOurs) {
            m_pAddrs = m_pLookup->pList;
            m_pLookup->pList = nullptr;
        }
        guard.unlock();
        m_pLookup.reset();
        // An earlier name's lookup has ended: this one's may begin.
        if (!bOurs) return StartLookup();
        m_bResolving = false;
        if (nResult != 0) return Fail("cannot resolve %s: %s", m_szHost, gai_strerror(nResult));
        m_Order.Reset(m_pAddrs);
        m_llNextStartMs = llNowMs;
    }
    for (uint32_t n = 0; n < m_nAttempts;) {
        if (llNowMs < m_aAttempts[n].llDeadlineMs) {
            ++n;
            continue;
        }
        (void)std::snprintf(m_szError, sizeof(m_szError), "connect: timed out");
        CloseAttempt(n);
        m_llNextStartMs = llNowMs;
    }
    while (m_nAttempts < kMaxPollFds && llNowMs >= m_llNextStartMs) {
        const struct addrinfo* pAddr = m_Order.Next();
        if (pAddr == nullptr) break;
        StartAttempt(pAddr, llNowMs);
    }
    if (m_nAttempts > 0) return kConnPending;
    return Fail("cannot connect to %s port %u: %s", m_szHost, m_nPort,
                m_szError[0] != '\0' ? m_szError : "no address");
}

int32_t CConnector::Step(const struct pollfd* pPoll, uint32_t nCount, int64_t llNowMs,
                         CUniqueFd* pSocket) {
    if (!m_bResolving && m_nAttempts == 0) {
        return Fail("cannot connect to %s: no attempt running", m_szHost);
    }
    // The sockets' answers first, before any new socket could take the
    // number of one closed here.
    for (uint32_t nAt = 0; !m_bResolving && nAt < nCount; ++nAt) {
        if (pPoll[nAt].revents == 0) continue;
        uint32_t n = 0;
        while (n < m_nAttempts && m_aAttempts[n].socket.Get() != pPoll[nAt].fd) ++n;
        if (n == m_nAttempts) continue;
        int nErr = 0;
        socklen_t nLen = sizeof(nErr);
        if (getsockopt(m_aAttempts[n].socket.Get(), SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0) {
            nErr = errno;
        }
        if (nErr == 0) {
            *pSocket = std::move(m_aAttempts[n].socket);
            CloseAll();  // the others lost
            m_szError[0] = '\0';
            return kConnDone;
        }
        // Refused, unreachable: the next address goes at once.
        (void)std::snprintf(m_szError, sizeof(m_szError), "connect: %s", std::strerror(nErr));
        CloseAttempt(n);
        m_llNextStartMs = llNowMs;
    }
    return Advance(llNowMs);
}
