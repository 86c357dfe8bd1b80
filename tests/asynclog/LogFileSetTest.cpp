#include "asynclog/LogFileSet.h"

#include "asynclog/ZIdOrereDov.h"
#include "tests/asynclog/EngineHelpers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using zqtest::TempDir;

namespace {

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(LogFileSetTest, InitChecksPrefixAndDirectory) {
    TempDir dir;
    CLossCounters lost;
    CLogFileSet files(lost, nullptr);
    EXPECT_EQ(kFileSetErrInvalid, files.Init(dir.Path().c_str(), ""));
    EXPECT_EQ(kFileSetErrInvalid, files.Init(dir.Path().c_str(), nullptr));
    EXPECT_EQ(kFileSetErrInvalid, files.Init(dir.Path().c_str(), Repeat('p', 129).c_str()));
    EXPECT_EQ(kFileSetErrInvalid, files.Init(("/" + Repeat('d', 256)).c_str(), "SDK"));
    EXPECT_EQ(kFileSetOk, files.Init(dir.Path().c_str(), Repeat('p', 128).c_str()));
    ASSERT_EQ(kFileSetOk, files.SetFileNum(3));
    CZQLockGuard guard(files.Lock());
    EXPECT_EQ(Repeat('p', 128) + "_02.log", files.FileName(2));
    EXPECT_STREQ("", files.FileName(3));
}

TEST(LogFileSetTest, CreateLogDirCreatesEveryLevel) {
    TempDir dir;
    const std::string nested = dir.Path() + "/x/y/z";
    EXPECT_EQ(kFileSetOk, CLogFileSet::CreateLogDir(nested.c_str()));
    struct stat st {};
    ASSERT_EQ(0, stat(nested.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(-1, CLogFileSet::CreateLogDir(nested.c_str()));  // exists already
    const std::string backslashed = dir.Path() + "/m\\n";
    EXPECT_EQ(kFileSetOk, CLogFileSet::CreateLogDir(backslashed.c_str()));
    EXPECT_EQ(0, stat((dir.Path() + "/m").c_str(), &st));
    EXPECT_EQ(kFileSetErrInvalid, CLogFileSet::CreateLogDir(nullptr));

    CLossCounters lost;
    CLogFileSet files(lost, nullptr);
    ASSERT_EQ(kFileSetOk, files.Init(dir.Path().c_str(), "SDK"));
    CZQLockGuard guard(files.Lock());
    EXPECT_EQ(kFileSetErrInvalid, files.OpenLogFile("f.log", 2));
    EXPECT_EQ(kFileSetErrNameTooLong, files.OpenLogFile(Repeat('n', 128).c_str(), 1));
}

}  // namespace

namespace {

using zqtest::FileExists;
using zqtest::PollUntil;
using zqtest::PushWaiting;
using zqtest::ReadFile;
using zqtest::SeqRecord;

// The sequence numbers of a file of SeqRecord lines; fails the test on any
// line that is not one whole record.
std::vector<uint32_t> Sequence(const std::string& text, size_t nRecordLen) {
    std::vector<uint32_t> seq;
    for (const std::string& line : zqtest::SplitCrLf(text)) {
        EXPECT_EQ(nRecordLen - 2, line.size()) << "cut or glued: " << line.substr(0, 40);
        unsigned n = 0;
        EXPECT_EQ(1, std::sscanf(line.c_str(), "seq=%08u", &n)) << line.substr(0, 40);
        seq.push_back(n);
    }
    return seq;
}

void ExpectIncreasing(const std::vector<uint32_t>& seq) {
    for (size_t i = 1; i < seq.size(); ++i) {
        ASSERT_LT(seq[i - 1], seq[i]) << "doubled or out of order at line " << i;
    }
}

// A user who may write the log directory plants links to a root-owned file:
// before the first start at the current file's name, and, while a failed
// rotation keeps the set writing, over the current file itself. The engine
// (root) never writes through either: the victim stays as it was.
TEST(LogFileSetTest, RootNeverWritesThroughALinkAUserPlanted) {
    if (getuid() != 0) GTEST_SKIP() << "needs root: the attack is a user's link against root";
    TempDir dir;
    const std::string victim = dir.File("victim");
    ASSERT_TRUE(zqtest::WriteFile(victim, "root's own\n"));
    const std::string logDir = dir.File("logs");
    ASSERT_EQ(0, mkdir(logDir.c_str(), 0755));
    ASSERT_EQ(0, chown(logDir.c_str(), 65534, 65534));
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));  // the user reaches logs/
    ASSERT_EQ(0, zqtest::RunAsNobody("ln -s " + victim + " " + logDir + "/SDK_00.log"));
    {
        ZIdOrereDov engine;
        engine.SetMode(1);
        EXPECT_EQ(kLogErrResource, engine.Start(logDir.c_str(), "SDK"));
    }
    EXPECT_EQ("root's own\n", ReadFile(victim));

    ASSERT_EQ(0, zqtest::RunAsNobody("rm " + logDir + "/SDK_00.log && mkdir " + logDir +
                                     "/SDK_01.log && touch " + logDir + "/SDK_01.log/x"));
    zqtest::MakeFileOfSize(logDir + "/SDK_00.log", zqtest::kTenMiB);  // at the limit
    {
        ZIdOrereDov engine;
        engine.SetMode(1);
        ASSERT_EQ(kLogOk, engine.SetFileSize(10));
        ASSERT_EQ(kLogOk, engine.Start(logDir.c_str(), "SDK"));
        PushWaiting(engine, "rotation fails\r\n");
        ASSERT_TRUE(PollUntil([&] {
            return zqtest::FileSize(logDir + "/SDK_00.log") ==
                   static_cast<long long>(zqtest::kTenMiB + 16);
        }));
        ASSERT_EQ(0, zqtest::RunAsNobody("ln -s " + victim + " " + logDir + "/l && mv -f " +
                                         logDir + "/l " + logDir + "/SDK_00.log"));
        for (int i = 0; i < 600; ++i) PushWaiting(engine, "after the swap\r\n");
    }
    EXPECT_EQ("root's own\n", ReadFile(victim));
}

// A full disk: every record is in the file whole or counted as lost, never
// cut and never glued to the next; writing resumes by itself when space
// returns.
TEST(LogFileSetTest, FullDiskCutsNoRecordAndResumes) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    TempDir dir;
    const std::string disk = dir.File("disk");
    ASSERT_EQ(0, mkdir(disk.c_str(), 0755));
    // A mount of this test process's own: the test runs in a process of its own.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    const std::string filler = disk + "/filler";
    zqtest::MakeFileOfSize(filler, 200 * 1024);
    constexpr size_t kLen = 100;
    constexpr uint32_t kBefore = 2000;  // 200 KB: more than the disk has left
    constexpr uint32_t kAfter = 500;
    {
        ZIdOrereDov engine;
        engine.SetMode(1);
        ASSERT_EQ(kLogOk, engine.Start(disk.c_str(), "SDK"));
        for (uint32_t i = 0; i < kBefore; ++i) PushWaiting(engine, SeqRecord(i, kLen));
        ASSERT_TRUE(PollUntil([&] { return engine.GetLostCount() > 0; }));
        ASSERT_EQ(0, unlink(filler.c_str()));
        for (uint32_t i = kBefore; i < kBefore + kAfter; ++i)
            PushWaiting(engine, SeqRecord(i, kLen));
        engine.Stop();
        const std::vector<uint32_t> seq = Sequence(ReadFile(disk + "/SDK_00.log"), kLen);
        ExpectIncreasing(seq);
        EXPECT_EQ(kBefore + kAfter, seq.size() + engine.GetLostCount());
        EXPECT_EQ(engine.GetLostCount(), engine.Lost().Get(LossCause::kWriteFailed));
        ASSERT_FALSE(seq.empty());
        EXPECT_EQ(kBefore + kAfter - 1, seq.back());  // written again once space returned
    }
    (void)umount(disk.c_str());
}

