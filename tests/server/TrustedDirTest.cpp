#include "server/TrustedDir.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

using zqtest::kNobody;
using zqtest::TempDir;

using zqtest::ModeOf;

void MakeDir(const std::string& strPath, mode_t nMode) {
    ASSERT_EQ(0, mkdir(strPath.c_str(), 0700)) << strPath;
    ASSERT_EQ(0, chmod(strPath.c_str(), nMode)) << strPath;
}

TEST(TrustedDir, MissingLevelsAreMadeWithTheirModeWhateverTheUmask) {
    TempDir dir;
    char szWhy[256];
    const mode_t nOld = umask(0);
    EXPECT_EQ(kDirTrusted, PrepareTrustedDir((dir.Path() + "/a/b/c").c_str(), 0750,
                                             kDirCheck | kDirCreateParents, szWhy, sizeof(szWhy)))
        << szWhy;
    (void)umask(077);
    int nFd = -1;
    EXPECT_EQ(kDirTrusted,
              PrepareTrustedDir((dir.Path() + "/x//y/").c_str(), 0755,
                                kDirCheck | kDirCreateParents, szWhy, sizeof(szWhy), &nFd))
        << szWhy;
    (void)umask(nOld);
    for (const char* pLevel : {"/a", "/a/b", "/a/b/c"})
        EXPECT_EQ("0750", ModeOf(dir.Path() + pLevel));
    EXPECT_EQ("0755", ModeOf(dir.Path() + "/x/y"));
    // The descriptor handed back is the directory's.
    struct stat stFd {};
    struct stat stPath {};
    ASSERT_GE(nFd, 0);
    EXPECT_EQ(0, fstat(nFd, &stFd));
    EXPECT_EQ(0, stat((dir.Path() + "/x/y").c_str(), &stPath));
    EXPECT_EQ(stPath.st_ino, stFd.st_ino);
    EXPECT_EQ(0, close(nFd));

    // Only the directory itself without kDirCreateParents.
    EXPECT_EQ(kDirMissing, PrepareTrustedDir((dir.Path() + "/p/q").c_str(), 0750, kDirCheck, szWhy,
                                             sizeof(szWhy)));
    EXPECT_EQ("missing", ModeOf(dir.Path() + "/p"));
    EXPECT_EQ(kDirTrusted, PrepareTrustedDir((dir.Path() + "/p").c_str(), 0750, kDirCheck, szWhy,
                                             sizeof(szWhy)));
    // A file in the way.
    ASSERT_TRUE(zqtest::WriteFile(dir.File("file"), "x"));
    EXPECT_EQ(kDirMissing, PrepareTrustedDir((dir.Path() + "/file/d").c_str(), 0750,
                                             kDirCheck | kDirCreateParents, szWhy, sizeof(szWhy)));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_NE(std::string::npos, std::string(szWhy).find("/file is not a directory")) << szWhy;
}

TEST(TrustedDir, LevelsOtherUsersCouldChangeAreRefused) {
    TempDir dir;
    const bool bRoot = geteuid() == 0;
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));
    const std::string strPub = dir.File("pub");  // like /tmp
    MakeDir(strPub, 01777);
    MakeDir(dir.File("ok"), 0755);
    MakeDir(dir.File("open"), 0777);
    MakeDir(dir.File("open") + "/in", 0755);
    MakeDir(dir.File("group"), 0770);
    MakeDir(dir.File("sticky"), 01777);
    MakeDir(strPub + "/mine", 0755);
    ASSERT_EQ(0, symlink(dir.File("ok").c_str(), dir.File("link-ok").c_str()));
    ASSERT_EQ(0, symlink(dir.File("open").c_str(), dir.File("link-open").c_str()));
    if (bRoot) {
        MakeDir(dir.File("users"), 0755);
        ASSERT_EQ(0, chown(dir.File("users").c_str(), kNobody, kNobody));
        MakeDir(dir.File("users") + "/in", 0755);
        ASSERT_EQ(0, zqtest::RunAsUser(kNobody, [&] {
                      return symlink(dir.File("ok").c_str(), (strPub + "/userlink").c_str());
                  }));
    }
    const struct {
        const char* szName;
        std::string strPath;
        bool bNeedsRoot;
        int32_t nWant;
        const char* szWhy;  // part of the reason
    } kCases[] = {
        {"its own directory", dir.File("ok"), false, kDirTrusted, ""},
        {"in a sticky directory like /tmp", strPub + "/mine", false, kDirTrusted, ""},
        {"group-writable", dir.File("group"), false, kDirUntrusted,
         "/group is writable by its group"},
        {"world-writable", dir.File("open"), false, kDirUntrusted,
         "/open is writable by group and others"},
        {"sticky itself", dir.File("sticky"), false, kDirUntrusted,
         "/sticky is writable by group and others"},
        {"below a world-writable level", dir.File("open") + "/in", false, kDirUntrusted,
         "/open is writable by group and others"},
        {"a link to a trusted directory", dir.File("link-ok"), false, kDirTrusted, ""},
        {"a link to a world-writable directory", dir.File("link-open"), false, kDirUntrusted,
         "/open is writable by group and others"},
        {"another user's directory", dir.File("users"), true, kDirUntrusted,
         "/users belongs to user 65534"},
        {"below another user's directory", dir.File("users") + "/in", true, kDirUntrusted,
         "/users belongs to user 65534"},
        {"another user's link", strPub + "/userlink", true, kDirUntrusted,
         "/userlink is a symbolic link of user 65534"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szName);
        if (c.bNeedsRoot && !bRoot) continue;
        char szWhy[256] = "unchanged";
        EXPECT_EQ(c.nWant,
                  PrepareTrustedDir(c.strPath.c_str(), 0750, kDirCheck, szWhy, sizeof(szWhy)))
            << szWhy;
        EXPECT_NE(std::string::npos, std::string(szWhy).find(c.szWhy)) << szWhy;
        // Without the check only existence counts.
        EXPECT_EQ(kDirTrusted, PrepareTrustedDir(c.strPath.c_str(), 0750, 0, szWhy, sizeof(szWhy)));
    }
    if (!bRoot) std::printf("not root: the cases with another user's levels were skipped\n");
}

}  // namespace
