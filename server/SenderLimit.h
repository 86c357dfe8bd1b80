#pragma once

#include <cstdint>

// The fair share of the daemon's intakes: each sender may pass Burst records
// per interval, and what it sends beyond that is dropped before it reaches
// the ring, so that a flood uses up its own budget only and cannot rotate
// other senders' records out of the file set. A sender is a user of the local
// intake (the kernel names it, LocalIntake.h) or, for all of UDP together,
// one shared entry: a UDP datagram's sender is unknown. Users below
// ExemptBelow (root and the system users) are never limited.
//
// Memory is fixed: kLimitSlots users have an entry each; further users in the
// same interval share one overflow entry. Each entry's window is fixed: it
// starts with the entry's first record and lasts Interval seconds; at its end
// the entry says once what it suppressed in it (a note to the owner: "uid
// 65534: 1,234,567 records suppressed in 30 s") and its slot is free again;
// a stop ends the windows still open the same way.
//
// Threads: one (the receive loop's) calls everything.

// The keys of LogServer.ini [Limit] (LogConfig.h), as the limit uses them.
struct LimitSettings {
    uint32_t nIntervalS;
    uint32_t nBurst;  // records per sender per interval; 0: no limit
    uint32_t nExemptBelow;
};

// The defaults of the keys.
LimitSettings DefaultLimitSettings();
// Reads the keys of pPath into *pSettings; a key that is missing or out of
// range leaves its value as it was.
void ReadLimitSettings(const char* pPath, LimitSettings* pSettings);

constexpr uint32_t kLimitSlots = 64;

class CSenderLimit {
public:
    // pfnNote receives each note of the end of a window, with pContext.
    using NoteFn = void (*)(void* pContext, const char* pText);
    CSenderLimit(NoteFn pfnNote, void* pContext);
    CSenderLimit(const CSenderLimit&) = delete;
    CSenderLimit& operator=(const CSenderLimit&) = delete;

    // Takes effect with the next record; windows already open keep their start.
    void Configure(const LimitSettings& stSettings) { m_stSettings = stSettings; }
    const LimitSettings& Settings() const { return m_stSettings; }

    // Whether a record of user nUid (local intake) or of UDP may pass at
    // llNowMs (MonotonicMs); false: the caller drops it (and counts it).
    bool AdmitUid(uint32_t nUid, int64_t llNowMs);
    bool AdmitUdp(int64_t llNowMs) { return Admit(m_stUdp, llNowMs); }
    // Ends every window that is over at llNowMs: its note, its slot freed.
    // About once a second.
    void Tick(int64_t llNowMs);
    // At a stop: ends every open window, so that what it suppressed is said
    // too ("... suppressed in 12 s", the time it was open, rounded up).
    void EndAll(int64_t llNowMs);

private:
    struct Entry {
        uint32_t nUid;
        bool bUsed;            // the window is open
        int64_t llStartMs;     // when it opened
        uint32_t nPassed;      // records passed in it
        uint64_t nSuppressed;  // records dropped in it
    };
    bool Admit(Entry& entry, int64_t llNowMs);
    bool WindowOver(const Entry& entry, int64_t llNowMs) const;
    void EndWindow(Entry& entry, uint32_t nSeconds);

    const NoteFn m_pfnNote;
    void* const m_pContext;
    LimitSettings m_stSettings;
    Entry m_aSlots[kLimitSlots];
    Entry m_stOverflow;    // the users beyond kLimitSlots in one interval
    Entry m_stUdp;         // every UDP datagram
    uint32_t m_nLastSlot;  // the slot the last record's user had: batches are mostly one user's
};
