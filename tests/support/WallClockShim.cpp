// Preloaded into a program (LD_PRELOAD) to make its wall clock differ from
// the system's: every reading of CLOCK_REALTIME (clock_gettime, gettimeofday,
// time) is ZQ_TEST_WALL_CLOCK_AHEAD_S seconds ahead. To the program that is
// the same as the system clock having been stepped back by as much after its
// last reading: a deadline taken from the wall clock lies that far in the
// future of the kernel's. The monotonic clocks are left alone.
//
// Built with the project's flags, so that on a 32-bit target with 64-bit time
// the definitions below take the names the program calls (__clock_gettime64);
// exported although the project hides symbols by default.

#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace {

long AheadSeconds() {
    static const long s_nAhead = [] {
        const char* pAhead = std::getenv("ZQ_TEST_WALL_CLOCK_AHEAD_S");
        return pAhead != nullptr ? std::strtol(pAhead, nullptr, 10) : 0L;
    }();
    return s_nAhead;
}

int RealClock(clockid_t nClock, struct timespec* pTs) {
#ifdef SYS_clock_gettime64
    return static_cast<int>(syscall(SYS_clock_gettime64, nClock, pTs));
#else
    return static_cast<int>(syscall(SYS_clock_gettime, nClock, pTs));
#endif
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t nClock,
                                                                    struct timespec* pTs) {
    const int nRet = RealClock(nClock, pTs);
    if (nRet == 0 && (nClock == CLOCK_REALTIME || nClock == CLOCK_REALTIME_COARSE)) {
        pTs->tv_sec += AheadSeconds();
    }
    return nRet;
}

extern "C" __attribute__((visibility("default"))) int gettimeofday(struct timeval* __restrict pTv,
                                                                   void* __restrict) {
    struct timespec ts {};
    const int nRet = clock_gettime(CLOCK_REALTIME, &ts);
    if (nRet == 0) {
        pTv->tv_sec = ts.tv_sec;
        pTv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
    }
    return nRet;
}

extern "C" __attribute__((visibility("default"))) time_t time(time_t* pOut) {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_REALTIME, &ts);
    if (pOut != nullptr) *pOut = ts.tv_sec;
    return ts.tv_sec;
}
