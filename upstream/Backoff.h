#pragma once

#include <cstdint>

// Delays between reconnection attempts, each drawn at random from the upper
// half of a step that doubles from 1 s up to 30 s: 0.5-1 s, 1-2 s, 2-4 s, ...,
// 15-30 s. The randomness keeps devices that lost the same collector from
// coming back in step.
class CBackoff {
public:
    explicit CBackoff(uint64_t nSeed) : m_nState(nSeed | 1) {}

    // The delay before the next attempt, in milliseconds.
    int64_t Next() {
        const int64_t llStep = m_llStepMs;
        m_llStepMs = m_llStepMs * 2 < kMaxMs ? m_llStepMs * 2 : kMaxMs;
        return llStep / 2 + static_cast<int64_t>(Random() % static_cast<uint64_t>(llStep / 2 + 1));
    }
    void Reset() { m_llStepMs = kFirstStepMs; }

    static constexpr int64_t kFirstStepMs = 1000;
    static constexpr int64_t kMaxMs = 30000;

private:
    // xorshift64*: plenty for spreading reconnections.
    uint64_t Random() {
        m_nState ^= m_nState >> 12;
        m_nState ^= m_nState << 25;
        m_nState ^= m_nState >> 27;
        return m_nState * 2685821657736338717ULL;
    }

    uint64_t m_nState;
    int64_t m_llStepMs = kFirstStepMs;
};
