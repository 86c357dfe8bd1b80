#include "asynclog/RingBuffer.h"

#include "asynclog/LogConfig.h"
#include "platform/AlignedMem.h"

#include <cstring>
#include <new>

namespace {

constexpr int kRingOk = 0;
constexpr int kRingDone = 1;
constexpr int kRingNotDone = 0;
constexpr int kRingErrInvalid = -5;   // null slot, size 0, slot without buffer
constexpr int kRingErrNoMemory = -6;  // allocation failed, or size above MAX_SLOT_BUFFER

constexpr int32_t kDefaultModulus = static_cast<int32_t>(kDefaultSlotCount);  // without a table
constexpr uint32_t kRingAlignment = 0;  // AlignedAlloc's 4-byte minimum

// A zero-filled block from AlignedAlloc, or null.
uint8_t* AllocZeroed(uint32_t nSize) {
    auto* pBlock = static_cast<uint8_t*>(AlignedAlloc(nSize, kRingAlignment));
    if (pBlock != nullptr) memset(pBlock, 0, nSize);
    return pBlock;
}

}  // namespace

// Memory ordering (see also RingBuffer.h). A producer loads the write position
// and tests the slot after it (acquire: the consumer's release store of that
// slot's nSeq), then claims the position with a compare-and-swap. The claims
// of all producers form one chain of read-modify-writes (acq_rel), so the
// claimer of a position sees what the earlier claimers saw: the slot it fills
// was handed back by the consumer before the claimer of the position before
// it tested it. Its text and nDataLen then go out with the release store of
// nSeq, which the consumer loads with acquire before it reads them.
//
// The claim is sequentially consistent, and so is the consumer's look at the
// write position in GetPendingCount: the writer's parking (WriterLoop.cpp)
// pairs them with its flag.
//
// Nothing else is shared while both sides run: the table, m_nSize and the
// buffers change only in Allocate, Release and ResizeSlot, which run before the
// consumer thread starts or after it was joined.

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "a signal handler reads the positions: they must not hide a lock");

CRingBuffer::CRingBuffer()
    : m_pSlots(nullptr),
      m_nSize(kDefaultModulus),
      m_nWriteIndex(0),
      m_nReadSeen(0),
      m_nReadIndex(0) {}

CRingBuffer::~CRingBuffer() { Release(); }

int CRingBuffer::Allocate(uint32_t nSlotCount, uint32_t nSlotSize, uint32_t nExtSize) {
    static_assert(kMaxSlotCount + 1 < kLap, "a modulus fits the index bits");
    Release();
    if (nSlotSize == 0) return kRingErrInvalid;
    if (nSlotSize > MAX_SLOT_BUFFER) nSlotSize = MAX_SLOT_BUFFER;
    if (nExtSize > MAX_SLOT_BUFFER) nExtSize = MAX_SLOT_BUFFER;
    if (nSlotCount >= kMinSlotCount && nSlotCount <= kMaxSlotCount) {
        m_nSize = static_cast<int32_t>(nSlotCount) + 1;
    }

    // One entry more than the modulus; the last one is never handed out.
    const uint32_t nEntries = static_cast<uint32_t>(m_nSize) + 1U;
    const auto nTableSize = static_cast<uint32_t>(nEntries * sizeof(RingSlot));
    void* pTable = AlignedAlloc(nTableSize, alignof(RingSlot));
    if (pTable == nullptr) {
        Release();
        return kRingErrNoMemory;
    }
    m_pSlots = static_cast<RingSlot*>(pTable);
    for (uint32_t i = 0; i < nEntries; ++i) {
        // Each slot starts free for its own index in the first lap.
        new (&m_pSlots[i]) RingSlot{nullptr, nullptr, 0, 0, 0, kOwnOrigin, {i}};
    }

    bool bComplete = true;
    for (uint32_t i = 0; i < nEntries && bComplete; ++i) {
        RingSlot& slot = m_pSlots[i];
        slot.pBuffer = AllocZeroed(nSlotSize);
        bComplete = slot.pBuffer != nullptr;
        if (bComplete) slot.nBufferSize = nSlotSize;
        if (bComplete && nExtSize != 0) {
            slot.pExtBuffer = AllocZeroed(nExtSize);
            bComplete = slot.pExtBuffer != nullptr;
            if (bComplete) slot.nExtBufferSize = nExtSize;
        }
    }
    if (!bComplete) {
        // Entries not reached still have null buffers; Release skips them.
        Release();
        return kRingErrNoMemory;
    }
    return kRingOk;
}

