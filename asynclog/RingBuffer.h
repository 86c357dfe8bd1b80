#pragma once

#include "asynclog/OriginJournal.h"
#include "platform/ZQMutex.h"

#include <atomic>
#include <cstdint>

// Largest data or second buffer of one slot: 100 MiB + 1024 bytes.
constexpr uint32_t MAX_SLOT_BUFFER = 0x6400400;

// One entry of the slot table. Buffers come from AlignedAlloc, zeroed once at
// creation; the ring never clears them afterwards. Each entry has a cache line
// of its own, so producers filling neighbouring slots do not share one.
struct alignas(64) RingSlot {
    uint8_t* pBuffer;     // non-null in every slot of a fully allocated ring
    uint8_t* pExtBuffer;  // only when the ring was created with a second size
    uint32_t nBufferSize;
    uint32_t nDataLen;  // bytes of text the producer placed in pBuffer
    uint32_t nExtBufferSize;
    RecordOrigin stOrigin;  // who sent the text: the producer sets it with the text
    // The slot's turn (see CRingBuffer): free for the position it holds, or
    // one more once that position's text is complete.
    std::atomic<uint32_t> nSeq;
};

// A fixed circle of preallocated slots: a queue without a lock for any number
// of producers and one consumer. A producer claims the write position with one
// compare-and-swap, fills that slot and marks it complete; the consumer
// (CanRead, GetReadSlot, PeekSlot, PopRead) takes complete slots in position
// order and hands each back. So producers never wait for each other: one that
// is slow to fill its slot only holds the consumer back from the slots after
// it. PushText is the producer's whole step and may run on several threads at
// once; GetWriteSlot and CommitWrite are the same step in two calls, for a
// single producer. GetPendingCount may be asked from either side. Allocate,
// Release and ResizeSlot must not run while either side uses the ring.
//
// Positions count laps: the slot index in the low kIndexBits bits, the lap
// above them, so a position is never the same twice in the ring's life (64
// bits) and a stale claim cannot succeed. A slot's nSeq is the low 32 bits
// of the position it is free for, plus one once that position's text is
// complete; the consumer, done with it, makes it free for the same index one
// lap on. Order: the consumer's release store of nSeq and the producer's
// acquire load of it order the consumer's reading before the next fill; the
// producer's release store of its nSeq and the consumer's acquire load order
// the text before its reading; the claims form one chain of read-modify-writes
// that carries the first ordering on to the claimer of the slot.
//
// One position always stays free: a producer claims a position only while the
// slot after it is free, so a modulus of N holds N - 1 texts, as the write and
// read positions are equal only when the ring is empty.
class CRingBuffer {
public:
    CRingBuffer();
    ~CRingBuffer();
    CRingBuffer(const CRingBuffer&) = delete;
    CRingBuffer& operator=(const CRingBuffer&) = delete;

    // Builds the table: modulus nSlotCount + 1 for counts kMinSlotCount ..
    // kMaxSlotCount, else kDefaultSlotCount.
    // Sizes are clamped to MAX_SLOT_BUFFER. 0, -5 for a slot size of 0, -6 when
    // memory runs out (nothing is kept then).
    int Allocate(uint32_t nSlotCount, uint32_t nSlotSize, uint32_t nExtSize);
    void Release();

    int CanWrite() const;  // 1 or 0; the producer's
    int CanRead() const;   // 1 or 0; the consumer's
    int32_t WrapIndex(int32_t nIndex) const;

    // The producer's whole step in one call, safe on several threads at once:
    // a position claimed, the text copied into its slot (followed by a
    // terminator when the slot has room for one), nDataLen and its sender set,
    // the slot marked complete. 1; 0 when full or without table; -5 when the
    // slot's buffer is missing or smaller than the text (nothing is claimed
    // then). *pFilling (when given) tells whether this text made the ring half
    // full: true for exactly one of the texts that reach the half while the
    // consumer takes none.
    int PushText(const void* pText, uint32_t nLen, const RecordOrigin& from = kOwnOrigin,
                 bool* pFilling = nullptr);
    RingSlot* GetWriteSlot();  // null when full or without table
    int CommitWrite();         // 1, or 0 without table, for a slot without buffer, when full
    RingSlot* GetReadSlot();   // null when empty or without table
    int PopRead();             // 1, or 0 without table or when empty
    RingSlot* PeekSlot(uint32_t nOffset);
    int32_t GetPendingCount() const;
    // 0, -5 (null slot, size 0, slot without buffer), -6 (too big, no memory).
    int ResizeSlot(RingSlot* pSlot, uint32_t nNewSize);

    int32_t GetSize() const { return m_nSize; }
    // Slots that can hold records at once: the modulus minus one; 0 without a
    // table.
    int32_t GetCapacity() const { return m_pSlots != nullptr ? m_nSize - 1 : 0; }

private:
    static constexpr uint32_t kLineSize = 64;        // a cache line of the targets
    static constexpr uint32_t kPrefetchBytes = 256;  // of a slot: a typical record
    static constexpr uint32_t kIndexBits = 11;       // a modulus of up to 2,047
    static constexpr uint64_t kLap = uint64_t{1} << kIndexBits;

    static uint32_t IndexOf(uint64_t nPos) { return static_cast<uint32_t>(nPos & (kLap - 1)); }
    uint64_t NextPos(uint64_t nPos) const {
        return IndexOf(nPos) + 1 < static_cast<uint32_t>(m_nSize) ? nPos + 1
                                                                  : nPos - IndexOf(nPos) + kLap;
    }
    // Positions from nFrom to nTo (nFrom not after nTo).
    uint64_t Distance(uint64_t nFrom, uint64_t nTo) const {
        return ((nTo >> kIndexBits) - (nFrom >> kIndexBits)) * static_cast<uint64_t>(m_nSize) +
               IndexOf(nTo) - IndexOf(nFrom);
    }
    // Whether the slot of nPos is free for it.
    bool FreeFor(uint64_t nPos) const {
        return m_pSlots[IndexOf(nPos)].nSeq.load(std::memory_order_acquire) ==
               static_cast<uint32_t>(nPos);
    }
    // The slot at the read position plus nOffset when its text is complete.
    RingSlot* CompleteSlot(uint32_t nOffset) const;
    // The producer's end of a step: the slot's text is complete.
    void Publish(uint64_t nPos, bool* pFilling);

    CZQMutex m_Lock;     // exists for the ring's life; no operation takes it
    RingSlot* m_pSlots;  // m_nSize + 1 entries, the last never handed out
    int32_t m_nSize;     // modulus; kDefaultSlotCount without a table
    // The producers' line: the next position to claim.
    alignas(kLineSize) std::atomic<uint64_t> m_nWriteIndex;
    // A line producers read and seldom write: a read position the consumer
    // has reached, an estimate that only a look near the half renews.
    alignas(kLineSize) std::atomic<uint64_t> m_nReadSeen;
    // The consumer's line: the next position to take, written by it alone.
    alignas(kLineSize) std::atomic<uint64_t> m_nReadIndex;
    // (The alignment pads the object to whole lines: nothing else shares them.)
};
