#include "platform/ZQMutex.h"

namespace {
// Result of InitRecursiveMutex for a null mutex; never a pthread error code.
constexpr int kMutexErrNull = -1;
constexpr int kMutexOk = 0;
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
CZQMutex::CZQMutex() { (void)InitRecursiveMutex(&m_Mutex); }

// Destroying a mutex that is still held fails with EBUSY; at this point the
// owner is going away and nothing can be done about it.
CZQMutex::~CZQMutex() { (void)DestroyMutex(&m_Mutex); }

int CZQMutex::Lock() { return LockMutex(&m_Mutex); }

int CZQMutex::Unlock() { return UnlockMutex(&m_Mutex); }

// The parent's state of the mutex is not destroyed: its owner is a thread of
// the parent, and destroying a held mutex is refused anyway.
void CZQMutex::ReinitInChild() { (void)InitRecursiveMutex(&m_Mutex); }  // as the constructor
