#include "logmodule/LogModule.h"
#include "logmodule/LogModuleState.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <csignal>
#include <vector>
#include <chrono>
#include <thread>
#include <map>

namespace {

// Every test configures files only (no daemon lookup), uses its own directory
// and ends with DestroyAsyncLog.
class LogModuleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SetLogMode(ZQ_MODE_FILES), 0); }
    void TearDown() override { DestroyAsyncLog(); }
    bool UseDir() { return SetLogPath(m_Dir.Path().c_str(), "SDK") == 0; }

    zqtest::TempDir m_Dir;
    LogModule& m = GetLogModule();
};

void ExpectDefaults(const LogModule& m) {
    EXPECT_EQ(m.m_stNext.nLevel, 4);
    EXPECT_EQ(m.m_stNext.nFileSizeMiB, 20u);
    EXPECT_EQ(m.m_stNext.nFileNum, 10u);
    EXPECT_EQ(m.m_stNext.nMode, 2u);
    EXPECT_EQ(m.m_stNext.nSlotCount, 1024u);
    EXPECT_EQ(m.m_nSlotSize, 1024);
    EXPECT_EQ(m.m_stNext.pfnLevelCallback, nullptr);
    EXPECT_EQ(m.m_stNext.nUserValue, 0);
    EXPECT_STREQ(m.m_stNext.szLevelKey, "");
    EXPECT_STREQ(m.m_stNext.szCfgPath, "");
    EXPECT_STREQ(m.m_szLogPath, "");
    EXPECT_STREQ(m.m_szPrefix, "");
    EXPECT_STREQ(m.m_szModuleName, "");
    EXPECT_STREQ(m.m_szProcessName, "");
    EXPECT_EQ(m.m_nPid, 0);
    EXPECT_EQ(m.m_bCreated.load(), 0);
    EXPECT_EQ(m.m_pAsyncLog, nullptr);
}

std::atomic<int32_t> g_nCallbackLevel{-1};
std::atomic<int32_t> g_nCallbackUser{0};
void OnLevel(int32_t nLevel, char* pKey, int32_t nUser) {
    if (std::strcmp(pKey, "MyLevel") == 0) g_nCallbackUser.store(nUser);
    g_nCallbackLevel.store(nLevel);
}

TEST_F(LogModuleTest, SettersBeforeCreation) {
    int32_t level = 77;
    EXPECT_EQ(GetLogLevel(&level), 0);
    EXPECT_EQ(level, 77);  // no engine: untouched
    EXPECT_EQ(GetLogLevel(nullptr), -5);
    EXPECT_EQ(SetLogLevel(9), 0);
    EXPECT_EQ(m.m_stNext.nLevel, 9);

    const std::string dir256(256, 'd'), pre128(128, 'p');
    const std::string dir257 = dir256 + "d", pre129 = pre128 + "p";
    EXPECT_EQ(SetLogPath(dir256.c_str(), pre128.c_str()), 0);
    EXPECT_EQ(std::string(m.m_szLogPath), dir256);
    EXPECT_EQ(std::string(m.m_szPrefix), pre128);
    const struct {
        const char* dir;
        const char* prefix;
    } kBadPaths[] = {{dir257.c_str(), "SDK"}, {"/tmp", pre129.c_str()}, {"", "SDK"}, {"/tmp", ""},
                     {nullptr, "SDK"},        {"/tmp", nullptr}};
    for (const auto& c : kBadPaths) {
        EXPECT_EQ(SetLogPath(c.dir, c.prefix), -5);
        EXPECT_EQ(std::string(m.m_szLogPath), dir256);  // unchanged
        EXPECT_EQ(std::string(m.m_szPrefix), pre128);
    }

    EXPECT_EQ(SetModuleName(std::string(128, 'n').c_str()), 0);
    EXPECT_EQ(SetModuleName(std::string(129, 'n').c_str()), -5);
    EXPECT_EQ(SetModuleName(nullptr), -5);
    EXPECT_EQ(std::strlen(m.m_szModuleName), 128u);
    EXPECT_EQ(SetModuleName(""), 0);
    EXPECT_STREQ(m.m_szModuleName, "");

    const struct {
        uint32_t count;
        int32_t result;
        uint32_t stored;
    } kSlots[] = {{9, -5, 1024}, {1025, -5, 1024}, {10, 0, 10}, {1024, 0, 1024}, {0, -5, 1024}};
    for (const auto& c : kSlots) {
        SCOPED_TRACE(c.count);
        EXPECT_EQ(SetQueueSlotCount(c.count), c.result);
        EXPECT_EQ(m.m_stNext.nSlotCount, c.stored);
    }
    EXPECT_EQ(SetLogFileSize(9), -5);
    EXPECT_EQ(SetLogFileSize(201), -5);
    EXPECT_EQ(SetLogFileSize(200), 0);
    EXPECT_EQ(m.m_stNext.nFileSizeMiB, 200u);
    EXPECT_EQ(SetLogFileNum(1), -5);
    EXPECT_EQ(SetLogFileNum(11), -5);
    EXPECT_EQ(SetLogFileNum(2), 0);
    EXPECT_EQ(m.m_stNext.nFileNum, 2u);
    EXPECT_EQ(SetLevelCallback(nullptr, "k", 1), -5);
    EXPECT_EQ(SetLevelCallback(OnLevel, nullptr, 1), -5);
    EXPECT_EQ(SetLevelCallback(OnLevel, std::string(65, 'k').c_str(), 1), -5);
    EXPECT_EQ(m.m_stNext.pfnLevelCallback, nullptr);
    EXPECT_EQ(SetLevelCallback(OnLevel, std::string(64, 'k').c_str(), 1), 0);
    EXPECT_EQ(SetLevelCallback(OnLevel, "", 3), 0);  // accepted, never handed on
    EXPECT_EQ(m.m_stNext.nUserValue, 3);
}

