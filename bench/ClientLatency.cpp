// Latency of one client log call, measured per call, for WriteLog into a
// file-mode engine and (when built with it) for an async spdlog logger with a
// rotating file sink writing the same line layout.
//
// Each thread logs bursts of kBurst records with a pause between bursts, so
// the ring never overflows; with several threads the bursts start together
// (a spin barrier), so the threads really contend. Every call is timed with
// two CLOCK_MONOTONIC reads; their own cost is measured and printed.
//
//   zq_bench_latency [--bursts N] [--pauses-us P1,P2,...] [--threads T1,T2,...]
//                    [--data FILE]
//
// Prints a table; --data appends one line per run for the plot script:
//   <logger> <threads> <pause_us> <samples> <p50> <p99> <p99.9> <max> <dropped>

#include "bench/BenchUtil.h"
#include "logmodule/LogModule.h"

#ifdef ZQ_BENCH_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kBurst = 20;
constexpr int kWarmupBursts = 50;
constexpr uint32_t kFileSizeMiB = 10;
constexpr uint32_t kFileNum = 10;
constexpr size_t kSpdQueue = 8192;

// 100 characters once "%06d" is filled in: "request 000042 handled " is 23.
#define ZQ_BENCH_MSG        \
    "request %06d handled " \
    "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXY"
// The message as spdlog formats it.
#define ZQ_BENCH_MSG_FMT      \
    "request {:06d} handled " \
    "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXY"

struct RunResult {
    std::string logger;
    int nThreads = 0;
    int nPauseUs = 0;
    std::vector<int64_t> samples;  // sorted
    uint64_t nDropped = 0;
};

// A reusable spin barrier for a few threads.
class SpinBarrier {
public:
    explicit SpinBarrier(int nCount) : m_nCount(nCount), m_nWaiting(0), m_nPhase(0) {}
    void Wait() {
        const int nPhase = m_nPhase.load(std::memory_order_acquire);
        if (m_nWaiting.fetch_add(1, std::memory_order_acq_rel) + 1 == m_nCount) {
            m_nWaiting.store(0, std::memory_order_relaxed);
            m_nPhase.fetch_add(1, std::memory_order_release);
            return;
        }
        while (m_nPhase.load(std::memory_order_acquire) == nPhase) {
        }
    }

private:
    const int m_nCount;
    std::atomic<int> m_nWaiting;
    std::atomic<int> m_nPhase;
};

// Runs nThreads threads of bursts calling pfnLog(i); returns all timings.
std::vector<int64_t> RunBursts(int nThreads, int nBursts, int nPauseUs,
                               const std::function<void(int)>& pfnLog) {
    std::vector<std::vector<int64_t>> perThread(static_cast<size_t>(nThreads));
    SpinBarrier barrier(nThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; ++t) {
        threads.emplace_back([&, t]() {
            std::vector<int64_t>& out = perThread[static_cast<size_t>(t)];
            out.reserve(static_cast<size_t>(nBursts) * kBurst);
            for (int b = 0; b < kWarmupBursts + nBursts; ++b) {
                barrier.Wait();
                for (int i = 0; i < kBurst; ++i) {
                    const int64_t t0 = zqbench::NowNs();
                    pfnLog(b * kBurst + i);
                    const int64_t t1 = zqbench::NowNs();
                    if (b >= kWarmupBursts) out.push_back(t1 - t0);
                }
                zqbench::SleepNs(static_cast<int64_t>(nPauseUs) * 1000);
            }
        });
    }
    for (auto& th : threads) th.join();
    std::vector<int64_t> all;
    for (auto& v : perThread) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    return all;
}

RunResult RunZq(int nThreads, int nBursts, int nPauseUs) {
    zqbench::TempDir dir("zq");
    RunResult r;
    r.logger = "WriteLog";
    r.nThreads = nThreads;
    r.nPauseUs = nPauseUs;
    if (SetLogPath(dir.Path().c_str(), "SDK") != 0 || SetLogMode(ZQ_MODE_FILES) != 0 ||
        SetModuleName("bench") != 0 || SetLogFileSize(kFileSizeMiB) != 0 ||
        SetLogFileNum(kFileNum) != 0 || CreateAsyncLog() != 0) {
        std::fprintf(stderr, "cannot create the log module in %s\n", dir.Path().c_str());
        std::exit(2);
    }
    const uint64_t nLostBefore = GetLostLogCount();
    r.samples = RunBursts(nThreads, nBursts, nPauseUs, [](int i) {
        WriteLog(ZQ_LEVEL_INFO, __FILE__, __LINE__, __func__, "cam0", ZQ_BENCH_MSG, i);
    });
    r.nDropped = GetLostLogCount() - nLostBefore;
    (void)DestroyAsyncLog();  // drains and closes
    return r;
}

