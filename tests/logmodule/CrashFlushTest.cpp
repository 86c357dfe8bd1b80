// The crash flush (logmodule/CrashFlush.h). A child process logs from four
// threads, each record carrying its thread and sequence number, and then
// faults; every record whose WriteLog returned ZQ_OK before the fault must be
// in the files or at the daemon exactly once, and the child must end by its
// signal, after the handler the application had installed ran. Forwarding
// cases use a stand-in daemon on 127.0.0.1:12345 (zq_daemon lock), and as
// root also its local intake, which the child then sends to.
// ZQ_CRASH_RUNS (default 1) repeats every case.

#include "logmodule/LogModule.h"
#include "platform/DaemonPaths.h"
#include "tests/asynclog/StandInDaemon.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kThreads = 4;
constexpr uint32_t kRecords = 2000;       // per thread
constexpr uint32_t kWriterRecords = 200;  // per thread while the writer waits: the ring holds them
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

enum class EFault { kNullWrite, kAbort, kTerminate, kBusError, kNullWriteOnWriter };
enum class EWhere { kFiles, kDaemon, kDaemonGoes, kIntake, kBlockedFile };

// What the child and the parent share (an anonymous shared mapping).
struct Shared {
    std::atomic<uint32_t> nAcked[kThreads];  // records of each thread that WriteLog took
    uint32_t nOwed[kThreads];                // nAcked as the faulting thread saw it
    std::atomic<uint32_t> nPhase;
    std::atomic<uint32_t> nHalfDone;  // threads that logged half their records
};
enum : uint32_t { kRunning, kInCallback, kLogged, kStopDaemon, kDaemonStopped };

// The child's exit statuses when it could not get as far as the fault.
enum : int { kNoLog = 100, kBadResult, kNoFault, kNoPhase };

Shared* g_pShared = nullptr;
char g_szMarker[512];  // the application handler's file
int* volatile g_pNowhere = nullptr;

// The fault itself, not a report of the undefined behaviour sanitizer.
__attribute__((no_sanitize("undefined"))) void NullWrite() { *g_pNowhere = 1; }

