#include "asynclog/SemEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

constexpr int kSignalled = 0;
constexpr int kTimedOut = ETIMEDOUT;  // 110
constexpr int kInvalid = EINVAL;      // 22
constexpr int32_t kForever = -1;
constexpr int32_t kShortWait = 5;

// Frees the event at the end of a test, also when an assertion failed.
struct EventPtr {
    explicit EventPtr(CSemEvent* p) : pEvent(p) {}
    ~EventPtr() { (void)FreeSemEvent(pEvent); }
    EventPtr(const EventPtr&) = delete;
    EventPtr& operator=(const EventPtr&) = delete;
    CSemEvent* pEvent;
};

TEST(SemEvent, WaiterBlocksUntilSetFromAnotherThread) {
    EventPtr ev(CreateSemEvent(0, 0));
    ASSERT_NE(ev.pEvent, nullptr);
    std::atomic<bool> bStarted{false};
    std::atomic<bool> bDone{false};
    std::atomic<int> nResult{-100};
    std::thread waiter([&] {
        bStarted.store(true);
        nResult.store(WaitSemEvent(ev.pEvent, kForever));
        bDone.store(true);
    });
    ASSERT_TRUE(zqtest::PollUntil([&] { return bStarted.load(); }));
    // Nothing has set the event yet, so the waiter cannot have returned.
    EXPECT_FALSE(bDone.load());
    EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
    waiter.join();
    EXPECT_EQ(nResult.load(), kSignalled);
    // Auto reset: the wake-up consumed the signal.
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kTimedOut);
}

TEST(SemEvent, TimeOutsAndInvalidArguments) {
    EventPtr ev(CreateSemEvent(0, 0));
    ASSERT_NE(ev.pEvent, nullptr);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kTimedOut);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, kShortWait), kTimedOut);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 1), kTimedOut);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, -2), kInvalid);
    EXPECT_EQ(ev.pEvent->TimedWait(-1), kInvalid);

    EXPECT_EQ(WaitSemEvent(nullptr, kShortWait), kInvalid);
    EXPECT_EQ(WaitSemEvent(nullptr, kForever), kInvalid);
    EXPECT_EQ(SetSemEvent(nullptr), 0);
    EXPECT_EQ(ResetSemEvent(nullptr), 0);
    EXPECT_EQ(FreeSemEvent(nullptr), 0);
}

TEST(SemEvent, AutoResetKeepsOneSignal) {
    EventPtr ev(CreateSemEvent(0, 0));
    ASSERT_NE(ev.pEvent, nullptr);
    EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
    EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kSignalled);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, kShortWait), kTimedOut);
    // Set again after a wait: one more signal, consumed by the unlimited wait.
    EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, kForever), kSignalled);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kTimedOut);
}

TEST(SemEvent, ConcurrentSetsPostOnce) {
    EventPtr ev(CreateSemEvent(0, 0));
    ASSERT_NE(ev.pEvent, nullptr);
    std::atomic<bool> bGo{false};
    std::vector<std::thread> setters;
    for (int i = 0; i < 4; ++i) {
        setters.emplace_back([&] {
            while (!bGo.load()) std::this_thread::yield();
            for (int n = 0; n < 500; ++n) EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
        });
    }
    bGo.store(true);
    for (auto& t : setters) t.join();
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kSignalled);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kTimedOut);
}

TEST(SemEvent, ManualResetStaysSetUntilReset) {
    EventPtr ev(CreateSemEvent(1, 0));
    ASSERT_NE(ev.pEvent, nullptr);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kTimedOut);
    EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kSignalled);
        EXPECT_EQ(WaitSemEvent(ev.pEvent, kForever), kSignalled);
    }
    EXPECT_EQ(ResetSemEvent(ev.pEvent), 1);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, 0), kTimedOut);
    EXPECT_EQ(WaitSemEvent(ev.pEvent, kShortWait), kTimedOut);
}

TEST(SemEvent, ManualResetReleasesEveryWaiter) {
    EventPtr ev(CreateSemEvent(1, 0));
    ASSERT_NE(ev.pEvent, nullptr);
    std::atomic<int> nWoken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (WaitSemEvent(ev.pEvent, kForever) == kSignalled) nWoken.fetch_add(1);
        });
    }
    EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(nWoken.load(), 3);
}