TEST_F(LogModuleTest, CreatedModuleRefusesSetupAndForwardsRuntimeSettings) {
    ASSERT_TRUE(UseDir());
    ASSERT_EQ(SetQueueSlotSize(64), 0);  // recorded only: slots stay 1024 bytes
    ASSERT_EQ(CreateAsyncLog(), 0);
    EXPECT_EQ(m.m_bCreated.load(), 1);
    EXPECT_NE(m.m_pAsyncLog, nullptr);
    EXPECT_EQ(m.m_nPid, static_cast<int32_t>(getpid()));
    EXPECT_STRNE(m.m_szProcessName, "");

    EXPECT_EQ(CreateAsyncLog(), -3);
    EXPECT_EQ(SetLogPath("/tmp", "X"), -3);
    EXPECT_EQ(SetLogMode(2), -3);
    EXPECT_EQ(SetModuleName("x"), -3);
    EXPECT_EQ(SetQueueSlotCount(9), -3);  // -3 comes before the range check
    EXPECT_EQ(SetQueueSlotCount(100), -3);
    EXPECT_EQ(SetQueueSlotSize(2048), -3);
    EXPECT_EQ(m.m_stNext.nSlotCount, 1024u);
    EXPECT_EQ(m.m_nSlotSize, 64);

    EXPECT_EQ(SetLogFileSize(9), -5);
    EXPECT_EQ(SetLogFileSize(10), 0);
    EXPECT_EQ(SetLogFileNum(11), -5);
    EXPECT_EQ(SetLogFileNum(3), 0);
    EXPECT_EQ(SetLogLevel(2), 0);
    int32_t level = 0;
    EXPECT_EQ(GetLogLevel(&level), 0);
    EXPECT_EQ(level, 2);

    // A 1000-byte text fits the 1024-byte slot despite SetQueueSlotSize(64).
    const std::string raw(1000, 'r');
    WriteRawLog(raw.c_str(), 0);
    ASSERT_EQ(DestroyAsyncLog(), 0);
    EXPECT_EQ(zqtest::ReadFile(m_Dir.File("SDK_00.log")), raw);
}

TEST_F(LogModuleTest, FailedCreationKeepsSettingsAndDestroyResets) {
    ASSERT_TRUE(zqtest::WriteFile(m_Dir.File("plain"), "x"));
    const std::string blocked = m_Dir.File("plain") + "/sub";  // below a regular file
    ASSERT_EQ(SetLogPath(blocked.c_str(), "SDK"), 0);
    ASSERT_EQ(SetModuleName("mod"), 0);
    ASSERT_EQ(SetLogFileSize(33), 0);
    ASSERT_EQ(SetLogLevel(6), 0);
    EXPECT_EQ(CreateAsyncLog(), -6);  // the current file does not open
    EXPECT_EQ(m.m_bCreated.load(), 0);
    EXPECT_EQ(m.m_pAsyncLog, nullptr);
    EXPECT_STREQ(m.m_szLogPath, blocked.c_str());
    EXPECT_STREQ(m.m_szModuleName, "mod");
    EXPECT_EQ(m.m_stNext.nFileSizeMiB, 33u);
    EXPECT_EQ(m.m_stNext.nLevel, 6);

    // The engine's own code comes back unchanged: a 128-character file name.
    ASSERT_EQ(SetLogPath(m_Dir.Path().c_str(), std::string(121, 'p').c_str()), 0);
    EXPECT_EQ(CreateAsyncLog(), -7);
    EXPECT_EQ(m.m_pAsyncLog, nullptr);

    // Settings are still there for the next attempt, which works.
    ASSERT_TRUE(UseDir());
    ASSERT_EQ(SetLevelCallback(OnLevel, "MyLevel", 5), 0);
    ASSERT_EQ(CreateAsyncLog(), 0);
    int32_t level = 0;
    EXPECT_EQ(GetLogLevel(&level), 0);
    EXPECT_EQ(level, 6);

    ASSERT_EQ(DestroyAsyncLog(), 0);
    ExpectDefaults(m);
    EXPECT_EQ(DestroyAsyncLog(), 0);  // without an engine too
    ExpectDefaults(m);
    // Recreated with defaults: no directory and no prefix any more.
    ASSERT_EQ(SetLogMode(ZQ_MODE_FILES), 0);
    EXPECT_EQ(CreateAsyncLog(), -5);
}

