#pragma once

#include "upstream/UpstreamLink.h"

// Syslog over TCP with octet-counting frames (RFC 6587): "<length> <message>".
// TCP has no acknowledgement of its own for the application, so a message
// counts as taken when the collector's TCP has acknowledged its last byte:
// the bytes written minus what the kernel still holds unacknowledged
// (SIOCOUTQ). After a broken connection the queue thus holds exactly what the
// peer's TCP had not acknowledged, and the next connection sends it again:
// nothing the peer's TCP did not take is lost. What the collector's TCP took
// but the collector never read (a crash with a full receive buffer) is lost;
// that is the protocol's limit, and why relp exists.
class CTcpLink : public CUpstreamLink {
public:
    void Begin(int nSocket, CPendingQueue* pQueue) override;
    int32_t Service(short nRevents, int64_t llNowMs, LinkCounts* pCounts) override;
    short Events() const override;
    void Finish(int64_t llDeadlineMs, LinkCounts* pCounts) override;

private:
    void Frame();
    void TakeAcked(LinkCounts* pCounts);
    int32_t ReadPeer();

    uint64_t m_llFramed = 0;  // bytes framed into m_aOut since Begin
};
