#pragma once

#include "upstream/RelpFrame.h"
#include "upstream/UpstreamLink.h"

// A RELP session (the Reliable Event Logging Protocol of rsyslog's imrelp):
//
//   client: 1 open <len> relp_version=0\nrelp_software=ZuVozAdavid\ncommands=syslog\n
//   server: 1 rsp <len> 200 OK\n<its offers>\n
//   client: 2 syslog <len> <message>\n   3 syslog ...     (up to a window)
//   server: 2 rsp 6 200 OK\n             3 rsp ...
//   client: N close 0\n      server: N rsp 0\n  (and "0 serverclose 0\n" when it goes)
//
// Frames are "TXNR SP COMMAND SP DATALEN [SP DATA] LF"; transaction numbers
// run from 1 to 999999999 and start over at 1. A message leaves the queue when
// its rsp has come: 200 acknowledges it, any other code refuses it (counted,
// not sent again: the collector would refuse it again). Whatever had no
// answer when the session ended is sent again on the next one, so every
// message arrives at least once; a duplicate comes only from a session that
// broke between the collector's taking a message and its answer reaching us,
// at most one window. No answer for kAckTimeoutMs while messages wait ends the
// session as broken.
class CRelpLink : public CUpstreamLink {
public:
    explicit CRelpLink(uint32_t nWindow);
    void Begin(int nSocket, CPendingQueue* pQueue) override;
    int32_t Service(short nRevents, int64_t llNowMs, LinkCounts* pCounts) override;
    short Events() const override;
    void Finish(int64_t llDeadlineMs, LinkCounts* pCounts) override;

    static constexpr int64_t kAckTimeoutMs = 30000;
    static constexpr uint32_t kMaxTxnr = 999999999;

private:
    enum class EState : uint8_t { kOpening, kOpen, kClosing, kClosed };
    void Frame();
    int32_t ReadIn(int64_t llNowMs, LinkCounts* pCounts);
    int32_t OnFrame(const RelpFrame& stFrame, LinkCounts* pCounts);
    void AppendFrame(uint32_t nTxnr, const char* pCommand, const char* pData, uint32_t nLen);
    uint32_t TakeTxnr();

    uint32_t m_nWindow;
    EState m_eState = EState::kClosed;
    uint32_t m_nTxnr = 1;  // the next transaction number
    uint32_t m_nCloseTxnr = 0;
    int64_t m_llWaitSinceMs = 0;  // when the oldest unanswered command was sent, or answered last
    char m_aIn[4096];
    uint32_t m_nInLen = 0;
};