// Only a running writer can reopen its file: without an engine nothing is
// asked, so no stale request waits for the next one.
// What a log rotation tool does: move the current file aside, then ask for a
// reopen. The records before the move stay in the moved file, the later ones
// go to a new current file, none twice.
TEST_F(LogModuleTest, ReopenAfterTheFileWasMovedAside) {
    EXPECT_EQ(ReopenAsyncLog(), ZQ_ERR_NOT_CREATED);
    ASSERT_TRUE(UseDir());
    ASSERT_EQ(CreateAsyncLog(), 0);
    const std::string current = m_Dir.File("SDK_00.log");
    ASSERT_EQ(WriteRawLog("before\r\n", 0), ZQ_OK);
    ASSERT_TRUE(zqtest::PollUntil([&] { return zqtest::ReadFile(current) == "before\r\n"; }));
    ASSERT_EQ(0, rename(current.c_str(), m_Dir.File("SDK_00.log.1").c_str()));
    EXPECT_EQ(ReopenAsyncLog(), ZQ_OK);
    ASSERT_TRUE(zqtest::PollUntil([&] { return zqtest::FileExists(current); }));
    ASSERT_EQ(WriteRawLog("after\r\n", 0), ZQ_OK);
    ASSERT_EQ(DestroyAsyncLog(), 0);
    EXPECT_EQ("before\r\n", zqtest::ReadFile(m_Dir.File("SDK_00.log.1")));
    EXPECT_EQ("after\r\n", zqtest::ReadFile(current));
    EXPECT_EQ(ReopenAsyncLog(), ZQ_ERR_NOT_CREATED);
}

TEST_F(LogModuleTest, LoadLogConfig) {
    const std::string ini = m_Dir.File("LogServer.ini");
    EXPECT_EQ(LoadLogConfig(nullptr), -5);
    EXPECT_EQ(LoadLogConfig(ini.c_str()), -5);  // missing
    EXPECT_STREQ(m.m_stNext.szCfgPath, "");

    ASSERT_TRUE(zqtest::WriteFile(ini, "[Level]\nLogLevel=8\n[File]\nFileSize=5\nFileNum=11\n"));
    EXPECT_EQ(LoadLogConfig(ini.c_str()), 0);
    EXPECT_EQ(m.m_stNext.nLevel, 4);
    EXPECT_EQ(m.m_stNext.nFileSizeMiB, 20u);
    EXPECT_EQ(m.m_stNext.nFileNum, 10u);
    EXPECT_STREQ(m.m_stNext.szCfgPath, ini.c_str());

    ASSERT_TRUE(zqtest::WriteFile(ini, "[Level]\nLogLevel=0\n[File]\nFileSize= 200\nFileNum=2x\n"));
    EXPECT_EQ(LoadLogConfig(ini.c_str()), 0);
    EXPECT_EQ(m.m_stNext.nLevel, 0);
    EXPECT_EQ(m.m_stNext.nFileSizeMiB, 200u);
    EXPECT_EQ(m.m_stNext.nFileNum, 2u);

    // An existing file behind a path of more than 256 characters: the values
    // are taken, the path is not.
    std::string deep = m_Dir.Path() + "/" + std::string(150, 'a');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    deep += "/" + std::string(120, 'b');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    const std::string longIni = deep + "/LogServer.ini";
    ASSERT_TRUE(
        zqtest::WriteFile(longIni, "[Level]\nLogLevel=7\n[File]\nFileSize=10\nFileNum=5\n"));
    EXPECT_EQ(LoadLogConfig(longIni.c_str()), -5);
    EXPECT_EQ(m.m_stNext.nLevel, 7);
    EXPECT_EQ(m.m_stNext.nFileSizeMiB, 10u);
    EXPECT_EQ(m.m_stNext.nFileNum, 5u);
    EXPECT_STREQ(m.m_stNext.szCfgPath, ini.c_str());

    // After creation the file settings go to the engine; the level the module
    // records does not: the engine keeps its own, and the level check of
    // WriteLog asks the engine. (A second file: the engine keeps watching the
    // first one.)
    ASSERT_TRUE(UseDir());
    ASSERT_EQ(CreateAsyncLog(), 0);
    const std::string other = m_Dir.File("Other.ini");
    ASSERT_TRUE(zqtest::WriteFile(other, "[Level]\nLogLevel=1\n[File]\nFileSize=50\nFileNum=3\n"));
    EXPECT_EQ(LoadLogConfig(other.c_str()), 0);
    EXPECT_EQ(m.m_pAsyncLog->Files().FileSizeMiB(), 50u);
    EXPECT_EQ(m.m_pAsyncLog->Files().FileNum(), 3u);
    int32_t level = 0;
    EXPECT_EQ(GetLogLevel(&level), 0);
    EXPECT_EQ(level, 7);
    EXPECT_EQ(WriteLog(ZQ_LEVEL_TRACE, "a.c", 1, "f", "d", "x"), ZQ_OK);
    ASSERT_EQ(DestroyAsyncLog(), 0);
    EXPECT_NE(zqtest::ReadFile(m_Dir.File("SDK_00.log")).find("Description:[f]x\r\n"),
              std::string::npos);  // level 6 passed the engine's 7
}

