#include "asynclog/RingBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Puts text into the next write slot and commits it; false when full.
bool Push(CRingBuffer& ring, const std::string& text) {
    RingSlot* pSlot = ring.GetWriteSlot();
    if (pSlot == nullptr) return false;
    memset(pSlot->pBuffer, 0, pSlot->nBufferSize);
    memcpy(pSlot->pBuffer, text.data(), text.size());
    pSlot->nDataLen = static_cast<uint32_t>(text.size());
    return ring.CommitWrite() == 1;
}

std::string Text(const RingSlot* pSlot) {
    return std::string(reinterpret_cast<const char*>(pSlot->pBuffer), pSlot->nDataLen);
}

// Takes the oldest text out; "<empty>" when there is none.
std::string Pop(CRingBuffer& ring) {
    RingSlot* pSlot = ring.GetReadSlot();
    if (pSlot == nullptr) return "<empty>";
    std::string text = Text(pSlot);
    EXPECT_EQ(ring.PopRead(), 1);
    return text;
}

TEST(RingBuffer, FullAndEmptyRulesPerSlotCount) {
    const struct {
        uint32_t nSlotCount;
        int32_t nUsable;
    } cases[] = {{10, 10}, {1024, 1024}, {9, 1023}, {1025, 1023}, {0, 1023}};
    for (const auto& c : cases) {
        SCOPED_TRACE("slot count " + std::to_string(c.nSlotCount));
        CRingBuffer ring;
        ASSERT_EQ(ring.Allocate(c.nSlotCount, 8, 0), 0);
        EXPECT_EQ(ring.GetSize(), c.nUsable + 1);
        EXPECT_EQ(ring.GetReadSlot(), nullptr);
        EXPECT_EQ(ring.PopRead(), 0);
        EXPECT_EQ(ring.GetPendingCount(), 0);
        RingSlot* pFirst = ring.GetWriteSlot();
        ASSERT_NE(pFirst, nullptr);
        EXPECT_EQ(ring.GetWriteSlot(), pFirst);  // handed out again until committed
        EXPECT_EQ(pFirst->nBufferSize, 8u);
        EXPECT_EQ(pFirst->pExtBuffer, nullptr);

        for (int32_t i = 0; i < c.nUsable; ++i) ASSERT_TRUE(Push(ring, std::to_string(i)));
        EXPECT_EQ(ring.GetPendingCount(), c.nUsable);
        EXPECT_EQ(ring.CanWrite(), 0);
        EXPECT_EQ(ring.GetWriteSlot(), nullptr);
        EXPECT_EQ(ring.CommitWrite(), 0);  // a full ring is not turned into an empty one
        EXPECT_EQ(ring.PushText("x", 1), 0);
        EXPECT_EQ(ring.GetPendingCount(), c.nUsable);

        for (int32_t i = 0; i < c.nUsable; ++i) ASSERT_EQ(Pop(ring), std::to_string(i));
        EXPECT_EQ(ring.GetReadSlot(), nullptr);
        EXPECT_EQ(ring.PopRead(), 0);
        EXPECT_EQ(ring.GetPendingCount(), 0);
    }
}

