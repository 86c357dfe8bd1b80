#pragma once

#include <cstdint>

// Aligned heap blocks. The address of the underlying malloc block is kept in
// the pointer-sized word just before the returned address.

// A block of at least nSize bytes aligned to max(nAlignment, 4). Returns null
// when nAlignment is neither 0 nor a power of two, or when malloc fails.
void* AlignedAlloc(uint32_t nSize, uint32_t nAlignment);

// Frees a non-null result of AlignedAlloc.
void AlignedFree(void* pBlock);

// Grow-only, 64-byte aligned buffer. Keeps the block when one exists and nSize
// fits its capacity; otherwise frees it and takes a zeroed block of nSize bytes.
// Returns 0, or -1 when the allocation fails (*ppBuffer is then null).
int GrowAlignedBuffer(void** ppBuffer, uint32_t nSize, uint32_t* pCapacity);