// The callback and its key reach the engine at creation; a reload that finds
// the custom key calls it on the writer thread.
TEST_F(LogModuleTest, LevelCallbackReachesEngine) {
    g_nCallbackLevel.store(-1);
    const std::string ini = m_Dir.File("LogServer.ini");
    ASSERT_TRUE(zqtest::WriteFile(ini, "[Level]\nLogLevel=4\nMyLevel=2\n"));
    ASSERT_EQ(LoadLogConfig(ini.c_str()), 0);
    ASSERT_EQ(SetLevelCallback(OnLevel, "MyLevel", 99), 0);
    ASSERT_TRUE(UseDir());
    ASSERT_EQ(CreateAsyncLog(), 0);
    long long mtime = time(nullptr) + 100;
    EXPECT_TRUE(zqtest::PollUntil([&] {
        EXPECT_TRUE(zqtest::SetMTime(ini, mtime += 10));
        return g_nCallbackLevel.load() == 2;
    }));
    EXPECT_EQ(g_nCallbackUser.load(), 99);
    int32_t level = 0;
    EXPECT_EQ(GetLogLevel(&level), 0);
    EXPECT_EQ(level, 2);
}

// A process that returns from main without DestroyAsyncLog still finds every
// record it logged in its file.
constexpr uid_t kNobody = 65534;
TEST_F(LogModuleTest, ExitWithoutDestroyWritesEverything) {
    const std::string file = m_Dir.File("SDK_00.log");
    std::string expected;
    for (int i = 0; i < 1000; ++i) expected += "exit record " + std::to_string(i) + "\r\n";
    ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0777));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // As an ordinary user the writer is not real-time and cannot preempt
        // this thread to drain the queue early. The child's module is its own
        // copy, still unconfigured.
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) std::exit(2);
        int nRet =
            SetLogMode(ZQ_MODE_FILES) | SetLogPath(m_Dir.Path().c_str(), "SDK") | CreateAsyncLog();
        // Fewer records than queue slots, then straight out: most are still
        // queued when exit begins.
        for (int i = 0; nRet == 0 && i < 1000; ++i) {
            nRet = WriteRawLog(("exit record " + std::to_string(i) + "\r\n").c_str(), 0);
        }
        std::exit(nRet == 0 ? 0 : 1);  // static destructors run, DestroyAsyncLog does not
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(expected, zqtest::ReadFile(file));
}

// Children forked while another thread logs: each child's records are written
// by a writer of its own, once, and exit never waits for a lock the fork left
// held. The parent's records are each written once (the children do not
// write the parent's queued ones again).
TEST_F(LogModuleTest, ForkedChildrenLogThroughTheirOwnWriterAndExit) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot follow a thread started in the child of a "
                    "multi-threaded fork (it takes the parent's threads for live ones)";
