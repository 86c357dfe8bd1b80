#pragma once

#include <time.h>

#include <cstdint>

// Nanoseconds of CLOCK_MONOTONIC: for intervals and deadlines, never for stamps.
inline int64_t MonotonicNs() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);  // cannot fail for CLOCK_MONOTONIC
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t MonotonicMs() { return MonotonicNs() / 1000000; }
