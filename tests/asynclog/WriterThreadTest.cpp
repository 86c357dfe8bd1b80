#include "asynclog/ZIdOrereDov.h"

#include "tests/asynclog/EngineHelpers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

using zqtest::FileExists;
using zqtest::FileSize;
using zqtest::kTenMiB;
using zqtest::MakeFileOfSize;
using zqtest::PollUntil;
using zqtest::PushWaiting;
using zqtest::ReadFile;
using zqtest::ReloadProbe;
using zqtest::TempDir;

namespace {

// A running file-mode engine in a temp dir with a 10 MiB limit.
struct RunningEngine {
    explicit RunningEngine(const TempDir& dir, uint32_t nFiles = 2, const char* pCfg = nullptr) {
        engine.SetMode(1);
        EXPECT_EQ(kLogOk, engine.SetFileSize(10));
        EXPECT_EQ(kLogOk, engine.SetFileNum(nFiles));
        if (pCfg != nullptr) {
            EXPECT_EQ(kLogOk, engine.SetConfigPath(pCfg));
            EXPECT_EQ(kLogOk, engine.RegisterLevelCallback(ReloadProbe::Callback, "Probe", 77));
        }
        EXPECT_EQ(kLogOk, engine.Start(dir.Path().c_str(), "SDK"));
    }
    ZIdOrereDov engine;
};

TEST(WriterThreadTest, RotatesAtTheWriteThatReachesTheLimit) {
    struct Case {
        uint64_t nPrefill;
        bool bRotates;
    };
    const std::string rec = "0123456789\r\n";  // 12 bytes
    for (const Case& c :
         {Case{kTenMiB - 13, false}, Case{kTenMiB - 12, true}, Case{kTenMiB - 5, true}}) {
        SCOPED_TRACE("prefill " + std::to_string(c.nPrefill));
        TempDir dir;
        MakeFileOfSize(dir.File("SDK_00.log"), c.nPrefill);
        {
            RunningEngine run(dir);
            PushWaiting(run.engine, rec);
            if (c.bRotates) PushWaiting(run.engine, "next\r\n");
        }
        if (c.bRotates) {
            EXPECT_EQ(static_cast<long long>(c.nPrefill + rec.size()),
                      FileSize(dir.File("SDK_01.log")));
            EXPECT_EQ("next\r\n", ReadFile(dir.File("SDK_00.log")));
        } else {
            EXPECT_FALSE(FileExists(dir.File("SDK_01.log")));
            EXPECT_EQ(static_cast<long long>(c.nPrefill + rec.size()),
                      FileSize(dir.File("SDK_00.log")));
        }
    }
}

TEST(WriterThreadTest, RotationShiftsTheSetAndClosesGaps) {
    struct Case {
        const char* pName;
        uint32_t nFiles;
        std::vector<std::string> existing;                       // besides SDK_00.log
        std::vector<std::pair<std::string, std::string>> after;  // name, content ("" = absent)
    };
    const std::vector<Case> cases = {
        {"two files, both exist",
         2,
         {"SDK_01.log"},
         {{"SDK_00.log", "new\r\n"}, {"SDK_01.log", "<00>"}}},
        {"three files, only the current",
         3,
         {},
         {{"SDK_00.log", "new\r\n"}, {"SDK_01.log", "<00>"}, {"SDK_02.log", ""}}},
        {"three files, a gap at 01",
         3,
         {"SDK_02.log"},
         {{"SDK_00.log", "new\r\n"}, {"SDK_01.log", "<00>"}, {"SDK_02.log", ""}}},
        {"three files, all exist",
         3,
         {"SDK_01.log", "SDK_02.log"},
         {{"SDK_00.log", "new\r\n"}, {"SDK_01.log", "<00>"}, {"SDK_02.log", "<SDK_01.log>"}}},
        {"two files, left from a count of five: the rest goes",
         2,
         {"SDK_01.log", "SDK_02.log", "SDK_04.log"},
         {{"SDK_00.log", "new\r\n"},
          {"SDK_01.log", "<00>"},
          {"SDK_02.log", ""},
          {"SDK_03.log", ""},
          {"SDK_04.log", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pName);
        TempDir dir;
        MakeFileOfSize(dir.File("SDK_00.log"), kTenMiB - 4);
        for (const std::string& name : c.existing) {
            ASSERT_TRUE(zqtest::WriteFile(dir.File(name), "<" + name + ">"));
        }
        {
            RunningEngine run(dir, c.nFiles);
            PushWaiting(run.engine, "<00>");  // reaches the limit: rotation
            PushWaiting(run.engine, "new\r\n");
        }
        for (const auto& [name, content] : c.after) {
            SCOPED_TRACE(name);
            if (content.empty()) {
                EXPECT_FALSE(FileExists(dir.File(name)));
            } else if (content == "<00>") {
                const std::string text = ReadFile(dir.File(name));
                ASSERT_EQ(kTenMiB, text.size());
                EXPECT_EQ("<00>", text.substr(text.size() - 4));
            } else {
                EXPECT_EQ(content, ReadFile(dir.File(name)));
            }
        }
    }
}

TEST(WriterThreadTest, FailedRenameNeitherDoublesNorLosesRecords) {
    TempDir dir;
    MakeFileOfSize(dir.File("SDK_00.log"), kTenMiB - 4);
    // A directory with content at the name of entry 1: remove and rename fail.
    ASSERT_EQ(0, mkdir(dir.File("SDK_01.log").c_str(), 0755));
    ASSERT_TRUE(zqtest::WriteFile(dir.File("SDK_01.log") + "/keep", "x"));
    {
        RunningEngine run(dir);
        PushWaiting(run.engine, "<A>\r\n");
        PushWaiting(run.engine, "<B>\r\n");
        ASSERT_TRUE(PollUntil([&] {
            return FileSize(dir.File("SDK_00.log")) == static_cast<long long>(kTenMiB - 4 + 10);
        }));
        // The obstacle goes away: a later size check may rotate (the one
        // after <C>, or a retry of the writer's own), or the stop may come
        // first; either way nothing is doubled or lost.
        zqtest::RemoveTree(dir.File("SDK_01.log"));
        PushWaiting(run.engine, "<C>\r\n");
        PushWaiting(run.engine, "<D>\r\n");
    }
    // Every record once, in order, across the rotated file (if any) and the
    // current one.
    const std::string all = ReadFile(dir.File("SDK_01.log")) + ReadFile(dir.File("SDK_00.log"));
    ASSERT_EQ(kTenMiB - 4 + 20, all.size());
    EXPECT_EQ("<A>\r\n<B>\r\n<C>\r\n<D>\r\n", all.substr(kTenMiB - 4));
}

TEST(WriterThreadTest, StopGivesUpWhenNoFileCanBeOpenedAndCountsTheLoss) {
    TempDir dir;
    const std::string logDir = dir.Path() + "/logs";
    ASSERT_EQ(0, mkdir(logDir.c_str(), 0755));
    MakeFileOfSize(logDir + "/SDK_00.log", kTenMiB - 4);
    ZIdOrereDov engine;
    engine.SetMode(1);
    ASSERT_EQ(kLogOk, engine.SetFileSize(10));
    ASSERT_EQ(kLogOk, engine.Start(logDir.c_str(), "SDK"));
    // The directory disappears behind a regular file: no file can be made there.
    ASSERT_EQ(0, rename(logDir.c_str(), (dir.Path() + "/moved").c_str()));
    ASSERT_TRUE(zqtest::WriteFile(logDir, "not a directory"));
    PushWaiting(engine, "<rotates>\r\n");  // written to the moved file, then rotation fails
    ASSERT_TRUE(PollUntil([&] {
        return FileSize(dir.Path() + "/moved/SDK_00.log") ==
               static_cast<long long>(kTenMiB - 4 + 11);
    }));
    for (int i = 0; i < 5; ++i) PushWaiting(engine, "stuck\r\n");
    engine.Stop();  // must return although nothing can be written
    EXPECT_EQ(5u, engine.GetLostCount());
}

// Rewrites the configuration file and waits until the writer has reloaded it
// (the custom key "Probe" reports every reload through the callback). The time
// stamp moves on at every look: the writer may have taken its first reading of
// it at any moment since it started.
void EditConfig(const std::string& cfg, const std::string& content, long long* pMTime) {
    const int nBefore = ReloadProbe::s_nCalls.load();
    ASSERT_TRUE(zqtest::WriteFile(cfg, content));
    ASSERT_TRUE(PollUntil([&] {
        *pMTime += 10;
        return zqtest::SetMTime(cfg, *pMTime) && ReloadProbe::s_nCalls.load() > nBefore;
    }));
}

TEST(WriterThreadTest, ReloadAppliesLevelKeySizeAndCount) {
    TempDir dir;
    const std::string cfg = dir.File("LogServer.ini");
    long long mtime = static_cast<long long>(time(nullptr)) - 1000;
    ASSERT_TRUE(zqtest::WriteFile(cfg, "[Level]\nLogLevel=4\n"));
    ASSERT_TRUE(zqtest::SetMTime(cfg, mtime));
    ReloadProbe::Reset();
    RunningEngine run(dir, 2, cfg.c_str());
    ZIdOrereDov& engine = run.engine;

    EditConfig(cfg, "[Level]\nLogLevel=5\nProbe=3\n", &mtime);
    EXPECT_EQ(3, engine.GetLevel());  // the custom key wins
    EXPECT_EQ(3, ReloadProbe::s_nLastLevel.load());
    EXPECT_EQ(77, ReloadProbe::s_nLastUser.load());

    EditConfig(cfg, "[Level]\nLogLevel=7\nProbe=x9\n", &mtime);  // "x9" reads as 0
    EXPECT_EQ(0, engine.GetLevel());

    EditConfig(cfg, "[Level]\nLogLevel=9\nProbe=2\n", &mtime);  // 9: out of range
    EXPECT_EQ(2, engine.GetLevel());
    EditConfig(cfg, "[Level]\nLogLevel=abc\nProbe=1\n[Other]\nProbe=5\n", &mtime);
    EXPECT_EQ(1, engine.GetLevel());

    // FileNum 3 and FileSize 11: a current file of 10 MiB + a bit no longer rotates
    // at 10 MiB, and the third file name exists.
    EditConfig(cfg, "[Level]\nProbe=4\n[File]\nFileSize=11\nFileNum=3\n", &mtime);
    const std::string rec(1000, 'r');
    for (int i = 0; i < 10500; ++i) PushWaiting(engine, rec);  // 10.01 MiB
    engine.Stop();
    EXPECT_FALSE(FileExists(dir.File("SDK_01.log")));
    EXPECT_EQ(10500 * 1000LL, FileSize(dir.File("SDK_00.log")));
}

// Sets a file's modification time to the nanosecond.
void SetMTimeNs(const std::string& path, time_t nSec, long nNsec) {
    const struct timespec times[2] = {{nSec, nNsec}, {nSec, nNsec}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// Edits that leave the modification time's second as it was (or the whole
// time stamp, as a copy or a restore does) are reloaded all the same.
TEST(WriterThreadTest, EveryEditIsReloadedAlsoWithinOneSecond) {
    struct Edit {
        const char* pName;
        std::string content;
        long nNsec;  // new nanoseconds of the same second
        int32_t nLevel;
    };
    const time_t nSec = time(nullptr) - 1000;
    const Edit edits[] = {
        {"same second, other nanoseconds", "[Level]\nProbe=3\n", 500, 3},
        {"same time stamp, other size", "[Level]\nProbe=5\n\n", 500, 5},
        {"same time stamp and size, another file", "[Level]\nProbe=6\n\n", 500, 6},
    };
    TempDir dir;
    const std::string cfg = dir.File("LogServer.ini");
    ASSERT_TRUE(zqtest::WriteFile(cfg, "[Level]\nProbe=2\n"));
    SetMTimeNs(cfg, nSec, 0);
    ReloadProbe::Reset();
    RunningEngine run(dir, 2, cfg.c_str());
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.pName);
        const int nBefore = ReloadProbe::s_nCalls.load();
        ASSERT_TRUE(zqtest::WriteFile(cfg, e.content));  // written aside, renamed over
        SetMTimeNs(cfg, nSec, e.nNsec);
        EXPECT_TRUE(PollUntil([&] { return ReloadProbe::s_nCalls.load() > nBefore; }));
        EXPECT_EQ(e.nLevel, run.engine.GetLevel());
    }
}

TEST(WriterThreadTest, RaisingFileNumKeepsOlderFiles) {
    TempDir dir;
    const std::string cfg = dir.File("LogServer.ini");
    long long mtime = static_cast<long long>(time(nullptr)) - 1000;
    ASSERT_TRUE(zqtest::WriteFile(cfg, "[File]\nFileNum=2\n"));
    ASSERT_TRUE(zqtest::SetMTime(cfg, mtime));
    ASSERT_TRUE(zqtest::WriteFile(dir.File("SDK_01.log"), "<old>"));
    MakeFileOfSize(dir.File("SDK_00.log"), kTenMiB - 3);
    ReloadProbe::Reset();
    RunningEngine run(dir, 2, cfg.c_str());

    EditConfig(cfg, "[Level]\nProbe=4\n[File]\nFileNum=4\n", &mtime);
    PushWaiting(run.engine, "<1>");  // first rotation: the old file moves up, not out
    ASSERT_TRUE(PollUntil([&] { return FileExists(dir.File("SDK_02.log")); }));
    EXPECT_EQ("<old>", ReadFile(dir.File("SDK_02.log")));
    const std::string rec(1024, 'x');
    for (uint64_t n = 0; n < kTenMiB; n += rec.size()) PushWaiting(run.engine, rec);
    run.engine.Stop();  // the second rotation fills SDK_03.log
    EXPECT_EQ("<old>", ReadFile(dir.File("SDK_03.log")));
    EXPECT_EQ(static_cast<long long>(kTenMiB), FileSize(dir.File("SDK_02.log")));
    EXPECT_EQ(static_cast<long long>(kTenMiB), FileSize(dir.File("SDK_01.log")));
    EXPECT_FALSE(FileExists(dir.File("SDK_04.log")));
}

TEST(WriterThreadTest, SetFileNumWhileRunningRegeneratesNames) {
    TempDir dir;
    MakeFileOfSize(dir.File("SDK_00.log"), kTenMiB - 3);
    ASSERT_TRUE(zqtest::WriteFile(dir.File("SDK_01.log"), "<old1>"));
    ASSERT_TRUE(zqtest::WriteFile(dir.File("SDK_02.log"), "<old2>"));
    RunningEngine run(dir, 2);
    ASSERT_EQ(kLogOk, run.engine.SetFileNum(3));
    PushWaiting(run.engine, "<r>");
    run.engine.Stop();
    EXPECT_EQ("<old1>", ReadFile(dir.File("SDK_02.log")));  // "<old2>" was the oldest
}

// A producer pushes while the watched file is edited, the count and level are
// changed from a third thread and the set rotates: every record arrives once,
// whole and in order. Run under TSan this also checks the engine's sharing.
TEST(WriterThreadTest, ProducerRotationAndReloadsTogether) {
    TempDir dir;
    const std::string cfg = dir.File("LogServer.ini");
    ASSERT_TRUE(zqtest::WriteFile(cfg, "[File]\nFileNum=3\n"));
    ReloadProbe::Reset();
    RunningEngine run(dir, 3, cfg.c_str());
    constexpr uint32_t kRecords = 24000;  // 24000 * 500 bytes: one rotation at 10 MiB
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (uint32_t i = 0; i < kRecords; ++i) PushWaiting(run.engine, zqtest::SeqRecord(i, 500));
        done = true;
    });
    long long mtime = static_cast<long long>(time(nullptr)) - 1000;
    for (int round = 0; !done; ++round) {
        const int nFiles = 3 + round % 2;
        EXPECT_TRUE(zqtest::WriteFile(cfg, "[Level]\nLogLevel=" + std::to_string(round % 8) +
                                               "\n[File]\nFileNum=" + std::to_string(nFiles) +
                                               "\n"));
        mtime += 10;
        EXPECT_TRUE(zqtest::SetMTime(cfg, mtime));
        EXPECT_EQ(kLogOk, run.engine.SetFileNum(static_cast<uint32_t>(nFiles)));
        run.engine.SetLevel(round % 5);
        (void)run.engine.GetLevel();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    producer.join();
    run.engine.Stop();

    const std::string all = ReadFile(dir.File("SDK_01.log")) + ReadFile(dir.File("SDK_00.log"));
    ASSERT_EQ(static_cast<size_t>(kRecords) * 500, all.size());
    for (uint32_t i = 0; i < kRecords; ++i) {
        if (all.compare(static_cast<size_t>(i) * 500, 500, zqtest::SeqRecord(i, 500)) != 0) {
            FAIL() << "record " << i << " missing or out of order";
        }
    }
}

}  // namespace
