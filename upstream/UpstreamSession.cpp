#include "upstream/UpstreamSession.h"

#include "platform/FixedText.h"

#include "upstream/RelpLink.h"
#include "upstream/TcpLink.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

CUpstreamSession::CUpstreamSession(const ForwardConfig& cfg, CPendingQueue& queue)
    : m_Cfg(cfg),
      m_Queue(queue),
      m_pfnNote(nullptr),
      m_Backoff(static_cast<uint64_t>(MonotonicMs()) ^ (static_cast<uint64_t>(getpid()) << 32)),
      m_eState(EState::kOff),
      m_llRetryAtMs(0),
      m_llHandshakeEndMs(0),
      m_llStartMs(0),
      m_bProven(false),
      m_bAcked(false),
      m_bLastEmpty(false),
      m_llConnectNoteMs(0),
      m_nFailures(0),
      m_szLastFailure{},
      m_nSessions(0),
      m_bConnected(0),
      m_nFailedAttempts(0),
      m_szShownFailure{} {}

void CUpstreamSession::Begin(int64_t llNowMs) {
    m_nFailures = 0;
    m_szLastFailure[0] = '\0';
    m_Backoff.Reset();
    m_eState = EState::kBackoff;
    m_llRetryAtMs = llNowMs;
}

bool CUpstreamSession::End(ESessionEnd eHow, int64_t llNowMs, LinkCounts* pCounts) {
    const bool bLink = m_eState == EState::kConnected;
    char szReason[sizeof(m_szLastFailure)] = "";
    if (bLink) {
        if (eHow == ESessionEnd::kBreak) {
            (void)std::snprintf(
                szReason, sizeof(szReason), "connection to %.200s %s: %.150s", m_Cfg.szHost,
                m_bProven ? "lost" : "ended before the collector answered", m_pLink->Error());
        } else {
            LinkCounts stLast{};
            m_pLink->Finish(llNowMs + kFinishMs, &stLast);
            if (stLast.nAcked > 0) m_bAcked = true;
            pCounts->nHeard += stLast.nHeard;
            pCounts->nAcked += stLast.nAcked;
            pCounts->nRejected += stLast.nRejected;
        }
        if (m_pTls && eHow != ESessionEnd::kBreak) m_pTls->Close();
        m_Socket.Reset();  // what the kernel still holds may yet arrive; duplicates at most
        m_pLink.reset();
        m_bConnected.store(0, std::memory_order_relaxed);
        m_bLastEmpty = !m_bAcked;
        if (m_bAcked || (m_bProven && llNowMs - m_llStartMs >= kLongSessionMs)) {
            m_Backoff.Reset();
        }
    }
    m_pTls.reset();
    if (m_eState == EState::kHandshaking) m_Socket.Reset();
    m_Connector.Cancel();
    if (m_eState == EState::kOff) return bLink;
    switch (eHow) {
        case ESessionEnd::kClose:
            m_eState = EState::kOff;
            break;
        case ESessionEnd::kBreak:
            ScheduleRetry(szReason, llNowMs, !bLink || !m_bAcked);
            break;
        case ESessionEnd::kRedirect:
            m_Backoff.Reset();
            m_eState = EState::kBackoff;
            m_llRetryAtMs = llNowMs;
            break;
    }
    return bLink;
}

void CUpstreamSession::ScheduleRetry(const char* pReason, int64_t llNowMs, bool bFailed) {
    const int64_t llDelay = m_Backoff.Next();
    m_eState = EState::kBackoff;
    m_llRetryAtMs = llNowMs + llDelay;
    ++m_nFailures;
    if (bFailed) m_nFailedAttempts.fetch_add(1, std::memory_order_relaxed);
    {
        CZQLockGuard guard(m_ShownLock);
        CopyText(m_szShownFailure, pReason);
    }
    // A failure is noted when it is new, not at every attempt of a long outage.
    if (std::strcmp(pReason, m_szLastFailure) != 0) {
        (void)std::snprintf(m_szLastFailure, sizeof(m_szLastFailure), "%s", pReason);
        SendNote(m_pfnNote, kNoteWarning,
                 "forwarding: %s; %zu messages wait; next attempt in %.1f s", pReason,
                 static_cast<size_t>(m_Queue.End() - m_Queue.Begin()),
                 static_cast<double>(llDelay) / 1000.0);
    }
}

