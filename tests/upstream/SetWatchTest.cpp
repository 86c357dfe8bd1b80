// The set watch without inotify, on real files: a configuration file whose
// directory is missing when the watch starts puts it on the timer, which
// compares the file's time, size and inode at every look. (With inotify the
// sender's tests edit the configuration while it runs.)

#include "upstream/SetWatch.h"

#include "platform/MonotonicClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

namespace {

bool Append(const std::string& strPath, const std::string& strText) {
    FILE* pFile = std::fopen(strPath.c_str(), "a");  // in place: the inode stays
    if (pFile == nullptr) return false;
    const bool bOk = std::fputs(strText.c_str(), pFile) >= 0;
    return std::fclose(pFile) == 0 && bOk;
}

// Each step changes the files (or not) and says whether the next look must
// find the configuration changed. Every look on the timer lists the set
// again, whatever it found.
TEST(SetWatch, TimerSeesEveryChangeOfTheConfiguration) {
    zqtest::TempDir dir;
    const std::string strLog = dir.File("log");
    const std::string strCfgDir = dir.File("etc");
    const std::string strCfg = strCfgDir + "/LogServer.ini";
    constexpr long long kSomeTime = 1700000000;
    ASSERT_EQ(0, mkdir(strLog.c_str(), 0755));
    CSetWatch watch;
    watch.Init(strLog.c_str(), strCfg.c_str(), "SDK");
    watch.Open();
    ASSERT_EQ(-1, watch.Fd()) << "no directory to watch: the timer";
    ASSERT_EQ(0, mkdir(strCfgDir.c_str(), 0755));
    const struct {
        const char* pWhat;
        std::function<bool()> change;
        bool bConfig;
    } aSteps[] = {
        {"nothing", [] { return true; }, false},
        {"the file is made", [&] { return zqtest::WriteFile(strCfg, "[Forward]\n"); }, true},
        {"a look later, nothing", [] { return true; }, false},
        {"its size, in place", [&] { return Append(strCfg, "Host=\n"); }, true},
        {"its time alone", [&] { return zqtest::SetMTime(strCfg, kSomeTime); }, true},
        {"another file of the same size and time renamed over it",
         [&] {
             const std::string strNew = strCfgDir + "/new.ini";
             return zqtest::WriteFile(strNew, zqtest::ReadFile(strCfg)) &&
                    zqtest::SetMTime(strNew, kSomeTime) &&
                    rename(strNew.c_str(), strCfg.c_str()) == 0;
         },
         true},
        {"a file of the set written", [&] { return Append(strLog + "/SDK_00.log", "x\r\n"); },
         false},
        {"the file removed", [&] { return unlink(strCfg.c_str()) == 0; }, true},
    };
    for (const auto& step : aSteps) {
        SCOPED_TRACE(step.pWhat);
        ASSERT_TRUE(step.change());
        SetChanges stLook{false, false};
        // Take reports nothing until a look is due; a look always lists the set.
        ASSERT_TRUE(zqtest::PollUntil([&] {
            stLook = watch.Take(false, MonotonicMs());
            return stLook.bSet;
        }));
        EXPECT_EQ(step.bConfig, stLook.bConfig);
        EXPECT_EQ(-1, watch.Fd());
    }
}

}  // namespace
