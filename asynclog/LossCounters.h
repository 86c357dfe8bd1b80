#pragma once

#include <atomic>
#include <cstdint>

// Why a record was given up.
enum class LossCause : uint32_t {
    kRingFull,     // the ring had no free slot and the caller did not try again
    kTooLong,      // longer than a slot
    kWriteFailed,  // no file could take it (open, write or flush failed)
    kSendFailed,   // the datagram to the daemon could not be sent
    kSocketFull,   // the daemon's socket had no room: the kernel dropped the datagram
};
constexpr uint32_t kLossCauses = 5;

// Counts of records given up, by cause: each record at most once, at the place
// that gives it up. Producers and the writer add, any thread reads. Relaxed:
// the counts are statistics and publish nothing else.
class CLossCounters {
public:
    CLossCounters() = default;
    CLossCounters(const CLossCounters&) = delete;
    CLossCounters& operator=(const CLossCounters&) = delete;

    void Add(LossCause eCause, uint64_t nRecords = 1) {
        m_nLost[Index(eCause)].fetch_add(nRecords, std::memory_order_relaxed);
    }
    uint64_t Get(LossCause eCause) const {
        return m_nLost[Index(eCause)].load(std::memory_order_relaxed);
    }
    uint64_t Total() const {
        uint64_t nTotal = 0;
        for (const auto& n : m_nLost) nTotal += n.load(std::memory_order_relaxed);
        return nTotal;
    }

private:
    static uint32_t Index(LossCause eCause) { return static_cast<uint32_t>(eCause); }

    std::atomic<uint64_t> m_nLost[kLossCauses] = {};
};
