#pragma once

#include "platform/ThreadAnnotations.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>

// Recursive POSIX mutexes. Every function tolerates a null mutex: Lock, Unlock
// and Destroy then return 0 and do nothing, Init returns non-zero.
//
// Returns: InitRecursiveMutex the result of pthread_mutex_init (0 on success);
// the others the result of their pthread call.
int InitRecursiveMutex(pthread_mutex_t* pMutex);
int LockMutex(pthread_mutex_t* pMutex);
int UnlockMutex(pthread_mutex_t* pMutex);
int DestroyMutex(pthread_mutex_t* pMutex);

// One recursive mutex. Used for the module lock, the engine lock, the ring's
// lock and each UDP endpoint's lock. A thread that holds it may take it again
// and must release it as often as it took it. Any thread may lock it.
class ZQ_CAPABILITY("mutex") CZQMutex {
public:
    CZQMutex();
    ~CZQMutex();
    CZQMutex(const CZQMutex&) = delete;
    CZQMutex& operator=(const CZQMutex&) = delete;

    int Lock() ZQ_ACQUIRE();
    // Lock for a lock whose holders keep it only for a few dozen nanoseconds
    // (the module lock around a push into the ring): while another thread
    // holds it, the caller tries again for a few microseconds before it
    // sleeps in the kernel, as a sleeping waiter pays a wake-up of tens of
    // microseconds for a wait far shorter than that. With one CPU the holder
    // cannot run while the caller spins, so it sleeps at once.
    int LockSpinning() ZQ_ACQUIRE();
    int Unlock() ZQ_RELEASE();
    // In the child of a fork only: makes the lock new and free, whichever of
    // the parent's threads held it (they do not exist in the child).
    void ReinitInChild();

private:
    // Bookkeeping of the holder, right after taking and before releasing.
    void Took() {
        if (m_nDepth++ == 0) m_bHeld.store(true, std::memory_order_relaxed);
    }
    void Releasing() {
        if (m_nDepth > 0 && --m_nDepth == 0) m_bHeld.store(false, std::memory_order_relaxed);
    }

    pthread_mutex_t m_Mutex;
    uint32_t m_nDepth;  // how often the holder took it; guarded by m_Mutex
    // True while a thread holds it: a spinning waiter watches this (a read,
    // which leaves the cache line shared with the holder) and tries the
    // mutex only once it looks free. Relaxed: a hint; the mutex orders.
    std::atomic<bool> m_bHeld;
};

// Holds a CZQMutex for the lifetime of the guard.
class ZQ_SCOPED_CAPABILITY CZQLockGuard {
public:
    explicit CZQLockGuard(CZQMutex& mutex) ZQ_ACQUIRE(mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
    ~CZQLockGuard() ZQ_RELEASE() { m_Mutex.Unlock(); }
    CZQLockGuard(const CZQLockGuard&) = delete;
    CZQLockGuard& operator=(const CZQLockGuard&) = delete;

private:
    CZQMutex& m_Mutex;
};

// CZQLockGuard taking the mutex with LockSpinning.
class ZQ_SCOPED_CAPABILITY CZQSpinningLockGuard {
public:
    explicit CZQSpinningLockGuard(CZQMutex& mutex) ZQ_ACQUIRE(mutex) : m_Mutex(mutex) {
        m_Mutex.LockSpinning();
    }
    ~CZQSpinningLockGuard() ZQ_RELEASE() { m_Mutex.Unlock(); }
    CZQSpinningLockGuard(const CZQSpinningLockGuard&) = delete;
    CZQSpinningLockGuard& operator=(const CZQSpinningLockGuard&) = delete;

private:
    CZQMutex& m_Mutex;
};