TEST(SemEvent, ResetDrainsTheCount) {
    EventPtr clear(CreateSemEvent(0, 0));
    ASSERT_NE(clear.pEvent, nullptr);
    EXPECT_EQ(ResetSemEvent(clear.pEvent), 1);
    EXPECT_EQ(WaitSemEvent(clear.pEvent, 0), kTimedOut);

    EventPtr three(CreateSemEvent(0, 3));
    ASSERT_NE(three.pEvent, nullptr);
    EXPECT_EQ(ResetSemEvent(three.pEvent), 1);
    EXPECT_EQ(WaitSemEvent(three.pEvent, 0), kTimedOut);

    // Undrained, an initial count of 3 lets three auto-reset waits through,
    // and a set on a counted event adds nothing.
    EventPtr counted(CreateSemEvent(0, 3));
    ASSERT_NE(counted.pEvent, nullptr);
    EXPECT_EQ(SetSemEvent(counted.pEvent), 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitSemEvent(counted.pEvent, 0), kSignalled) << i;
    EXPECT_EQ(WaitSemEvent(counted.pEvent, 0), kTimedOut);
}

TEST(SemEvent, SecondInitKeepsTheFirstSettings) {
    CSemEvent ev;
    ASSERT_EQ(ev.Init(1, 0), 0);
    EXPECT_EQ(ev.Init(0, 5), 0);
    // Count 5 was not applied: the event is still clear.
    EXPECT_EQ(ev.TimedWait(0), kTimedOut);
    EXPECT_EQ(SetSemEvent(&ev), 1);
    // Manual reset was kept: the signal survives the waits.
    EXPECT_EQ(ev.TimedWait(0), kSignalled);
    EXPECT_EQ(ev.Wait(), kSignalled);
    EXPECT_EQ(ev.TimedWait(0), kSignalled);
    ev.Uninit();
    ev.Uninit();
}

TEST(SemEvent, CreateFailsForACountTheSemaphoreCannotHold) {
    errno = 0;
    EXPECT_EQ(CreateSemEvent(0, 0x80000000U), nullptr);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(SemEvent, NoWakeUpIsLostBetweenProducerAndWriter) {
    // The producer sets after each item; the writer waits without a limit and
    // then takes everything queued. A lost wake-up leaves the writer blocked.
    EventPtr ev(CreateSemEvent(0, 0));
    ASSERT_NE(ev.pEvent, nullptr);
    constexpr int kItems = 2000;
    std::atomic<int> nQueued{0};
    std::atomic<int> nTaken{0};
    std::thread writer([&] {
        while (nTaken.load() < kItems) {
            ASSERT_EQ(WaitSemEvent(ev.pEvent, kForever), kSignalled);
            nTaken.store(nQueued.load());
        }
    });
    for (int i = 0; i < kItems; ++i) {
        nQueued.fetch_add(1);
        EXPECT_EQ(SetSemEvent(ev.pEvent), 1);
    }
    writer.join();
    EXPECT_EQ(nTaken.load(), kItems);
}

TEST(SemEvent, DeadlineCarriesWholeSeconds) {
    struct Case {
        int64_t nSec, nUsec;
        int32_t nMs;
        int64_t nWantSec, nWantNsec;
    };
    const Case cases[] = {
        {1000, 999999, 999, 1001, 998999000},
        {1000, 600000, 1500, 1002, 100000000},
        {1000, 0, 0, 1000, 0},
        {1000, 250000, 5, 1000, 255000000},
        {1000, 999999, 0, 1000, 999999000},
        {1000, 0, 1000, 1001, 0},
        {1000, 500000, 2147483647, 1000 + 2147483 + 1, 147000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.nUsec << " us + " << c.nMs << " ms");
        int64_t nSec = -1;
        int64_t nNsec = -1;
        SemEventDeadline(c.nSec, c.nUsec, c.nMs, &nSec, &nNsec);
        EXPECT_EQ(nSec, c.nWantSec);
        EXPECT_EQ(nNsec, c.nWantNsec);
    }
}

}  // namespace
