#include "logmodule/CrashFlush.h"

#include "platform/MonotonicClock.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr int kCrashSignals[CCrashFlush::kSignalCount] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr long kWaitStepNs = 1000000;  // a handler's look at another's flush
// A fault on a second thread waits this long at most for the first one's
// flush, which the process does not outlive.
constexpr int64_t kOtherFlushWaitNs = kCrashFlushBudgetNs + 100000000;

// Constant-initialised (constexpr constructor): ready before any code runs,
// and never destroyed, so a handler can reach it at any time.
CCrashFlush g_CrashFlush;

void WaitStep() {
    struct timespec stStep = {0, kWaitStepNs};
    (void)nanosleep(&stStep, nullptr);  // an interrupted step only ends early
}

bool IsOurs(const struct sigaction& stAction, void (*pfnHandler)(int, siginfo_t*, void*)) {
    return (stAction.sa_flags & SA_SIGINFO) != 0 && stAction.sa_sigaction == pfnHandler;
}

}  // namespace

CCrashFlush& CrashFlush() { return g_CrashFlush; }

bool CCrashFlush::Install(ZIdOrereDov* pEngine) {
    if (m_bInstalled) {
        SetEngine(pEngine);
        return true;
    }
    // The old actions are read first and kept before the handler can run:
    // reading them with the installing call would leave a moment in which a
    // fault finds them not yet written.
    for (uint32_t i = 0; i < kSignalCount; ++i) {
        if (sigaction(kCrashSignals[i], nullptr, &m_stOld[i]) != 0) return false;
    }
    m_nFlushTid.store(0);
    m_bFlushDone.store(0);
    SetEngine(pEngine);

    struct sigaction stOurs = {};
    stOurs.sa_sigaction = &CCrashFlush::OnSignal;
    // SA_ONSTACK takes effect only on a thread with an alternate stack.
    stOurs.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // Every crash signal waits while a flush runs on this thread: a second
    // fault there ends the process at once (the kernel does not hold back a
    // fault), and no flush starts within another.
    (void)sigemptyset(&stOurs.sa_mask);  // cannot fail
    for (const int nSignal : kCrashSignals)
        (void)sigaddset(&stOurs.sa_mask, nSignal);  // valid numbers
    for (uint32_t i = 0; i < kSignalCount; ++i) {
        if (sigaction(kCrashSignals[i], &stOurs, nullptr) == 0) continue;
        for (uint32_t j = 0; j < i; ++j) (void)sigaction(kCrashSignals[j], &m_stOld[j], nullptr);
        SetEngine(nullptr);
        return false;
    }
    m_bInstalled = true;
    return true;
}

void CCrashFlush::Remove() {
    if (!m_bInstalled) return;
    for (uint32_t i = 0; i < kSignalCount; ++i) {
        struct sigaction stNow = {};
        if (sigaction(kCrashSignals[i], nullptr, &stNow) == 0 &&
            IsOurs(stNow, &CCrashFlush::OnSignal)) {
            (void)sigaction(kCrashSignals[i], &m_stOld[i], nullptr);  // as it was read: accepted
        }
    }
    SetEngine(nullptr);
    // A handler that runs still uses the engine. It ends within its budget;
    // the process then ends too, unless the old action lets it go on.
    while (m_nActive.load() != 0) WaitStep();
    m_bInstalled = false;
}

// Every handled signal gets its old action back, so that a fault from here on
// (also inside the old action) takes that course and never returns here.
void CCrashFlush::RestoreActions() {
    for (uint32_t i = 0; i < kSignalCount; ++i) {
        (void)sigaction(kCrashSignals[i], &m_stOld[i], nullptr);  // accepted at Install
    }
}

// The handler. After the drain and with the old actions back, the signal takes
// its course again: a fault of the processor (si_code > 0) happens again when
// the handler returns, at the same instruction, so an old handler sees its
// own address and cause; a signal that was sent (abort, raise, kill) is sent
// again, and arrives as the handler returns (it is blocked until then).
void CCrashFlush::OnSignal(int nSignal, siginfo_t* pInfo, void* /*pContext*/) {
    const int nSavedErrno = errno;
    CCrashFlush& self = g_CrashFlush;
    self.m_nActive.fetch_add(1);
    const auto nTid = static_cast<int32_t>(gettid());
    int32_t nFlushing = 0;
    if (self.m_nFlushTid.compare_exchange_strong(nFlushing, nTid)) {
        ZIdOrereDov* pEngine = self.m_pEngine.load();
        if (pEngine != nullptr) (void)pEngine->DrainForCrash(MonotonicNs() + kCrashFlushBudgetNs);
        self.RestoreActions();
        self.m_bFlushDone.store(1);
    } else if (nFlushing != nTid) {
        // Another thread's fault is being flushed, from the same ring: this
        // one waits for it rather than drain a second time.
        const int64_t llEndNs = MonotonicNs() + kOtherFlushWaitNs;
        while (self.m_bFlushDone.load() == 0 && MonotonicNs() < llEndNs) WaitStep();
        self.RestoreActions();
    } else {
        // This thread again, within its own flush (abort() lets SIGABRT
        // through): no second flush.
        self.RestoreActions();
    }
    self.m_nActive.fetch_sub(1);
    errno = nSavedErrno;
    const bool bFault = pInfo != nullptr && pInfo->si_code > 0 && nSignal != SIGABRT;
    if (!bFault) (void)raise(nSignal);  // pending until the return; cannot fail for these
}
