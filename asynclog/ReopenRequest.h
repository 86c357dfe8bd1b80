#pragma once

#include <atomic>

// A request to the writer thread to reopen its current log file and reload the
// configuration file at its next pass: what a log rotation tool expects after
// it moved the file aside (the daemon asks on SIGHUP, through the log module's
// ReopenAsyncLog). The request is process-wide, as a process has one log module
// and so one engine taking requests; several requests before the writer looks
// are one reopen.
//
// RequestReopen may be called on any thread; TakeReopenRequest is for the
// writer, which gets true once per request. Relaxed is enough: the flag
// carries no data, the writer rereads the file and the configuration itself.

inline std::atomic<bool> g_bReopenRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the request must not take a lock");

inline void RequestReopen() { g_bReopenRequested.store(true, std::memory_order_relaxed); }

inline bool TakeReopenRequest() {
    return g_bReopenRequested.exchange(false, std::memory_order_relaxed);
}
