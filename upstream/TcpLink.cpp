#include "upstream/TcpLink.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
constexpr uint32_t kMaxLenPrefix = 12;  // "<digits> "
constexpr int64_t kFinishPollMs = 10;
}  // namespace

void CTcpLink::Begin(int nSocket, CPendingQueue* pQueue) {
    m_nSocket = nSocket;
    m_pQueue = pQueue;
    m_nNext = pQueue->Begin();
    m_llWritten = 0;
    m_llFramed = 0;
    m_nOutPos = 0;
    m_nOutLen = 0;
    m_szError[0] = '\0';
}

short CTcpLink::Events() const {
    // POLLIN only to notice the collector closing: it sends nothing.
    return static_cast<short>(POLLIN | (m_nOutPos < m_nOutLen ? POLLOUT : 0));
}

// Frames queued messages into the output buffer while they fit.
void CTcpLink::Frame() {
    while (m_nNext < m_pQueue->End()) {
        PendingMsg& msg = m_pQueue->At(m_nNext);
        if (!MakeRoom(msg.nLen + kMaxLenPrefix)) return;
        const int nPrefix = std::snprintf(m_aOut + m_nOutLen, kMaxLenPrefix, "%u ", msg.nLen);
        m_nOutLen += static_cast<uint32_t>(nPrefix);
        std::memcpy(m_aOut + m_nOutLen, m_pQueue->Data(msg), msg.nLen);
        m_nOutLen += msg.nLen;
        m_llFramed += static_cast<uint64_t>(nPrefix) + msg.nLen;
        msg.nTag = m_llFramed;
        ++m_nNext;
    }
}

// Pops the messages whose last byte the peer's TCP has acknowledged. After a
// reset the kernel still answers SIOCOUTQ from its sequence numbers, which is
// what makes the count right also for a connection that just broke.
void CTcpLink::TakeAcked(LinkCounts* pCounts) {
    int nUnacked = 0;
    if (ioctl(m_nSocket, SIOCOUTQ, &nUnacked) != 0 || nUnacked < 0) return;
    const uint64_t llUnacked = static_cast<uint64_t>(nUnacked);
    const uint64_t llAcked = m_llWritten > llUnacked ? m_llWritten - llUnacked : 0;
    while (!m_pQueue->Empty() && m_pQueue->Begin() < m_nNext &&
           m_pQueue->At(m_pQueue->Begin()).nTag <= llAcked) {
        m_pQueue->PopFront();
        ++pCounts->nAcked;
    }
}

int32_t CTcpLink::ReadPeer() {
    char aDiscard[512];
    for (;;) {
        const ssize_t nRead = recv(m_nSocket, aDiscard, sizeof(aDiscard), 0);
        if (nRead > 0) continue;  // a collector has nothing to say here; ignored
        if (nRead == 0) {
            SetError("the collector closed the connection");
            return kLinkBroken;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kLinkOk;
        SetError("recv: %s", std::strerror(errno));
        return kLinkBroken;
    }
}

int32_t CTcpLink::Service(short nRevents, int64_t, LinkCounts* pCounts) {
    int32_t nRet = kLinkOk;
    if ((nRevents & (POLLIN | POLLERR | POLLHUP)) != 0) nRet = ReadPeer();
    while (nRet == kLinkOk) {
        Frame();
        if (m_nOutPos == m_nOutLen) break;
        const uint32_t nBefore = m_nOutPos;
        nRet = WriteOut();
        if (m_nOutPos == nBefore && m_nOutPos < m_nOutLen) break;  // socket full
    }
    TakeAcked(pCounts);
    return nRet;
}

void CTcpLink::Finish(int64_t llDeadlineMs, LinkCounts* pCounts) {
    while (Service(0, 0, pCounts) == kLinkOk && !m_pQueue->Empty() &&
           UpstreamNowMs() < llDeadlineMs) {
        const int64_t llStep = UpstreamNowMs() + kFinishPollMs;
        (void)WaitSocket(Events(), llStep < llDeadlineMs ? llStep : llDeadlineMs);
    }
    // Unsent bytes stay in the kernel and may still arrive; they are sent again
    // from the cursor next time (a duplicate, never a loss).
    (void)shutdown(m_nSocket, SHUT_WR);
}