#endif
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "children of this multi-threaded fork sometimes hang under "
                    "AddressSanitizer only (its allocator is not kept consistent across "
                    "fork); the plain and clang builds run it";
#endif
    const char* pEmulator = std::getenv("ZQ_TEST_EMULATOR");
    if (pEmulator != nullptr && *pEmulator != '\0') {
        GTEST_SKIP() << "qemu-user aborts when the child of a multi-threaded fork starts a thread "
                        "(qemu_plugin_vcpu_init_hook); the device runs it natively";
    }
    ASSERT_TRUE(UseDir());
    ASSERT_EQ(CreateAsyncLog(), 0);
    std::atomic<bool> bStop{false};
    std::atomic<uint32_t> nParent{0};
    std::thread parent([&] {
        while (!bStop.load()) {
            const std::string rec = "parent " + std::to_string(nParent.load()) + "\r\n";
            if (WriteRawLog(rec.c_str(), 0) == ZQ_OK) nParent.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    constexpr int kChildren = 40;
    constexpr int kRecords = 10;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kRecords; ++i) {
                const std::string rec =
                    "child " + std::to_string(c) + " " + std::to_string(i) + "\r\n";
                if (WriteRawLog(rec.c_str(), 0) != ZQ_OK) std::_Exit(3);
            }
            std::exit(0);  // no DestroyAsyncLog: the exit drains the child's own queue
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        const bool bEnded =
            zqtest::PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!bEnded) {
            (void)kill(pid, SIGKILL);
            (void)waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(bEnded) << "child " << pid << " hangs";
        EXPECT_TRUE(bEnded && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    bStop.store(true);
    parent.join();
    ASSERT_EQ(DestroyAsyncLog(), 0);

    std::map<std::string, int> seen;
    for (const std::string& line : zqtest::SplitCrLf(zqtest::ReadFile(m_Dir.File("SDK_00.log")))) {
        ++seen[line];
    }
    for (int c = 0; c < kChildren; ++c) {
        for (int i = 0; i < kRecords; ++i) {
            EXPECT_EQ(1, seen["child " + std::to_string(c) + " " + std::to_string(i)])
                << c << " " << i;
        }
    }
    for (uint32_t i = 0; i < nParent.load(); ++i) {
        ASSERT_EQ(1, seen["parent " + std::to_string(i)]) << "parent record " << i;
    }
}

TEST(LogServerInfo, ReadsFileSettings) {
    zqtest::TempDir dir;
    int32_t size = 20, num = 10;
    GetLogServerInfo(dir.Path().c_str(), &size, &num);  // no file: unchanged
    EXPECT_EQ(size, 20);
    EXPECT_EQ(num, 10);
    GetLogServerInfo(nullptr, &size, &num);
    GetLogServerInfo(dir.Path().c_str(), nullptr, &num);

    ASSERT_EQ(mkdir(dir.File("ZqSdkLog").c_str(), 0755), 0);
    ASSERT_TRUE(zqtest::WriteFile(dir.File("ZqSdkLog/LogServer.ini"), "[File]\nFileSize=500\n"));
    GetLogServerInfo(dir.Path().c_str(), &size, &num);
    EXPECT_EQ(size, 500);  // no range check
    EXPECT_EQ(num, 10);    // absent key: unchanged
    ASSERT_TRUE(zqtest::WriteFile(dir.File("ZqSdkLog/LogServer.ini"), "[File]\nFileNum=abc\n"));
    GetLogServerInfo(dir.Path().c_str(), &size, &num);
    EXPECT_EQ(size, 500);
    EXPECT_EQ(num, 0);  // not a number
}

}  // namespace

TEST(ZqResultName, NamesEachCodeOfTheHeader) {
    const struct {
        int32_t nCode;
        const char* pName;
    } kCases[] = {
        {ZQ_OK, "ZQ_OK"},
        {ZQ_ERR_NOT_CREATED, "ZQ_ERR_NOT_CREATED"},
        {ZQ_ERR_ALREADY_CREATED, "ZQ_ERR_ALREADY_CREATED"},
        {ZQ_ERR_INVALID, "ZQ_ERR_INVALID"},
        {ZQ_ERR_QUEUE_FULL, "ZQ_ERR_QUEUE_FULL or ZQ_ERR_RESOURCE"},
        {ZQ_ERR_NAME_TOO_LONG, "ZQ_ERR_NAME_TOO_LONG"},
        {-1, "unknown"},
        {-4, "unknown"},
        {1, "unknown"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.nCode);
        EXPECT_STREQ(ZqResultName(c.nCode), c.pName);
    }
}