TEST(RingBuffer, WrapAroundIndicesAndPeek) {
    CRingBuffer ring;
    ASSERT_EQ(ring.Allocate(10, 16, 0), 0);
    ASSERT_EQ(ring.GetSize(), 11);
    EXPECT_EQ(ring.WrapIndex(-1), 10);
    EXPECT_EQ(ring.WrapIndex(11), 0);
    EXPECT_EQ(ring.WrapIndex(5), 5);
    for (uint32_t nOffset : {0u, 3u, 11u}) EXPECT_EQ(ring.PeekSlot(nOffset), nullptr);

    // Read index 9, then write index 9 -> 2: positions 9, 10, 0, 1 pending.
    std::vector<RingSlot*> positions;
    for (int i = 0; i < 9; ++i) {
        positions.push_back(ring.GetWriteSlot());
        ASSERT_TRUE(Push(ring, "old"));
        ASSERT_EQ(Pop(ring), "old");
    }
    for (const char* psz : {"a", "b", "c", "d"}) {
        positions.push_back(ring.GetWriteSlot());
        ASSERT_TRUE(Push(ring, psz));
    }
    EXPECT_EQ(ring.GetPendingCount(), 4);
    EXPECT_EQ(positions[11], positions[0]);  // position 0 again after the wrap

    EXPECT_EQ(ring.PeekSlot(0), ring.GetReadSlot());
    EXPECT_EQ(Text(ring.PeekSlot(0)), "a");
    EXPECT_EQ(Text(ring.PeekSlot(3)), "d");  // 9 + 3 wraps to position 1
    EXPECT_EQ(ring.PeekSlot(4), nullptr);    // the write position: not committed
    EXPECT_EQ(ring.PeekSlot(11), nullptr);   // the read slot's next turn: not committed
    EXPECT_EQ(ring.PeekSlot(12), nullptr);

    for (const char* psz : {"a", "b", "c", "d"}) EXPECT_EQ(Pop(ring), psz);
    EXPECT_EQ(ring.GetPendingCount(), 0);
}

// Each pop clears the length of the slot released by the previous one; at read
// position 0 that is the slot at m_nSize - 1.
TEST(RingBuffer, PopReadClearsTheSlotBehindTheReadPosition) {
    CRingBuffer ring;
    ASSERT_EQ(ring.Allocate(10, 16, 0), 0);
    RingSlot* pLast = nullptr;
    for (int i = 0; i < 11; ++i) {
        pLast = ring.GetWriteSlot();
        ASSERT_TRUE(Push(ring, "text" + std::to_string(i)));
        ASSERT_EQ(Pop(ring), "text" + std::to_string(i));
    }
    // pLast is position 10; the read index is back at 0.
    EXPECT_EQ(pLast->nDataLen, 6u);
    ASSERT_TRUE(Push(ring, "next"));
    ASSERT_NE(ring.GetReadSlot(), nullptr);
    EXPECT_EQ(ring.PopRead(), 1);
    EXPECT_EQ(pLast->nDataLen, 0u);
}

TEST(RingBuffer, SlotWithoutBufferIsNeverCommitted) {
    CRingBuffer ring;
    ASSERT_EQ(ring.Allocate(10, 16, 0), 0);
    RingSlot* pSlot = ring.GetWriteSlot();
    uint8_t* pSaved = pSlot->pBuffer;
    pSlot->pBuffer = nullptr;
    EXPECT_EQ(ring.CommitWrite(), 0);
    EXPECT_EQ(ring.PushText("x", 1), -5);
    EXPECT_EQ(ring.GetPendingCount(), 0);
    EXPECT_EQ(ring.GetWriteSlot(), pSlot);
    EXPECT_EQ(ring.ResizeSlot(pSlot, 32), -5);
    pSlot->pBuffer = pSaved;
    EXPECT_EQ(ring.CommitWrite(), 1);
}

// PushText: a text that fills its slot has no terminator, a shorter one is
// followed by one (the slot still holds its previous use), a longer one is
// refused.
TEST(RingBuffer, PushTextCopiesAndTerminates) {
    CRingBuffer ring;
    ASSERT_EQ(ring.Allocate(10, 8, 0), 0);
    for (int i = 0; i < 11; ++i) {  // every slot of the table, modulus 11
        ASSERT_EQ(ring.PushText("12345678", 8), 1);
        EXPECT_EQ(Pop(ring), "12345678");
    }
    EXPECT_EQ(ring.PushText("123456789", 9), -5);
    EXPECT_EQ(ring.GetPendingCount(), 0);
    ASSERT_EQ(ring.PushText("abc", 3), 1);
    RingSlot* pSlot = ring.GetReadSlot();
    ASSERT_NE(pSlot, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pSlot->pBuffer)), "abc");
    EXPECT_EQ(pSlot->nDataLen, 3u);
}

