#pragma once

#include <cstdint>

class CRingBuffer;
struct RingSlot;

// Where the writer loop puts records: the rotating file set or the forwarder
// to the daemon. Called on the writer thread only, but for DrainForCrash.
class CRecordSink {
public:
    virtual ~CRecordSink() = default;

    // Writes or sends the records that are ready in the ring, at most nMax,
    // releasing each one; returns how many it took (0 when none was ready).
    // A record it cannot keep is counted as lost, never taken twice.
    virtual uint32_t Consume(CRingBuffer& queue, uint32_t nMax) = 0;
    // False while the sink can take no record (no file is open): the loop
    // then waits and calls Recover.
    virtual bool Ready() const = 0;
    // One attempt to become ready again.
    virtual void Recover() = 0;
    // Called about once a second and every few hundred records: a look at
    // whatever the sink depends on (is the current file still in place?).
    virtual void Periodic() {}
    // Asked from outside (a log rotation tool moved the file aside): open the
    // current file again by its name.
    virtual void Reopen() {}
    // When what was written must reach the disk (MonotonicMs), 0 while
    // nothing waits for it; Sync makes it so. The loop calls Sync once the
    // time has come and waits no longer than that.
    virtual int64_t SyncDueMs() const { return 0; }
    virtual void Sync() {}
    // From a crash signal handler on the writer thread, which faulted, so
    // nothing else uses the ring's read side or the sink meanwhile: writes or
    // sends the records ready in the ring, releasing each, until the ring is
    // empty or CLOCK_MONOTONIC reaches llDeadlineNs. Async-signal-safe: no
    // lock, no allocation, plain system calls that never wait for a peer.
    // What the sink had already taken from the ring and not yet written stays
    // untouched (it may be half written). Returns how many it took.
    virtual uint32_t DrainForCrash(CRingBuffer& queue, int64_t llDeadlineNs) = 0;
};
