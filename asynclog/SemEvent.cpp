#include "asynclog/SemEvent.h"

#include <cerrno>
#include <ctime>
#include <new>

namespace {

constexpr int kSemOk = 0;
constexpr int kSemFailed = -1;  // Init and Wait: an error other than a time-out or a signal
constexpr int kSemFalse = 0;    // SetSemEvent, ResetSemEvent, FreeSemEvent
constexpr int kSemTrue = 1;
constexpr int32_t kWaitForever = -1;
constexpr int kProcessPrivate = 0;  // sem_init's pshared argument

constexpr int64_t kMsPerSec = 1000;
constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerMs = 1000 * 1000;
constexpr int64_t kNsPerSec = 1000 * 1000 * 1000;

// Result of a failed sem_wait or sem_clockwait: a time-out and an interruption
// pass through for the caller to tell apart, anything else is reported as is
// by TimedWait and folded into -1 by Wait.
int WaitError(bool bFoldOthers) {
    const int nErr = errno;
    if (nErr == ETIMEDOUT || nErr == EINTR || !bFoldOthers) return nErr;
    return kSemFailed;
}

}  // namespace

CSemEvent::CSemEvent() : m_bManualReset(0), m_Sem(), m_Mutex(), m_bInited(0) {}

int CSemEvent::Init(int32_t nManualReset, uint32_t nInitialCount) {
    if (m_bInited != 0) return kSemOk;
    if (pthread_mutex_init(&m_Mutex, nullptr) != 0) return kSemFailed;
    if (sem_init(&m_Sem, kProcessPrivate, nInitialCount) != 0) {
        // A count above SEM_VALUE_MAX lands here. The mutex was made above and
        // nothing else knows of it; its destruction cannot fail.
        (void)pthread_mutex_destroy(&m_Mutex);
        return kSemFailed;
    }
    m_bManualReset = nManualReset;
    m_bInited = 1;
    return kSemOk;
}

void CSemEvent::Uninit() {
    if (m_bInited == 0) return;
    // Both objects were created by Init and no thread waits any more (the
    // owner's contract), so their destruction cannot fail: results ignored.
    (void)pthread_mutex_lock(&m_Mutex);
    (void)sem_destroy(&m_Sem);
    (void)pthread_mutex_unlock(&m_Mutex);
    (void)pthread_mutex_destroy(&m_Mutex);
    m_bInited = 0;
}

int CSemEvent::Wait() {
    if (sem_wait(&m_Sem) != 0) return WaitError(true);
    // Manual reset: put the signal back for the next waiter. A failed post
    // (count at SEM_VALUE_MAX) still leaves the event set.
    if (m_bManualReset != 0) (void)sem_post(&m_Sem);
    return kSemOk;
}

int CSemEvent::TimedWait(int32_t nMs) {
    if (nMs < 0) return EINVAL;
    // The deadline on the monotonic clock: a step of the wall clock (an NTP
    // correction, a clock set by hand) neither stretches nor cuts the wait.
    struct timespec now {};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return errno;
    int64_t nSec = 0;
    int64_t nNsec = 0;
    SemEventDeadline(now.tv_sec, now.tv_nsec / kNsPerUs, nMs, &nSec, &nNsec);
    struct timespec deadline {};
    deadline.tv_sec = static_cast<time_t>(nSec);
    deadline.tv_nsec = static_cast<long>(nNsec);
    if (sem_clockwait(&m_Sem, CLOCK_MONOTONIC, &deadline) != 0) return WaitError(false);
    // Manual reset: as in Wait.
    if (m_bManualReset != 0) (void)sem_post(&m_Sem);
    return kSemOk;
}

void SemEventDeadline(int64_t nNowSec, int64_t nNowUsec, int32_t nMs, int64_t* pSec,
                      int64_t* pNsec) {
    if (pSec == nullptr || pNsec == nullptr) return;
    // TimedWait rejects negative time-outs first; here they count as 0.
    const int64_t nMs64 = nMs < 0 ? 0 : nMs;
    // At most 999,999,000 + 999,000,000: below two seconds, one carried at most.
    const int64_t nNsSum = nNowUsec * kNsPerUs + (nMs64 % kMsPerSec) * kNsPerMs;
    *pSec = nNowSec + nMs64 / kMsPerSec + nNsSum / kNsPerSec;
    *pNsec = nNsSum % kNsPerSec;
}

CSemEvent* CreateSemEvent(int32_t nManualReset, uint32_t nInitialCount) {
    CSemEvent* pEvent = new (std::nothrow) CSemEvent();
    if (pEvent == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (pEvent->Init(nManualReset, nInitialCount) != 0) {
        pEvent->Uninit();
        delete pEvent;
        errno = ENOMEM;
        return nullptr;
    }
    return pEvent;
}

int WaitSemEvent(CSemEvent* pEvent, int32_t nMs) {
    if (pEvent == nullptr) return EINVAL;
    if (nMs == kWaitForever) return pEvent->Wait();
    return pEvent->TimedWait(nMs);
}

int SetSemEvent(CSemEvent* pEvent) {
    if (pEvent == nullptr) return kSemFalse;
    // The mutex of an initialised event cannot fail to lock or unlock (default
    // type, never held across a wait): results ignored here and below.
    (void)pthread_mutex_lock(&pEvent->m_Mutex);
    int nCount = 0;
    // A failed read leaves nCount at 0 and the post below goes ahead.
    (void)sem_getvalue(&pEvent->m_Sem, &nCount);
    if (nCount > 0) {
        (void)pthread_mutex_unlock(&pEvent->m_Mutex);
        return kSemTrue;
    }
    const int nPost = sem_post(&pEvent->m_Sem);
    (void)pthread_mutex_unlock(&pEvent->m_Mutex);
    return nPost == 0 ? kSemTrue : kSemFalse;
}

int PostSemEventFromSignal(CSemEvent* pEvent) {
    if (pEvent == nullptr) return kSemFalse;
    return sem_post(&pEvent->m_Sem) == 0 ? kSemTrue : kSemFalse;
}

int ResetSemEvent(CSemEvent* pEvent) {
    if (pEvent == nullptr) return kSemFalse;
    (void)pthread_mutex_lock(&pEvent->m_Mutex);
    int nCount = 0;
    do {
        // EAGAIN on an already clear event is the expected way out; the count
        // read next decides whether to go on, so the take's result is not needed.
        (void)sem_trywait(&pEvent->m_Sem);
        nCount = 0;
        // A failed read counts as 0 and ends the drain.
        (void)sem_getvalue(&pEvent->m_Sem, &nCount);
    } while (nCount > 0);
    (void)pthread_mutex_unlock(&pEvent->m_Mutex);
    return kSemTrue;
}

int FreeSemEvent(CSemEvent* pEvent) {
    if (pEvent == nullptr) return kSemFalse;
    pEvent->Uninit();
    delete pEvent;
    return kSemTrue;
}
