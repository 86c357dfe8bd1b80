#pragma once

#include "platform/LocalIntake.h"
#include "platform/NetRecvBatch.h"
#include "platform/UdpNetLayer.h"
#include "platform/UniqueFd.h"
#include "server/Signals.h"

#include <atomic>
#include <cstdint>
#include <memory>

class CSenderLimit;

// The daemon's receive loop: one UDP endpoint on 127.0.0.1:12345, and the
// local intake where the daemon has one (LocalIntake.h), whose every
// datagram is handed, as one line, to the log module, unless the sender's
// fair share (SenderLimit.h) is used up. The loop acts on the
// requests that the signal handlers set (Signals.h: stop, reopen, statistics)
// after each pass; the handlers end its wait through RecvWake.h.

constexpr uint32_t kRecvBatchCount = 64;  // datagrams taken with one system call
// Longest wait for a datagram or a wake-up: the loop wakes by itself once a
// second when idle, to look at requests that came without a wake-up.
constexpr uint32_t kRecvWaitUs = 1000000;
constexpr uint32_t kRecvBackoffMs = 100;  // pause after a lasting receive failure
constexpr uint32_t kRecvStopPollMs = 10;  // the pause checks the stop flag this often
// Longest wait for room in a full ring once a stop is requested; without one,
// a writer that makes no room for 2 s counts as stuck.
constexpr uint32_t kFullRingStopWaitMs = 100;

// Run's result when the loop's own endpoint could not bind 127.0.0.1:12345
// (the port is held by another socket): the daemon must not run without its
// port.
constexpr int kRecvErrBind = 1;

// Pause in milliseconds after a pass that ended with nRecvResult (a net layer
// code): 0 after a datagram or a time-out, kRecvBackoffMs after a failure that
// will not go away by itself (no endpoint, no socket, no buffer) and after a
// failed wait or read, so that such a failure cannot make the loop spin.
uint32_t RecvPauseMs(int32_t nRecvResult);

// The daemon's endpoint, bound to 127.0.0.1:12345 with a kLogRecvBufSize
// buffer. It holds the port exclusively. *pResult is 0 when it is bound, else
// why not (CUdpNetLayer::GetBindResult; NET_ERR_HANDLE when it could not be
// allocated: the endpoint is then null).
std::unique_ptr<CUdpNetLayer> OpenReceiveEndpoint(int32_t* pResult);
// The daemon's endpoint on socket, one bound to 127.0.0.1:12345 already and
// made to hold the port exclusively by its creator (the one a service manager
// passed, ListenSocket.h), which the endpoint then owns: with a
// kLogRecvBufSize buffer, and taking datagrams from every sender (a socket
// that a stopping daemon had sealed is opened again). *pResult as above; the
// socket is closed when no endpoint could be allocated.
std::unique_ptr<CUdpNetLayer> AdoptReceiveEndpoint(CUniqueFd socket, int32_t* pResult);

// What the loop counted, for the statistics (Stats.h). The loop's thread
// adds, any thread reads; relaxed: each is a count on its own, ordering
// nothing else.
struct RecvCounters {
    // Datagrams the loop took from its socket and handed on.
    std::atomic<uint64_t> nReceived{0};
    // Of those, the datagrams without text (empty, or a NUL first), which write
    // nothing. Every other datagram is written or counted once by its loss
    // cause.
    std::atomic<uint64_t> nEmpty{0};
    // Of the others, the datagrams dropped for their sender's fair share: from
    // a user of the local intake, and over UDP.
    std::atomic<uint64_t> nLimitedUid{0};
    std::atomic<uint64_t> nLimitedUdp{0};
};

// The loop's owner's share of its work, called on the loop's thread.
class CRecvHooks {
public:
    // About once a second, and at once after a statistics request (SIGUSR1,
    // g_bStatsRequest) with bRequested set.
    virtual void OnRecvTick(bool bRequested) = 0;
    // Once, when the loop has seen the stop request and before it takes what
    // is still queued on its socket.
    virtual void OnRecvStop() = 0;

protected:
    ~CRecvHooks() = default;
};

