#include "asynclog/ZIdOrereDov.h"

#include "tests/asynclog/EngineHelpers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <string>

using zqtest::PollUntil;
using zqtest::PushWaiting;
using zqtest::ReadFile;
using zqtest::TempDir;

namespace {

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(ZIdOrereDovTest, SettersCheckTheirRanges) {
    ZIdOrereDov engine;
    EXPECT_EQ(kLogErrInvalid, engine.SetFileSize(9));
    EXPECT_EQ(kLogErrInvalid, engine.SetFileSize(201));
    EXPECT_EQ(kLogOk, engine.SetFileSize(10));
    EXPECT_EQ(kLogOk, engine.SetFileSize(200));
    EXPECT_EQ(kLogErrInvalid, engine.SetFileNum(1));
    EXPECT_EQ(kLogErrInvalid, engine.SetFileNum(11));
    EXPECT_EQ(kLogOk, engine.SetFileNum(10));
    EXPECT_EQ(kLogErrInvalid, engine.SetConfigPath(""));
    EXPECT_EQ(kLogErrInvalid, engine.SetConfigPath(nullptr));
    EXPECT_EQ(kLogErrInvalid, engine.SetConfigPath(Repeat('c', 257).c_str()));
    EXPECT_EQ(kLogOk, engine.SetConfigPath(Repeat('c', 256).c_str()));
    EXPECT_EQ(kLogErrInvalid, engine.RegisterLevelCallback(zqtest::ReloadProbe::Callback,
                                                           Repeat('k', 65).c_str(), 1));
    EXPECT_EQ(kLogOk, engine.RegisterLevelCallback(zqtest::ReloadProbe::Callback,
                                                   Repeat('k', 64).c_str(), 1));
    EXPECT_EQ(kLogErrInvalid, engine.RegisterLevelCallback(nullptr, "key", 1));
    EXPECT_EQ(kLogOk, engine.SetLevel(9));
    EXPECT_EQ(9, engine.GetLevel());
}

TEST(ZIdOrereDovTest, TextsReachTheCurrentFileByteForByte) {
    TempDir dir;
    ZIdOrereDov engine;
    engine.SetMode(1);
    ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "SDK"));
    EXPECT_EQ(0, engine.IsForwarding());

    const std::string full = Repeat('F', 1024);  // fills its slot: no terminator
    const std::string withNul("head\0tail", 9);
    PushWaiting(engine, "first\r\n");
    PushWaiting(engine, "");
    PushWaiting(engine, withNul);
    PushWaiting(engine, full);
    PushWaiting(engine, "last\r\n");
    engine.Stop();

    // A NUL ends a text; an empty text adds nothing; a full slot is written whole.
    EXPECT_EQ("first\r\nhead" + full + "last\r\n", ReadFile(dir.File("SDK_00.log")));
    EXPECT_EQ(0u, engine.GetLostCount());
}

TEST(ZIdOrereDovTest, AppendsToAnExistingCurrentFileAndCreatesMissingDirectories) {
    TempDir dir;
    const std::string logDir = dir.Path() + "/a/b/c";
    {
        ZIdOrereDov engine;
        engine.SetMode(1);
        ASSERT_EQ(kLogOk, engine.Start(logDir.c_str(), "APP"));
        PushWaiting(engine, "one\r\n");
    }
    {
        ZIdOrereDov engine;
        engine.SetMode(1);
        ASSERT_EQ(kLogOk, engine.Start(logDir.c_str(), "APP"));
        PushWaiting(engine, "two\r\n");
    }
    EXPECT_EQ("one\r\ntwo\r\n", ReadFile(logDir + "/APP_00.log"));
}

TEST(ZIdOrereDovTest, PushLogResults) {
    TempDir dir;
    ZIdOrereDov engine;
    EXPECT_EQ(kLogErrNotRunning, engine.PushLog("x", 1));  // before Start
    engine.SetMode(1);
    ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "SDK"));
    const std::string tooLong = Repeat('L', 1025);
    EXPECT_EQ(kLogErrInvalid, engine.PushLog(tooLong.data(), 1025));
    EXPECT_EQ(kLogErrInvalid, engine.PushLog(nullptr, 3));
    EXPECT_EQ(1u, engine.GetLostCount());  // the refused long text
    PushWaiting(engine, "ok\r\n");
    engine.Stop();
    EXPECT_EQ(kLogErrNotRunning, engine.PushLog("x", 1));  // after Stop
    engine.Stop();                                         // twice is fine
    EXPECT_EQ("ok\r\n", ReadFile(dir.File("SDK_00.log")));
}

