#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <cstdint>

// A two-state wake signal on a process-private semaphore. Sets never raise the
// count above one (a post from a signal handler may: PostSemEventFromSignal).
// Auto reset: a successful wait consumes the signal; manual reset: it stays
// set until ResetSemEvent. Any thread may set, reset or wait; m_Mutex
// serialises set, reset and Uninit (waits do not take it). The owner frees the
// event only when no thread waits on it any more.
class CSemEvent {
public:
    CSemEvent();
    ~CSemEvent() = default;
    CSemEvent(const CSemEvent&) = delete;
    CSemEvent& operator=(const CSemEvent&) = delete;

    // 0, or -1 when the mutex or the semaphore cannot be created. A second Init
    // returns 0 and changes nothing.
    int Init(int32_t nManualReset, uint32_t nInitialCount);
    void Uninit();
    // 0 when signalled; ETIMEDOUT or EINTR as errno gives them; -1 otherwise.
    int Wait();
    // Waits at most nMs milliseconds, measured on the monotonic clock. 0 when
    // signalled, EINVAL for a negative nMs, else the errno of sem_clockwait.
    int TimedWait(int32_t nMs);

private:
    friend int SetSemEvent(CSemEvent* pEvent);
    friend int ResetSemEvent(CSemEvent* pEvent);
    friend int PostSemEventFromSignal(CSemEvent* pEvent);

    int32_t m_bManualReset;
    sem_t m_Sem;              // count > 0: the event is set
    pthread_mutex_t m_Mutex;  // serialises SetSemEvent, ResetSemEvent, Uninit
    uint8_t m_bInited;
};

// Allocates and initialises an event; null with errno = ENOMEM on failure.
CSemEvent* CreateSemEvent(int32_t nManualReset, uint32_t nInitialCount);
// nMs == -1 waits without limit. Null event: EINVAL.
int WaitSemEvent(CSemEvent* pEvent, int32_t nMs);
// 1 when the event is (now) set, 0 for a null event or a failed post.
int SetSemEvent(CSemEvent* pEvent);
// SetSemEvent for a signal handler: sem_post alone, which is async-signal-safe
// (SetSemEvent takes m_Mutex, which a handler may not). The count may then
// rise above one; that only ends as many of the following waits early. 1, or
// 0 for a null event or a failed post.
int PostSemEventFromSignal(CSemEvent* pEvent);
// Drains the count; 1, or 0 for a null event.
int ResetSemEvent(CSemEvent* pEvent);
// Uninit and free; 1, or 0 for a null event.
int FreeSemEvent(CSemEvent* pEvent);

// Deadline arithmetic of TimedWait, exposed for tests: now (sec, usec) plus nMs
// milliseconds, with the carried second.
void SemEventDeadline(int64_t nNowSec, int64_t nNowUsec, int32_t nMs, int64_t* pSec,
                      int64_t* pNsec);
