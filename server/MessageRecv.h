#pragma once

#include "platform/UdpNetLayer.h"

#include <atomic>
#include <cstdint>
#include <memory>

// The daemon's receive loop: one UDP endpoint on 127.0.0.1:12345 whose every
// datagram is handed, as one text, to the log module's WriteRawLog.

// Stop request of the receive loop. Cleared by start-up; set by the SIGTERM and
// SIGINT handlers (which then wake the loop, RecvWake.h) or by a test. The loop
// reads it after every pass and during every pause: a request with a wake-up
// takes effect at once, one without at the end of the loop's wait (at most
// kRecvWaitUs). Relaxed accesses suffice: the flag carries no data with it, and what
// the loop does afterwards (draining its socket) does not depend on anything the
// setter wrote before setting it.
extern std::atomic<bool> g_bStopRecv;
static_assert(std::atomic<bool>::is_always_lock_free,
              "g_bStopRecv is set from a signal handler: it must be lock-free");

// Request to reopen the log file and reload the configuration: set by the
// SIGHUP handler (or a test), taken by the loop after a pass, which then calls
// ReopenAsyncLog. Relaxed for the same reason as g_bStopRecv.
extern std::atomic<bool> g_bReopenLog;

constexpr uint32_t kRecvBatchCount = 64;  // datagrams taken with one system call
// Longest wait for a datagram or a wake-up: the loop wakes by itself once a
// second when idle, to look at requests that came without a wake-up.
constexpr uint32_t kRecvWaitUs = 1000000;
constexpr uint32_t kRecvBackoffMs = 100;  // pause after a lasting receive failure
constexpr uint32_t kRecvStopPollMs = 10;  // the pause checks the stop flag this often
// Longest wait for room in a full ring once a stop is requested; without one,
// a writer that makes no room for 2 s counts as stuck.
constexpr uint32_t kFullRingStopWaitMs = 100;

// Datagrams the loop took from its socket and handed on (statistics; the
// loop's thread adds, any thread reads, relaxed).
extern std::atomic<uint64_t> g_nRecvDatagrams;
// Of those, the datagrams without text (empty, or a NUL first), which write
// nothing. Every other datagram is written or counted once by its loss cause.
extern std::atomic<uint64_t> g_nRecvEmpty;

// Called by the loop on its own thread about once a second, and at once after
// a statistics request (SIGUSR1, g_bStatsRequest) with bRequested set.
using RecvTickFn = void (*)(void* pContext, bool bRequested);
// Sets the hook (null: none). Before the loop runs.
void SetRecvTick(RecvTickFn pfnTick, void* pContext);
// Called by the loop on its own thread once, when it has seen the stop request
// and before it takes what is still queued on its socket. Set (null: none)
// before the loop runs.
using RecvStopFn = void (*)(void* pContext);
void SetRecvStopHook(RecvStopFn pfnStop, void* pContext);

// Pause in milliseconds after a pass that ended with nRecvResult (a net layer
// code): 0 after a datagram or a time-out, kRecvBackoffMs after a failure that
// will not go away by itself (no endpoint, no socket, no buffer) and after a
// failed wait or read, so that such a failure cannot make the loop spin.
uint32_t RecvPauseMs(int32_t nRecvResult);

// The daemon's endpoint, bound to 127.0.0.1:12345 with a kLogRecvBufSize buffer.
// It holds the port exclusively. *pResult is 0 when it is bound, else why not
// (CUdpNetLayer::GetBindResult,
// NET_ERR_HANDLE when it could not be allocated; the endpoint is then null).
std::unique_ptr<CUdpNetLayer> OpenReceiveEndpoint(int32_t* pResult);
// The daemon's endpoint on socket, one bound to 127.0.0.1:12345 already
// and made to hold the port exclusively by its creator (the one a service
// manager passed, ListenSocket.h), which the endpoint then owns: with a
// kLogRecvBufSize buffer, and taking datagrams from every sender (a socket that a
// stopping daemon had sealed is opened again). *pResult as above.
std::unique_ptr<CUdpNetLayer> AdoptReceiveEndpoint(CUniqueFd socket, int32_t* pResult);
// MessageRecv's result when its endpoint could not bind 127.0.0.1:12345 (the
// port is held by another socket): the daemon must not run without its port.
constexpr int kRecvErrBind = 1;

// Runs the receive loop until g_bStopRecv is set; then takes, without waiting,
// every datagram already queued on the socket, destroys the endpoint and returns.
// pUser is the daemon's base directory; it is only tested for null.
// The endpoint holds the port exclusively: no other socket can bind it while the
// daemon runs. When the bind fails, one line saying why goes to standard error
// and the result is kRecvErrBind; otherwise 0 (also when no socket could be
// opened at all: the loop then runs, pausing after each failed pass).
// Runs on one thread. Each pass takes the datagrams queued on the socket in one
// batch (waiting for the first up to kRecvWaitUs, or until woken) and hands
// each on with its length; the log module copies each text before the next
// receive.
// Whether the endpoint is bound is not examined: one that is not stays quiet.
int MessageRecv(void* pUser);

// MessageRecv on an endpoint opened (and checked) before, by
// OpenReceiveEndpoint; it is destroyed when the loop ends. A stop requested
// before the call still takes what is queued on it.
int MessageRecvOn(std::unique_ptr<CUdpNetLayer> pNet, void* pUser);