TEST(ZIdOrereDovTest, StartFailures) {
    TempDir dir;
    {
        SCOPED_TRACE("a 121-character prefix makes a 128-character file name");
        ZIdOrereDov engine;
        engine.SetMode(1);
        EXPECT_EQ(kLogErrNameTooLong, engine.Start(dir.Path().c_str(), Repeat('p', 121).c_str()));
    }
    {
        SCOPED_TRACE("120 characters work");
        ZIdOrereDov engine;
        engine.SetMode(1);
        EXPECT_EQ(kLogOk, engine.Start(dir.Path().c_str(), Repeat('q', 120).c_str()));
        engine.Stop();
        EXPECT_TRUE(zqtest::FileExists(dir.File(Repeat('q', 120) + "_00.log")));
    }
    {
        SCOPED_TRACE("slot size 0: the ring cannot be built");
        ZIdOrereDov engine;
        engine.SetMode(1);
        engine.SetSlotSize(0);
        EXPECT_EQ(kLogErrResource, engine.Start(dir.Path().c_str(), "SDK"));
        EXPECT_EQ(kLogErrNotRunning, engine.PushLog("x", 1));
    }
    {
        SCOPED_TRACE("a directory that cannot exist: a regular file stands in the way");
        ASSERT_TRUE(zqtest::WriteFile(dir.File("plain"), "x"));
        ZIdOrereDov engine;
        engine.SetMode(1);
        EXPECT_EQ(kLogErrResource, engine.Start((dir.File("plain") + "/sub").c_str(), "SDK"));
    }
    {
        SCOPED_TRACE("bad arguments");
        ZIdOrereDov engine;
        engine.SetMode(1);
        EXPECT_EQ(kLogErrInvalid, engine.Start(nullptr, "SDK"));
        EXPECT_EQ(kLogErrInvalid, engine.Start(dir.Path().c_str(), ""));
        EXPECT_EQ(kLogErrInvalid, engine.Start(("/" + Repeat('d', 256)).c_str(), "SDK"));
    }
}

TEST(ZIdOrereDovTest, StopWritesEverythingStillQueued) {
    TempDir dir;
    ZIdOrereDov engine;
    engine.SetMode(1);
    ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "SDK"));
    std::string expected;
    for (uint32_t i = 0; i < 5000; ++i) {
        const std::string rec = zqtest::SeqRecord(i, 40);
        PushWaiting(engine, rec);
        expected += rec;
    }
    engine.Stop();  // at once: whatever is still in the ring is written first
    EXPECT_EQ(expected, ReadFile(dir.File("SDK_00.log")));
    EXPECT_EQ(0u, engine.GetLostCount());
}

// The level callback runs on the writer thread: blocking in it holds the
// writer, so the ring fills deterministically.
std::atomic<bool> g_bWriterHeld{false};
std::atomic<bool> g_bReleaseWriter{false};
void HoldWriter(int32_t, char*, int32_t) {
    g_bWriterHeld = true;
    while (!g_bReleaseWriter) sched_yield();
}

// Starts pEngine (file mode, nSlots slots) in dir and holds its writer in a
// level callback until g_bReleaseWriter. A later time stamp makes the writer
// reload the file, and the callback catches it. The writer takes its first
// reading of the time stamp at any moment after Start: the stamp moves on
// until the reload comes.
void StartWithHeldWriter(const TempDir& dir, uint32_t nSlots, ZIdOrereDov* pEngine) {
    const std::string cfg = dir.File("LogServer.ini");
    g_bWriterHeld = false;
    g_bReleaseWriter = false;
    const long long mtime = static_cast<long long>(time(nullptr)) - 1000;
    ASSERT_TRUE(zqtest::WriteFile(cfg, "[Level]\n"));
    ASSERT_TRUE(zqtest::SetMTime(cfg, mtime));
    pEngine->SetMode(1);
    pEngine->SetSlotCount(nSlots);
    ASSERT_EQ(kLogOk, pEngine->SetConfigPath(cfg.c_str()));
    ASSERT_EQ(kLogOk, pEngine->RegisterLevelCallback(HoldWriter, "Hold", 0));
    ASSERT_EQ(kLogOk, pEngine->Start(dir.Path().c_str(), "SDK"));
    ASSERT_TRUE(zqtest::WriteFile(cfg, "[Level]\nHold=4\n"));
    long long next = mtime;
    ASSERT_TRUE(PollUntil([&] {
        next += 10;
        return zqtest::SetMTime(cfg, next) && g_bWriterHeld.load();
    }));
}

