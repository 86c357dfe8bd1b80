#pragma once

#include "asynclog/LossCounters.h"
#include "asynclog/RecordSink.h"
#include "asynclog/RingBuffer.h"
#include "asynclog/SemEvent.h"
#include "platform/ZQThread.h"

#include <atomic>
#include <cstdint>
#include <memory>

// The engine's writer thread: the ring's only consumer. It hands every record
// to its sink (the file set or the forwarder), looks at the configuration file
// (the engine reloads it when it changed) and lets the sink look at what it
// depends on, and parks on its wake event when the ring stays empty.
//
// Threads: the engine creates, starts and stops it from its owner's thread;
// producers call NotifyCommitted after each record, from any threads at once;
// Running may be read from any thread. Everything else runs on the
// writer thread.
//
// Wake protocol. A producer makes no system call for a record unless the
// writer is parked or the record made the ring half full. After work
// the writer lingers for 1.5 s: it looks at the ring by itself, first after
// 1 ms, then after waits doubling to 4 ms while the ring stays empty, and
// producers do not signal it. So a process that logs at least once a second
// never pays for a wake-up on its own thread; a record waits at most about
// 4 ms in memory; a lingering writer wakes 250 to 1000 times a second. Once
// the ring has stayed empty for the whole linger the writer parks: it waits up
// to a second (its next look at the configuration file and the sink), and the
// first record after that silence signals it. A record that fills the ring
// to half signals as well, so a burst cannot fill the ring while the writer
// waits out its step.
//
// Stop. Stop clears the running flag, sets the event and joins the thread,
// which first writes every record still in the ring. When its sink stays
// unable to take records (no file can be opened) a stopping writer gives up
// after a second and counts what it discards.
//
// Crash drain. A crash signal handler calls DrainForCrash: on any other thread
// it sets m_bCrashAsked and posts the event, and the writer, at the top of its
// next pass, hands the sink every record that is in the ring then (all those
// committed before the fault) and sets m_bCrashDrained; the handler waits for
// that, up to its deadline. On the writer thread itself (the writer faulted,
// say in a level callback) nobody would answer, so the handler drains the
// ring through the sink's DrainForCrash. Only one of the two ever consumes:
// a writer that does not answer in time (blocked on a full disk or a lock the
// faulting thread holds) keeps the ring, and its records are lost.
class CWriterLoop {
public:
    // Reloads the configuration file; runs on the writer thread, no lock held.
    using ReloadFn = void (*)(void* pContext);

    // pCfgPath: the configuration file to watch (may be empty); it must stay
    // unchanged while the writer runs.
    CWriterLoop(CRingBuffer& queue, CRecordSink& sink, CLossCounters& lost, const char* pCfgPath,
                ReloadFn pfnReload, void* pContext);
    ~CWriterLoop();  // runs Stop
    CWriterLoop(const CWriterLoop&) = delete;
    CWriterLoop& operator=(const CWriterLoop&) = delete;

    // Creates the wake event and starts the thread. 0, or -6 when either
    // cannot be created.
    int32_t Start();
    // Running flag off, event set, thread joined after it drained the ring.
    // Safe to call more than once, and without Start.
    void Stop();
    bool Running() const { return m_bRunning.load(std::memory_order_relaxed) != 0; }

    // Producer side of the wake protocol, after a record was committed, on
    // any producer thread; bFilling: the record made the ring half full
    // (CRingBuffer::PushText).
    void NotifyCommitted(bool bFilling) {
        // The claim of the record's position came first, sequentially
        // consistent, and so does this load: it pairs with the writer's
        // exchange before its own look at the write position (see
        // WaitForRecords), so either the writer sees the record or this sees
        // the writer parked. The flag changes only when the writer parks or
        // wakes, so the line stays shared while the writer works; of the
        // producers that find it set, the one that takes it signals.
        if (m_bParked.load(std::memory_order_seq_cst) != 0 &&
            m_bParked.exchange(0, std::memory_order_acq_rel) != 0) {
            m_nWokenByRecord.fetch_add(1, std::memory_order_relaxed);
            (void)SetSemEvent(m_pEvent.get());
        } else if (bFilling) {
            m_nWokenPastHalf.fetch_add(1, std::memory_order_relaxed);
            (void)SetSemEvent(m_pEvent.get());  // a system call only while the writer waits
        }
    }

