#include "platform/AlignedMem.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kMinAlignment = 4;
constexpr uint32_t kGrowAlignment = 64;
// Room in front of the result for the malloc block's address: a whole pointer,
// and never less than the 4 bytes the 32-bit target has always reserved.
constexpr size_t kBackPointerRoom = sizeof(void*) > 4 ? sizeof(void*) : 4;

constexpr int kGrowOk = 0;
constexpr int kGrowErr = -1;  // allocation failed, or no buffer/capacity pointer

}  // namespace

// Layout of one block (E = max(alignment, 4), P = kBackPointerRoom):
//
//   malloc block: | zeroed head (E + P bytes) ...          | rest         |
//                 ^raw        ^result - P    ^result (multiple of E)
//                              [raw address]  [nSize bytes ...]
//
// The result lies P to P + E - 1 bytes into the malloc block, so the address
// word and nSize bytes always fit in the nSize + E + P bytes taken.
void* AlignedAlloc(uint32_t nSize, uint32_t nAlignment) {
    if ((nAlignment & (nAlignment - 1U)) != 0) return nullptr;
    const uint32_t nEffective = nAlignment > kMinAlignment ? nAlignment : kMinAlignment;

    // Summed in 64 bits: on the 32-bit target a size near 4 GiB would
    // otherwise wrap around and give a block smaller than asked for.
    const uint64_t nTotal = uint64_t{nSize} + nEffective + kBackPointerRoom;
    if (nTotal > SIZE_MAX) return nullptr;
    auto* pRaw = static_cast<unsigned char*>(malloc(static_cast<size_t>(nTotal)));
    if (pRaw == nullptr) return nullptr;
    memset(pRaw, 0, nEffective + kBackPointerRoom);

    const uintptr_t nRawAddr = reinterpret_cast<uintptr_t>(pRaw);
    const uintptr_t nMask = uintptr_t{nEffective} - 1U;
    const uintptr_t nAligned = (nRawAddr + kBackPointerRoom + nMask) & ~nMask;
    unsigned char* pResult = pRaw + (nAligned - nRawAddr);

    // The word may be unaligned when E is smaller than a pointer.
    memcpy(pResult - kBackPointerRoom, &pRaw, sizeof(pRaw));
    return pResult;
}

void AlignedFree(void* pBlock) {
    if (pBlock == nullptr) return;
    void* pRaw = nullptr;
    memcpy(&pRaw, static_cast<unsigned char*>(pBlock) - kBackPointerRoom, sizeof(pRaw));
    free(pRaw);
}

int GrowAlignedBuffer(void** ppBuffer, uint32_t nSize, uint32_t* pCapacity) {
    if (ppBuffer == nullptr || pCapacity == nullptr) return kGrowErr;
    if (*ppBuffer != nullptr && nSize <= *pCapacity) return kGrowOk;

    if (*ppBuffer != nullptr) AlignedFree(*ppBuffer);
    *ppBuffer = AlignedAlloc(nSize, kGrowAlignment);
    if (*ppBuffer == nullptr) return kGrowErr;
    memset(*ppBuffer, 0, nSize);
    *pCapacity = nSize;
    return kGrowOk;
}