TEST(ZIdOrereDovTest, FullRingRefusesAndLosesOnlyWhatItRefused) {
    TempDir dir;
    ZIdOrereDov engine;
    StartWithHeldWriter(dir, 10, &engine);
    if (HasFatalFailure()) return;

    std::string expected;
    int accepted = 0;
    int refused = 0;
    for (uint32_t i = 0; i < 25; ++i) {
        const std::string rec = zqtest::SeqRecord(i, 20);
        const int32_t nRet = engine.PushLog(rec.data(), static_cast<uint32_t>(rec.size()));
        if (nRet == kLogOk) {
            ++accepted;
            expected += rec;
        } else {
            EXPECT_EQ(kLogErrResource, nRet);
            ++refused;
        }
    }
    EXPECT_EQ(10, accepted);  // slot count 10: ten usable slots
    EXPECT_EQ(15, refused);
    g_bReleaseWriter = true;
    engine.Stop();
    EXPECT_EQ(expected, ReadFile(dir.File("SDK_00.log")));
    EXPECT_EQ(15u, engine.GetLostCount());
}

// A ring filled past half while the writer is held (not parked): the record
// that crosses the half signals the writer, once, and no other record does;
// afterwards every record is written, in order.
TEST(ZIdOrereDovTest, RingPastHalfSignalsOnceAndLosesNothing) {
    TempDir dir;
    ZIdOrereDov engine;
    StartWithHeldWriter(dir, 20, &engine);  // past half: the eleventh pending record
    if (HasFatalFailure()) return;

    const CWriterLoop::WakeCounts before = engine.GetWakeCounts();
    std::string expected;
    for (uint32_t i = 0; i < 18; ++i) {
        const std::string rec = zqtest::SeqRecord(i, 30);
        ASSERT_EQ(kLogOk, engine.PushLog(rec.data(), static_cast<uint32_t>(rec.size())));
        expected += rec;
        const CWriterLoop::WakeCounts now = engine.GetWakeCounts();
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(before.nWokenPastHalf + (i >= 10 ? 1u : 0u), now.nWokenPastHalf);
        EXPECT_EQ(before.nWokenByRecord, now.nWokenByRecord);
    }
    g_bReleaseWriter = true;
    engine.Stop();
    EXPECT_EQ(expected, ReadFile(dir.File("SDK_00.log")));
    EXPECT_EQ(0u, engine.GetLostCount());
}

// Records after the writer parked reach the file while the engine runs; only
// the first record after a park may signal it, so producers signal at most
// once per park (a park between records of the burst needs a stall of the
// whole linger, and then earns its one signal).
TEST(ZIdOrereDovTest, ParkedWriterIsSignalledOncePerParkAndWritesEverything) {
    TempDir dir;
    ZIdOrereDov engine;
    engine.SetMode(1);
    ASSERT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "SDK"));
    bool bParked = false;
    ASSERT_TRUE(PollUntil([&] {
        (void)engine.GetWakeCounts(&bParked);
        return bParked;
    }));
    const CWriterLoop::WakeCounts before = engine.GetWakeCounts();
    std::string expected;
    for (uint32_t i = 0; i < 200; ++i) {
        const std::string rec = zqtest::SeqRecord(i, 40);
        PushWaiting(engine, rec);
        expected += rec;
    }
    EXPECT_TRUE(PollUntil([&] { return ReadFile(dir.File("SDK_00.log")) == expected; }));
    const CWriterLoop::WakeCounts after = engine.GetWakeCounts();
    EXPECT_LE(after.nWokenByRecord - before.nWokenByRecord, after.nParks - before.nParks + 1);
    EXPECT_EQ(before.nWokenPastHalf, after.nWokenPastHalf);
    engine.Stop();
    EXPECT_EQ(expected, ReadFile(dir.File("SDK_00.log")));
    EXPECT_EQ(0u, engine.GetLostCount());
}

}  // namespace
