#include "asynclog/LogFileSet.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

using zqtest::TempDir;

namespace {

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(LogFileSetTest, InitChecksPrefixAndDirectory) {
    TempDir dir;
    CLossCounters lost;
    CLogFileSet files(lost);
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
    CLogFileSet files(lost);
    ASSERT_EQ(kFileSetOk, files.Init(dir.Path().c_str(), "SDK"));
    CZQLockGuard guard(files.Lock());
    EXPECT_EQ(kFileSetErrInvalid, files.OpenLogFile("f.log", 2));
    EXPECT_EQ(kFileSetErrNameTooLong, files.OpenLogFile(Repeat('n', 128).c_str(), 1));
}

}  // namespace
