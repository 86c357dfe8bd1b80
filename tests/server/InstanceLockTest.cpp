#include "server/InstanceLock.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace {

using zqtest::ReadFile;
using zqtest::TempDir;

CUniqueFd OpenDir(const std::string& strPath) {
    return CUniqueFd(open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Takes the lock in strDir and writes the pid file from a child process, so
// that an open that waits cannot hold the test; the child ends without
// removing what it wrote. 0 written, 1 refused, -1 the child did not end (it
// is killed). *pChild: the child's pid, the one the file must name.
int WritePidFileInChild(const std::string& strDir, pid_t* pChild) {
    *pChild = fork();
    if (*pChild == 0) {
        // Left to _exit: its destructor would remove the pid file.
        CInstanceLock* pLock = new CInstanceLock();
        if (pLock->AcquireIn(OpenDir(strDir), strDir.c_str()) != kLockOk) _exit(2);
        _exit(pLock->WritePidFile() == 0 ? 0 : 1);
    }
    int nStatus = 0;
    if (!zqtest::PollUntil([&] { return waitpid(*pChild, &nStatus, WNOHANG) == *pChild; })) {
        (void)kill(*pChild, SIGKILL);
        (void)waitpid(*pChild, nullptr, 0);
        return -1;
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// Whatever stands at the pid file's name, the daemon writes a fresh regular
// file of its own there, and never writes through what it found.
TEST(InstanceLock, PidFileIsAlwaysAFreshFileOfItsOwn) {
    TempDir dir;
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));
    const std::string strPub = dir.File("pub");  // where another user may plant
    ASSERT_EQ(0, mkdir(strPub.c_str(), 0755));
    ASSERT_EQ(0, chmod(strPub.c_str(), 01777));
    const std::string strVictim = dir.File("victim");
    ASSERT_TRUE(zqtest::WriteFile(strVictim, "root's file\n"));
    const std::string strPid = strPub + "/" + kPidFileName;
    const uid_t nUid = geteuid() == 0 ? zqtest::kNobody : geteuid();
    auto AsUser = [&](const std::function<bool()>& fn) {
        return zqtest::RunAsUser(nUid, [&] { return fn() ? 0 : 1; }) == 0;
    };
    const struct {
        const char* szName;
        std::function<bool()> fnPlant;
        int32_t nWant;
    } kCases[] = {
        {"a FIFO", [&] { return AsUser([&] { return mkfifo(strPid.c_str(), 0666) == 0; }); }, 0},
        {"the user's file",
         [&] { return AsUser([&] { return zqtest::WriteFile(strPid, "1\n"); }); }, 0},
        {"a link to root's file",
         [&] { return AsUser([&] { return symlink(strVictim.c_str(), strPid.c_str()) == 0; }); },
         0},
        // Users may not make it where protected_hardlinks holds; root may.
        {"a second name of root's file",
         [&] { return link(strVictim.c_str(), strPid.c_str()) == 0; }, 0},
        {"a directory", [&] { return AsUser([&] { return mkdir(strPid.c_str(), 0777) == 0; }); },
         1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szName);
        zqtest::RemoveTree(strPid);
        ASSERT_TRUE(c.fnPlant());
        pid_t nChild = -1;
        EXPECT_EQ(c.nWant, WritePidFileInChild(strPub, &nChild));
        EXPECT_EQ("root's file\n", ReadFile(strVictim));
        if (c.nWant != 0) continue;
        struct stat st {};
        if (lstat(strPid.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            ADD_FAILURE() << "no regular file at " << strPid;
            continue;  // reading anything else could wait
        }
        EXPECT_EQ(1u, st.st_nlink);
        EXPECT_EQ(geteuid(), st.st_uid);
        EXPECT_EQ(0644u, st.st_mode & 07777);
        EXPECT_EQ(std::to_string(nChild) + "\n", ReadFile(strPid));
    }
    // An orderly end removes the pid file it wrote.
    zqtest::RemoveTree(strPid);
    {
        CInstanceLock lock;
        ASSERT_EQ(kLockOk, lock.AcquireIn(OpenDir(strPub), strPub.c_str())) << lock.Why();
        ASSERT_EQ(0, lock.WritePidFile());
        EXPECT_EQ(strPid, lock.PidFile());
        EXPECT_EQ(std::to_string(getpid()) + "\n", ReadFile(strPid));
    }
    EXPECT_FALSE(zqtest::FileExists(strPid));
}

TEST(InstanceLock, LockOutlivesTheForkAndGoesWithItsLastHolder) {
    TempDir dir;
    pid_t nChild = -1;
    {
        CInstanceLock first;
        ASSERT_EQ(kLockOk, first.AcquireIn(OpenDir(dir.Path()), dir.Path().c_str()));
        // As daemon() does: the child carries the lock on, the parent goes.
        nChild = fork();
        if (nChild == 0) {
            for (;;) pause();
        }
        ASSERT_GT(nChild, 0);
    }
    {
        CInstanceLock second;
        EXPECT_EQ(kLockHeld, second.AcquireIn(OpenDir(dir.Path()), dir.Path().c_str()));
        EXPECT_EQ(dir.File(kLockFileName), second.Where());
    }
    ASSERT_EQ(0, kill(nChild, SIGKILL));
    ASSERT_EQ(nChild, waitpid(nChild, nullptr, 0));
    CInstanceLock third;
    EXPECT_EQ(kLockOk, third.AcquireIn(OpenDir(dir.Path()), dir.Path().c_str())) << third.Why();

    // A FIFO where the lock file belongs: refused at once, not waited on.
    TempDir other;
    ASSERT_EQ(0, mkfifo(other.File(kLockFileName).c_str(), 0600));
    CInstanceLock fourth;
    EXPECT_EQ(kLockFailed, fourth.AcquireIn(OpenDir(other.Path()), other.Path().c_str()));
}

}  // namespace
