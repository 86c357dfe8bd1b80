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

// Memory ordering. The producer is the only writer of m_nWriteIndex and the
// consumer the only writer of m_nReadIndex, so each side reads its own index
// relaxed: it always sees the last value it stored itself. The other side's
// index is read with an acquire load that pairs with the owner's release store:
// - the producer fills a slot, then stores the write index (release); the
//   consumer that loads that index (acquire) sees the slot's text and nDataLen;
// - the consumer is done with a slot (and has cleared the nDataLen behind it),
//   then stores the read index (release); the producer that loads it (acquire)
//   may reuse those slots without racing the consumer.
// Nothing else is shared while both sides run: the table, m_nSize and the
// buffers change only in Allocate, Release and ResizeSlot, which run before the
// consumer thread starts or after it was joined.
//
// The copies. m_nReadSeen is a value the producer once loaded (acquire) from
// m_nReadIndex; the consumer has released at least the slots up to it, so a
// slot found free against the copy is free. m_nWriteSeen is likewise a value
// the consumer loaded from m_nWriteIndex: the slots up to it are complete.

CRingBuffer::CRingBuffer()
    : m_pSlots(nullptr),
      m_nSize(kDefaultModulus),
      m_nWriteIndex(0),
      m_nReadSeen(0),
      m_nReadIndex(0),
      m_nWriteSeen(0) {}

CRingBuffer::~CRingBuffer() { Release(); }

int CRingBuffer::Allocate(uint32_t nSlotCount, uint32_t nSlotSize, uint32_t nExtSize) {
    Release();
    if (nSlotSize == 0) return kRingErrInvalid;
    if (nSlotSize > MAX_SLOT_BUFFER) nSlotSize = MAX_SLOT_BUFFER;
    if (nExtSize > MAX_SLOT_BUFFER) nExtSize = MAX_SLOT_BUFFER;
    if (nSlotCount >= kMinSlotCount && nSlotCount <= kMaxSlotCount) {
        m_nSize = static_cast<int32_t>(nSlotCount) + 1;
    }

    // One entry more than the modulus; the last one is never handed out. The
    // table holds pointers, so it is aligned for them rather than to 4 bytes.
    const uint32_t nEntries = static_cast<uint32_t>(m_nSize) + 1U;
    const auto nTableSize = static_cast<uint32_t>(nEntries * sizeof(RingSlot));
    m_pSlots = static_cast<RingSlot*>(AlignedAlloc(nTableSize, alignof(RingSlot)));
    if (m_pSlots == nullptr) {
        Release();
        return kRingErrNoMemory;
    }
    memset(static_cast<void*>(m_pSlots), 0, nTableSize);

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
        // Entries not reached are still zero; Release skips their null buffers.
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
            memset(&slot, 0, sizeof(slot));
        }
        AlignedFree(m_pSlots);
        m_pSlots = nullptr;
    }
    m_nSize = kDefaultModulus;
    // No other thread uses the ring here (see the ordering note above).
    m_nWriteIndex.store(0, std::memory_order_relaxed);
    m_nReadIndex.store(0, std::memory_order_relaxed);
    m_nReadSeen = 0;
    m_nWriteSeen = 0;
}

int CRingBuffer::CanWrite() const {
    if (m_pSlots == nullptr) return kRingNotDone;
    const int32_t nNext = WrapIndex(m_nWriteIndex.load(std::memory_order_relaxed) + 1);
    // Full against the copy: the consumer may have moved on since.
    if (nNext == m_nReadSeen) m_nReadSeen = m_nReadIndex.load(std::memory_order_acquire);
    return nNext != m_nReadSeen ? kRingDone : kRingNotDone;
}

int CRingBuffer::CanRead() const {
    if (m_pSlots == nullptr) return kRingNotDone;
    const int32_t nRead = m_nReadIndex.load(std::memory_order_relaxed);
    // Empty against the copy: the producer may have committed since.
    if (nRead == m_nWriteSeen) m_nWriteSeen = m_nWriteIndex.load(std::memory_order_acquire);
    return nRead != m_nWriteSeen ? kRingDone : kRingNotDone;
}

int32_t CRingBuffer::WrapIndex(int32_t nIndex) const {
    if (nIndex < 0) return m_nSize - 1;
    if (nIndex >= m_nSize) return 0;
    return nIndex;
}

RingSlot* CRingBuffer::GetWriteSlot() {
    if (CanWrite() == kRingNotDone) return nullptr;
    return &m_pSlots[m_nWriteIndex.load(std::memory_order_relaxed)];
}

