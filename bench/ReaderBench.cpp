// zqread on large file sets: a full filtered scan (MB/s of the set read), the
// last 100 records of the largest set (ms), and how soon -f prints a record
// after it was written (ms). Runs the real binary, its output to /dev/null
// (for -f to a pipe it reads).
//
//   zq_bench_reader scan   --mib 200 [--runs 5]   a set of 10 files, 200 MiB in all
//   zq_bench_reader tail   [--runs 20]            10 files of 200 MiB
//   zq_bench_reader follow [--count 200]          records written one by one, with rotations
//
// The set is made once in a temporary directory (a realistic mix: mostly Info
// and Debug, a few per cent Warning and Error, rare Fatal, 2 % lines of other
// senders, messages of 40..160 bytes) and read while it is in the page cache.

#include "bench/BenchUtil.h"
#include "logmodule/RecordFormat.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kZqread = ZQ_ZQREAD_PATH;
constexpr uint32_t kSetFiles = 10;
constexpr uint64_t kMiB = 1024 * 1024;

struct Rng {
    uint64_t n = 0x9e3779b97f4a7c15ULL;
    uint32_t Next() {
        n ^= n << 13;
        n ^= n >> 7;
        n ^= n << 17;
        return static_cast<uint32_t>(n >> 16);
    }
};

const char* const kModules[] = {"net", "disk", "video", "ptz", "onvif", "storage", "rtsp", "ui"};
const char* const kWords[] = {"frame",  "sent",    "queue", "retry", "link", "buffer", "stream",
                              "client", "session", "write", "read",  "ok",   "camera", "bytes"};

// One line of the mix, with CR LF.
std::string MixLine(Rng* pRng, uint64_t nSeq) {
    const uint32_t nPick = pRng->Next() % 1000;
    if (nPick < 20) {
        return "<30>Dec  8 13:00:01 router dhcpd[311]: DHCPACK on 10.0.0." + std::to_string(nPick) +
               " to 00:11:22:33:44:55 via eth0\r\n";
    }
    const int32_t nLevel = nPick < 25    ? ZQ_LEVEL_FATAL
                           : nPick < 65  ? ZQ_LEVEL_ERROR
                           : nPick < 165 ? ZQ_LEVEL_WARNING
                           : nPick < 765 ? ZQ_LEVEL_INFO
                                         : ZQ_LEVEL_DEBUG;
    char szHead[256];
    const uint64_t nMs = nSeq % 86400000;
    (void)std::snprintf(szHead, sizeof(szHead),
                        "%s2026-12-08 %02u:%02u:%02u:%03u%scam%u%s%s(%s.cpp%s%04u%sapp(%u%s%s%s",
                        kLevelFields[nLevel], static_cast<unsigned>(nMs / 3600000),
                        static_cast<unsigned>(nMs / 60000 % 60),
                        static_cast<unsigned>(nMs / 1000 % 60), static_cast<unsigned>(nMs % 1000),
                        kLabelDevId, pRng->Next() % 4, kLabelSource, kModules[pRng->Next() % 8],
                        kModules[pRng->Next() % 8], kLabelLine, pRng->Next() % 2000, kLabelProcess,
                        1000 + pRng->Next() % 50, kLabelFunction, "Handle", kLabelMessage);
    std::string strLine = szHead;
    const uint32_t nWords = 6 + pRng->Next() % 20;
    for (uint32_t i = 0; i < nWords; ++i) {
        strLine += kWords[pRng->Next() % 14];
        strLine += i % 3 == 1 ? " " + std::to_string(pRng->Next() % 100000) + " " : " ";
    }
    if (pRng->Next() % 100 == 0) strLine += "connection timeout";
    return strLine + "\r\n";
}

// A set of kSetFiles files of nFileBytes each in strDir, the newest last written.
void MakeSet(const std::string& strDir, uint64_t nFileBytes) {
    Rng rng;
    uint64_t nSeq = 0;
    for (uint32_t i = kSetFiles; i-- > 0;) {
        FILE* pFile = std::fopen(zqbench::SetFileName(strDir, "SDK", i).c_str(), "wb");
        if (pFile == nullptr) std::exit(1);
        uint64_t nWritten = 0;
        while (nWritten < nFileBytes) {
            const std::string strLine = MixLine(&rng, nSeq);
            nSeq += 37;
            nWritten += std::fwrite(strLine.data(), 1, strLine.size(), pFile);
        }
        (void)std::fclose(pFile);
    }
}

