#include "platform/ZQMutex.h"

#include "platform/MonotonicClock.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {
// Result of InitRecursiveMutex for a null mutex; never a pthread error code.
constexpr int kMutexErrNull = -1;
constexpr int kMutexOk = 0;

// How long LockSpinning tries before it sleeps: many times the critical
// sections it is meant for, and well below what sleeping costs. Between two
// attempts it waits 1, 2, then kMaxSpinPause pause instructions: enough that
// the waiters do not keep the lock's cache line from its holder, short enough
// that a released lock is seen within a fraction of a critical section.
constexpr int64_t kSpinNs = 5000;
constexpr int kMaxSpinPause = 4;

// Tells the CPU that this is a busy wait (a sibling thread gets the core, the
// loop burns less power); a plain compiler barrier elsewhere.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#else
    __asm__ __volatile__("" ::: "memory");
#endif
}

// Spinning helps only when the holder runs on another CPU at the same time.
bool SpinHelps() {
    static const bool s_bHelps = sysconf(_SC_NPROCESSORS_ONLN) > 1;
    return s_bHelps;
}
}  // namespace

int InitRecursiveMutex(pthread_mutex_t* pMutex) {
    if (pMutex == nullptr) return kMutexErrNull;
    pthread_mutexattr_t attr;
    int nResult = pthread_mutexattr_init(&attr);
    if (nResult != 0) return nResult;
    nResult = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (nResult == 0) nResult = pthread_mutex_init(pMutex, &attr);
    // Destroying an initialised attribute object cannot fail on Linux, and the
    // mutex does not depend on it after pthread_mutex_init.
    (void)pthread_mutexattr_destroy(&attr);
    return nResult;
}

int LockMutex(pthread_mutex_t* pMutex) {
    if (pMutex == nullptr) return kMutexOk;
    return pthread_mutex_lock(pMutex);
}

int UnlockMutex(pthread_mutex_t* pMutex) {
    if (pMutex == nullptr) return kMutexOk;
    return pthread_mutex_unlock(pMutex);
}

int DestroyMutex(pthread_mutex_t* pMutex) {
    if (pMutex == nullptr) return kMutexOk;
    return pthread_mutex_destroy(pMutex);
}

// A failed initialisation (only possible when the system runs out of
// resources) leaves a mutex whose later calls report their own errors; the
// constructor has no way to report it and the owners do not check it.
CZQMutex::CZQMutex() : m_nDepth(0), m_bHeld(false) { (void)InitRecursiveMutex(&m_Mutex); }

// Destroying a mutex that is still held fails with EBUSY; at this point the
// owner is going away and nothing can be done about it.
CZQMutex::~CZQMutex() { (void)DestroyMutex(&m_Mutex); }

int CZQMutex::Lock() {
    const int nResult = LockMutex(&m_Mutex);
    if (nResult == 0) Took();
    return nResult;
}

int CZQMutex::LockSpinning() {
    // EBUSY: held by another thread; any other result is final (success, or
    // an error that the blocking lock would report as well).
    int nResult = pthread_mutex_trylock(&m_Mutex);
    if (nResult == EBUSY && SpinHelps()) {
        const int64_t llGiveUpNs = MonotonicNs() + kSpinNs;
        int nPause = 1;
        do {
            for (int i = 0; i < nPause; ++i) CpuRelax();
            if (nPause < kMaxSpinPause) nPause *= 2;
            // A failed try takes the cache line from the holder; a look
            // does not.
            if (m_bHeld.load(std::memory_order_relaxed)) continue;
            nResult = pthread_mutex_trylock(&m_Mutex);
        } while (nResult == EBUSY && MonotonicNs() < llGiveUpNs);
    }
    if (nResult == EBUSY) nResult = pthread_mutex_lock(&m_Mutex);
    if (nResult == 0) Took();
    return nResult;
}

int CZQMutex::Unlock() {
    Releasing();
    return UnlockMutex(&m_Mutex);
}

// The parent's state of the mutex is not destroyed: its owner is a thread of
// the parent, and destroying a held mutex is refused anyway.
void CZQMutex::ReinitInChild() {
    (void)InitRecursiveMutex(&m_Mutex);  // as the constructor
    m_nDepth = 0;
    m_bHeld.store(false, std::memory_order_relaxed);
}