TEST(RingBuffer, ResizeSlot) {
    CRingBuffer ring;
    ASSERT_EQ(ring.Allocate(10, 16, 0), 0);
    RingSlot* pSlot = ring.GetWriteSlot();
    pSlot->nDataLen = 5;
    uint8_t* pOld = pSlot->pBuffer;

    EXPECT_EQ(ring.ResizeSlot(nullptr, 32), -5);
    EXPECT_EQ(ring.ResizeSlot(pSlot, 0), -5);
    EXPECT_EQ(ring.ResizeSlot(pSlot, MAX_SLOT_BUFFER + 1), -6);
    EXPECT_EQ(pSlot->pBuffer, pOld);
    EXPECT_EQ(pSlot->nBufferSize, 16u);
    EXPECT_EQ(pSlot->nDataLen, 5u);

    // The largest size is accepted (100 MiB, once).
    ASSERT_EQ(ring.ResizeSlot(pSlot, MAX_SLOT_BUFFER), 0);
    EXPECT_EQ(pSlot->nBufferSize, MAX_SLOT_BUFFER);
    EXPECT_EQ(pSlot->nDataLen, 0u);
    EXPECT_EQ(pSlot->pBuffer[MAX_SLOT_BUFFER - 1], 0);
    ASSERT_EQ(ring.ResizeSlot(pSlot, 64), 0);
    EXPECT_EQ(pSlot->nBufferSize, 64u);
    const std::string text(64, 'x');
    ASSERT_TRUE(Push(ring, text));
    EXPECT_EQ(Pop(ring), text);
}

TEST(RingBuffer, WithoutTable) {
    CRingBuffer queue;
    auto expectIdle = [&queue]() {
        EXPECT_EQ(queue.GetWriteSlot(), nullptr);
        EXPECT_EQ(queue.CommitWrite(), 0);
        EXPECT_EQ(queue.GetReadSlot(), nullptr);
        EXPECT_EQ(queue.PopRead(), 0);
        EXPECT_EQ(queue.PeekSlot(0), nullptr);
        EXPECT_EQ(queue.GetPendingCount(), 0);
        EXPECT_EQ(queue.GetCapacity(), 0);
        EXPECT_EQ(queue.ResizeSlot(nullptr, 16), -5);
    };
    {
        SCOPED_TRACE("never allocated");
        expectIdle();
    }
    {
        SCOPED_TRACE("slot size 0");
        EXPECT_EQ(queue.Allocate(10, 0, 0), -5);
        expectIdle();
    }
    {
        SCOPED_TRACE("released");
        ASSERT_EQ(queue.Allocate(10, 16, 0), 0);
        EXPECT_EQ(queue.GetCapacity(), 10);
        queue.Release();
        expectIdle();
    }
}

TEST(RingBuffer, SecondAllocateLeavesAnEmptyRing) {
    CRingBuffer queue;
    ASSERT_EQ(queue.Allocate(10, 16, 32), 0);
    for (int i = 0; i < 3; ++i) {
        RingSlot* pSlot = queue.GetWriteSlot();
        ASSERT_NE(pSlot, nullptr);
        ASSERT_NE(pSlot->pExtBuffer, nullptr);
        EXPECT_EQ(pSlot->nExtBufferSize, 32u);
        memset(pSlot->pBuffer, 'z', pSlot->nBufferSize);
        pSlot->nDataLen = pSlot->nBufferSize;
        ASSERT_EQ(queue.CommitWrite(), 1);
    }
    ASSERT_EQ(queue.GetPendingCount(), 3);

    ASSERT_EQ(queue.Allocate(20, 16, 0), 0);
    EXPECT_EQ(queue.GetPendingCount(), 0);
    EXPECT_EQ(queue.GetReadSlot(), nullptr);
    RingSlot* pSlot = queue.GetWriteSlot();
    ASSERT_NE(pSlot, nullptr);
    EXPECT_EQ(pSlot->pExtBuffer, nullptr);
    EXPECT_EQ(pSlot->nDataLen, 0u);
    uint8_t* pEnd = pSlot->pBuffer + pSlot->nBufferSize;
    EXPECT_TRUE(std::all_of(pSlot->pBuffer, pEnd, [](uint8_t b) { return b == 0; }));
}

