#pragma once

#include <atomic>

// The daemon's signals. The handlers only set flags and wake the receive loop
// (RecvWake.h); the loop acts on them on the main thread (MessageRecv.h):
//   SIGTERM, SIGINT  g_bStopRecv: stop in order, writing what was received
//   SIGHUP           g_bReopenLog: the writer reopens its file and reloads
//                    LogServer.ini (what log rotation tools send)
//   SIGUSR1          g_bStatsRequest: reserved for the daemon's statistics
//   SIGUSR2          ignored
//   SIGPIPE          ignored: a write to a closed pipe or socket fails with
//                    EPIPE instead of ending the process
// None of them ends the daemon without the orderly stop.

// Set by the SIGUSR1 handler; not read yet. Relaxed, like every flag here: it
// carries no data.
extern std::atomic<bool> g_bStatsRequest;

// Installs the handlers and dispositions above. True when every one is in
// place; after false the signals not yet handled keep their default action.
bool InstallSignalHandlers();

// Blocks (bBlock) or unblocks the handled signals for the calling thread.
// Threads inherit the mask: threads created while they are blocked (the
// engine's writer) never take them, so the main thread's wait is the one a
// signal interrupts.
void BlockHandledSignals(bool bBlock);
