#pragma once

#include "asynclog/OriginJournal.h"
#include "platform/ZQMutex.h"

#include <atomic>
#include <cstdint>

// Largest data or second buffer of one slot: 100 MiB + 1024 bytes.
constexpr uint32_t MAX_SLOT_BUFFER = 0x6400400;

// One entry of the slot table. Buffers come from AlignedAlloc, zeroed once at
// creation; the ring never clears them afterwards.
struct RingSlot {
    uint8_t* pBuffer;     // non-null in every slot of a fully allocated ring
    uint8_t* pExtBuffer;  // only when the ring was created with a second size
    uint32_t nBufferSize;
    uint32_t nDataLen;  // bytes of text the producer placed in pBuffer
    uint32_t nExtBufferSize;
    RecordOrigin stOrigin;  // who sent the text: the producer sets it with the text
};

// A fixed circle of preallocated slots: a single-producer, single-consumer
// queue without a lock. The producer (CanWrite, GetWriteSlot, CommitWrite,
// or PushText for the whole step) owns m_nWriteIndex and the slot it was
// handed; the consumer (CanRead, GetReadSlot, PeekSlot, PopRead) owns
// m_nReadIndex and the slot behind the read position; GetPendingCount may be
// asked from either side. Each index is written by its owner with a release
// store and read by the other side with an acquire load, so a slot's text
// and nDataLen are complete before the consumer sees it, and the consumer is
// done with a slot before the producer can reuse it. Allocate, Release and
// ResizeSlot must not run while either side uses the ring.
//
// Each side keeps the other's index as it saw it last and looks at the real
// one only when that copy says full (producer) or empty (consumer): the real
// index can only have moved on, towards more room or more records. So a side
// touches the other's cache line about once per batch of the other side's
// work, not once per record, and the two indices sit on lines of their own.
//
// Empty when the indices are equal, full when write + 1 == read (mod m_nSize):
// one position always stays free, so a modulus of N holds N - 1 texts.
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

    // The producer's whole step in one call: the text copied into the slot at
    // the write position (followed by a terminator when the slot has room
    // for one), nDataLen and its sender set, the slot committed. 1; 0 when
    // full or without table; -5 when the slot's buffer is missing or smaller
    // than the text.
    int PushText(const void* pText, uint32_t nLen, const RecordOrigin& from = kOwnOrigin);
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

    CZQMutex m_Lock;     // exists for the ring's life; no operation takes it
    RingSlot* m_pSlots;  // m_nSize + 1 entries, the last never handed out
    int32_t m_nSize;     // modulus; kDefaultSlotCount without a table
    // The producer's line.
    alignas(kLineSize) std::atomic<int32_t> m_nWriteIndex;  // written by the producer only
    mutable int32_t m_nReadSeen;  // the producer's: m_nReadIndex when it last looked
    // The consumer's line.
    alignas(kLineSize) std::atomic<int32_t> m_nReadIndex;  // written by the consumer only
    mutable int32_t m_nWriteSeen;  // the consumer's: m_nWriteIndex when it last looked
    // (The alignment pads the object to whole lines: nothing else shares them.)
};
