#include "asynclog/WriterLoop.h"

#include "platform/MonotonicClock.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace {

constexpr int32_t kWriterOk = 0;
constexpr int32_t kWriterErrResource = -6;
// An idle writer stays unparked this long: more than a second, so that a
// process logging once a second keeps it unparked.
constexpr int64_t kLingerNs = 1500000000;
constexpr int32_t kMinPollMs = 1;       // a lingering writer's first look after work
constexpr int32_t kMaxPollMs = 4;       // ... doubling up to this while the ring stays empty
constexpr long kWokenNapNs = 50000;     // hands the CPU back after a wake-up (see WaitForRecords)
constexpr int32_t kNoSinkWaitMs = 100;  // a record waits but the sink takes none
constexpr uint32_t kWatchPasses = 300;  // passes between looks at the configuration file
constexpr int64_t kWatchIntervalNs = 1000000000;  // ... or this long, whichever comes first
// Ring empty, writer parked: producers signal it, so it only wakes by itself
// for the next look at the configuration file and the sink.
constexpr int32_t kIdleWaitMs = static_cast<int32_t>(kWatchIntervalNs / 1000000);
constexpr int64_t kStopGiveUpMs = 1000;    // how long a stopping writer waits for its sink
constexpr uint32_t kMaxBatch = 512;        // records handed to the sink at once
constexpr uint32_t kEndLoop = UINT32_MAX;  // Step's answer: the loop ends
constexpr long kCrashPollNs = 1000000;     // a crash handler's look at the writer's answer
// Passes without a record taken before a crash drain gives up: the follower
// needs one to turn to its files when the daemon refuses.
constexpr uint32_t kCrashDrainStalls = 2;

void Nap(long nNs) {
    struct timespec stStep = {0, nNs};
    (void)nanosleep(&stStep, nullptr);  // an interrupted nap only ends early
}

}  // namespace

CWriterLoop::CWriterLoop(CRingBuffer& queue, CRecordSink& sink, CLossCounters& lost,
                         const char* pCfgPath, ReloadFn pfnReload, void* pContext)
    : m_Queue(queue),
      m_Sink(sink),
      m_Lost(lost),
      m_pCfgPath(pCfgPath),
      m_pfnReload(pfnReload),
      m_pContext(pContext),
      m_bRunning(0),
      m_bParked(0),
      m_nParks(0),
      m_nWokenByRecord(0),
      m_nWokenPastHalf(0),
      m_bReopen(false),
      m_llGiveUpAtMs(0),
      m_bCrashAsked(0),
      m_bCrashDrained(0),
      m_nWriterTid(0),
      m_stStartStamp(StampOf(pCfgPath)) {}

CWriterLoop::~CWriterLoop() { Stop(); }

int32_t CWriterLoop::Start() {
    m_pEvent.reset(CreateSemEvent(0, 0));
    if (m_pEvent == nullptr) return kWriterErrResource;
    // Set before the thread exists; pthread_create publishes it to the writer.
    m_bRunning.store(1, std::memory_order_relaxed);
    m_pThread.reset(CreateThreadEx(nullptr, &CWriterLoop::ThreadMain, this));
    if (m_pThread == nullptr) {
        m_bRunning.store(0, std::memory_order_relaxed);
        return kWriterErrResource;
    }
    return kWriterOk;
}

void CWriterLoop::Stop() {
    // Release: whatever the owner did before stopping is visible to the writer
    // once it sees the flag clear.
    m_bRunning.store(0, std::memory_order_release);
    if (m_pThread == nullptr) return;
    (void)SetSemEvent(m_pEvent.get());  // 0 only for a failed post: the writer wakes by time-out
    (void)JoinThread(m_pThread.get());
    m_pThread.reset();
}

void* CWriterLoop::ThreadMain(void* pArg) {
    static_cast<CWriterLoop*>(pArg)->Run();
    return nullptr;
}

CWriterLoop::FileStamp CWriterLoop::StampOf(const char* pPath) {
    FileStamp stStamp = {};
    struct stat st {};
    if (pPath == nullptr || pPath[0] == '\0' || stat(pPath, &st) != 0) return stStamp;
    stStamp.bExists = true;
    stStamp.nDev = static_cast<uint64_t>(st.st_dev);
    stStamp.nIno = static_cast<uint64_t>(st.st_ino);
    stStamp.llSize = static_cast<int64_t>(st.st_size);
    stStamp.llMTimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
    stStamp.llMTimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
    return stStamp;
}

