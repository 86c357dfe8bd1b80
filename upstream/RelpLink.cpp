#include "upstream/RelpLink.h"

#include "platform/DaemonPaths.h"
#include "platform/WireContract.h"
#include "platform/TextEscape.h"
#include "upstream/RelpFrame.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t kFinishPollMs = 10;
constexpr int kRspOk = 200;

// What the collector said, for a note: its first bytes, control characters
// escaped, so that a collector cannot write lines or terminal sequences of its
// own into the daemon's records.
constexpr uint32_t kShownReply = 80;
constexpr uint32_t kShownReplyLen = kShownReply * kEscapedLen + 1;
const char* ShowReply(const char* pData, uint32_t nLen, char* pOut, uint32_t nSize) {
    const uint32_t nOut = EscapeText(pData, nLen < kShownReply ? nLen : kShownReply,
                                     EEscape::kControls, pOut, nSize - 1);
    pOut[nOut] = '\0';
    return pOut;
}

bool Is(const char* p, uint32_t n, const char* pWord) {
    return std::strlen(pWord) == n && std::memcmp(p, pWord, n) == 0;
}

}  // namespace

CRelpLink::CRelpLink(uint32_t nWindow) : m_nWindow(nWindow == 0 ? 1 : nWindow) {}

uint32_t CRelpLink::TakeTxnr() {
    const uint32_t nTxnr = m_nTxnr;
    m_nTxnr = m_nTxnr == kMaxTxnr ? 1 : m_nTxnr + 1;
    return nTxnr;
}

void CRelpLink::AppendFrame(uint32_t nTxnr, const char* pCommand, const char* pData,
                            uint32_t nLen) {
    int nHead = std::snprintf(m_aOut + m_nOutLen, kRelpMaxHeader,
                              nLen > 0 ? "%u %s %u " : "%u %s %u", nTxnr, pCommand, nLen);
    m_nOutLen += static_cast<uint32_t>(nHead);
    std::memcpy(m_aOut + m_nOutLen, pData, nLen);
    m_nOutLen += nLen;
    m_aOut[m_nOutLen++] = '\n';
}

void CRelpLink::Begin(int nSocket, CPendingQueue* pQueue) {
    m_nSocket = nSocket;
    m_pQueue = pQueue;
    m_nNext = pQueue->Begin();
    m_llWritten = 0;
    ResetMarks();
    m_nOutPos = 0;
    m_nOutLen = 0;
    m_nInLen = 0;
    m_szError[0] = '\0';
    m_nTxnr = 1;
    m_llWaitSinceMs = MonotonicMs();
    // Messages answered out of order in an earlier session are answered for
    // good; the rest are sent again.
    for (uint64_t n = pQueue->Begin(); n < pQueue->End(); ++n) pQueue->At(n).nState = kMsgOpen;
    char szOffers[128];
    const int nLen =
        std::snprintf(szOffers, sizeof(szOffers),
                      "relp_version=0\nrelp_software=%s\ncommands=syslog", kLogServerName);
    AppendFrame(TakeTxnr(), "open", szOffers, static_cast<uint32_t>(nLen));
    m_eState = EState::kOpening;
}

short CRelpLink::Events() const { return StreamEvents(); }

void CRelpLink::Frame() {
    if (m_eState != EState::kOpen) return;
    while (m_nNext < m_pQueue->End() && m_nNext - m_pQueue->Begin() < m_nWindow) {
        PendingMsg& msg = m_pQueue->At(m_nNext);
        if (!MakeRoom(msg.nLen + kRelpMaxHeader + 1)) return;
        if (m_nNext == m_pQueue->Begin()) m_llWaitSinceMs = MonotonicMs();
        msg.nTag = TakeTxnr();
        AppendFrame(static_cast<uint32_t>(msg.nTag), "syslog", m_pQueue->Data(msg), msg.nLen);
        ++m_nNext;
    }
}

int32_t CRelpLink::OnFrame(const RelpFrame& stFrame, LinkCounts* pCounts) {
    const uint32_t nTxnr = stFrame.nTxnr;
    const char* const pData = stFrame.pData;
    const uint32_t nDataLen = stFrame.nDataLen;
    if (Is(stFrame.pCommand, stFrame.nCommandLen, "serverclose")) {
        SetError("the collector ended the session (serverclose)");
        return kLinkBroken;
    }
    if (!Is(stFrame.pCommand, stFrame.nCommandLen, "rsp")) {
        // Letters only (the parser's rule), at most kRelpMaxCommand of them.
        SetError("unexpected command from the collector: %.*s",
                 static_cast<int>(stFrame.nCommandLen), stFrame.pCommand);
        return kLinkBroken;
    }
    int nCode = 0;
    for (uint32_t i = 0; i < 3 && i < nDataLen && pData[i] >= '0' && pData[i] <= '9'; ++i) {
        nCode = nCode * 10 + (pData[i] - '0');
    }
    if (m_eState == EState::kOpening) {
        // The answer to open: 200 and syslog among the commands it offers.
        static const char kSyslog[] = "syslog";
        if (nTxnr != 1 || nCode != kRspOk ||
            memmem(pData, nDataLen, kSyslog, sizeof(kSyslog) - 1) == nullptr) {
            char szShown[kShownReplyLen];
            SetError("the collector refused the session: %s",
                     ShowReply(pData, nDataLen, szShown, sizeof(szShown)));
            return kLinkBroken;
        }
        m_eState = EState::kOpen;
        m_llWaitSinceMs = MonotonicMs();
        ++pCounts->nHeard;
        return kLinkOk;
    }
    if (m_eState == EState::kClosing && nTxnr == m_nCloseTxnr) {
        m_eState = EState::kClosed;
        return kLinkOk;
    }
    // The message of this transaction among those sent and not yet answered;
    // normally the oldest. An answer to anything else (a transaction never
    // sent, or answered before) means the two ends disagree about the
    // session: it ends, and what was not answered goes out again on a new one.
    PendingMsg* pMsg = nullptr;
    for (uint64_t n = m_pQueue->Begin(); n < m_nNext; ++n) {
        PendingMsg& msg = m_pQueue->At(n);
        if (msg.nTag == nTxnr && msg.nState == kMsgOpen) {
            pMsg = &msg;
            break;
        }
    }
    if (pMsg == nullptr) {
        SetError("an answer from the collector for transaction %u, which waits for none", nTxnr);
        return kLinkBroken;
    }
    pMsg->nState = nCode == kRspOk ? kMsgAcked : kMsgRejected;
    ++pCounts->nHeard;
    while (!m_pQueue->Empty() && m_pQueue->Begin() < m_nNext &&
           m_pQueue->At(m_pQueue->Begin()).nState != kMsgOpen) {
        if (m_pQueue->At(m_pQueue->Begin()).nState == kMsgAcked) {
            ++pCounts->nAcked;
        } else {
            ++pCounts->nRejected;
        }
        m_pQueue->PopFront();
    }
    // Only an answer moves the time-out on: stray frames do not keep a dead
    // session open.
    m_llWaitSinceMs = MonotonicMs();
    return kLinkOk;
}

