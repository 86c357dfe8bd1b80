#include "platform/ZQThread.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

struct SchedSeen {
    int nPolicy = -1;
    int nPriority = -1;
};

void* RecordScheduling(void* pArg) {
    auto* pSeen = static_cast<SchedSeen*>(pArg);
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &pSeen->nPolicy, &param) == 0) {
        pSeen->nPriority = param.sched_priority;
    }
    return nullptr;
}

// Whether this system lets the process start a SCHED_FIFO thread at all
// (containers often refuse real-time scheduling even to root).
bool FifoThreadsAllowed() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    bool bOk = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED) == 0 &&
               pthread_attr_setschedpolicy(&attr, SCHED_FIFO) == 0 &&
               pthread_attr_setschedparam(&attr, &param) == 0;
    pthread_t thread;
    SchedSeen seen;
    bOk = bOk && pthread_create(&thread, &attr, RecordScheduling, &seen) == 0;
    if (bOk) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return bOk;
}

TEST(ZQThread, NullHandles) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(JoinThread(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(FreeThreadHandle(nullptr), 1);
}

TEST(ZQThread, RootGetsFifoPriorityOfItsClass) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    const bool bFifo = FifoThreadsAllowed();
    const int nFifoMin = sched_get_priority_min(SCHED_FIFO);
    const int nFifoMax = sched_get_priority_max(SCHED_FIFO);

    struct Case {
        const char* pszName;
        bool bHasClass;
        uint32_t nClass;
        int nExpected;
    };
    const Case cases[] = {
        {"no class", false, 0, 50},
        {"class 0", true, 0, std::max(1, nFifoMin)},
        {"class 1", true, 1, 25},
        {"class 3", true, 3, 75},
        {"class 5", true, 5, std::min(99, nFifoMax)},
        {"class 7", true, 7, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        SchedSeen seen;
        ThreadHandle h = CreateThreadEx(c.bHasClass ? &c.nClass : nullptr, RecordScheduling, &seen);
        ASSERT_NE(h, nullptr);
        if (!bFifo) {
            // Real-time scheduling refused: the thread runs all the same.
            EXPECT_EQ(JoinThread(h), 0);
            EXPECT_EQ(FreeThreadHandle(h), 0);
            EXPECT_EQ(seen.nPolicy, SCHED_OTHER);
            continue;
        }
        EXPECT_EQ(JoinThread(h), 0);
        EXPECT_EQ(FreeThreadHandle(h), 0);
        EXPECT_EQ(seen.nPolicy, SCHED_FIFO);
        EXPECT_EQ(seen.nPriority, c.nExpected);
    }
}

// An ordinary user gets a normal thread whatever class it asks for. The check
// runs in a child that drops to "nobody" and reports through its exit status.
TEST(ZQThread, OrdinaryUserGetsDefaultScheduling) {
    constexpr uid_t kNobody = 65534;
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(10);
        if (geteuid() == 0) _exit(11);
        const uint32_t nClass = 4;
        SchedSeen seen;
        ThreadHandle h = CreateThreadEx(&nClass, RecordScheduling, &seen);
        if (h == nullptr) _exit(12);
        JoinThread(h);
        FreeThreadHandle(h);
        if (seen.nPolicy != SCHED_OTHER) _exit(13);
        if (seen.nPriority != 0) _exit(14);
        _exit(0);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "10/11 could not drop root, 12 no thread, "
                                          "13 wrong policy, 14 wrong priority";
}

// Takes CAP_SYS_NICE out of the calling process's effective and permitted
// sets, as a service's capability bounding set or a container does.
bool DropSysNice() {
    __user_cap_header_struct stHeader{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct stData[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &stHeader, stData) != 0) return false;
    const unsigned nBit = 1u << (CAP_SYS_NICE % 32);
    stData[CAP_SYS_NICE / 32].effective &= ~nBit;
    stData[CAP_SYS_NICE / 32].permitted &= ~nBit;
    return syscall(SYS_capset, &stHeader, stData) == 0;
}

// Root refused real-time scheduling gets ordinary threads, and the refusal is
// reported once. The check runs in a child without CAP_SYS_NICE (and without
// a real-time rlimit, which would allow FIFO threads after all); its standard
// error goes to a pipe, and its exit status names what failed.
TEST(ZQThread, RootRefusedRealTimeGetsDefaultSchedulingAndOneDiagnostic) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    int nPipe[2];
    ASSERT_EQ(pipe(nPipe), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        (void)close(nPipe[0]);
        const rlimit stNoRt{0, 0};
        if (dup2(nPipe[1], STDERR_FILENO) < 0 || setrlimit(RLIMIT_RTPRIO, &stNoRt) != 0 ||
            !DropSysNice()) {
            _exit(10);
        }
        if (FifoThreadsAllowed()) _exit(11);
        const uint32_t nClass = 3;  // priority 75
        for (const uint32_t* pClass : {&nClass, static_cast<const uint32_t*>(nullptr)}) {
            SchedSeen seen;
            ThreadHandle h = CreateThreadEx(pClass, RecordScheduling, &seen);
            if (h == nullptr) _exit(12);
            JoinThread(h);
            FreeThreadHandle(h);
            if (seen.nPolicy != SCHED_OTHER) _exit(13);
        }
        _exit(0);
    }
    (void)close(nPipe[1]);
    std::string strErr;
    char szBuf[256];
    for (ssize_t n; (n = read(nPipe[0], szBuf, sizeof(szBuf))) > 0;) {
        strErr.append(szBuf, static_cast<size_t>(n));
    }
    (void)close(nPipe[0]);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << "10 could not drop CAP_SYS_NICE, 11 FIFO still "
                                          "allowed, 12 no thread, 13 wrong policy";
    // Two refused creations, one line.
    EXPECT_EQ(
        "real-time scheduling refused (SCHED_FIFO priority 75: Operation not permitted); "
        "threads run with default scheduling\n",
        strErr);
}

}  // namespace