void CRingBuffer::Release() {
    if (m_pSlots != nullptr) {
        for (int32_t i = 0; i <= m_nSize; ++i) {
            RingSlot& slot = m_pSlots[i];
            if (slot.pBuffer != nullptr) AlignedFree(slot.pBuffer);
            if (slot.pExtBuffer != nullptr) AlignedFree(slot.pExtBuffer);
            slot.~RingSlot();
        }
        AlignedFree(m_pSlots);
        m_pSlots = nullptr;
    }
    m_nSize = kDefaultModulus;
    // No other thread uses the ring here (see the ordering note above).
    m_nWriteIndex.store(0, std::memory_order_relaxed);
    m_nReadSeen.store(0, std::memory_order_relaxed);
    m_nReadIndex.store(0, std::memory_order_relaxed);
}

int CRingBuffer::CanWrite() const {
    if (m_pSlots == nullptr) return kRingNotDone;
    return FreeFor(NextPos(m_nWriteIndex.load(std::memory_order_relaxed))) ? kRingDone
                                                                           : kRingNotDone;
}

int CRingBuffer::CanRead() const { return CompleteSlot(0) != nullptr ? kRingDone : kRingNotDone; }

int32_t CRingBuffer::WrapIndex(int32_t nIndex) const {
    if (nIndex < 0) return m_nSize - 1;
    if (nIndex >= m_nSize) return 0;
    return nIndex;
}

RingSlot* CRingBuffer::GetWriteSlot() {
    if (CanWrite() == kRingNotDone) return nullptr;
    return &m_pSlots[IndexOf(m_nWriteIndex.load(std::memory_order_relaxed))];
}

// Inline: it is most of the producer's step.
inline void CRingBuffer::Publish(uint64_t nPos, bool* pFilling) {
    m_pSlots[IndexOf(nPos)].nSeq.store(static_cast<uint32_t>(nPos) + 1, std::memory_order_release);
    if (pFilling == nullptr) return;
    // Texts pending before this one, counted from a read position the
    // consumer has passed: never fewer than the real count. Only when that
    // reaches the half is the consumer's own line read (and the estimate
    // renewed), so while the consumer keeps up producers rarely touch it.
    const uint64_t nHalf = static_cast<uint64_t>(m_nSize - 1) / 2;
    *pFilling = false;
    if (Distance(m_nReadSeen.load(std::memory_order_relaxed), nPos) < nHalf) return;
    const uint64_t nRead = m_nReadIndex.load(std::memory_order_acquire);
    m_nReadSeen.store(nRead, std::memory_order_relaxed);
    *pFilling = Distance(nRead, nPos) == nHalf;
}

int CRingBuffer::CommitWrite() {
    if (m_pSlots == nullptr) return kRingNotDone;
    uint64_t nPos = m_nWriteIndex.load(std::memory_order_relaxed);
    // A slot whose buffer was lost in a failed ResizeSlot is never published.
    if (m_pSlots[IndexOf(nPos)].pBuffer == nullptr) return kRingNotDone;
    // Committing into a full ring would make the write position catch up
    // with the read position and turn every pending text into an "empty" ring.
    if (!FreeFor(NextPos(nPos))) return kRingNotDone;
    // The one producer of this two-call step: nothing else moves the position.
    if (!m_nWriteIndex.compare_exchange_strong(nPos, NextPos(nPos), std::memory_order_seq_cst,
                                               std::memory_order_relaxed)) {
        return kRingNotDone;
    }
    Publish(nPos, nullptr);
    return kRingDone;
}

