#include "server/Signals.h"

#include "server/MessageRecv.h"
#include "server/RecvWake.h"

#include <pthread.h>
#include <signal.h>

#include <cstring>

std::atomic<bool> g_bStatsRequest{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "g_bStatsRequest is set from a signal handler: it must be lock-free");

namespace {

// Each handler sets its flag, then wakes the receive loop, which may be waiting
// for a datagram for up to a second (on whatever thread the signal came).
void OnStopSignal(int) {
    g_bStopRecv.store(true, std::memory_order_relaxed);
    WakeRecvLoop();
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

const SignalAction kActions[] = {
    {SIGTERM, OnStopSignal},  {SIGINT, OnStopSignal}, {SIGHUP, OnReopenSignal},
    {SIGUSR1, OnStatsSignal}, {SIGUSR2, SIG_IGN},     {SIGPIPE, SIG_IGN},
};

}  // namespace

bool InstallSignalHandlers() {
    for (const SignalAction& stEntry : kActions) {
        struct sigaction stAction;
        std::memset(&stAction, 0, sizeof(stAction));
        stAction.sa_handler = stEntry.pfnHandler;
        // No SA_RESTART: a wait of the receive loop that a signal interrupts
        // ends at once and the loop sees the flag.
        stAction.sa_flags = 0;
        if (sigemptyset(&stAction.sa_mask) != 0) return false;
        if (sigaction(stEntry.nSignal, &stAction, nullptr) != 0) return false;
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
