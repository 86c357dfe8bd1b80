// Writer throughput: 200-byte records pushed into a file-mode engine with a
// rotating set of 10 files of 10 MiB, from push of the first record until Stop
// returns (the writer drained the ring and closed the file). Each iteration
// starts a fresh engine in a fresh directory and writes kRecords records
// (95 MiB, 9 rotations, every byte still in the set afterwards, which is
// checked).
//
// Rotation cost: the producer pushes flat out and retries while the ring is
// full, so it waits exactly as long as the writer takes no record. Around each
// rotation point the longest such wait is the writer's stall for that
// rotation (flush, close, renames, new file); the same measure halfway between
// rotations is the baseline (a 64 KiB flush).

#include "asynclog/ZIdOrereDov.h"
#include "bench/BenchUtil.h"

#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kRecordLen = 200;
constexpr uint32_t kRecords = 500000;
constexpr uint32_t kFileSizeMiB = 10;
constexpr uint32_t kFileNum = 10;
// Records that fill one file: the writer rotates after the record that
// reaches the size.
constexpr uint32_t kPerFile = ((kFileSizeMiB << 20) + kRecordLen - 1) / kRecordLen;
constexpr uint32_t kWindow = 4000;  // producer records on each side of a rotation point

uint64_t SetBytes(const std::string& dir) {
    uint64_t nTotal = 0;
    for (uint32_t i = 0; i < kFileNum; ++i) {
        struct stat st {};
        if (stat(zqbench::SetFileName(dir, "SDK", i).c_str(), &st) == 0)
            nTotal += static_cast<uint64_t>(st.st_size);
    }
    return nTotal;
}

void BM_WriterRotatingSet(benchmark::State& state) {
    char szRecord[kRecordLen];
    std::memset(szRecord, 'r', sizeof(szRecord));
    szRecord[kRecordLen - 1] = '\n';

    std::vector<int64_t> rotationStalls;
    std::vector<int64_t> baselineStalls;
    std::vector<int64_t> gaps(kRecords);
    uint64_t nRecordsDone = 0;
    uint64_t nFullRetries = 0;
    uint64_t nLost = 0;
    bool bBytesOk = true;

    for (auto _ : state) {
        state.PauseTiming();
        zqbench::TempDir dir("writer");
        ZIdOrereDov* pEngine = new ZIdOrereDov();
        (void)pEngine->SetMode(1);
        (void)pEngine->SetFileSize(kFileSizeMiB);
        (void)pEngine->SetFileNum(kFileNum);
        pEngine->Files().SetSyncMs(static_cast<uint32_t>(state.range(0)));
        if (pEngine->Start(dir.Path().c_str(), "SDK") != kLogOk) {
            state.SkipWithError("engine did not start");
            delete pEngine;
            break;
        }
        uint64_t nRetries = 0;
        state.ResumeTiming();

        int64_t llLast = zqbench::NowNs();
        for (uint32_t i = 0; i < kRecords; ++i) {
            while (pEngine->PushLog(szRecord, kRecordLen) == kLogErrResource) ++nRetries;
            const int64_t llNow = zqbench::NowNs();
            gaps[i] = llNow - llLast;
            llLast = llNow;
        }
        pEngine->Stop();  // drains: every record is in the files when it returns

        state.PauseTiming();
        // Refusals of a full ring are counted by the engine too; they were retried.
        nLost += pEngine->GetLostCount() - nRetries;
        nFullRetries += nRetries;
        delete pEngine;
        nRecordsDone += kRecords;
        if (SetBytes(dir.Path()) != static_cast<uint64_t>(kRecords) * kRecordLen) bBytesOk = false;
        for (uint32_t nPoint = kPerFile; nPoint + kWindow < kRecords; nPoint += kPerFile) {
            int64_t llMaxRot = 0;
            int64_t llMaxBase = 0;
            const uint32_t nMid = nPoint - kPerFile / 2;
            for (uint32_t j = nPoint - kWindow; j < nPoint + kWindow; ++j) {
                llMaxRot = std::max(llMaxRot, gaps[j]);
            }
            for (uint32_t j = nMid - kWindow; j < nMid + kWindow; ++j) {
                llMaxBase = std::max(llMaxBase, gaps[j]);
            }
            rotationStalls.push_back(llMaxRot);
            baselineStalls.push_back(llMaxBase);
        }
        state.ResumeTiming();
    }
    if (!bBytesOk) state.SkipWithError("the file set does not hold every byte written");

    std::sort(rotationStalls.begin(), rotationStalls.end());
    std::sort(baselineStalls.begin(), baselineStalls.end());
    state.SetItemsProcessed(static_cast<int64_t>(nRecordsDone));
    state.SetBytesProcessed(static_cast<int64_t>(nRecordsDone * kRecordLen));
    state.counters["rotations"] = static_cast<double>(rotationStalls.size());
    state.counters["rot_p50_us"] =
        static_cast<double>(zqbench::Percentile(rotationStalls, 0.50)) / 1000.0;
    state.counters["rot_p99_us"] =
        static_cast<double>(zqbench::Percentile(rotationStalls, 0.99)) / 1000.0;
    state.counters["base_p99_us"] =
        static_cast<double>(zqbench::Percentile(baselineStalls, 0.99)) / 1000.0;
    state.counters["lost"] = static_cast<double>(nLost);
    state.counters["full_retries"] = static_cast<double>(nFullRetries);
}

// The argument: SyncMs, none and the default.
BENCHMARK(BM_WriterRotatingSet)
    ->ArgName("sync_ms")
    ->Arg(0)
    ->Arg(kDefaultSyncMs)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