void CUpstreamSession::StartTls(CUniqueFd socket, int64_t llNowMs) {
    char szError[sizeof(m_szLastFailure)];
    SSL_CTX* pCtx = m_TlsContext.Prepare(m_Cfg, szError, sizeof(szError));
    if (pCtx == nullptr) {
        ScheduleRetry(szError, llNowMs);
        return;
    }
    m_Socket = std::move(socket);
    m_pTls.reset(new (std::nothrow) CTlsStream());
    m_eState = EState::kHandshaking;
    m_llHandshakeEndMs = llNowMs + CConnector::kConnectTimeoutMs;
    if (!m_pTls) {
        m_Socket.Reset();
        ScheduleRetry("TLS: no memory for a session", llNowMs);
        return;
    }
    OnHandshake(m_pTls->Start(pCtx, m_Socket.Get(), TlsServerName(m_Cfg)), llNowMs);
}

void CUpstreamSession::OnHandshake(int32_t nStep, int64_t llNowMs) {
    char szReason[sizeof(m_szLastFailure)];
    if (nStep == kTlsPending && llNowMs >= m_llHandshakeEndMs) {
        nStep = kTlsFailed;
        (void)std::snprintf(szReason, sizeof(szReason),
                            "TLS handshake with %.200s: no answer in %lld s", m_Cfg.szHost,
                            static_cast<long long>(CConnector::kConnectTimeoutMs / 1000));
    } else if (nStep == kTlsFailed) {
        (void)std::snprintf(szReason, sizeof(szReason), "%.200s port %u: %.200s", m_Cfg.szHost,
                            m_Cfg.nPort, m_pTls->Error());
        // The operator may mend the files before the next attempt.
        if (m_pTls->VerifyFailed()) m_TlsContext.Forget();
    }
    if (nStep == kTlsDone) {
        OnConnected(llNowMs);
    } else if (nStep == kTlsFailed) {
        m_pTls.reset();
        m_Socket.Reset();
        ScheduleRetry(szReason, llNowMs);
    }
}

void CUpstreamSession::OnConnected(int64_t llNowMs) {
    if (m_Cfg.eProtocol == EForwardProtocol::kRelp) {
        m_pLink.reset(new (std::nothrow) CRelpLink(m_Cfg.nWindow));
    } else {
        m_pLink.reset(new (std::nothrow) CTcpLink());
    }
    if (!m_pLink) {
        m_pTls.reset();
        m_Socket.Reset();
        ScheduleRetry("no memory for a session", llNowMs);
        return;
    }
    m_pLink->UseTls(m_pTls.get());
    m_pLink->Begin(m_Socket.Get(), &m_Queue);
    m_eState = EState::kConnected;
    m_llStartMs = llNowMs;
    m_bAcked = false;
    m_bProven = false;
    // TLS proves the collector by its handshake; RELP waits for the answer
    // to open all the same, which a collector refusing the client's
    // certificate after a TLS 1.3 handshake never sends.
    if (m_pTls && m_Cfg.eProtocol != EForwardProtocol::kRelp) OnProven();
}

void CUpstreamSession::OnProven() {
    m_bProven = true;
    m_llStartMs = MonotonicMs();
    m_nSessions.fetch_add(1, std::memory_order_relaxed);
    m_bConnected.store(1, std::memory_order_relaxed);
    {
        CZQLockGuard guard(m_ShownLock);
        m_szShownFailure[0] = '\0';
    }
    // A collector that drops every session before taking a message would
    // have both notes written at each attempt: the last failure stays the
    // one not to repeat, and the connected note waits.
    if (m_bLastEmpty && m_llStartMs - m_llConnectNoteMs < kConnectNoteMs) return;
    m_llConnectNoteMs = m_llStartMs;
    SendNote(m_pfnNote, kNoteInfo,
             "forwarding: connected to %s port %u over %s%s%s (%llu failed attempts before)",
             m_Cfg.szHost, m_Cfg.nPort, ProtocolName(m_Cfg.eProtocol), m_pTls ? " and " : "",
             m_pTls ? m_pTls->Version() : "", static_cast<unsigned long long>(m_nFailures));
    m_nFailures = 0;
    m_szLastFailure[0] = '\0';
}

