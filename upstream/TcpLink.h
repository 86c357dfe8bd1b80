#pragma once

#include "upstream/UpstreamLink.h"

// Syslog over TCP with octet-counting frames (RFC 6587): "<length> <message>".
// TCP has no acknowledgement of its own for the application, so a message
// counts as taken when the collector's TCP has acknowledged its last byte:
// the bytes written minus what the kernel still holds unacknowledged
// (SIOCOUTQ). After a broken connection the next one sends again everything
// the peer's TCP had not acknowledged.
//
// A collector that stops or crashes throws away what its TCP took but it had
// not read yet (its receive buffer, and what it had not handed on). So the
// acknowledged messages are kept a while longer, as the tail the next
// connection sends again, first: the last kTcpResendTail bytes acknowledged,
// and more while the collector's advertised window says it has more unread.
// They are let go once the stream has been quiet for kTcpTailHoldMs with the
// window fully open again (the collector has read all its TCP took and had
// time to hand it on), once it has been quiet for kTcpIdleLetGoMs whatever
// the window (a receiver short of memory shrinks its window and advertises
// it again only when more data comes, so an idle link may never show it
// open; a collector stalled that long with data unread is the case the tail
// does not cover), and at an orderly end of ours, when the collector
// closes its side after reading ours. (A collector closing its side proves
// nothing: one that stops reads its socket empty and may still drop what it
// held.) A collector that lost more than the tail still
// loses it: relp has no such limit. What comes twice carries the same
// sequence number, for the collector to drop.
class CTcpLink : public CUpstreamLink {
public:
    void Begin(int nSocket, CPendingQueue* pQueue) override;
    int32_t Service(short nRevents, int64_t llNowMs, LinkCounts* pCounts) override;
    short Events() const override;
    void Finish(int64_t llDeadlineMs, LinkCounts* pCounts) override;

    // Bytes of acknowledged messages kept for a resend after a break.
    static constexpr uint64_t kTcpResendTail = 1024 * 1024;
    static constexpr int64_t kTcpTailHoldMs = 3000;
    static constexpr int64_t kTcpIdleLetGoMs = 10000;

private:
    void Frame();
    void TakeAcked(LinkCounts* pCounts, bool bAllRead);
    uint64_t MaybeUnread();
    int32_t ReadPeer();

    uint64_t m_llFramed = 0;    // bytes framed into m_aOut since Begin
    uint64_t m_nAckedEnd = 0;   // number of the first message not acknowledged
    uint32_t m_nMaxWindow = 0;  // the largest window the collector advertised
    int64_t m_llLastAckMs = 0;  // when an acknowledgement last took a message
    bool m_bPeerClosed = false;
};