// Runs zqread with the arguments, output to /dev/null; its wall time in ns.
int64_t TimeRun(const std::vector<std::string>& vArgs) {
    std::vector<char*> vArgv{const_cast<char*>(kZqread)};
    for (const std::string& s : vArgs) vArgv.push_back(const_cast<char*>(s.c_str()));
    vArgv.push_back(nullptr);
    const int64_t llStart = zqbench::NowNs();
    const pid_t nPid = fork();
    if (nPid == 0) {
        const int nNull = open("/dev/null", O_WRONLY);
        if (nNull < 0 || dup2(nNull, 1) < 0) _exit(127);
        execve(kZqread, vArgv.data(), environ);
        _exit(127);
    }
    int nStatus = 0;
    (void)waitpid(nPid, &nStatus, 0);
    const int64_t llEnd = zqbench::NowNs();
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        std::fprintf(stderr, "zqread failed\n");
        std::exit(1);
    }
    return llEnd - llStart;
}

int64_t Median(std::vector<int64_t> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string Arg(int argc, char** argv, const char* pName, const char* pDefault) {
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], pName) == 0) return argv[i + 1];
    }
    return pDefault;
}

int Scan(const std::string& strDir, uint64_t nMiB, int nRuns) {
    MakeSet(strDir, nMiB * kMiB / kSetFiles);
    const uint64_t nBytes = nMiB * kMiB;
    const std::vector<std::vector<std::string>> vCases{
        {"-o", "raw"},
        {"-p", "err"},
        {"-g", "timeout"},
        {"-g", "time(out|d)"},
        {"-p", "err", "-g", "timeout"},
        {"-t", "net", "--pid", "1010"},
        {"-S", "2026-12-08 12:00", "-U", "2026-12-08 13:00"},
        {"-p", "warning", "-o", "short"},
        {"-p", "warning", "-o", "json"},
        {"-o", "short"},
    };
    std::printf("| options (set of %" PRIu64
                " MiB, output to /dev/null) | median s | MB/s |\n|---|---|---|\n",
                nMiB);
    (void)TimeRun({"-D", strDir, "-o", "raw"});  // into the page cache
    for (const auto& vCase : vCases) {
        std::vector<std::string> vArgs{"-D", strDir};
        vArgs.insert(vArgs.end(), vCase.begin(), vCase.end());
        std::vector<int64_t> vNs;
        for (int i = 0; i < nRuns; ++i) vNs.push_back(TimeRun(vArgs));
        const double dSec = static_cast<double>(Median(vNs)) / 1e9;
        std::string strArgs;
        for (const std::string& s : vCase) strArgs += (strArgs.empty() ? "" : " ") + s;
        std::printf("| `%s` | %.3f | %.0f |\n", strArgs.c_str(), dSec,
                    static_cast<double>(nBytes) / 1e6 / dSec);
    }
    return 0;
}

int Tail(const std::string& strDir, int nRuns) {
    MakeSet(strDir, 200 * kMiB);
    (void)TimeRun({"-D", strDir, "-n", "100"});
    std::printf("| options (10 x 200 MiB) | median ms | max ms |\n|---|---|---|\n");
    for (const std::vector<std::string>& vCase : {std::vector<std::string>{"-n", "100"},
                                                  {"-n", "100", "-o", "json"},
                                                  {"-n", "100", "-p", "err"},
                                                  {"-n", "100", "-p", "crit"}}) {
        std::vector<std::string> vArgs{"-D", strDir};
        vArgs.insert(vArgs.end(), vCase.begin(), vCase.end());
        std::vector<int64_t> vNs;
        for (int i = 0; i < nRuns; ++i) vNs.push_back(TimeRun(vArgs));
        std::string strArgs;
        for (const std::string& s : vCase) strArgs += (strArgs.empty() ? "" : " ") + s;
        std::printf("| `%s` | %.1f | %.1f |\n", strArgs.c_str(),
                    static_cast<double>(Median(vNs)) / 1e6,
                    static_cast<double>(*std::max_element(vNs.begin(), vNs.end())) / 1e6);
    }
    return 0;
}