// An application's own crash handler: notes the signal, then lets it end the
// process as it would.
void OnAppSignal(int nSignal) {
    const int nFd = open(g_szMarker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    char szText[2] = {static_cast<char>('0' + nSignal / 10), static_cast<char>('0' + nSignal % 10)};
    const bool bTwoDigits = nSignal >= 10;
    if (nFd >= 0) {
        // A short or failed write shows as a wrong marker in the parent.
        const ssize_t nWritten = write(nFd, bTwoDigits ? szText : szText + 1, bTwoDigits ? 2 : 1);
        (void)nWritten;
        (void)close(nFd);
    }
    (void)signal(nSignal, SIG_DFL);
    (void)raise(nSignal);
}

bool WaitPhase(uint32_t nPhase) {
    return zqtest::PollUntil([&] { return g_pShared->nPhase.load() == nPhase; });
}

void TakeOwed() {
    for (uint32_t t = 0; t < kThreads; ++t) g_pShared->nOwed[t] = g_pShared->nAcked[t].load();
}

// The level callback of the writer-thread case: holds the writer while the
// threads fill the ring, then faults on the writer thread.
void OnLevelFault(int32_t, char*, int32_t) {
    g_pShared->nPhase.store(kInCallback);
    if (!WaitPhase(kLogged)) _exit(kNoPhase);
    TakeOwed();
    NullWrite();
}

int SignalOf(EFault eFault) {
    switch (eFault) {
        case EFault::kAbort:
        case EFault::kTerminate:
            return SIGABRT;
        case EFault::kBusError:
            return SIGBUS;
        default:
            return SIGSEGV;
    }
}

struct Case {
    const char* szName;
    EFault eFault;
    EWhere eWhere;
    bool bAppHandler;    // the application installed its handler before CreateAsyncLog
    bool bWhileLogging;  // the fault comes while the threads still log
    bool bFlush;         // SetCrashFlush left on
};

void Fault(const Case& c, const std::string& strDir) {
    switch (c.eFault) {
        case EFault::kAbort:
            std::abort();
        case EFault::kTerminate:
            std::terminate();
        case EFault::kBusError: {
            // The second page of the mapping lies past the end of the file.
            const long nPage = sysconf(_SC_PAGESIZE);
            const int nFd = open((strDir + "/short").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (nFd < 0 || ftruncate(nFd, nPage) != 0) break;
            void* p = mmap(nullptr, static_cast<size_t>(2 * nPage), PROT_READ | PROT_WRITE,
                           MAP_SHARED, nFd, 0);
            if (p == MAP_FAILED) break;
            static_cast<volatile char*>(p)[nPage] = 1;
            break;
        }
        default:
            NullWrite();
    }
    _exit(kNoFault);
}

void Log(const Case& c, uint32_t t, uint32_t nRecords) {
    for (uint32_t nSeq = 0; nSeq < nRecords; ++nSeq) {
        if (c.eWhere == EWhere::kDaemonGoes && nSeq == nRecords / 2) {
            g_pShared->nHalfDone.fetch_add(1);
            if (!WaitPhase(kDaemonStopped)) _exit(kNoPhase);
        }
        int32_t nRet = ZQ_ERR_QUEUE_FULL;
        while ((nRet = ZQ_LOG(ZQ_LEVEL_INFO, "cam0", "crash T%u S%u", t, nSeq)) ==
                   ZQ_ERR_QUEUE_FULL &&
               c.eWhere != EWhere::kBlockedFile) {
            std::this_thread::yield();  // the writer makes room
        }
        if (nRet == ZQ_OK) {
            g_pShared->nAcked[t].store(nSeq + 1, std::memory_order_release);
        } else if (nRet != ZQ_ERR_QUEUE_FULL) {
            _exit(kBadResult);
        }
    }
}

// The child: never returns.
void RunChild(const Case& c, const std::string& strDir, int nReceiverFd, int nIntakeFd) {
    if (nReceiverFd >= 0) (void)close(nReceiverFd);  // the parent's: the port is the stand-in's
    if (nIntakeFd >= 0) (void)close(nIntakeFd);
    // A plain process: no handler of a test runtime or sanitizer stays.
    for (const int nSignal : kSignals) (void)signal(nSignal, SIG_DFL);
    const int nSignal = SignalOf(c.eFault);
    std::snprintf(g_szMarker, sizeof(g_szMarker), "%s/handler", strDir.c_str());
    if (c.bAppHandler) (void)signal(nSignal, &OnAppSignal);

    (void)SetLogMode(c.eWhere == EWhere::kFiles || c.eWhere == EWhere::kBlockedFile
                         ? ZQ_MODE_FILES
                         : ZQ_MODE_FORWARD);
    (void)SetLogPath(strDir.c_str(), "CR");
    if (!c.bFlush) (void)SetCrashFlush(0);
    const bool bOnWriter = c.eFault == EFault::kNullWriteOnWriter;
    const std::string strCfg = strDir + "/crash.ini";
    if (bOnWriter) {
        (void)zqtest::WriteFile(strCfg, "[Level]\r\nCrashKey=4\r\n");
        (void)LoadLogConfig(strCfg.c_str());
        (void)SetLevelCallback(&OnLevelFault, "CrashKey", 0);
    }
    if (CreateAsyncLog() != ZQ_OK) _exit(kNoLog);
    if (bOnWriter) {
        (void)ReopenAsyncLog();  // the reload calls the callback
        if (!WaitPhase(kInCallback)) _exit(kNoPhase);
    }

    const uint32_t nRecords = bOnWriter ? kWriterRecords : kRecords;
    std::vector<std::thread> vThreads;
    for (uint32_t t = 0; t < kThreads; ++t)
        vThreads.emplace_back([&c, t, nRecords] { Log(c, t, nRecords); });
    if (c.eWhere == EWhere::kDaemonGoes) {
        (void)zqtest::PollUntil([] { return g_pShared->nHalfDone.load() == kThreads; });
        g_pShared->nPhase.store(kStopDaemon);
    }
    if (c.bWhileLogging) {
        // Spinning: the threads are to be half-way, not done, at the fault.
        for (uint32_t t = 0; t < kThreads; ++t) {
            while (g_pShared->nAcked[t].load() < nRecords / 2) std::this_thread::yield();
        }
        TakeOwed();
        Fault(c, strDir);
    }
    for (std::thread& thread : vThreads) thread.join();
    if (!bOnWriter) {
        TakeOwed();
        Fault(c, strDir);
    }
    g_pShared->nPhase.store(kLogged);
    for (;;) pause();  // the writer faults
}

// What reached the destination: how often each record of each thread came.
struct Seen {
    std::vector<uint32_t> vCount[kThreads];
    Seen() {
        for (auto& v : vCount) v.assign(kRecords, 0);
    }
    void Take(const std::string& strText) {
        std::vector<std::string> vLines = zqtest::SplitCrLf(strText);
        // A piece without its line end is a record the process's end cut
        // (without the flush): "S12" of "S123" would count as another record.
        const size_t nLen = strText.size();
        if (nLen < 2 || strText.compare(nLen - 2, 2, "\r\n") != 0) {
            if (!vLines.empty()) vLines.pop_back();
        }
        for (const std::string& strLine : vLines) {
            const size_t nAt = strLine.find("crash T");
            unsigned nThread = 0;
            unsigned nSeq = 0;
            if (nAt != std::string::npos &&
                std::sscanf(strLine.c_str() + nAt, "crash T%u S%u", &nThread, &nSeq) == 2 &&
                nThread < kThreads && nSeq < kRecords) {
                ++vCount[nThread][nSeq];
            }
        }
    }
    // Every owed record once, none more than once: the records missing or
    // twice in all.
    uint64_t Missing(const Shared& stShared) const {
        uint64_t n = 0;
        for (uint32_t t = 0; t < kThreads; ++t) {
            for (uint32_t s = 0; s < stShared.nOwed[t]; ++s) n += vCount[t][s] == 0 ? 1 : 0;
        }
        return n;
    }
    uint64_t Twice() const {
        uint64_t n = 0;
        for (const auto& v : vCount) {
            for (const uint32_t c : v) n += c > 1 ? 1 : 0;
        }
        return n;
    }
};

// The stand-in's local intake, bound by this process (root's, as the
// daemon's), its queue 512 datagrams long as the daemon makes it (the
// setting is the test's network namespace's own). Gone with the object.
class IntakeReceiver {
public:
    IntakeReceiver() {
        (void)mkdir(kRunDir, 0755);
        (void)unlink(kIntakeSocketPath);
        const std::string strQueue = zqtest::ReadFile(kQueueSetting);
        SetQueue("512");
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un stAddr{};
        stAddr.sun_family = AF_UNIX;
        std::snprintf(stAddr.sun_path, sizeof(stAddr.sun_path), "%s", kIntakeSocketPath);
        const bool bBound = bind(m_fd, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)) == 0 &&
                            chmod(kIntakeSocketPath, 0666) == 0;
        SetQueue(strQueue);
        EXPECT_TRUE(bBound) << kIntakeSocketPath;
    }
    ~IntakeReceiver() {
        (void)unlink(kIntakeSocketPath);
        (void)close(m_fd);
    }
    IntakeReceiver(const IntakeReceiver&) = delete;
    IntakeReceiver& operator=(const IntakeReceiver&) = delete;
    int Fd() const { return m_fd; }

private:
    static constexpr const char* kQueueSetting = "/proc/sys/net/unix/max_dgram_qlen";
    static void SetQueue(const std::string& strValue) {
        const int nFd = open(kQueueSetting, O_WRONLY | O_CLOEXEC);
        if (nFd < 0) return;
        (void)!write(nFd, strValue.data(), strValue.size());
        (void)close(nFd);
    }
    int m_fd = -1;
};

void TakeDatagrams(int nFd, Seen* pSeen, uint64_t* pCount) {
    char szBuf[2048];
    ssize_t n = 0;
    while (nFd >= 0 && (n = recv(nFd, szBuf, sizeof(szBuf), MSG_DONTWAIT)) >= 0) {
        pSeen->Take(std::string(szBuf, static_cast<size_t>(n)));
        ++*pCount;
    }
}

uint32_t RunsPerCase() {
    const char* pRuns = std::getenv("ZQ_CRASH_RUNS");
    const long nRuns = pRuns != nullptr ? std::strtol(pRuns, nullptr, 10) : 0;
    return nRuns > 0 ? static_cast<uint32_t>(nRuns) : 1;
}

TEST(CrashFlushTest, RecordsQueuedBeforeAFaultAreWrittenAndTheProcessEndsByItsSignal) {
    using E = EFault;
    using W = EWhere;
    const Case kCases[] = {
        {"files, null write", E::kNullWrite, W::kFiles, false, false, true},
        {"files, abort, own handler", E::kAbort, W::kFiles, true, false, true},
        {"files, std::terminate", E::kTerminate, W::kFiles, false, false, true},
        {"files, bus error, own handler", E::kBusError, W::kFiles, true, false, true},
        {"files, null write while logging, own handler", E::kNullWrite, W::kFiles, true, true,
         true},
        {"files, fault on the writer thread", E::kNullWriteOnWriter, W::kFiles, true, false, true},
        {"daemon, null write, own handler", E::kNullWrite, W::kDaemon, true, false, true},
        {"daemon, abort", E::kAbort, W::kDaemon, false, false, true},
        {"daemon, bus error while logging", E::kBusError, W::kDaemon, false, true, true},
        {"daemon, fault on the writer thread", E::kNullWriteOnWriter, W::kDaemon, false, false,
         true},
        {"daemon gone before the fault, abort", E::kAbort, W::kDaemonGoes, true, false, true},
        {"daemon's intake, null write", E::kNullWrite, W::kIntake, false, false, true},
        {"daemon's intake, abort while logging, own handler", E::kAbort, W::kIntake, true, true,
         true},
        // A file that takes nothing more: the flush gives up in time.
        {"blocked file, abort, own handler", E::kAbort, W::kBlockedFile, true, false, true},
        // Off: the signals keep their actions and end the process as before;
        // what is lost then is shown, not owed.
        {"off, null write, own handler", E::kNullWrite, W::kFiles, true, false, false},
        {"off, abort", E::kAbort, W::kFiles, false, false, false},
        {"off, daemon, null write", E::kNullWrite, W::kDaemon, false, false, false},
    };
    const uint32_t nRuns = RunsPerCase();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szName);
        if (c.eWhere == W::kIntake && getuid() != 0) {
            std::printf("[ crash    ] %s: skipped, needs root\n", c.szName);
            continue;
        }
        uint64_t nOwed = 0;
        uint64_t nMissing = 0;
        uint64_t nTwice = 0;
        for (uint32_t nRun = 0; nRun < nRuns; ++nRun) {
            SCOPED_TRACE("run " + std::to_string(nRun));
            zqtest::TempDir dir;
            const bool bDaemon =
                c.eWhere == W::kDaemon || c.eWhere == W::kDaemonGoes || c.eWhere == W::kIntake;
            std::unique_ptr<zqtest::Receiver> pReceiver(bDaemon ? new zqtest::Receiver : nullptr);
            std::unique_ptr<IntakeReceiver> pIntake(c.eWhere == W::kIntake ? new IntakeReceiver
                                                                           : nullptr);
            uint64_t nOverUdp = 0;
            auto TakeAll = [&](Seen* pSeen, uint64_t* pCount) {
                const uint64_t nBefore = *pCount;
                if (pReceiver != nullptr) TakeDatagrams(pReceiver->Fd(), pSeen, pCount);
                nOverUdp += *pCount - nBefore;
                if (pIntake != nullptr) TakeDatagrams(pIntake->Fd(), pSeen, pCount);
            };
            std::unique_ptr<zqtest::StandInDaemon> pDaemon;
            int nReceiverFd = -1;
            if (bDaemon) {
                nReceiverFd = pReceiver->Fd();
                // Room for every datagram even while this thread looks away.
                const int nBuf = 32 << 20;
                if (setsockopt(nReceiverFd, SOL_SOCKET, SO_RCVBUFFORCE, &nBuf, sizeof(nBuf)) != 0)
                    (void)setsockopt(nReceiverFd, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
                pDaemon.reset(new zqtest::StandInDaemon(dir, nReceiverFd));
            }
            int nFifoReader = -1;
            if (c.eWhere == W::kBlockedFile) {
                ASSERT_EQ(0, mkfifo(dir.File("CR_00.log").c_str(), 0600));
                nFifoReader = open(dir.File("CR_00.log").c_str(), O_RDONLY | O_NONBLOCK);
                ASSERT_GE(nFifoReader, 0);  // held, never read
            }
            void* pMap = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            ASSERT_NE(MAP_FAILED, pMap);
            g_pShared = new (pMap) Shared();

            (void)std::fflush(stdout);  // nothing buffered for a child to write again
            const pid_t nPid = fork();
            ASSERT_GE(nPid, 0);
            if (nPid == 0) RunChild(c, dir.Path(), nReceiverFd, pIntake ? pIntake->Fd() : -1);

            Seen seen;
            uint64_t nDatagrams = 0;
            int nStatus = 0;
            const bool bEnded = zqtest::PollUntil(
                [&] {
                    TakeAll(&seen, &nDatagrams);
                    if (g_pShared->nPhase.load() == kStopDaemon &&
                        nDatagrams == uint64_t{kThreads} * (kRecords / 2)) {
                        pDaemon.reset();  // every datagram sent so far has come
                        pReceiver.reset();
                        pIntake.reset();
                        g_pShared->nPhase.store(kDaemonStopped);
                    }
                    return waitpid(nPid, &nStatus, WNOHANG) == nPid;
                },
                std::chrono::seconds(60));
            if (!bEnded) {
                (void)kill(nPid, SIGKILL);
                (void)waitpid(nPid, nullptr, 0);
            }
            if (nFifoReader >= 0) (void)close(nFifoReader);
            ASSERT_TRUE(bEnded) << "the child hung";
            ASSERT_TRUE(WIFSIGNALED(nStatus))
                << "exit status " << (WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1);
            EXPECT_EQ(SignalOf(c.eFault), WTERMSIG(nStatus));
            if (c.bAppHandler) {
                EXPECT_EQ(std::to_string(SignalOf(c.eFault)),
                          zqtest::ReadFile(dir.File("handler")));
            }
            // Counted also with the flush off (what it loses then, shown
            // below), but only owed with it on.
            if (c.eWhere != W::kBlockedFile) {
                // The files are complete; datagrams may still be on their way.
                for (uint32_t i = 0; i < 10; ++i) {
                    seen.Take(zqtest::ReadFile(dir.File("CR_0" + std::to_string(i) + ".log")));
                }
                (void)zqtest::PollUntil(
                    [&] {
                        TakeAll(&seen, &nDatagrams);
                        return seen.Missing(*g_pShared) == 0;
                    },
                    std::chrono::seconds(c.bFlush ? 5 : 0));
                // A client that finds the intake sends nothing over UDP.
                if (c.eWhere == W::kIntake) {
                    EXPECT_EQ(0u, nOverUdp);
                }
                for (const uint32_t n : g_pShared->nOwed) nOwed += n;
                nMissing += seen.Missing(*g_pShared);
                nTwice += seen.Twice();
            }
            (void)munmap(pMap, sizeof(Shared));
        }
        if (c.bFlush) {
            EXPECT_EQ(0u, nMissing) << "of " << nOwed << " records logged before the fault";
        }
        EXPECT_EQ(0u, nTwice);
        std::printf(
            "[ crash    ] %s: %u runs, %llu records before the fault, %llu missing, %llu twice\n",
            c.szName, nRuns, static_cast<unsigned long long>(nOwed),
            static_cast<unsigned long long>(nMissing), static_cast<unsigned long long>(nTwice));
    }
}