bool CWriterLoop::ExitWanted() const {
    // Acquire pairs with Stop's release; producers can no longer push once the
    // flag is clear (the owner stops the engine under its own lock), so an
    // empty ring here stays empty.
    return m_bRunning.load(std::memory_order_acquire) == 0 && m_Queue.GetReadSlot() == nullptr;
}

// Looks at the configuration file, and lets the sink look at what it depends
// on, every kWatchPasses passes or when kWatchIntervalNs have gone by since the
// last look. Under load every record counts as a pass, so the file is looked at
// every 300 records; when idle, every second (the parked writer sleeps long and
// would rarely count 300). Every change is reloaded, and the stamp is taken as
// the one last seen whether the file is reloaded or not: an edit right after
// another is never mistaken for no change.
void CWriterLoop::WatchConfig(WatchState* pWatch, uint32_t nStep) {
    pWatch->nPasses += nStep;
    if (m_bReopen.load(std::memory_order_relaxed) &&
        m_bReopen.exchange(false, std::memory_order_relaxed)) {
        pWatch->stLast = StampOf(m_pCfgPath);
        m_pfnReload(m_pContext);
        m_Sink.Reopen();
    }
    const int64_t llNowNs = MonotonicNs();
    if (pWatch->nPasses < kWatchPasses && llNowNs - pWatch->llLastLookNs < kWatchIntervalNs) {
        return;
    }
    pWatch->nPasses = 0;
    pWatch->llLastLookNs = llNowNs;
    const FileStamp stNow = StampOf(m_pCfgPath);
    if (!(stNow == pWatch->stLast)) {
        pWatch->stLast = stNow;
        m_pfnReload(m_pContext);
    }
    m_Sink.Periodic();
}

// The ring is empty. While it has been so for less than kLingerNs since the
// last work, the writer waits on its event for the poll step and looks again
// (producers signal only a ring past half full meanwhile); the step doubles up
// to kMaxPollMs. Then the writer parks and waits for the first record.
//
// Parking is an event count: the writer announces itself parked, then looks at
// the ring's write position once more; a producer claims its position, then
// looks at the flag. All four are sequentially consistent, so one of the two
// looks sees the other side: either the writer finds a position claimed and
// does not wait, or the producer finds it parked and signals. No record waits
// for the time-out, which still bounds any wait. A position that is claimed
// but still being filled holds the writer only for a nap: a real-time writer
// that spun on it could keep its producer from finishing.
void CWriterLoop::WaitForRecords(int64_t llLastWorkNs, int32_t* pPollMs) {
    if (MonotonicNs() - llLastWorkNs < kLingerNs) {
        // Woken early: a ring past half full, a reopen request, or Stop.
        (void)WaitSemEvent(m_pEvent.get(), *pPollMs);
        if (*pPollMs < kMaxPollMs) *pPollMs *= 2;
        return;
    }
    // A sync that is due ends the park in time: a record followed by silence
    // reaches the disk by its deadline, not by the next record.
    int32_t nWaitMs = kIdleWaitMs;
    const int64_t llDueMs = m_Sink.SyncDueMs();
    if (llDueMs != 0) {
        const int64_t llLeft = llDueMs - MonotonicMs();
        nWaitMs = llLeft <= 0 ? 0 : llLeft < nWaitMs ? static_cast<int32_t>(llLeft) : nWaitMs;
    }
    (void)m_bParked.exchange(1, std::memory_order_seq_cst);
    const bool bEmpty = m_Queue.GetPendingCount() == 0;
    if (!bEmpty) {
        m_bParked.store(0, std::memory_order_relaxed);
        if (m_Queue.GetReadSlot() == nullptr) Nap(kWokenNapNs);
        return;
    }
    m_nParks.fetch_add(1, std::memory_order_relaxed);
    const bool bWoken = WaitSemEvent(m_pEvent.get(), nWaitMs) == 0;
    m_bParked.store(0, std::memory_order_relaxed);
    // Woken by the first record of a burst: as a real-time thread the writer
    // may have preempted that very producer. A nap hands the CPU back so the
    // burst goes on, and the writer then takes it in one batch.
    if (bWoken) Nap(kWokenNapNs);
}

void CWriterLoop::DiscardRemaining() {
    while (m_Queue.GetReadSlot() != nullptr) {
        (void)m_Queue.PopRead();
        m_Lost.Add(LossCause::kWriteFailed);
    }
}

