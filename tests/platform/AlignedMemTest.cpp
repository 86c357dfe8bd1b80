#include "platform/AlignedMem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// Address, back pointer and usable size for each alignment; ASan checks that
// the stored address is the malloc block's (AlignedFree) and that the whole
// requested size lies inside it.
TEST(AlignedMem, AlignmentAndBackPointer) {
    for (uint32_t nAlign : {0u, 4u, 8u, 16u, 64u, 4096u}) {
        SCOPED_TRACE("alignment " + std::to_string(nAlign));
        const uintptr_t nEffective = std::max(nAlign, 4u);
        void* p = AlignedAlloc(100, nAlign);
        ASSERT_NE(p, nullptr);
        const auto nAddr = reinterpret_cast<uintptr_t>(p);
        EXPECT_EQ(nAddr % nEffective, 0u);

        void* pRaw = nullptr;
        memcpy(&pRaw, static_cast<char*>(p) - sizeof(void*), sizeof(void*));
        const auto nRaw = reinterpret_cast<uintptr_t>(pRaw);
        ASSERT_LE(nRaw + sizeof(void*), nAddr);
        EXPECT_LT(nAddr - nRaw, nEffective + sizeof(void*));
        // The head in front of the address word is zeroed.
        EXPECT_TRUE(AllZero(pRaw, nAddr - sizeof(void*) - nRaw));

        memset(p, 0xAB, 100);
        AlignedFree(p);
    }
}

TEST(AlignedMem, RefusesAlignmentsThatAreNotPowersOfTwo) {
    for (uint32_t nAlign : {3u, 6u, 12u, 100u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(nAlign);
        EXPECT_EQ(AlignedAlloc(100, nAlign), nullptr);
    }
}

TEST(AlignedMem, ZeroSizeGivesAValidBlock) {
    void* p = AlignedAlloc(0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4, 0u);
    AlignedFree(p);
}

TEST(AlignedMem, GrowAlignedBufferKeepsOrReplaces) {
    void* p = nullptr;
    uint32_t nCap = 0;
    ASSERT_EQ(GrowAlignedBuffer(&p, 100, &nCap), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(nCap, 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    EXPECT_TRUE(AllZero(p, 100));
    memset(p, 0x5A, 100);

    void* pBefore = p;
    ASSERT_EQ(GrowAlignedBuffer(&p, 80, &nCap), 0);
    EXPECT_EQ(p, pBefore);
    EXPECT_EQ(nCap, 100u);
    EXPECT_EQ(static_cast<unsigned char*>(p)[99], 0x5A);

    ASSERT_EQ(GrowAlignedBuffer(&p, 200, &nCap), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(nCap, 200u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    EXPECT_TRUE(AllZero(p, 200));
    AlignedFree(p);

    EXPECT_EQ(GrowAlignedBuffer(nullptr, 10, &nCap), -1);
    EXPECT_EQ(GrowAlignedBuffer(&p, 10, nullptr), -1);
}

}  // namespace
