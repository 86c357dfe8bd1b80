#include "platform/ZQMutex.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(ZQMutex, NullMutexIsANoOp) {
    EXPECT_NE(InitRecursiveMutex(nullptr), 0);
    EXPECT_EQ(LockMutex(nullptr), 0);
    EXPECT_EQ(UnlockMutex(nullptr), 0);
    EXPECT_EQ(DestroyMutex(nullptr), 0);
}

// The owner takes the mutex twice; another thread's trylock fails until the
// owner has released it twice.
TEST(ZQMutex, RecursiveMutexFreeForOthersOnlyAfterTwoUnlocks) {
    pthread_mutex_t mutex;
    ASSERT_EQ(InitRecursiveMutex(&mutex), 0);
    ASSERT_EQ(LockMutex(&mutex), 0);
    ASSERT_EQ(LockMutex(&mutex), 0);

    auto tryFromOtherThread = [&mutex] {
        int nResult = -1;
        std::thread other([&] {
            nResult = pthread_mutex_trylock(&mutex);
            if (nResult == 0) {
                EXPECT_EQ(UnlockMutex(&mutex), 0);
            }
        });
        other.join();
        return nResult;
    };
    EXPECT_EQ(tryFromOtherThread(), EBUSY);
    ASSERT_EQ(UnlockMutex(&mutex), 0);
    EXPECT_EQ(tryFromOtherThread(), EBUSY);
    ASSERT_EQ(UnlockMutex(&mutex), 0);
    EXPECT_EQ(tryFromOtherThread(), 0);
    EXPECT_EQ(DestroyMutex(&mutex), 0);
}

// The same through CZQMutex with a blocked waiter: it gets the lock only after
// the second unlock.
TEST(ZQMutex, WaiterBlocksUntilOwnerReleasedTwice) {
    CZQMutex mutex;
    ASSERT_EQ(mutex.Lock(), 0);
    ASSERT_EQ(mutex.Lock(), 0);

    std::atomic<bool> bStarted{false};
    std::atomic<bool> bAcquired{false};
    std::thread waiter([&] {
        bStarted.store(true);
        EXPECT_EQ(mutex.Lock(), 0);
        bAcquired.store(true);
        EXPECT_EQ(mutex.Unlock(), 0);
    });
    ASSERT_TRUE(zqtest::PollUntil([&] { return bStarted.load(); }));
    ASSERT_EQ(mutex.Unlock(), 0);
    // Still held once: the waiter must not get through in this window.
    EXPECT_FALSE(
        zqtest::PollUntil([&] { return bAcquired.load(); }, std::chrono::milliseconds(100)));
    ASSERT_EQ(mutex.Unlock(), 0);
    EXPECT_TRUE(zqtest::PollUntil([&] { return bAcquired.load(); }));
    waiter.join();

    CZQLockGuard guard(mutex);
    EXPECT_EQ(mutex.Lock(), 0);  // recursive under the guard as well
    EXPECT_EQ(mutex.Unlock(), 0);
}

// LockSpinning: a waiter that finds the lock held spins, then sleeps; either
// way it gets through only after the owner's last unlock, and it takes the lock
// recursively like Lock. Several threads counting under it lose no increment.
TEST(ZQMutex, SpinningLockExcludesAndStaysRecursive) {
    CZQMutex mutex;
    ASSERT_EQ(mutex.LockSpinning(), 0);
    ASSERT_EQ(mutex.LockSpinning(), 0);
    std::atomic<bool> bAcquired{false};
    std::thread waiter([&] {
        EXPECT_EQ(mutex.LockSpinning(), 0);  // outlasts the spin: sleeps
        bAcquired.store(true);
        EXPECT_EQ(mutex.Unlock(), 0);
    });
    ASSERT_EQ(mutex.Unlock(), 0);
    EXPECT_FALSE(
        zqtest::PollUntil([&] { return bAcquired.load(); }, std::chrono::milliseconds(100)));
    ASSERT_EQ(mutex.Unlock(), 0);
    EXPECT_TRUE(zqtest::PollUntil([&] { return bAcquired.load(); }));
    waiter.join();

    constexpr int kThreads = 4;
    constexpr int kRounds = 200000;
    long nCount = 0;  // guarded by mutex; a lost update shows in the sum (and to TSan)
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                CZQSpinningLockGuard guard(mutex);
                ++nCount;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(static_cast<long>(kThreads) * kRounds, nCount);
}

}  // namespace