// Writes nCount records one at a time (a rotation every 50) and waits for
// each to come out of zqread -f: the time from the write to its line.
int Follow(const std::string& strDir, int nCount) {
    const std::string strCurrent = zqbench::SetFileName(strDir, "SDK", 0);
    FILE* pInit = std::fopen(strCurrent.c_str(), "wb");
    if (pInit == nullptr) return 1;
    (void)std::fclose(pInit);
    int aPipe[2];
    if (pipe(aPipe) != 0) return 1;
    const pid_t nPid = fork();
    if (nPid == 0) {
        if (dup2(aPipe[1], 1) < 0) _exit(127);
        char* aArgv[] = {const_cast<char*>(kZqread),
                         const_cast<char*>("-D"),
                         const_cast<char*>(strDir.c_str()),
                         const_cast<char*>("-f"),
                         const_cast<char*>("-o"),
                         const_cast<char*>("raw"),
                         nullptr};
        execve(kZqread, aArgv, environ);
        _exit(127);
    }
    (void)close(aPipe[1]);
    zqbench::SleepNs(300000000);  // let it start and reach the end of the empty set
    Rng rng;
    std::vector<int64_t> vNs;
    std::string strPending;
    for (int i = 0; i < nCount; ++i) {
        if (i > 0 && i % 50 == 0) {
            for (uint32_t k = kSetFiles - 1; k-- > 0;) {
                (void)std::rename(zqbench::SetFileName(strDir, "SDK", k).c_str(),
                                  zqbench::SetFileName(strDir, "SDK", k + 1).c_str());
            }
        }
        const std::string strLine = MixLine(&rng, static_cast<uint64_t>(i));
        const int nFd = open(strCurrent.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int64_t llStart = zqbench::NowNs();
        if (nFd < 0 || write(nFd, strLine.data(), strLine.size()) < 0) return 1;
        (void)close(nFd);
        // Its line: the text without CR, then LF.
        while (strPending.find('\n') == std::string::npos) {
            char aBuf[8192];
            const ssize_t nRead = read(aPipe[0], aBuf, sizeof(aBuf));
            if (nRead <= 0) return 1;
            strPending.append(aBuf, static_cast<size_t>(nRead));
        }
        vNs.push_back(zqbench::NowNs() - llStart);
        strPending.erase(0, strPending.find('\n') + 1);
    }
    (void)kill(nPid, SIGTERM);
    int nStatus = 0;
    (void)waitpid(nPid, &nStatus, 0);
    std::sort(vNs.begin(), vNs.end());
    std::printf(
        "| records (rotation every 50) | median ms | p99 ms | max ms | zqread exit |\n"
        "|---|---|---|---|---|\n| %d | %.2f | %.2f | %.2f | %d |\n",
        nCount, static_cast<double>(vNs[vNs.size() / 2]) / 1e6,
        static_cast<double>(vNs[vNs.size() * 99 / 100]) / 1e6,
        static_cast<double>(vNs.back()) / 1e6, WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zq_bench_reader scan|tail|follow [options]\n");
        return 2;
    }
    const std::string strMode = argv[1];
    zqbench::TempDir dir("reader");
    if (strMode == "scan") {
        return Scan(dir.Path(), std::strtoull(Arg(argc, argv, "--mib", "200").c_str(), nullptr, 10),
                    std::atoi(Arg(argc, argv, "--runs", "5").c_str()));
    }
    if (strMode == "tail")
        return Tail(dir.Path(), std::atoi(Arg(argc, argv, "--runs", "20").c_str()));
    if (strMode == "follow") {
        return Follow(dir.Path(), std::atoi(Arg(argc, argv, "--count", "200").c_str()));
    }
    std::fprintf(stderr, "zq_bench_reader: unknown mode %s\n", strMode.c_str());
    return 2;
}