// The loop, with what it owns: its endpoint while it runs, the batch it
// receives into, the time of its last tick and its counters. Run (or RunOn)
// runs on one thread, once or several times one after the other; Counters may
// be read from any thread, also after the loop ended.
//
// Each pass takes the datagrams queued on the socket in one batch (waiting for
// the first up to kRecvWaitUs, or until woken) and hands each on with its
// length; the log module copies each text before the next receive. With a
// local intake one wait covers both sockets and the wake-up, and each pass
// takes a batch from each socket that has datagrams, the UDP one first; a
// local datagram comes with its sender, whose fair share it counts against. A stop
// request (g_bStopRecv) is seen after every pass and during every pause: with a
// wake-up at once, without one at the end of the loop's wait. The loop then
// takes, without waiting, every datagram already queued on the sockets
// (sealed first, so that a client's next datagram is refused and stays with
// the client), destroys them and returns.
class CRecvLoop {
public:
    // pHooks, pLimit: null for none; not owned, they outlive every Run. The
    // loop ends pLimit's windows at its ticks.
    explicit CRecvLoop(CRecvHooks* pHooks = nullptr, CSenderLimit* pLimit = nullptr);
    ~CRecvLoop();
    CRecvLoop(const CRecvLoop&) = delete;
    CRecvLoop& operator=(const CRecvLoop&) = delete;

    // Runs the loop on an endpoint of its own, made here unless a stop is
    // requested already. It holds the port exclusively: no other socket can
    // bind it while the daemon runs. When the bind fails, one line saying why
    // goes to standard error and the result is kRecvErrBind; otherwise 0 (also
    // when no socket could be opened at all: the loop then runs, pausing after
    // each failed pass). Whether the endpoint is bound is not examined
    // otherwise: one that is not stays quiet.
    int Run();
    // The same on pEndpoint, opened (and checked) before by
    // OpenReceiveEndpoint or AdoptReceiveEndpoint, and on pIntake (null:
    // none); both are destroyed when the loop ends. A stop requested before
    // the call still takes what is queued on them. 0.
    int RunOn(std::unique_ptr<CUdpNetLayer> pEndpoint,
              std::unique_ptr<CLocalIntake> pIntake = nullptr);

    const RecvCounters& Counters() const { return m_stCounters; }

private:
    int RunSteps(bool bOpenHere);
    int32_t Receive(CNetRecvBatch* pBatch, uint32_t nTimeOutUs, int nWakeFd, bool* pWoken);
    int32_t ReceiveBoth(CNetRecvBatch* pBatch, bool* pWoken, bool* pGather);
    int32_t TakeFromEach(CNetRecvBatch* pBatch, bool bUdp, bool bLocal, bool* pGather);
    void HandOnBatch(const CNetRecvBatch& batch, bool bLocal);
    void HandOn(const uint8_t* pData, uint32_t nLen, const ucred* pFrom);
    bool Admitted(const ucred* pFrom);
    void CountSocketDrops(const CNetRecvBatch& batch);
    int32_t TakeQueued(CNetRecvBatch* pBatch);
    void SealEndpoint();
    void TickIfDue();
    bool BindFailed();

    CRecvHooks* const m_pHooks;    // null: none
    CSenderLimit* const m_pLimit;  // null: none
    // Null when it could not be allocated: every receive then fails with
    // NET_ERR_PARAM, and the loop pauses as for an endpoint that is missing.
    const std::unique_ptr<CNetRecvBatch> m_pBatch;
    // The rest belongs to the thread that runs the loop.
    std::unique_ptr<CUdpNetLayer> m_pEndpoint;  // while Run runs; null: none
    std::unique_ptr<CLocalIntake> m_pIntake;    // while Run runs; null: none
    int64_t m_llBatchMs;                        // MonotonicMs when the batch handed on was taken
    int m_nWakeFd;                              // RecvWake.h's read end; -1 without one
    int64_t m_llLastTickMs;                     // MonotonicMs of the last tick
    // A writer that made no room for the longest wait is stuck: later
    // datagrams are not waited for until the ring takes one again.
    bool m_bWriterStuck;
    uint32_t m_nSocketDropsSeen;  // the kernel's drop count at the last batch
    RecvCounters m_stCounters;
};