int CRingBuffer::CommitWrite() {
    if (m_pSlots == nullptr) return kRingNotDone;
    const int32_t nWrite = m_nWriteIndex.load(std::memory_order_relaxed);
    // A slot whose buffer was lost in a failed ResizeSlot is never published.
    if (m_pSlots[nWrite].pBuffer == nullptr) return kRingNotDone;
    // Committing into a full ring would make the write index catch up with the
    // read index and turn every pending text into an "empty" ring.
    if (CanWrite() == kRingNotDone) return kRingNotDone;
    m_nWriteIndex.store(WrapIndex(nWrite + 1), std::memory_order_release);
    return kRingDone;
}

int CRingBuffer::PushText(const void* pText, uint32_t nLen, const RecordOrigin& from) {
    if (m_pSlots == nullptr) return kRingNotDone;
    const int32_t nWrite = m_nWriteIndex.load(std::memory_order_relaxed);
    const int32_t nNext = WrapIndex(nWrite + 1);
    if (nNext == m_nReadSeen) {
        m_nReadSeen = m_nReadIndex.load(std::memory_order_acquire);
        if (nNext == m_nReadSeen) return kRingNotDone;
    }
    RingSlot& slot = m_pSlots[nWrite];
    if (slot.pBuffer == nullptr || slot.nBufferSize < nLen) return kRingErrInvalid;
    // The consumer bounds every text by nDataLen and stops at a NUL, so a
    // terminator after a shorter text is all the clearing a slot needs.
    memcpy(slot.pBuffer, pText, nLen);
    if (nLen < slot.nBufferSize) slot.pBuffer[nLen] = 0;
    slot.nDataLen = nLen;
    slot.stOrigin = from;
    m_nWriteIndex.store(nNext, std::memory_order_release);
    // The consumer read the next slot's buffer a ring ago, so its cache lines
    // sit with the consumer's core. Asking for them now, for writing, lets
    // them arrive while the producer does other things, instead of the next
    // copy waiting for them. Only while that slot is free: not while the
    // consumer may still be reading it.
    if (CanWrite() == kRingDone) {
        const RingSlot& next = m_pSlots[nNext];
        const uint32_t nAhead =
            next.nBufferSize < kPrefetchBytes ? next.nBufferSize : kPrefetchBytes;
        for (uint32_t nOff = 0; nOff < nAhead; nOff += kLineSize) {
            __builtin_prefetch(next.pBuffer + nOff, 1);  // a hint: never faults
        }
    }
    return kRingDone;
}

RingSlot* CRingBuffer::GetReadSlot() {
    if (CanRead() == kRingNotDone) return nullptr;
    return &m_pSlots[m_nReadIndex.load(std::memory_order_relaxed)];
}

int CRingBuffer::PopRead() {
    if (CanRead() == kRingNotDone) return kRingNotDone;
    const int32_t nRead = m_nReadIndex.load(std::memory_order_relaxed);
    // The slot behind the read position was released by the previous pop (at
    // position 0 it is m_nSize - 1). The producer cannot be filling it: while
    // the read index stays here, that slot is the write position only when the
    // ring is full, and then no write slot is handed out.
    m_pSlots[WrapIndex(nRead - 1)].nDataLen = 0;
    m_nReadIndex.store(WrapIndex(nRead + 1), std::memory_order_release);
    return kRingDone;
}

RingSlot* CRingBuffer::PeekSlot(uint32_t nOffset) {
    if (nOffset > static_cast<uint32_t>(m_nSize)) return nullptr;
    if (CanRead() == kRingNotDone) return nullptr;
    // The offset is not compared with the pending count: an offset at or past
    // it reaches a slot that is not committed (and may be being filled).
    uint32_t nPos = static_cast<uint32_t>(m_nReadIndex.load(std::memory_order_relaxed)) + nOffset;
    if (nPos >= static_cast<uint32_t>(m_nSize)) nPos -= static_cast<uint32_t>(m_nSize);
    return &m_pSlots[nPos];
}

int32_t CRingBuffer::GetPendingCount() const {
    // Either side may ask; both loads acquire so that a caller which goes on
    // to look at the counted slots (PeekSlot) sees them complete.
    const int32_t nWrite = m_nWriteIndex.load(std::memory_order_acquire);
    const int32_t nRead = m_nReadIndex.load(std::memory_order_acquire);
    return nWrite >= nRead ? nWrite - nRead : nWrite - nRead + m_nSize;
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