// Producer threads and one consumer; every text must arrive once, whole and,
// for each producer, in order. One producer alternates the two-call step with
// PushText; several use PushText at once, on a ring small enough to be full
// often.
TEST(RingBuffer, ProducerAndConsumerThreads) {
    constexpr uint32_t kSlotSize = 256;
    const struct {
        int nProducers;
        int nTexts;  // each
    } cases[] = {{1, 50000}, {4, 20000}};
    auto textFor = [](int p, int i) {
        std::string text = "#" + std::to_string(p) + ":" + std::to_string(i) + ":";
        text.append(static_cast<size_t>(i * 37 % 200), static_cast<char>('a' + i % 26));
        return text;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.nProducers) + " producers");
        CRingBuffer queue;
        ASSERT_EQ(queue.Allocate(16, kSlotSize, 0), 0);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        std::atomic<bool> bGiveUp{false};
        auto produce = [&](int p) {
            for (int i = 0; i < c.nTexts && !bGiveUp.load(std::memory_order_relaxed); ++i) {
                const std::string text = textFor(p, i);
                if (c.nProducers > 1 || i % 2 == 1) {
                    int nPushed = 0;
                    while ((nPushed = queue.PushText(text.data(),
                                                     static_cast<uint32_t>(text.size()))) == 0) {
                        if (bGiveUp.load(std::memory_order_relaxed)) return;
                        std::this_thread::yield();
                    }
                    if (nPushed != 1) return;
                    continue;
                }
                RingSlot* pSlot = nullptr;
                while ((pSlot = queue.GetWriteSlot()) == nullptr) {
                    if (bGiveUp.load(std::memory_order_relaxed)) return;
                    std::this_thread::yield();
                }
                memset(pSlot->pBuffer, 0, pSlot->nBufferSize);
                memcpy(pSlot->pBuffer, text.data(), text.size());
                pSlot->nDataLen = static_cast<uint32_t>(text.size());
                if (queue.CommitWrite() != 1) return;
            }
        };
        std::vector<std::thread> producers;
        for (int p = 0; p < c.nProducers; ++p) producers.emplace_back(produce, p);

        std::vector<int> next(static_cast<size_t>(c.nProducers), 0);
        int nReceived = 0;
        int nWrong = 0;
        while (nReceived < c.nProducers * c.nTexts) {
            RingSlot* pSlot = queue.GetReadSlot();
            if (pSlot == nullptr) {
                if (std::chrono::steady_clock::now() > deadline) break;
                std::this_thread::yield();
                continue;
            }
            const std::string text = Text(pSlot);
            const int p = std::atoi(text.c_str() + 1);
            if ((p < 0 || p >= c.nProducers || text != textFor(p, next[static_cast<size_t>(p)])) &&
                nWrong++ < 5) {
                ADD_FAILURE() << "text " << nReceived << " arrived as \"" << text << '"';
            }
            if (p >= 0 && p < c.nProducers) ++next[static_cast<size_t>(p)];
            ++nReceived;
            if (queue.PopRead() != 1) {
                ADD_FAILURE() << "PopRead refused text " << nReceived - 1;
                break;
            }
        }
        bGiveUp.store(true, std::memory_order_relaxed);
        for (auto& th : producers) th.join();
        EXPECT_EQ(nReceived, c.nProducers * c.nTexts);
        EXPECT_EQ(queue.GetReadSlot(), nullptr);
    }
}

}  // namespace