// The handlers come and go with the log: DestroyAsyncLog puts back what was
// there before, leaves a handler installed meanwhile alone and turns the flush
// on again (the case after "off" finds it on); SetCrashFlush is refused once
// the log exists.
TEST(CrashFlushTest, HandlersComeWithTheLogAndGoWithIt) {
    zqtest::TempDir dir;
    auto HandlerOf = [](int nSignal) {
        struct sigaction st = {};
        (void)sigaction(nSignal, nullptr, &st);
        return st.sa_handler;  // shares its place with sa_sigaction
    };
    struct sigaction stSaved[std::size(kSignals)];
    for (size_t i = 0; i < std::size(kSignals); ++i)
        (void)sigaction(kSignals[i], nullptr, &stSaved[i]);
    const struct {
        const char* szName;
        bool bAppBefore;  // the application's handlers before creation, else the defaults
        bool bOff;
        bool bAppAfter;  // the application installs one for SIGABRT while the log runs
    } kCases[] = {
        {"default actions before", false, false, false},
        {"the application's handlers before", true, false, false},
        {"off", true, true, false},
        {"a handler installed after creation", false, false, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szName);
        void (*pfnBefore[std::size(kSignals)])(int) = {};
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            (void)signal(kSignals[i], c.bAppBefore ? &OnAppSignal : SIG_DFL);
            pfnBefore[i] = HandlerOf(kSignals[i]);
        }
        ASSERT_EQ(ZQ_OK, SetLogMode(ZQ_MODE_FILES));
        ASSERT_EQ(ZQ_OK, SetLogPath(dir.Path().c_str(), "HC"));
        if (c.bOff) {
            EXPECT_EQ(ZQ_OK, SetCrashFlush(0));
        }
        ASSERT_EQ(ZQ_OK, CreateAsyncLog());
        EXPECT_EQ(ZQ_ERR_ALREADY_CREATED, SetCrashFlush(0));
        EXPECT_EQ(ZQ_ERR_ALREADY_CREATED, SetCrashFlush(1));
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            EXPECT_EQ(c.bOff, HandlerOf(kSignals[i]) == pfnBefore[i]) << kSignals[i];
        }
        if (c.bAppAfter) (void)signal(SIGABRT, &OnAppSignal);
        EXPECT_EQ(ZQ_OK, DestroyAsyncLog());
        for (size_t i = 0; i < std::size(kSignals); ++i) {
            const bool bLater = c.bAppAfter && kSignals[i] == SIGABRT;
            EXPECT_EQ(bLater ? &OnAppSignal : pfnBefore[i], HandlerOf(kSignals[i])) << kSignals[i];
        }
    }
    for (size_t i = 0; i < std::size(kSignals); ++i)
        (void)sigaction(kSignals[i], &stSaved[i], nullptr);
}

}  // namespace
