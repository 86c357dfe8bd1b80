#include "upstream/TcpLink.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
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
    m_nAckedEnd = m_nNext;
    m_nMaxWindow = 0;
    m_llLastAckMs = MonotonicMs();
    m_bPeerClosed = false;
    // Everything in the queue goes out again, the tail kept from the last
    // connection too.
    for (uint64_t n = pQueue->Begin(); n < pQueue->End(); ++n) pQueue->At(n).nState = kMsgOpen;
    m_llWritten = 0;
    ResetMarks();
    m_llFramed = 0;
    m_nOutPos = 0;
    m_nOutLen = 0;
    m_szError[0] = '\0';
}

short CTcpLink::Events() const {
    return StreamEvents();  // readable: the collector closing; it sends nothing
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

// How many of the acknowledged bytes the collector may not have handled yet:
// 0 when nothing was acknowledged for kTcpTailHoldMs and its window is fully
// open again, or for kTcpIdleLetGoMs; otherwise kTcpResendTail (what it may have read and not yet
// handed on) plus how far its window is below the largest it advertised (what
// may still lie in its receive buffer). Without the window (an old kernel)
// the window counts as open.
uint64_t CTcpLink::MaybeUnread() {
    const int64_t llQuietMs = MonotonicMs() - m_llLastAckMs;
    if (llQuietMs >= kTcpIdleLetGoMs) return 0;
    const bool bQuiet = llQuietMs >= kTcpTailHoldMs;
    tcp_info stInfo{};
    socklen_t nLen = sizeof(stInfo);
    if (getsockopt(m_nSocket, IPPROTO_TCP, TCP_INFO, &stInfo, &nLen) != 0 ||
        nLen < offsetof(tcp_info, tcpi_snd_wnd) + sizeof(stInfo.tcpi_snd_wnd)) {
        return bQuiet ? 0 : kTcpResendTail;
    }
    const uint32_t nWindow = stInfo.tcpi_snd_wnd;
    if (nWindow > m_nMaxWindow) m_nMaxWindow = nWindow;
    if (nWindow == m_nMaxWindow && bQuiet) return 0;
    return kTcpResendTail + (m_nMaxWindow - nWindow);
}

// Marks the messages whose last byte the peer's TCP has acknowledged, and
// pops those the collector has read for certain (bAllRead: every one
// acknowledged): only these count as forwarded, once, since a message in the
// resend tail may go out again. After a reset the kernel still answers SIOCOUTQ from its
// sequence numbers, which is what makes the count right also for a
// connection that just broke.
void CTcpLink::TakeAcked(LinkCounts* pCounts, bool bAllRead) {
    int nUnacked = 0;
    if (ioctl(m_nSocket, SIOCOUTQ, &nUnacked) != 0 || nUnacked < 0) return;
    const uint64_t llUnacked = static_cast<uint64_t>(nUnacked);
    const uint64_t llSocket = SocketWritten();
    const uint64_t llAcked = StreamAcked(llSocket > llUnacked ? llSocket - llUnacked : 0);
    for (; m_nAckedEnd < m_nNext && m_pQueue->At(m_nAckedEnd).nTag <= llAcked; ++m_nAckedEnd) {
        m_pQueue->At(m_nAckedEnd).nState = kMsgAcked;
        ++pCounts->nHeard;
        m_llLastAckMs = MonotonicMs();
    }
    const uint64_t llUnread = bAllRead ? 0 : MaybeUnread();
    const uint64_t llRead = llAcked > llUnread ? llAcked - llUnread : 0;
    while (m_pQueue->Begin() < m_nAckedEnd && m_pQueue->At(m_pQueue->Begin()).nTag <= llRead) {
        m_pQueue->PopFront();
        ++pCounts->nAcked;
    }
}

int32_t CTcpLink::ReadPeer() {
    char aDiscard[512];
    for (;;) {
        const ssize_t nRead = Recv(aDiscard, sizeof(aDiscard));
        if (nRead > 0) continue;  // a collector has nothing to say here; ignored
        if (nRead == 0) {
            m_bPeerClosed = true;
            SetError("the collector closed the connection");
            return kLinkBroken;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kLinkOk;
        SetError("recv: %s", IoError(errno));
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
    TakeAcked(pCounts, false);
    return nRet;
}

void CTcpLink::Finish(int64_t llDeadlineMs, LinkCounts* pCounts) {
    auto Wait = [&](short nEvents) {
        const int64_t llStep = MonotonicMs() + kFinishPollMs;
        (void)WaitSocket(nEvents, llStep < llDeadlineMs ? llStep : llDeadlineMs);
    };
    while (Service(0, 0, pCounts) == kLinkOk && m_nAckedEnd < m_pQueue->End() &&
           MonotonicMs() < llDeadlineMs) {
        Wait(Events());
    }
    // The collector closes its side once it has read ours to the end: then it
    // has read every message its TCP acknowledged. Unsent bytes stay in the
    // kernel and may still arrive; they are sent again from the cursor next
    // time (a duplicate, never a loss).
    CloseWrite();
    while (!m_bPeerClosed && ReadPeer() == kLinkOk && MonotonicMs() < llDeadlineMs) {
        Wait(POLLIN);
    }
    TakeAcked(pCounts, m_bPeerClosed);
}