// Reads what the collector sent and handles every complete frame in it.
int32_t CRelpLink::ReadIn(int64_t, LinkCounts* pCounts) {
    for (;;) {
        if (m_nInLen == sizeof(m_aIn)) {
            SetError("a frame from the collector is too long");
            return kLinkBroken;
        }
        const ssize_t nRead = Recv(m_aIn + m_nInLen, sizeof(m_aIn) - m_nInLen);
        bool bClosed = false;
        if (nRead > 0) {
            m_nInLen += static_cast<uint32_t>(nRead);
        } else if (nRead == 0) {
            bClosed = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            SetError("recv: %s", IoError(errno));
            return kLinkBroken;
        }
        uint32_t nUsed = 0;
        for (;;) {
            RelpFrame stFrame{};
            const ERelpParse eParse = ParseRelpFrame(
                m_aIn + nUsed, m_nInLen - nUsed, static_cast<uint32_t>(sizeof(m_aIn)), &stFrame);
            if (eParse == ERelpParse::kNeedMore) break;
            if (eParse == ERelpParse::kTooLong) {
                SetError("a frame from the collector is too long");
                return kLinkBroken;
            }
            if (eParse == ERelpParse::kMalformed) {
                SetError("malformed frame from the collector");
                return kLinkBroken;
            }
            if (OnFrame(stFrame, pCounts) != kLinkOk) return kLinkBroken;
            nUsed += stFrame.nFrameLen;
        }
        std::memmove(m_aIn, m_aIn + nUsed, m_nInLen - nUsed);
        m_nInLen -= nUsed;
        if (bClosed) {
            if (m_eState != EState::kClosed) SetError("the collector closed the connection");
            return kLinkBroken;
        }
        if (nRead < 0) return kLinkOk;  // EAGAIN: all read
    }
}

int32_t CRelpLink::Service(short nRevents, int64_t llNowMs, LinkCounts* pCounts) {
    if ((nRevents & (POLLIN | POLLERR | POLLHUP)) != 0 && ReadIn(llNowMs, pCounts) != kLinkOk) {
        return kLinkBroken;
    }
    for (;;) {
        Frame();
        if (m_nOutPos == m_nOutLen) break;
        const uint32_t nBefore = m_nOutPos;
        if (WriteOut() != kLinkOk) return kLinkBroken;
        if (m_nOutPos == nBefore && m_nOutPos < m_nOutLen) break;  // socket full
    }
    const bool bWaiting = m_eState == EState::kOpening || m_pQueue->Begin() < m_nNext;
    if (bWaiting && llNowMs - m_llWaitSinceMs > kAckTimeoutMs) {
        SetError("no answer from the collector for %lld s",
                 static_cast<long long>(kAckTimeoutMs / 1000));
        return kLinkBroken;
    }
    return kLinkOk;
}

void CRelpLink::Finish(int64_t llDeadlineMs, LinkCounts* pCounts) {
    // The last answers first; nothing new is framed once closing.
    while (m_eState == EState::kOpen && m_pQueue->Begin() < m_nNext &&
           MonotonicMs() < llDeadlineMs) {
        const int64_t llStep = MonotonicMs() + kFinishPollMs;
        const short nEvents = WaitSocket(Events(), llStep < llDeadlineMs ? llStep : llDeadlineMs);
        if (Service(nEvents, MonotonicMs(), pCounts) != kLinkOk) return;
    }
    if (m_eState != EState::kOpen) return;
    if (!MakeRoom(kRelpMaxHeader + 1)) return;
    m_eState = EState::kClosing;
    m_nCloseTxnr = TakeTxnr();
    AppendFrame(m_nCloseTxnr, "close", "", 0);
    while (m_eState == EState::kClosing && MonotonicMs() < llDeadlineMs) {
        if (WriteOut() != kLinkOk) return;
        const short nEvents = WaitSocket(Events(), llDeadlineMs);
        if ((nEvents & (POLLIN | POLLERR | POLLHUP)) != 0 &&
            ReadIn(MonotonicMs(), pCounts) != kLinkOk) {
            return;
        }
    }
}