    // How often the writer parked, and how often producers signalled it: a
    // parked writer (once per park at most), and a ring past half full.
    // Relaxed counts for diagnostics and tests, readable from any thread.
    struct WakeCounts {
        uint64_t nParks;
        uint64_t nWokenByRecord;
        uint64_t nWokenPastHalf;
    };
    WakeCounts GetWakeCounts() const {
        return {m_nParks.load(std::memory_order_relaxed),
                m_nWokenByRecord.load(std::memory_order_relaxed),
                m_nWokenPastHalf.load(std::memory_order_relaxed)};
    }
    // True while the writer is parked and no record has signalled it yet.
    bool Parked() const { return m_bParked.load(std::memory_order_relaxed) != 0; }

    // Asks the writer to reload the configuration file and reopen its sink's
    // current file at its next pass; any thread. Requests before the writer
    // looks are one.
    void RequestReopen() {
        m_bReopen.store(true, std::memory_order_relaxed);
        (void)SetSemEvent(m_pEvent.get());  // a parked writer looks at once
    }

    // For a crash signal handler (see the class comment): async-signal-safe,
    // no lock, bounded by llDeadlineNs (CLOCK_MONOTONIC). True when every
    // record committed before the call reached the sink.
    bool DrainForCrash(int64_t llDeadlineNs);

    // What the watch compares of the configuration file: any change of it
    // (another file under the name, another size, another modification time
    // to the nanosecond, the file appearing or going) makes the writer reload.
    struct FileStamp {
        bool bExists;
        uint64_t nDev;
        uint64_t nIno;
        int64_t llSize;
        int64_t llMTimeSec;
        int64_t llMTimeNsec;
        bool operator==(const FileStamp& o) const {
            return bExists == o.bExists && nDev == o.nDev && nIno == o.nIno && llSize == o.llSize &&
                   llMTimeSec == o.llMTimeSec && llMTimeNsec == o.llMTimeNsec;
        }
    };
    // The stamp of a file; bExists false (and all else 0) when it has none.
    static FileStamp StampOf(const char* pPath);

private:
    struct EventFree {
        void operator()(CSemEvent* pEvent) const { (void)FreeSemEvent(pEvent); }
    };
    struct ThreadFree {
        void operator()(void* hThread) const { (void)FreeThreadHandle(hThread); }
    };
    struct WatchState {
        FileStamp stLast;      // the configuration file at the last look
        uint32_t nPasses;      // passes since the last look
        int64_t llLastLookNs;  // monotonic time of the last look
    };

    static void* ThreadMain(void* pArg);
    void Run();
    bool ExitWanted() const;
    void WatchConfig(WatchState* pWatch, uint32_t nStep);
    uint32_t Step();
    void WaitForRecords(int64_t llLastWorkNs, int32_t* pPollMs);
    void DiscardRemaining();
    void AnswerCrashDrain();

    CRingBuffer& m_Queue;
    CRecordSink& m_Sink;
    CLossCounters& m_Lost;
    const char* m_pCfgPath;
    ReloadFn m_pfnReload;
    void* m_pContext;

    std::unique_ptr<CSemEvent, EventFree> m_pEvent;
    std::unique_ptr<void, ThreadFree> m_pThread;
    std::atomic<uint32_t> m_bRunning;  // Start/Stop write; producers and the writer read
    // Set by the writer while it waits parked; cleared by the writer when it
    // goes on, or by the first producer that finds it set.
    std::atomic<uint32_t> m_bParked;
    std::atomic<uint64_t> m_nParks;          // the writer counts, anyone reads
    std::atomic<uint64_t> m_nWokenByRecord;  // producers count
    std::atomic<uint64_t> m_nWokenPastHalf;
    // Set by RequestReopen, taken by the writer. Relaxed: it carries no data,
    // the writer reads the file and the configuration itself.
    std::atomic<bool> m_bReopen;
    int64_t m_llGiveUpAtMs;  // the writer's: when a stopping writer without a sink quits
    // The crash drain. The handler stores m_bCrashAsked (release) and posts;
    // the writer takes it (acquire: it then sees the records committed before
    // the fault) and stores m_bCrashDrained (release) once they are in the
    // sink, which the handler loads (acquire). m_nWriterTid: the writer's
    // thread id, stored once when it starts, for the handler to compare with
    // its own; 0 before.
    std::atomic<uint32_t> m_bCrashAsked;
    std::atomic<uint32_t> m_bCrashDrained;
    std::atomic<int32_t> m_nWriterTid;
    // The configuration file as it was when the owner made the loop: the
    // writer's first look compares with it, so that an edit made between the
    // start and the thread's first pass is reloaded too.
    const FileStamp m_stStartStamp;
};