int CRingBuffer::PushText(const void* pText, uint32_t nLen, const RecordOrigin& from,
                          bool* pFilling) {
    if (m_pSlots == nullptr) return kRingNotDone;
    uint64_t nPos = m_nWriteIndex.load(std::memory_order_relaxed);
    for (;;) {
        const uint64_t nNext = NextPos(nPos);
        if (!FreeFor(nNext)) {
            // Full, unless another producer claimed nPos meanwhile (the slot
            // after it may be the one that producer is filling).
            const uint64_t nNow = m_nWriteIndex.load(std::memory_order_relaxed);
            if (nNow == nPos) return kRingNotDone;
            nPos = nNow;
            continue;
        }
        // Buffers change only in ResizeSlot, never while producers run: a
        // look before the claim is as good as one after it.
        const RingSlot& slot = m_pSlots[IndexOf(nPos)];
        if (slot.pBuffer == nullptr || slot.nBufferSize < nLen) return kRingErrInvalid;
        // On failure nPos becomes the position another producer left.
        if (m_nWriteIndex.compare_exchange_weak(nPos, nNext, std::memory_order_seq_cst,
                                                std::memory_order_relaxed)) {
            break;
        }
    }
    RingSlot& slot = m_pSlots[IndexOf(nPos)];
    // The consumer bounds every text by nDataLen and stops at a NUL, so a
    // terminator after a shorter text is all the clearing a slot needs.
    memcpy(slot.pBuffer, pText, nLen);
    if (nLen < slot.nBufferSize) slot.pBuffer[nLen] = 0;
    slot.nDataLen = nLen;
    slot.stOrigin = from;
    Publish(nPos, pFilling);
    // The consumer read the next slot's buffer a ring ago, so its cache lines
    // sit with the consumer's core. Asking for them now, for writing, lets
    // them arrive while this producer does other things, if it is the next
    // to claim: not when another producer has claimed that slot already
    // (asking would take the lines from the core filling them). The slot was
    // free when this one was claimed.
    const uint64_t nNext = NextPos(nPos);
    if (m_nWriteIndex.load(std::memory_order_relaxed) != nNext) return kRingDone;
    // A hint, never a fault, also past the end of a smaller buffer.
    const uint8_t* const pAhead = m_pSlots[IndexOf(nNext)].pBuffer;
    static_assert(kPrefetchBytes == 4 * kLineSize, "four lines ahead");
    __builtin_prefetch(pAhead, 1);
    __builtin_prefetch(pAhead + kLineSize, 1);
    __builtin_prefetch(pAhead + 2 * kLineSize, 1);
    __builtin_prefetch(pAhead + 3 * kLineSize, 1);
    return kRingDone;
}

RingSlot* CRingBuffer::CompleteSlot(uint32_t nOffset) const {
    if (m_pSlots == nullptr) return nullptr;
    uint64_t nPos = m_nReadIndex.load(std::memory_order_relaxed);
    uint32_t nIndex = IndexOf(nPos) + nOffset;
    if (nIndex >= static_cast<uint32_t>(m_nSize)) {
        nIndex -= static_cast<uint32_t>(m_nSize);
        nPos += kLap;
    }
    nPos = nPos - IndexOf(nPos) + nIndex;
    RingSlot* pSlot = &m_pSlots[nIndex];
    return pSlot->nSeq.load(std::memory_order_acquire) == static_cast<uint32_t>(nPos) + 1 ? pSlot
                                                                                          : nullptr;
}

RingSlot* CRingBuffer::GetReadSlot() { return CompleteSlot(0); }

int CRingBuffer::PopRead() {
    RingSlot* pSlot = CompleteSlot(0);
    if (pSlot == nullptr) return kRingNotDone;
    const uint64_t nRead = m_nReadIndex.load(std::memory_order_relaxed);
    // The slot behind the read position was handed back by the previous pop
    // (at position 0 it is m_nSize - 1). No producer can be filling it: its
    // next position may be claimed only once this slot is free, below.
    m_pSlots[WrapIndex(static_cast<int32_t>(IndexOf(nRead)) - 1)].nDataLen = 0;
    pSlot->nSeq.store(static_cast<uint32_t>(nRead + kLap), std::memory_order_release);
    m_nReadIndex.store(NextPos(nRead), std::memory_order_release);
    return kRingDone;
}

RingSlot* CRingBuffer::PeekSlot(uint32_t nOffset) {
    // Only a complete slot is handed out: with several producers, the pending
    // count includes positions that are claimed and still being filled.
    if (nOffset > static_cast<uint32_t>(m_nSize)) return nullptr;
    if (CanRead() == kRingNotDone) return nullptr;
    return CompleteSlot(nOffset);
}

int32_t CRingBuffer::GetPendingCount() const {
    // Either side may ask. Claimed positions count, complete or not; the write
    // position is loaded sequentially consistent (see the ordering note).
    const uint64_t nWrite = m_nWriteIndex.load(std::memory_order_seq_cst);
    const uint64_t nRead = m_nReadIndex.load(std::memory_order_acquire);
    if (m_pSlots == nullptr) return 0;
    return static_cast<int32_t>(Distance(nRead, nWrite));
}

int CRingBuffer::ResizeSlot(RingSlot* pSlot, uint32_t nNewSize) {
    if (pSlot == nullptr || nNewSize == 0 || pSlot->pBuffer == nullptr) return kRingErrInvalid;
    if (nNewSize > MAX_SLOT_BUFFER) return kRingErrNoMemory;
    AlignedFree(pSlot->pBuffer);
    // On failure the slot keeps a null buffer (and its old size), so
    // CommitWrite refuses to publish it.
    pSlot->pBuffer = AllocZeroed(nNewSize);
    if (pSlot->pBuffer == nullptr) return kRingErrNoMemory;
    pSlot->nBufferSize = nNewSize;
    pSlot->nDataLen = 0;
    return kRingOk;
}
