#include "upstream/RelpLink.h"

#include "platform/WireContract.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kMaxHeader = 32;  // "999999999 syslog 99999 "
constexpr int64_t kFinishPollMs = 10;
constexpr int kRspOk = 200;

// The digits at p (at most nMax), as a number; false when there are none.
bool ReadNumber(const char** pp, const char* pEnd, uint32_t* pValue) {
    const char* p = *pp;
    uint64_t nValue = 0;
    while (p < pEnd && *p >= '0' && *p <= '9' && p - *pp < 10) {
        nValue = nValue * 10 + static_cast<uint64_t>(*p - '0');
        ++p;
    }
    if (p == *pp || nValue > UINT32_MAX) return false;
    *pp = p;
    *pValue = static_cast<uint32_t>(nValue);
    return true;
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
    int nHead = std::snprintf(m_aOut + m_nOutLen, kMaxHeader, nLen > 0 ? "%u %s %u " : "%u %s %u",
                              nTxnr, pCommand, nLen);
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

short CRelpLink::Events() const {
    return static_cast<short>(POLLIN | (m_nOutPos < m_nOutLen ? POLLOUT : 0));
}

void CRelpLink::Frame() {
    if (m_eState != EState::kOpen) return;
    while (m_nNext < m_pQueue->End() && m_nNext - m_pQueue->Begin() < m_nWindow) {
        PendingMsg& msg = m_pQueue->At(m_nNext);
        if (!MakeRoom(msg.nLen + kMaxHeader + 1)) return;
        if (m_nNext == m_pQueue->Begin()) m_llWaitSinceMs = MonotonicMs();
        msg.nTag = TakeTxnr();
        AppendFrame(static_cast<uint32_t>(msg.nTag), "syslog", m_pQueue->Data(msg), msg.nLen);
        ++m_nNext;
    }
}

int32_t CRelpLink::OnFrame(uint32_t nTxnr, const char* pCommand, uint32_t nCommandLen,
                           const char* pData, uint32_t nDataLen, LinkCounts* pCounts) {
    if (Is(pCommand, nCommandLen, "serverclose")) {
        SetError("the collector ended the session (serverclose)");
        return kLinkBroken;
    }
    if (!Is(pCommand, nCommandLen, "rsp")) {
        SetError("unexpected command from the collector: %.*s", static_cast<int>(nCommandLen),
                 pCommand);
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
            SetError("the collector refused the session: %.*s",
                     static_cast<int>(nDataLen > 80 ? 80 : nDataLen), pData);
            return kLinkBroken;
        }
        m_eState = EState::kOpen;
        m_llWaitSinceMs = MonotonicMs();
        return kLinkOk;
    }
    if (m_eState == EState::kClosing && nTxnr == m_nCloseTxnr) {
        m_eState = EState::kClosed;
        return kLinkOk;
    }
    // Find the message of this transaction among those sent; normally the oldest.
    for (uint64_t n = m_pQueue->Begin(); n < m_nNext; ++n) {
        PendingMsg& msg = m_pQueue->At(n);
        if (msg.nTag != nTxnr || msg.nState != kMsgOpen) continue;
        msg.nState = nCode == kRspOk ? kMsgAcked : kMsgRejected;
        break;
    }
    while (!m_pQueue->Empty() && m_pQueue->Begin() < m_nNext &&
           m_pQueue->At(m_pQueue->Begin()).nState != kMsgOpen) {
        if (m_pQueue->At(m_pQueue->Begin()).nState == kMsgAcked) {
            ++pCounts->nAcked;
        } else {
            ++pCounts->nRejected;
        }
        m_pQueue->PopFront();
    }
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
        const ssize_t nRead = recv(m_nSocket, m_aIn + m_nInLen, sizeof(m_aIn) - m_nInLen, 0);
        bool bClosed = false;
        if (nRead > 0) {
            m_nInLen += static_cast<uint32_t>(nRead);
        } else if (nRead == 0) {
            bClosed = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            SetError("recv: %s", std::strerror(errno));
            return kLinkBroken;
        }
        // Frames: TXNR SP COMMAND SP DATALEN [SP DATA] LF
        uint32_t nUsed = 0;
        for (;;) {
            const char* p = m_aIn + nUsed;
            const char* const pEnd = m_aIn + m_nInLen;
            if (std::memchr(p, '\n', static_cast<size_t>(pEnd - p)) == nullptr &&
                pEnd - p < static_cast<long>(kMaxHeader)) {
                break;  // not even a header yet
            }
            uint32_t nTxnr = 0;
            uint32_t nDataLen = 0;
            if (!ReadNumber(&p, pEnd, &nTxnr) || p >= pEnd || *p++ != ' ') {
                SetError("malformed frame from the collector");
                return kLinkBroken;
            }
            const char* pCommand = p;
            while (p < pEnd && *p != ' ') ++p;
            const uint32_t nCommandLen = static_cast<uint32_t>(p - pCommand);
            if (p >= pEnd) break;
            ++p;
            if (!ReadNumber(&p, pEnd, &nDataLen)) {
                if (p >= pEnd) break;
                SetError("malformed frame from the collector");
                return kLinkBroken;
            }
            const char* pData = p;
            if (nDataLen > 0) {
                if (p >= pEnd) break;
                if (*p != ' ') {
                    SetError("malformed frame from the collector");
                    return kLinkBroken;
                }
                pData = ++p;
            }
            if (pEnd - pData < static_cast<long>(nDataLen) + 1) {
                if (nDataLen + kMaxHeader > sizeof(m_aIn)) {
                    SetError("a frame from the collector is too long");
                    return kLinkBroken;
                }
                break;  // the rest of the frame has not come yet
            }
            if (pData[nDataLen] != '\n') {
                SetError("malformed frame from the collector");
                return kLinkBroken;
            }
            if (OnFrame(nTxnr, pCommand, nCommandLen, pData, nDataLen, pCounts) != kLinkOk) {
                return kLinkBroken;
            }
            nUsed = static_cast<uint32_t>(pData + nDataLen + 1 - m_aIn);
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
    if (!MakeRoom(kMaxHeader + 1)) return;
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
