#include "platform/UdpNetLayer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kNoLocalIp = 0xFFFFFFFFu;  // m_nLocalIp before any address is set
constexpr uint32_t kAnyIp = 0;                // bind to every local address
constexpr int kSockOptOn = 1;
// Asking for less than the kernel's minimum gets the minimum (a few KiB), which
// still takes one datagram of any size.
constexpr int kKernelRecvBufMin = 1;
constexpr size_t kIfConfBufSize = 1024;
constexpr uint64_t kMicrosPerMilli = 1000;

// Waits until the socket is ready for nEvents or nTimeOut microseconds pass.
// poll rather than select: an fd_set cannot hold a descriptor at or above
// FD_SETSIZE, and a client process with many open files can hand the endpoint
// such a descriptor. The time-out is rounded up to whole milliseconds so that a
// non-zero wait never becomes a bare check (at most 4294968 ms, fits an int).
int32_t WaitSocket(int nSocket, short nEvents, uint32_t nTimeOut) {
    const uint64_t nMillis = (nTimeOut + kMicrosPerMilli - 1) / kMicrosPerMilli;
    pollfd stPoll{};
    stPoll.fd = nSocket;
    stPoll.events = nEvents;
    const int nReady = poll(&stPoll, 1, static_cast<int>(nMillis));
    // An interrupted wait (EINTR) is a failure like any other; the callers
    // retry on their next pass.
    if (nReady < 0) return NET_ERR_SELECT;
    if (nReady == 0) return NET_ERR_TIMEOUT;
    // A descriptor that is not open is reported per descriptor by poll; select
    // failed as a whole for it.
    if ((stPoll.revents & POLLNVAL) != 0) return NET_ERR_SELECT;
    // POLLERR/POLLHUP fall through: the following recvfrom/sendto reports them.
    return 0;
}

}  // namespace

CUdpNetLayer::CUdpNetLayer(uint32_t nLocalIp, uint16_t nLocalPort, uint32_t nRecvBufSize,
                           NetUse eUse)
    : m_Socket(),
      m_nLocalIp(kNoLocalIp),
      m_nLocalPort(nLocalPort),
      m_stIfTable(),
      m_Lock(),
      m_pRecvBuf(nullptr),
      // Unsigned, so a "negative" size is capped as well.
      m_nRecvBufSize(nRecvBufSize < kNetMaxRecvBuf ? nRecvBufSize : kNetMaxRecvBuf),
      m_eUse(eUse),
      m_nBindResult(0),
      m_nBindErrno(0) {
    // Not cleared: a select-receive clears it before each wait. A null buffer
    // makes every later receive fail.
    m_pRecvBuf.reset(new (std::nothrow) uint8_t[m_nRecvBufSize]);
    EnumLocalIf(&m_stIfTable);  // always 0 for a non-null table
    // Failures are not reported here; they show in the results of later calls
    // and in GetBindResult.
    const int32_t nRet = SetLocalIp(nLocalIp);
    if (nRet == 0) UpdateLocalPort();
    if (nRet == NET_ERR_PARAM) m_nBindResult = NET_ERR_PARAM;  // ResetSocket never ran
}

CUdpNetLayer::CUdpNetLayer(CUniqueFd socket, uint32_t nRecvBufSize)
    : m_Socket(std::move(socket)),
      m_nLocalIp(kNoLocalIp),
      m_nLocalPort(0),
      m_stIfTable(),
      m_Lock(),
      m_pRecvBuf(nullptr),
      m_nRecvBufSize(nRecvBufSize < kNetMaxRecvBuf ? nRecvBufSize : kNetMaxRecvBuf),
      m_eUse(NetUse::kExclusive),
      m_nBindResult(0),
      m_nBindErrno(0) {
    m_pRecvBuf.reset(new (std::nothrow) uint8_t[m_nRecvBufSize]);
    EnumLocalIf(&m_stIfTable);  // always 0 for a non-null table
    sockaddr_in stAddr{};
    socklen_t nAddrLen = sizeof(stAddr);
    if (getsockname(m_Socket.Get(), reinterpret_cast<sockaddr*>(&stAddr), &nAddrLen) != 0 ||
        stAddr.sin_family != AF_INET) {
        m_nBindErrno = errno;
        m_nBindResult = NET_ERR_STATE;
        CloseSocket();
        return;
    }
    uint32_t nIp = 0;
    ParseSockAddr(&stAddr, &nIp, &m_nLocalPort);
    m_nLocalIp.store(nIp, std::memory_order_relaxed);
    // Construction only: no other thread can see the endpoint yet.
    SetKernelRecvBuf();
    // A daemon that stopped on this socket sealed it by connecting it to
    // itself (the socket outlives it in the service manager): disconnected,
    // it takes every sender's datagrams again. On a socket that was not
    // connected this does nothing; it cannot fail on a UDP socket.
    sockaddr stNone{};
    stNone.sa_family = AF_UNSPEC;
    (void)connect(m_Socket.Get(), &stNone, sizeof(stNone));
    // The endpoint's sockets are close-on-exec; a passed one may not be. Should
    // this fail it lives on in programs the process runs, which it runs none of.
    (void)fcntl(m_Socket.Get(), F_SETFD, FD_CLOEXEC);
}

