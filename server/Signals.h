#pragma once

#include <atomic>

// The daemon's signals. The handlers only set flags and wake the receive loop
// (RecvWake.h); the loop acts on them on the main thread (RecvLoop.h):
//   SIGTERM, SIGINT  g_bStopRecv: stop in order, writing what was received
//   SIGXCPU          the same: the soft CPU limit is reached, and the hard
//                    limit (SIGKILL) follows; the stop writes what is held
//                    before it comes
//   SIGPWR           the same, and g_bSyncRequest: the power is failing, so
//                    the log files are synced to disk as soon as the loop sees
//                    the stop and again after everything held is written
//   SIGHUP           g_bReopenLog: the writer reopens its file and reloads
//                    LogServer.ini (what log rotation tools send)
//   SIGUSR1          g_bStatsRequest: the statistics as a record of its own
//   SIGUSR2          ignored
//   SIGPIPE          ignored: a write to a closed pipe or socket fails with
//                    EPIPE instead of ending the process
//   SIGXFSZ          ignored: a write beyond the file size limit fails with
//                    EFBIG and its records count as a failed write
//   SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGSTKFLT, SIGRTMIN..SIGRTMAX
//                    ignored: the daemon sets no timer, asks for no
//                    asynchronous I/O and has no use for the real-time
//                    signals, so any of them is a stray one
// None of them ends the daemon without the orderly stop. SIGSEGV, SIGBUS,
// SIGILL, SIGFPE and SIGABRT belong to the log module's crash flush
// (logmodule/CrashFlush.h), installed by CreateAsyncLog: the records in the
// ring are written, then the signal ends the daemon with a core dump, as a
// crash does. The other signals not listed keep their default action:
// SIGQUIT, SIGSYS and SIGTRAP end it at once with a core dump; SIGKILL and
// SIGSTOP cannot be caught.

// The flags below are what the handlers share with the rest of the daemon:
// lock-free atomics, as a handler may touch nothing else.

// Stop request of the receive loop. Cleared by start-up; set by the SIGTERM and
// SIGINT handlers (which then wake the loop, RecvWake.h) or by a test. The loop
// reads it after every pass and during every pause: a request with a wake-up
// takes effect at once, one without at the end of the loop's wait (at most
// kRecvWaitUs). Relaxed accesses suffice: the flag carries no data with it, and
// what the loop does afterwards (draining its socket) does not depend on
// anything the setter wrote before setting it.
extern std::atomic<bool> g_bStopRecv;

// Request to reopen the log file and reload the configuration: set by the
// SIGHUP handler (or a test), taken by the loop after a pass, which then calls
// ReopenAsyncLog. Relaxed for the same reason as g_bStopRecv.
extern std::atomic<bool> g_bReopenLog;

// Set by the SIGUSR1 handler, taken by the receive loop. Relaxed, like every
// flag here: it carries no data.
extern std::atomic<bool> g_bStatsRequest;

// Set by the SIGPWR handler before it sets g_bStopRecv; read by the daemon on
// the main thread, the only one that takes the handled signals (the others
// block them), so relaxed accesses see it together with the stop.
extern std::atomic<bool> g_bSyncRequest;

// Installs the handlers and dispositions above. True when every one is in
// place; after false the signals not yet handled keep their default action.
bool InstallSignalHandlers();

// Blocks (bBlock) or unblocks the handled signals for the calling thread.
// Threads inherit the mask: threads created while they are blocked (the
// engine's writer) never take them, so the main thread's wait is the one a
// signal interrupts.
void BlockHandledSignals(bool bBlock);
