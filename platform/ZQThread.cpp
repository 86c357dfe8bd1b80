#include "platform/ZQThread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kDefaultFifoPriority = 50;  // no class, or a class outside the table
constexpr uint32_t kPriorityClassCount = 6;
constexpr int kClassPriority[kPriorityClassCount] = {1, 25, 50, 75, 99, 99};

constexpr int kJoinOk = 0;
constexpr int kFreeNullHandle = 1;
constexpr int kFreeOk = 0;

// FIFO priority for a priority class; a given class is clamped to the
// system's FIFO range, the default for a missing class is used as it is.
int PriorityForClass(const uint32_t* pPriorityClass) {
    if (pPriorityClass == nullptr) return kDefaultFifoPriority;
    int nPriority = *pPriorityClass < kPriorityClassCount ? kClassPriority[*pPriorityClass]
                                                          : kDefaultFifoPriority;
    // Both queries fail only for an unknown policy; SCHED_FIFO is always known.
    const int nMin = sched_get_priority_min(SCHED_FIFO);
    const int nMax = sched_get_priority_max(SCHED_FIFO);
    if (nPriority < nMin) nPriority = nMin;
    if (nPriority >= nMax) nPriority = nMax;
    return nPriority;
}

// Fills attr for an explicit SCHED_FIFO thread of the given priority.
// Returns 0 or the first failing pthread result.
int SetFifoAttributes(pthread_attr_t* pAttr, int nPriority) {
    int nInherit = PTHREAD_INHERIT_SCHED;
    int nResult = pthread_attr_getinheritsched(pAttr, &nInherit);
    if (nResult != 0) return nResult;
    if (nInherit == PTHREAD_INHERIT_SCHED) nInherit = PTHREAD_EXPLICIT_SCHED;
    nResult = pthread_attr_setinheritsched(pAttr, nInherit);
    if (nResult != 0) return nResult;
    nResult = pthread_attr_setschedpolicy(pAttr, SCHED_FIFO);
    if (nResult != 0) return nResult;
    sched_param param{};
    param.sched_priority = nPriority;
    return pthread_attr_setschedparam(pAttr, &param);
}

}  // namespace

ThreadHandle CreateThreadEx(const uint32_t* pPriorityClass, ThreadEntry pfnEntry, void* pArg) {
    if (pfnEntry == nullptr) return nullptr;
    auto* pThread = static_cast<pthread_t*>(malloc(sizeof(pthread_t)));
    if (pThread == nullptr) return nullptr;

    int nResult = 0;
    if (geteuid() != 0) {
        nResult = pthread_create(pThread, nullptr, pfnEntry, pArg);
    } else {
        // As root the thread runs under SCHED_FIFO. There is no fallback to
        // default scheduling: when the system refuses real-time scheduling,
        // creation fails.
        pthread_attr_t attr;
        nResult = pthread_attr_init(&attr);
        if (nResult == 0) {
            nResult = SetFifoAttributes(&attr, PriorityForClass(pPriorityClass));
            if (nResult == 0) nResult = pthread_create(pThread, &attr, pfnEntry, pArg);
            // Cannot fail for an initialised attribute object on Linux.
            (void)pthread_attr_destroy(&attr);
        }
    }
    if (nResult != 0) {
        free(pThread);
        return nullptr;
    }
    return pThread;
}

int JoinThread(ThreadHandle hThread) {
    if (hThread == nullptr) return kJoinOk;
    // The thread's result is not collected.
    if (pthread_join(*static_cast<pthread_t*>(hThread), nullptr) != 0) {
        puts("*******************thread join fail ");
    }
    return kJoinOk;
}

int FreeThreadHandle(ThreadHandle hThread) {
    if (hThread == nullptr) return kFreeNullHandle;
    free(hThread);
    return kFreeOk;
}

void ExitCurrentThread() { pthread_exit(nullptr); }