CUdpNetLayer::~CUdpNetLayer() {
    CZQLockGuard guard(m_Lock);
    CloseSocket();
}

int32_t CUdpNetLayer::Recv(NetRecvParam* pParam) {
    if (pParam == nullptr) return NET_ERR_PARAM;
    // Set before anything can fail: callers may look at pBuf after a failure.
    pParam->pBuf = m_pRecvBuf.get();
    CZQLockGuard guard(m_Lock);
    if (pParam->bSelect != 0) {
        return SelectRecvFrom(m_pRecvBuf.get(), &pParam->nLen, &pParam->nIp, &pParam->nPort,
                              pParam->nTimeOut);
    }
    return RecvFrom(m_pRecvBuf.get(), &pParam->nLen, &pParam->nIp, &pParam->nPort);
}

int32_t CUdpNetLayer::Send(NetSendParam* pParam) {
    if (pParam == nullptr) return NET_ERR_PARAM;
    CZQLockGuard guard(m_Lock);
    if (pParam->bSelect != 0) {
        return SelectSendTo(pParam->pData, &pParam->nLen, pParam->nIp, pParam->nPort,
                            pParam->nTimeOut);
    }
    return SendTo(pParam->pData, &pParam->nLen, pParam->nIp, pParam->nPort);
}

int32_t CUdpNetLayer::SetLocalIp(uint32_t nIp) {
    // The current address (also the initial 0xFFFFFFFF) keeps the socket as it is.
    if (nIp == m_nLocalIp.load(std::memory_order_relaxed)) return 0;
    // 127.0.0.1 is accepted even when the loopback interface is not listed.
    bool bAccepted = nIp == kAnyIp || nIp == kLoopbackIp;
    // The table is filled during construction and read-only afterwards.
    for (int32_t i = 0; !bAccepted && i < m_stIfTable.nIfCount; ++i) {
        bAccepted = m_stIfTable.stIfEntry[i].nIp == nIp;
    }
    // A refused address leaves the old socket, address and port in place.
    if (!bAccepted) return NET_ERR_PARAM;
    return ResetSocket(nIp);
}

int32_t CUdpNetLayer::GetLocalIp(uint32_t* pIp) {
    if (pIp == nullptr) return NET_ERR_PARAM;
    *pIp = m_nLocalIp.load(std::memory_order_relaxed);
    return 0;
}

int32_t CUdpNetLayer::Connect(uint32_t nIp, uint16_t nPort) {
    CZQLockGuard guard(m_Lock);
    if (!m_Socket.Valid()) return NET_ERR_STATE;
    sockaddr_in stTo;
    FillSockAddr(nIp, nPort, &stTo);
    if (connect(m_Socket.Get(), reinterpret_cast<const sockaddr*>(&stTo), sizeof(stTo)) != 0) {
        return NET_ERR_SEND;
    }
    return 0;
}