// One step with records waiting: hand them to the sink, or, while it can take
// none, wait and let it try to recover. Returns the records taken, or kEndLoop.
uint32_t CWriterLoop::Step() {
    if (m_Sink.Ready()) return m_Sink.Consume(m_Queue, kMaxBatch);
    // No sink: while running, keep trying; once stopping, a lasting failure (no
    // directory, no permission, no space) must not hang Stop: give up after a
    // bounded time and count what is left as lost.
    if (m_bRunning.load(std::memory_order_acquire) == 0) {
        const int64_t llNow = MonotonicMs();
        if (m_llGiveUpAtMs == 0) {
            m_llGiveUpAtMs = llNow + kStopGiveUpMs;
        } else if (llNow >= m_llGiveUpAtMs) {
            DiscardRemaining();
            return kEndLoop;
        }
    }
    (void)WaitSemEvent(m_pEvent.get(), kNoSinkWaitMs);
    m_Sink.Recover();
    return 0;
}

// Runs in a signal handler: clock_gettime, nanosleep and sem_post only.
bool CWriterLoop::DrainForCrash(int64_t llDeadlineNs) {
    if (gettid() == m_nWriterTid.load(std::memory_order_relaxed)) {
        (void)m_Sink.DrainForCrash(m_Queue, llDeadlineNs);
        return m_Queue.GetReadSlot() == nullptr;
    }
    m_bCrashAsked.store(1, std::memory_order_release);
    (void)PostSemEventFromSignal(m_pEvent.get());  // a writer that does not wait looks anyway
    while (m_bCrashDrained.load(std::memory_order_acquire) == 0) {
        if (MonotonicNs() >= llDeadlineNs) return false;
        Nap(kCrashPollNs);
    }
    return true;
}

// The records in the ring now include every one committed before the fault:
// they go to the sink before the handler hears back. Later ones are the
// ordinary loop's. A sink that cannot take any ends the drain (the handler
// is told all the same: waiting longer would not bring them anywhere).
void CWriterLoop::AnswerCrashDrain() {
    m_bCrashAsked.store(0, std::memory_order_relaxed);
    uint32_t nLeft = static_cast<uint32_t>(m_Queue.GetPendingCount());
    uint32_t nStalls = 0;
    while (nLeft > 0 && nStalls < kCrashDrainStalls) {
        if (!m_Sink.Ready()) m_Sink.Recover();
        const uint32_t nDone =
            m_Sink.Ready() ? m_Sink.Consume(m_Queue, nLeft < kMaxBatch ? nLeft : kMaxBatch) : 0;
        nStalls = nDone == 0 ? nStalls + 1 : 0;
        nLeft -= nDone < nLeft ? nDone : nLeft;
    }
    // A crash is often followed by a reset (a watchdog) that takes the page
    // cache with it: what was written goes to the disk before the handler
    // lets the process end.
    if (m_Sink.SyncDueMs() != 0) m_Sink.Sync();
    m_bCrashDrained.store(1, std::memory_order_release);
}

// Each pass: a crash drain when asked, exit test, configuration watch, a sync
// that is due, then the idle wait or a step with the records that are ready.
void CWriterLoop::Run() {
    m_nWriterTid.store(static_cast<int32_t>(gettid()), std::memory_order_relaxed);
    WatchState stWatch = {m_stStartStamp, 0, MonotonicNs()};
    uint32_t nStep = 1;
    int64_t llLastWorkNs = -kLingerNs;  // a writer that has not worked yet parks at once
    int32_t nPollMs = kMinPollMs;
    m_llGiveUpAtMs = 0;
    while (!ExitWanted()) {
        if (m_bCrashAsked.load(std::memory_order_acquire) != 0) AnswerCrashDrain();
        WatchConfig(&stWatch, nStep);
        nStep = 1;
        const int64_t llDueMs = m_Sink.SyncDueMs();
        if (llDueMs != 0 && MonotonicMs() >= llDueMs) m_Sink.Sync();
        if (m_Queue.GetReadSlot() == nullptr) {
            WaitForRecords(llLastWorkNs, &nPollMs);
            continue;
        }
        const uint32_t nDone = Step();
        if (nDone == kEndLoop) break;
        if (nDone > 0) {
            nStep = nDone;
            llLastWorkNs = MonotonicNs();
            nPollMs = kMinPollMs;
        }
    }
}
