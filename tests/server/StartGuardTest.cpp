#include "server/StartGuard.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using zqtest::TempDir;

// Opens strPath with OpenStartFile in a child process, so that an open that
// waits cannot hold the test, and returns the first line read, "(refused)", or
// "(did not return)" when the child had to be killed after the deadline.
std::string OpenInChild(const std::string& strPath) {
    return zqtest::InChild([&] {
        FILE* pFile = OpenStartFile(strPath.c_str());
        char szLine[64] = "(refused)";
        if (pFile != nullptr && std::fgets(szLine, sizeof(szLine), pFile) == nullptr) szLine[0] = 0;
        return std::string(szLine);
    });
}

// What another user may leave as Path.ini where root starts the daemon.
TEST(StartGuard, PathIniIsReadOnlyWhenItMayBeTrusted) {
    TempDir dir;
    const bool bRoot = geteuid() == 0;
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 01777));  // a directory like /tmp
    ASSERT_TRUE(zqtest::WriteFile(dir.File("own.ini"), "/base/own\n"));
    ASSERT_EQ(0, chmod(dir.File("own.ini").c_str(), 0644));
    ASSERT_TRUE(zqtest::WriteFile(dir.File("group.ini"), "/base/group\n"));
    ASSERT_EQ(0, chmod(dir.File("group.ini").c_str(), 0664));
    const std::string strDir = dir.Path();
    const uid_t nUid = bRoot ? zqtest::kNobody : geteuid();
    ASSERT_EQ(0, zqtest::RunAsUser(nUid, [&] {
                  const bool bOk =
                      mkfifo((strDir + "/fifo.ini").c_str(), 0666) == 0 &&
                      zqtest::WriteFile(strDir + "/users.ini", "/base/users\n") &&
                      symlink((strDir + "/own.ini").c_str(), (strDir + "/link.ini").c_str()) == 0;
                  return bOk ? 0 : 1;
              }));
    const struct {
        const char* szFile;
        const char* szWant;
        bool bRootOnly;
    } kCases[] = {
        {"own.ini", "/base/own\n", false},
        {"link.ini", "/base/own\n", false},
        {"missing.ini", "(refused)", false},
        {"fifo.ini", "(refused)", false},  // no writer: a plain open waits
        {"users.ini", "(refused)", true},
        {"group.ini", "(refused)", true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szFile);
        if (c.bRootOnly && !bRoot) continue;
        EXPECT_EQ(c.szWant, OpenInChild(dir.File(c.szFile)));
    }
}

}  // namespace