int32_t CUdpNetLayer::TakeError() {
    CZQLockGuard guard(m_Lock);
    if (!m_Socket.Valid()) return NET_ERR_STATE;
    int nErr = 0;
    socklen_t nLen = sizeof(nErr);
    if (getsockopt(m_Socket.Get(), SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0) return NET_ERR_SEND;
    if (nErr == 0) return 0;
    return nErr == ECONNREFUSED ? NET_ERR_REFUSED : NET_ERR_SEND;
}

int32_t CUdpNetLayer::GetLocalPort(uint16_t* pPort) {
    if (pPort == nullptr) return NET_ERR_PARAM;
    // Port 0 that was never read back from a bind: the system has not chosen one.
    if (m_nLocalPort == 0) return NET_ERR_STATE;
    *pPort = m_nLocalPort;
    return 0;
}

int32_t CUdpNetLayer::ResetSocket(uint32_t nIp) {
    CZQLockGuard guard(m_Lock);
    // Stored under the lock, so that concurrent resets each bind the address
    // they stored. A failure below leaves the new address with no (bound) socket.
    m_nLocalIp.store(nIp, std::memory_order_relaxed);
    CloseSocket();  // always 0
    m_nBindResult = OpenAndBindLocked();
    m_nBindErrno = m_nBindResult == 0 ? 0 : errno;
    return m_nBindResult;
}

int32_t CUdpNetLayer::GetBindResult(int* pErrno) {
    CZQLockGuard guard(m_Lock);
    if (pErrno != nullptr) *pErrno = m_nBindErrno;
    return m_nBindResult;
}

int32_t CUdpNetLayer::OpenAndBindLocked() {
    const int32_t nCreated = CreateSocket();
    if (nCreated != 0) return nCreated;

    const int nOn = kSockOptOn;
    int nRet = setsockopt(m_Socket.Get(), SOL_SOCKET, SO_BROADCAST, &nOn, sizeof(nOn));
    if (nRet != 0) return nRet;  // -1: the socket stays open, unbound
    if (m_eUse != NetUse::kExclusive) {
        // Shared ports: a second endpoint may bind the same address and port.
        nRet = setsockopt(m_Socket.Get(), SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
        if (nRet != 0) return nRet;
    }
    if (m_eUse == NetUse::kSendOnly) {
        const int nMin = kKernelRecvBufMin;
        // The kernel raises it to its minimum; should the call fail, the
        // system's default buffer (at most net.core.rmem_default) stays.
        (void)setsockopt(m_Socket.Get(), SOL_SOCKET, SO_RCVBUF, &nMin, sizeof(nMin));
    } else {
        SetKernelRecvBuf();
    }
    return BindLocal(m_nLocalPort);
}

void CUdpNetLayer::SetKernelRecvBuf() {
    const int nRecvBuf = kNetKernelRecvBuf;
    // A privileged process (the daemon runs as root) gets the whole size past
    // the system's cap; otherwise the kernel caps it without failing. Either
    // result is fine: a smaller buffer still works.
    if (setsockopt(m_Socket.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &nRecvBuf, sizeof(nRecvBuf)) != 0) {
        (void)setsockopt(m_Socket.Get(), SOL_SOCKET, SO_RCVBUF, &nRecvBuf, sizeof(nRecvBuf));
    }
    // What the full buffer drops is counted by the kernel and handed to
    // batch receives (CNetRecvBatch::SocketDrops); without it (an old
    // kernel) those drops stay uncounted, nothing else changes.
    const int nOn = kSockOptOn;
    (void)setsockopt(m_Socket.Get(), SOL_SOCKET, SO_RXQ_OVFL, &nOn, sizeof(nOn));
}

int32_t CUdpNetLayer::EnumLocalIf(LocalIfTable* pTable) {
    if (pTable == nullptr) return NET_ERR_PARAM;
    // Only asked with: nothing is written through it that its close could lose.
    const CUniqueFd socketFd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socketFd.Valid()) return 0;  // no socket to ask with: the table stays as it was
    const int nSocket = socketFd.Get();

    alignas(ifreq) char szConf[kIfConfBufSize];
    ifconf stConf{};
    stConf.ifc_len = static_cast<int>(sizeof(szConf));
    stConf.ifc_buf = szConf;
    int32_t nCount = 0;
    if (ioctl(nSocket, SIOCGIFCONF, &stConf) == 0) {
        nCount = static_cast<int32_t>(static_cast<size_t>(stConf.ifc_len) / sizeof(ifreq));
        if (nCount > kMaxLocalIf) nCount = kMaxLocalIf;
        for (int32_t i = 0; i < nCount; ++i) {
            ifreq stReq;
            memcpy(&stReq, szConf + static_cast<size_t>(i) * sizeof(ifreq), sizeof(stReq));
            // An interface whose address cannot be read keeps the entry's old
            // content and still counts.
            if (ioctl(nSocket, SIOCGIFADDR, &stReq) != 0) continue;
            sockaddr_in stAddr;
            memcpy(&stAddr, &stReq.ifr_addr, sizeof(stAddr));
            pTable->stIfEntry[i].nIp = ntohl(stAddr.sin_addr.s_addr);
        }
    }
    pTable->nIfCount = nCount;
    return 0;
}

void CUdpNetLayer::FillSockAddr(uint32_t nIp, uint16_t nPort, sockaddr_in* pAddr) {
    memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sin_family = AF_INET;
    pAddr->sin_port = htons(nPort);
    pAddr->sin_addr.s_addr = htonl(nIp);
}

void CUdpNetLayer::ParseSockAddr(const sockaddr_in* pAddr, uint32_t* pIp, uint16_t* pPort) {
    *pIp = ntohl(pAddr->sin_addr.s_addr);
    *pPort = ntohs(pAddr->sin_port);
}

int32_t CUdpNetLayer::CreateSocket() {
    // Close-on-exec: the endpoint's socket must not live on in programs the
    // process runs.
    m_Socket.Reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return m_Socket.Valid() ? 0 : NET_ERR_SOCKET;
}

int32_t CUdpNetLayer::BindLocal(uint16_t nPort) {
    if (!m_Socket.Valid()) return NET_ERR_STATE;
    sockaddr_in stAddr;
    FillSockAddr(m_nLocalIp.load(std::memory_order_relaxed), nPort, &stAddr);
    if (bind(m_Socket.Get(), reinterpret_cast<const sockaddr*>(&stAddr), sizeof(stAddr)) != 0) {
        return NET_ERR_BIND;
    }
    return 0;
}

int32_t CUdpNetLayer::CloseSocket() {
    // What close reports is not acted on: Linux releases the descriptor even
    // when close fails, so retrying could close a descriptor reused by another
    // thread.
    m_Socket.Reset();
    return 0;
}

int32_t CUdpNetLayer::RecvFrom(uint8_t* pBuf, int32_t* pLen, uint32_t* pIp, uint16_t* pPort) {
    // What recvfrom itself would report for a missing buffer or socket.
    if (pBuf == nullptr || !m_Socket.Valid()) return NET_ERR_RECV;
    sockaddr_in stFrom{};
    socklen_t nFromLen = sizeof(stFrom);
    // Not cleared first: bytes beyond a short datagram keep what earlier ones left.
    const ssize_t nGot = recvfrom(m_Socket.Get(), pBuf, m_nRecvBufSize, 0,
                                  reinterpret_cast<sockaddr*>(&stFrom), &nFromLen);
    if (nGot < 0) return NET_ERR_RECV;
    *pLen = static_cast<int32_t>(nGot);  // at most m_nRecvBufSize, 1 MiB
    ParseSockAddr(&stFrom, pIp, pPort);
    return 0;
}

int32_t CUdpNetLayer::SelectRecvFrom(uint8_t* pBuf, int32_t* pLen, uint32_t* pIp, uint16_t* pPort,
                                     uint32_t nTimeOut) {
    if (pBuf == nullptr || pLen == nullptr) return NET_ERR_PARAM;
    if (!m_Socket.Valid()) return NET_ERR_STATE;
    // Cleared whole, so a datagram shorter than the buffer is always followed
    // by a NUL and can be read as text.
    memset(pBuf, 0, m_nRecvBufSize);
    // A time-out of 0 asks only for what is queued already: one non-blocking
    // read answers that without a separate wait (a reader draining a burst
    // makes one system call per datagram instead of two).
    int nFlags = MSG_DONTWAIT;
    if (nTimeOut != 0) {
        const int32_t nWait = WaitSocket(m_Socket.Get(), POLLIN, nTimeOut);
        if (nWait != 0) return nWait;
        nFlags = 0;
    }
    sockaddr_in stFrom{};
    socklen_t nFromLen = sizeof(stFrom);
    // A datagram longer than the buffer is cut by the system to the buffer
    // size; the rest is lost and the buffer then holds no NUL after the data.
    const ssize_t nGot = recvfrom(m_Socket.Get(), pBuf, m_nRecvBufSize, nFlags,
                                  reinterpret_cast<sockaddr*>(&stFrom), &nFromLen);
    if (nGot < 0) {
        return nFlags != 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? NET_ERR_TIMEOUT
                                                                        : NET_ERR_RECV;
    }
    *pLen = static_cast<int32_t>(nGot);
    ParseSockAddr(&stFrom, pIp, pPort);
    return 0;
}

int32_t CUdpNetLayer::SendTo(const uint8_t* pData, int32_t* pLen, uint32_t nIp, uint16_t nPort) {
    if (!m_Socket.Valid() || pLen == nullptr) return NET_ERR_STATE;
    // A negative length would become a huge size_t; data is needed for any byte.
    if (*pLen < 0 || (pData == nullptr && *pLen > 0)) return NET_ERR_PARAM;
    sockaddr_in stTo;
    FillSockAddr(nIp, nPort, &stTo);
    const ssize_t nSent = sendto(m_Socket.Get(), pData, static_cast<size_t>(*pLen), 0,
                                 reinterpret_cast<const sockaddr*>(&stTo), sizeof(stTo));
    if (nSent < 0) return errno == ECONNREFUSED ? NET_ERR_REFUSED : NET_ERR_SEND;
    *pLen = static_cast<int32_t>(nSent);  // at most the int32_t asked for
    return 0;
}

int32_t CUdpNetLayer::SelectSendTo(const uint8_t* pData, int32_t* pLen, uint32_t nIp,
                                   uint16_t nPort, uint32_t nTimeOut) {
    if (!m_Socket.Valid() || pLen == nullptr) return NET_ERR_STATE;
    const int32_t nWait = WaitSocket(m_Socket.Get(), POLLOUT, nTimeOut);
    if (nWait != 0) return nWait;
    return SendTo(pData, pLen, nIp, nPort);
}

void CUdpNetLayer::UpdateLocalPort() {
    // Construction only: no other thread can see the endpoint yet.
    if (!m_Socket.Valid()) return;
    sockaddr_in stAddr{};
    socklen_t nAddrLen = sizeof(stAddr);
    if (getsockname(m_Socket.Get(), reinterpret_cast<sockaddr*>(&stAddr), &nAddrLen) != 0) {
        return;  // keeps the requested port
    }
    m_nLocalPort = ntohs(stAddr.sin_port);
}

int CUdpNetLayer::TakeBatch(CNetRecvBatch* pBatch) {
    const int nGot =
        recvmmsg(m_Socket.Get(), pBatch->Headers(), pBatch->Capacity(), MSG_DONTWAIT, nullptr);
    if (nGot > 0) pBatch->SetCount(static_cast<uint32_t>(nGot));
    if (nGot >= 0) return nGot;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

int32_t CUdpNetLayer::RecvBatch(CNetRecvBatch* pBatch, uint32_t nTimeOut, int nWakeFd,
                                bool* pWoken) {
    if (pBatch == nullptr || !pBatch->Valid()) return NET_ERR_PARAM;
    pBatch->SetCount(0);
    if (pWoken != nullptr) *pWoken = false;
    CZQLockGuard guard(m_Lock);
    if (!m_Socket.Valid()) return NET_ERR_STATE;
    // What is queued already is taken without a wait: under load one system
    // call per batch.
    int nGot = TakeBatch(pBatch);
    if (nGot != 0) return nGot > 0 ? 0 : NET_ERR_RECV;
    if (nTimeOut == 0) return NET_ERR_TIMEOUT;

    const uint64_t nMillis = (nTimeOut + kMicrosPerMilli - 1) / kMicrosPerMilli;
    pollfd stPoll[2] = {};
    stPoll[0].fd = m_Socket.Get();
    stPoll[0].events = POLLIN;
    stPoll[1].fd = nWakeFd;  // a negative descriptor is skipped by poll
    stPoll[1].events = POLLIN;
    const int nReady = poll(stPoll, 2, static_cast<int>(nMillis));
    if (nReady < 0) return errno == EINTR ? NET_ERR_TIMEOUT : NET_ERR_SELECT;
    if (pWoken != nullptr && (stPoll[1].revents & POLLIN) != 0) *pWoken = true;
    if ((stPoll[0].revents & POLLNVAL) != 0) return NET_ERR_SELECT;
    if (stPoll[0].revents == 0) return NET_ERR_TIMEOUT;
    // Readable, or an error that the read reports.
    nGot = TakeBatch(pBatch);
    if (nGot < 0) return NET_ERR_RECV;
    return nGot > 0 ? 0 : NET_ERR_TIMEOUT;
}

int32_t NetLayerInit() { return 0; }  // nothing process-wide to set up on Linux

int32_t NetLayerDeInit() { return 0; }

int32_t NetLayerGetLocalIfTable(LocalIfTable* pTable) {
    if (pTable == nullptr) return NET_ERR_PARAM;
    return CUdpNetLayer::EnumLocalIf(pTable);
}