uint32_t CUpstreamSession::FillPoll(struct pollfd* pPoll) const {
    if (m_eState == EState::kConnected) {
        pPoll[0] = {m_Socket.Get(), m_pLink->Events(), 0};
        return 1;
    }
    if (m_eState == EState::kHandshaking) {
        pPoll[0] = {m_Socket.Get(), m_pTls->Events(), 0};
        return 1;
    }
    return m_eState == EState::kConnecting ? m_Connector.FillPoll(pPoll) : 0;
}

int64_t CUpstreamSession::WaitMs(int64_t llNowMs) const {
    int64_t llAtMs = 0;
    if (m_eState == EState::kBackoff) {
        llAtMs = m_llRetryAtMs;
    } else if (m_eState == EState::kConnecting) {
        llAtMs = m_Connector.DeadlineMs();
    } else if (m_eState == EState::kHandshaking) {
        llAtMs = m_llHandshakeEndMs;
    } else {
        return -1;
    }
    return llAtMs > llNowMs ? llAtMs - llNowMs : 0;
}

void CUpstreamSession::StepConnection(const struct pollfd* pPoll, uint32_t nPolled,
                                      int64_t llNowMs) {
    if (m_eState == EState::kBackoff && llNowMs >= m_llRetryAtMs) {
        if (m_Connector.Start(m_Cfg.szHost, m_Cfg.nPort, llNowMs) == kConnFailed) {
            ScheduleRetry(m_Connector.Error(), llNowMs);
            return;
        }
        m_eState = EState::kConnecting;
        nPolled = 0;  // polled before this attempt
    }
    if (m_eState == EState::kHandshaking) {
        // A poll that timed out leaves the handshake where it was.
        const bool bQuiet = nPolled > 0 && pPoll[0].revents == 0;
        OnHandshake(bQuiet ? kTlsPending : m_pTls->Handshake(), llNowMs);
        return;
    }
    if (m_eState != EState::kConnecting) return;
    CUniqueFd socket;
    const int32_t nStep = m_Connector.Step(pPoll, nPolled, llNowMs, &socket);
    if (nStep == kConnDone && m_Cfg.bTls) {
        StartTls(std::move(socket), llNowMs);
    } else if (nStep == kConnDone) {
        m_Socket = std::move(socket);
        OnConnected(llNowMs);
    } else if (nStep == kConnFailed) {
        ScheduleRetry(m_Connector.Error(), llNowMs);
    }
}

int32_t CUpstreamSession::Service(short nRevents, int64_t llNowMs, LinkCounts* pCounts) {
    LinkCounts stNow{};
    const int32_t nRet = m_pLink->Service(nRevents, llNowMs, &stNow);
    if (stNow.nHeard > 0 && !m_bProven) OnProven();
    if (stNow.nAcked > 0) m_bAcked = true;
    pCounts->nHeard += stNow.nHeard;
    pCounts->nAcked += stNow.nAcked;
    pCounts->nRejected += stNow.nRejected;
    return nRet;
}

bool CUpstreamSession::AcksWithoutEvent() const {
    return m_eState == EState::kConnected && m_Cfg.eProtocol == EForwardProtocol::kTcp &&
           (m_pLink->Events() & POLLOUT) == 0;
}

void CUpstreamSession::FillStats(UpstreamStats* pStats) const {
    pStats->nSessions = m_nSessions.load(std::memory_order_relaxed);
    pStats->bConnected = m_bConnected.load(std::memory_order_relaxed);
    pStats->nFailedAttempts = m_nFailedAttempts.load(std::memory_order_relaxed);
    CZQLockGuard guard(m_ShownLock);
    CopyText(pStats->szLastFailure, m_szShownFailure);
}
