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
// producers call NotifyCommitted after each record (under the module lock, one
// at a time); Running may be read from any thread. Everything else runs on the
// writer thread.
//
// Wake protocol. The writer is woken only when the ring was empty before the
// push and the writer is parked on its event. After work it naps in short
// steps for a couple of milliseconds without parking, so a client that logs
// steadily never makes a system call on its own thread; parked, it waits up to
// a second (its next look at the configuration file and the sink), as every
// push into an empty ring wakes it.
//
// Stop. Stop clears the running flag, sets the event and joins the thread,
// which first writes every record still in the ring. When its sink stays
// unable to take records (no file can be opened) a stopping writer gives up
// after a second and counts what it discards.
class CWriterLoop {
public:
    // Reloads the configuration file; runs on the writer thread, no lock held.
    using ReloadFn = void (*)(void* pContext);

    // pCfgPath: the configuration file to watch (may be empty); it must stay
    // unchanged while the writer runs.
    CWriterLoop(CLogQueue& queue, CRecordSink& sink, CLossCounters& lost, const char* pCfgPath,
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

    // Producer side of the wake protocol, after a record was committed;
    // bRingWasEmpty: the ring held no record before it.
    void NotifyCommitted(bool bRingWasEmpty) {
        // Only the first record after an empty ring may signal, and only when
        // the writer is parked (see WaitForRecords: this read-modify-write
        // pairs with the writer's, so either it sees this record or this sees
        // it parked).
        if (bRingWasEmpty && m_bParked.fetch_or(0, std::memory_order_acq_rel) != 0) {
            (void)SetSemEvent(m_pEvent.get());
        }
    }

    // Asks the writer to reload the configuration file and reopen its sink's
    // current file at its next pass; any thread. Requests before the writer
    // looks are one.
    void RequestReopen() {
        m_bReopen.store(true, std::memory_order_relaxed);
        (void)SetSemEvent(m_pEvent.get());  // a parked writer looks at once
    }

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
    void WaitForRecords(int64_t* pLastWorkNs);
    void DiscardRemaining();

    CLogQueue& m_Queue;
    CRecordSink& m_Sink;
    CLossCounters& m_Lost;
    const char* m_pCfgPath;
    ReloadFn m_pfnReload;
    void* m_pContext;

    std::unique_ptr<CSemEvent, EventFree> m_pEvent;
    std::unique_ptr<void, ThreadFree> m_pThread;
    std::atomic<uint32_t> m_bRunning;  // Start/Stop write; producers and the writer read
    std::atomic<uint32_t> m_bParked;   // the writer sets it while it waits on m_pEvent
    // Set by RequestReopen, taken by the writer. Relaxed: it carries no data,
    // the writer reads the file and the configuration itself.
    std::atomic<bool> m_bReopen;
    int64_t m_llGiveUpAtMs;  // the writer's: when a stopping writer without a sink quits
};