#ifdef ZQ_BENCH_HAVE_SPDLOG
RunResult RunSpdlog(int nThreads, int nBursts, int nPauseUs) {
    zqbench::TempDir dir("spd");
    RunResult r;
    r.logger = "spdlog-async";
    r.nThreads = nThreads;
    r.nPauseUs = nPauseUs;
    {
        auto pool = std::make_shared<spdlog::details::thread_pool>(kSpdQueue, 1);
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            dir.Path() + "/SDK.log", static_cast<size_t>(kFileSizeMiB) << 20, kFileNum);
        // Never blocks the caller: a full queue overwrites the oldest record
        // and counts it, as a full ring refuses and counts.
        auto logger = std::make_shared<spdlog::async_logger>(
            "bench", sink, pool, spdlog::async_overflow_policy::overrun_oldest);
        // The line WriteLog makes; every record here is Info and from device cam0.
        logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "Info    %Y-%m-%d %H:%M:%S:%e  DevID:cam0  Source-Line:bench(%s-L%#)  "
            "ProcessName:zq_bench_latency(%P)     Description:[%!]%v",
            spdlog::pattern_time_type::local, "\r\n"));
        spdlog::logger* pLogger = logger.get();
        r.samples = RunBursts(nThreads, nBursts, nPauseUs, [pLogger](int i) {
            pLogger->log(spdlog::source_loc{__FILE__, __LINE__, __func__}, spdlog::level::info,
                         ZQ_BENCH_MSG_FMT, i);
        });
        r.nDropped = pool->overrun_counter();
        logger->flush();
    }  // the pool's thread drains the queue and ends here
    return r;
}
#endif

std::vector<int> ParseList(const char* pText) {
    std::vector<int> out;
    std::string s(pText);
    size_t nPos = 0;
    while (nPos <= s.size()) {
        size_t nComma = s.find(',', nPos);
        if (nComma == std::string::npos) nComma = s.size();
        out.push_back(std::atoi(s.substr(nPos, nComma - nPos).c_str()));
        nPos = nComma + 1;
    }
    return out;
}

int64_t TimerOverheadNs() {
    std::vector<int64_t> v;
    for (int i = 0; i < 100000; ++i) {
        const int64_t t0 = zqbench::NowNs();
        const int64_t t1 = zqbench::NowNs();
        v.push_back(t1 - t0);
    }
    std::sort(v.begin(), v.end());
    return zqbench::Percentile(v, 0.5);
}

void PrintRow(const RunResult& r) {
    std::printf("| %-13s | %7d | %8d | %7zu | %7lld | %7lld | %8lld | %8lld | %7llu |\n",
                r.logger.c_str(), r.nThreads, r.nPauseUs, r.samples.size(),
                static_cast<long long>(zqbench::Percentile(r.samples, 0.50)),
                static_cast<long long>(zqbench::Percentile(r.samples, 0.99)),
                static_cast<long long>(zqbench::Percentile(r.samples, 0.999)),
                static_cast<long long>(r.samples.empty() ? 0 : r.samples.back()),
                static_cast<unsigned long long>(r.nDropped));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int nBursts = 4000;
    std::vector<int> pauses{1000, 5000};
    std::vector<int> threadCounts{1, 2};
    const char* pData = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--bursts") == 0) {
            nBursts = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--pauses-us") == 0) {
            pauses = ParseList(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--threads") == 0) {
            threadCounts = ParseList(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--data") == 0) {
            pData = argv[i + 1];
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }

    std::printf("Client call latency, ns per call (bursts of %d, %d bursts per thread)\n", kBurst,
                nBursts);
    std::printf("timer overhead (two clock reads, p50): %lld ns, included below\n",
                static_cast<long long>(TimerOverheadNs()));
#ifndef ZQ_BENCH_HAVE_SPDLOG
    std::printf("spdlog not found at build time: no comparison\n");
#endif
    std::printf(
        "| logger        | threads | pause us | samples |  p50 ns |  p99 ns | p99.9 ns |  max ns "
        "| dropped |\n");
    std::printf(
        "|---------------|---------|----------|---------|---------|---------|----------|-------"
        "---|---------|\n");
    std::vector<RunResult> results;
    for (int nPause : pauses) {
        for (int nThreads : threadCounts) {
            results.push_back(RunZq(nThreads, nBursts, nPause));
            PrintRow(results.back());
#ifdef ZQ_BENCH_HAVE_SPDLOG
            results.push_back(RunSpdlog(nThreads, nBursts, nPause));
            PrintRow(results.back());
#endif
        }
    }
    if (pData != nullptr) {
        FILE* pFile = std::fopen(pData, "w");
        if (pFile == nullptr) {
            std::perror(pData);
            return 2;
        }
        for (const RunResult& r : results) {
            std::fprintf(pFile, "%s %d %d %zu %lld %lld %lld %lld %llu\n", r.logger.c_str(),
                         r.nThreads, r.nPauseUs, r.samples.size(),
                         static_cast<long long>(zqbench::Percentile(r.samples, 0.50)),
                         static_cast<long long>(zqbench::Percentile(r.samples, 0.99)),
                         static_cast<long long>(zqbench::Percentile(r.samples, 0.999)),
                         static_cast<long long>(r.samples.empty() ? 0 : r.samples.back()),
                         static_cast<unsigned long long>(r.nDropped));
        }
        (void)std::fclose(pFile);
    }
    return 0;
}
