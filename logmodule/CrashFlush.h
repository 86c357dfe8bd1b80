#pragma once

#include "asynclog/ZIdOrereDov.h"

#include <signal.h>

#include <atomic>
#include <cstdint>

// How long a crash flush may take, from the fault to the signal raised again:
// the drain gets this much, the rest of a second is the handler's own.
constexpr int64_t kCrashFlushBudgetNs = 900000000;

// The crash flush of the log module: a handler for the signals of a crash
// (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, so also std::terminate and a
// failed assert) that hands every record already queued to the engine's
// files or the daemon (ZIdOrereDov::DrainForCrash, within
// kCrashFlushBudgetNs), then puts back the actions that were there before
// and lets the signal take its course again: the process ends as it would
// have without the handler, by that signal and with a core dump, or in the
// application's own handler.
//
// Unlike the daemon's handlers, which only set a flag, this one does the work
// itself, as nothing runs after it: with async-signal-safe calls only, no
// lock (the faulting thread may hold the module lock or the engine lock), no
// allocation. It runs on the alternate signal stack where the application
// gave the thread one (SA_ONSTACK), so a stack overflow is covered there.
//
// One per process (CrashFlush()), a global because a signal handler reaches
// it. Threads: Install, Remove and SetEngine run under the module lock; the
// handler runs on whichever thread faulted.
class CCrashFlush {
public:
    // The signals handled (kCrashSignals in CrashFlush.cpp, the order of m_stOld).
    static constexpr uint32_t kSignalCount = 5;

    constexpr CCrashFlush() = default;
    CCrashFlush(const CCrashFlush&) = delete;
    CCrashFlush& operator=(const CCrashFlush&) = delete;

    // Installs the handler for every crash signal, keeping the actions
    // found, and drains pEngine at a crash; while installed, only takes the
    // engine. False, with nothing installed, when sigaction refuses a signal.
    bool Install(ZIdOrereDov* pEngine);
    // Puts back the actions kept by Install for each signal whose action is
    // still this handler (an action the application installed since stays),
    // once no handler runs any more: the caller may then free the engine.
    // Nothing when not installed.
    void Remove();
    // The engine a crash drains from now on; null for none (in the child of a
    // fork: the parent's engine has no writer there).
    void SetEngine(ZIdOrereDov* pEngine) { m_pEngine.store(pEngine); }
    bool Installed() const { return m_bInstalled; }

private:
    static void OnSignal(int nSignal, siginfo_t* pInfo, void* pContext);
    void RestoreActions();

    // Install and Remove store it, the handler loads it. Sequentially
    // consistent, as m_nActive: either Remove sees a handler counted, or the
    // handler sees the engine gone.
    std::atomic<ZIdOrereDov*> m_pEngine{nullptr};
    std::atomic<uint32_t> m_nActive{0};  // handlers running now
    // The thread whose fault is being flushed (0: none yet): the first handler
    // takes it, any other waits for m_bFlushDone instead of draining again.
    // Reset by Install.
    std::atomic<int32_t> m_nFlushTid{0};
    std::atomic<uint32_t> m_bFlushDone{0};
    bool m_bInstalled = false;  // the module lock's
    // The actions found by Install, written before the handler is in place,
    // then only read (by the handler and Remove).
    struct sigaction m_stOld[kSignalCount] = {};
};

CCrashFlush& CrashFlush();
