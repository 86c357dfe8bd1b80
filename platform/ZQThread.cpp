#include "platform/ZQThread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Set by the first creation whose real-time request was refused; later refusals
// stay silent, so a process that makes many threads says it once.
std::atomic<bool> g_bFifoRefusalReported{false};

void ReportFifoRefused(int nPriority, int nError) {
    // Relaxed: the flag only keeps the line from repeating; it guards no data.
    if (g_bFifoRefusalReported.exchange(true, std::memory_order_relaxed)) return;
    std::fprintf(stderr,
                 "real-time scheduling refused (SCHED_FIFO priority %d: %s); threads run with "
                 "default scheduling\n",
                 nPriority, std::strerror(nError));
}

}  // namespace

int RaiseCallingThread(uint32_t nPriorityClass) {
    if (geteuid() != 0) return 0;
    sched_param stParam{};
    stParam.sched_priority = PriorityForClass(&nPriorityClass);
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &stParam);
}

ThreadHandle CreateThreadEx(const uint32_t* pPriorityClass, ThreadEntry pfnEntry, void* pArg) {
    if (pfnEntry == nullptr) return nullptr;
    auto* pThread = static_cast<pthread_t*>(malloc(sizeof(pthread_t)));
    if (pThread == nullptr) return nullptr;

    int nResult = 0;
    if (geteuid() != 0) {
        nResult = pthread_create(pThread, nullptr, pfnEntry, pArg);
    } else {
        // As root the thread runs under SCHED_FIFO.
        const int nPriority = PriorityForClass(pPriorityClass);
        pthread_attr_t attr;
        nResult = pthread_attr_init(&attr);
        if (nResult == 0) {
            nResult = SetFifoAttributes(&attr, nPriority);
            if (nResult == 0) nResult = pthread_create(pThread, &attr, pfnEntry, pArg);
            // Cannot fail for an initialised attribute object on Linux.
            (void)pthread_attr_destroy(&attr);
        }
        // Root without CAP_SYS_NICE (a container's default capabilities, a
        // service's bounding set) is refused real-time scheduling with EPERM. A
        // thread with default scheduling still does the work: one second
        // attempt, without attributes.
        if (nResult == EPERM) {
            ReportFifoRefused(nPriority, nResult);
            nResult = pthread_create(pThread, nullptr, pfnEntry, pArg);
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
