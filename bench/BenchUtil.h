#pragma once

// Small helpers shared by the benchmark programs: clocks, percentiles,
// temporary directories.

#include "asynclog/LogFileName.h"

#include <ftw.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zqbench {

// Entry i of the file set with this prefix in dir.
inline std::string SetFileName(const std::string& dir, const char* pPrefix, uint32_t i) {
    char szPath[512];
    (void)FormatLogFileName(szPath, sizeof(szPath), dir.c_str(), pPrefix, i);
    return szPath;
}

inline int64_t NowNs() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);  // cannot fail for CLOCK_MONOTONIC
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline void SleepNs(int64_t llNs) {
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(llNs / 1000000000);
    ts.tv_nsec = static_cast<long>(llNs % 1000000000);
    while (nanosleep(&ts, &ts) != 0) {
        // interrupted: sleep the rest
    }
}

// The value below which the given fraction of the sorted samples lies.
inline int64_t Percentile(const std::vector<int64_t>& sorted, double dFraction) {
    if (sorted.empty()) return 0;
    size_t nIndex = static_cast<size_t>(dFraction * static_cast<double>(sorted.size()));
    if (nIndex >= sorted.size()) nIndex = sorted.size() - 1;
    return sorted[nIndex];
}

// A fresh directory under $TMPDIR (or /tmp); removed with everything in it by
// the destructor.
class TempDir {
public:
    explicit TempDir(const char* pTag) {
        const char* pBase = getenv("TMPDIR");
        std::string templ =
            std::string(pBase != nullptr ? pBase : "/tmp") + "/zqbench_" + pTag + "_XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(2);
        }
        m_path = buf.data();
    }
    ~TempDir() {
        // Depth-first removal; a failure leaves a directory under /tmp behind.
        (void)nftw(
            m_path.c_str(),
            [](const char* pPath, const struct stat*, int, struct FTW*) { return ::remove(pPath); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace zqbench