// The log directory is removed while records arrive: the writer notices, makes
// the directory and the file again, and counts the records that went into the
// removed file.
TEST(LogFileSetTest, RemovedDirectoryIsMadeAgainAndItsLossCounted) {
    TempDir dir;
    const std::string logDir = dir.File("logs");
    constexpr size_t kLen = 60;
    ZIdOrereDov engine;
    engine.SetMode(1);
    ASSERT_EQ(kLogOk, engine.Start(logDir.c_str(), "SDK"));
    PushWaiting(engine, SeqRecord(0, kLen));
    ASSERT_TRUE(PollUntil([&] { return FileExists(logDir + "/SDK_00.log"); }));
    zqtest::RemoveTree(logDir);
    uint32_t nSent = 1;
    ASSERT_TRUE(PollUntil([&] {
        PushWaiting(engine, SeqRecord(nSent++, kLen));
        return FileExists(logDir + "/SDK_00.log");
    }));
    for (uint32_t i = 0; i < 10; ++i) PushWaiting(engine, SeqRecord(nSent++, kLen));
    engine.Stop();
    const std::vector<uint32_t> seq = Sequence(ReadFile(logDir + "/SDK_00.log"), kLen);
    ExpectIncreasing(seq);
    ASSERT_FALSE(seq.empty());
    EXPECT_EQ(nSent - 1, seq.back());
    // Every record after the removal is in the new file or counted, none twice;
    // record 0, which the removal took with the directory, may be counted too.
    const uint64_t nAccounted = seq.size() + engine.GetLostCount();
    EXPECT_GE(nAccounted, nSent - 1u);
    EXPECT_LE(nAccounted, nSent);
    // Written counts what the files hold: the lost ones are no longer in it.
    EXPECT_EQ(seq.size(), engine.Files().Written());
}

}  // namespace

// The names a reader of the set recognises are exactly the names the set
// writes: not the forwarding state file beside them, nor a file of another set.
TEST(LogFileSetTest, FileNamesOfTheSet) {
    const struct {
        const char* pName;
        bool bEntry;
        uint32_t nIndex;
    } kCases[] = {
        {"SDK_00.log", true, 0},   {"SDK_09.log", true, 9},  {"SDK_forward.state", false, 0},
        {"SDK_10.log", false, 0},  {"SDK_0a.log", false, 0}, {"SDK_00.log.1", false, 0},
        {"SDKX_00.log", false, 0}, {"SDK_00.lo", false, 0},  {"SD_00.log", false, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        uint32_t nIndex = 99;
        EXPECT_EQ(ParseLogFileName(c.pName, "SDK", &nIndex), c.bEntry);
        if (!c.bEntry) continue;
        EXPECT_EQ(nIndex, c.nIndex);
        char szName[32];
        (void)FormatLogFileName(szName, sizeof(szName), nullptr, "SDK", nIndex);
        EXPECT_STREQ(szName, c.pName);
    }
}
