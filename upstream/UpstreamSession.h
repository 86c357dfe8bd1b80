#pragma once

#include "platform/UniqueFd.h"
#include "platform/ZQMutex.h"
#include "upstream/Backoff.h"
#include "upstream/Connector.h"
#include "upstream/PendingQueue.h"
#include "upstream/TlsStream.h"
#include "upstream/UpstreamConfig.h"
#include "upstream/UpstreamLink.h"
#include "upstream/UpstreamNote.h"
#include "upstream/UpstreamStats.h"

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>

// How a session ends.
enum class ESessionEnd : uint8_t {
    kClose,     // in order (the link finishes, at most kFinishMs); no new connection
    kBreak,     // the link failed: noted, and a new connection after the back-off
    kRedirect,  // in order, and a new connection at once (another target)
};

// The sender's connection to the collector: connects through CConnector,
// waits between attempts as CBackoff says, and speaks the protocol over the
// connected socket through a CUpstreamLink, which it owns with the socket.
//
//   off --Begin--> back-off wait --due--> connecting --> (TLS handshake) --> connected
//                    ^  ^                      |                 |               |
//                    |  +------ failed --------+-----------------+               |
//                    +------------ End(kBreak), End(kRedirect) ------------------+
//
// End(kRedirect) makes the wait due at once, from any state; End(kClose)
// goes off from any state.
//
// A connection counts as made (the "connected" note, the statistics) only
// once the collector has proved to be there: tcp over TLS by the handshake,
// its certificate verified; plain tcp by its TCP's first acknowledgement;
// relp, also over TLS, by the answer to open. A connection that breaks before is a
// failed attempt like a refused one: the back-off grows; so is one that
// breaks after its proof with no message taken (a collector that accepts and
// drops every session). A session that took messages, or lasted
// kLongSessionMs after its proof, starts the back-off over. A failure is
// noted when it differs from the last one, not at every attempt of a long
// outage, and after a session that took nothing the "connected" note waits
// kConnectNoteMs since the last one. What a session leaves
// unacknowledged stays in the queue and goes out first on the next one.
//
// The configuration and the queue are the sender's: the session reads the
// target (host, port, protocol, window) at every connection, and its link takes
// acknowledged messages off the queue. Used by the sender's thread only, but
// for FillStats, which any thread may call.
class CUpstreamSession {
public:
    CUpstreamSession(const ForwardConfig& cfg, CPendingQueue& queue);
    CUpstreamSession(const CUpstreamSession&) = delete;
    CUpstreamSession& operator=(const CUpstreamSession&) = delete;

    // Where the notes go; set before the sender's thread starts.
    void SetNote(UpstreamNote pfnNote) { m_pfnNote = pfnNote; }

    // Forwarding goes on: the first attempt at once, the back-off from its start.
    void Begin(int64_t llNowMs);
    // Ends the session as eHow says; a session off stays off. True when a link
    // was up: then *pCounts has what it still acknowledged (added).
    bool End(ESessionEnd eHow, int64_t llNowMs, LinkCounts* pCounts);

    // Fills pPoll (room for kMaxPollFds entries) with what the session waits
    // for: the socket while connected, the connector's while connecting; the
    // count of entries.
    uint32_t FillPoll(struct pollfd* pPoll) const;
    // How long the loop may wait at the most for the connection's sake: until
    // the next attempt or the connector's deadline; -1: no limit.
    int64_t WaitMs(int64_t llNowMs) const;
    // While not connected: starts an attempt when the back-off is over, goes
    // on with a running one. pPoll: the nPolled entries FillPoll filled for the
    // last poll, with their revents (nPolled 0: it saw nothing).
    void StepConnection(const struct pollfd* pPoll, uint32_t nPolled, int64_t llNowMs);
    // While connected: the link does what the socket allows (nRevents: the
    // socket's poll result, 0 when the loop woke for another reason), adding
    // what was acknowledged to *pCounts. kLinkOk, or kLinkBroken: the caller
    // ends the session with kBreak.
    int32_t Service(short nRevents, int64_t llNowMs, LinkCounts* pCounts);
    // Connected over tcp with all bytes with the kernel: its acknowledgements
    // come without an event, so the loop looks again soon when the queue is full.
    bool AcksWithoutEvent() const;

    bool Active() const { return m_eState != EState::kOff; }
    bool Connected() const { return m_eState == EState::kConnected; }
    // nSessions, bConnected, nFailedAttempts and szLastFailure.
    void FillStats(UpstreamStats* pStats) const;

    static constexpr uint32_t kMaxPollFds = CConnector::kMaxPollFds;
    static constexpr int64_t kFinishMs = 1000;
    static constexpr int64_t kLongSessionMs = 60000;
    static constexpr int64_t kConnectNoteMs = 60000;

private:
    enum class EState : uint8_t { kOff, kBackoff, kConnecting, kHandshaking, kConnected };

    void StartTls(CUniqueFd socket, int64_t llNowMs);
    void OnHandshake(int32_t nStep, int64_t llNowMs);
    void OnConnected(int64_t llNowMs);
    void OnProven();
    // bFailed: counted as a failed attempt (not a session that took messages).
    void ScheduleRetry(const char* pReason, int64_t llNowMs, bool bFailed = true);

    const ForwardConfig& m_Cfg;  // the sender's
    CPendingQueue& m_Queue;      // the sender's
    UpstreamNote m_pfnNote;
    CConnector m_Connector;
    CBackoff m_Backoff;
    CTlsContext m_TlsContext;
    CUniqueFd m_Socket;                      // while handshaking or connected
    std::unique_ptr<CTlsStream> m_pTls;      // the same, over m_Socket, with TLS
    std::unique_ptr<CUpstreamLink> m_pLink;  // while connected, over m_Socket
    EState m_eState;
    int64_t m_llRetryAtMs;       // the back-off wait ends then
    int64_t m_llHandshakeEndMs;  // the handshake gives up then
    int64_t m_llStartMs;         // when the session was proven
    bool m_bProven;              // the collector is there (see above)
    bool m_bAcked;               // the session took messages off the queue
    bool m_bLastEmpty;           // the last session ended with none taken
    int64_t m_llConnectNoteMs;   // when the last "connected" note was written
    uint64_t m_nFailures;        // connection attempts failed since the last session
    char m_szLastFailure[480];

    // The thread sets them, anyone reads: relaxed, counters only.
    std::atomic<uint64_t> m_nSessions;
    std::atomic<uint32_t> m_bConnected;
    std::atomic<uint64_t> m_nFailedAttempts;
    mutable CZQMutex m_ShownLock;
    char m_szShownFailure[sizeof(UpstreamStats::szLastFailure)] ZQ_GUARDED_BY(m_ShownLock);
};
