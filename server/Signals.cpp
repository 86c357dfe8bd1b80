#include "server/Signals.h"

#include "server/RecvWake.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

std::atomic<bool> g_bStopRecv{false};
std::atomic<bool> g_bReopenLog{false};
std::atomic<bool> g_bStatsRequest{false};
std::atomic<bool> g_bSyncRequest{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the request flags are set from signal handlers: they must be lock-free");

namespace {

// Each handler sets its flag, then wakes the receive loop, which may be waiting
// for a datagram for up to a second (on whatever thread the signal came).
void OnStopSignal(int) {
    g_bStopRecv.store(true, std::memory_order_relaxed);
    WakeRecvLoop();
}
void OnPowerSignal(int) {
    g_bSyncRequest.store(true, std::memory_order_relaxed);
    OnStopSignal(0);
}
void OnReopenSignal(int) {
    g_bReopenLog.store(true, std::memory_order_relaxed);
    WakeRecvLoop();
}
void OnStatsSignal(int) {
    g_bStatsRequest.store(true, std::memory_order_relaxed);
    WakeRecvLoop();
}

struct SignalAction {
    int nSignal;
    void (*pfnHandler)(int);  // SIG_IGN for an ignored signal
};

// The table of Signals.h; the real-time signals, whose numbers are known only
// at run time, are ignored by InstallSignalHandlers itself.
const SignalAction kActions[] = {
    {SIGTERM, OnStopSignal}, {SIGINT, OnStopSignal},   {SIGXCPU, OnStopSignal},
    {SIGPWR, OnPowerSignal}, {SIGHUP, OnReopenSignal}, {SIGUSR1, OnStatsSignal},
    {SIGUSR2, SIG_IGN},      {SIGPIPE, SIG_IGN},       {SIGXFSZ, SIG_IGN},
    {SIGALRM, SIG_IGN},      {SIGVTALRM, SIG_IGN},     {SIGPROF, SIG_IGN},
    {SIGIO, SIG_IGN},
#ifdef SIGSTKFLT
    {SIGSTKFLT, SIG_IGN},
#endif
};

bool Install(int nSignal, void (*pfnHandler)(int)) {
    struct sigaction stAction;
    std::memset(&stAction, 0, sizeof(stAction));
    stAction.sa_handler = pfnHandler;
    // No SA_RESTART: a wait of the receive loop that a signal interrupts
    // ends at once and the loop sees the flag.
    stAction.sa_flags = 0;
    return sigemptyset(&stAction.sa_mask) == 0 && sigaction(nSignal, &stAction, nullptr) == 0;
}

}  // namespace

bool InstallSignalHandlers() {
    for (const SignalAction& stEntry : kActions) {
        if (!Install(stEntry.nSignal, stEntry.pfnHandler)) return false;
    }
    for (int nSignal = SIGRTMIN; nSignal <= SIGRTMAX; ++nSignal) {
        // EINVAL: a number this system cannot hand out (an emulator keeps some
        // for itself), so it cannot arrive either.
        if (!Install(nSignal, SIG_IGN) && errno != EINVAL) return false;
    }
    return true;
}

void BlockHandledSignals(bool bBlock) {
    sigset_t stSet;
    // sigemptyset and sigaddset fail only for an invalid signal number.
    (void)sigemptyset(&stSet);
    for (const SignalAction& stEntry : kActions) {
        if (stEntry.pfnHandler != SIG_IGN) (void)sigaddset(&stSet, stEntry.nSignal);
    }
    // Fails only for an invalid "how"; the handlers work either way.
    (void)pthread_sigmask(bBlock ? SIG_BLOCK : SIG_UNBLOCK, &stSet, nullptr);
}
