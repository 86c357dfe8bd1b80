#include "server/RecvWake.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>

namespace {

bool Readable(int nFd) {
    pollfd stPoll{nFd, POLLIN, 0};
    return poll(&stPoll, 1, 0) == 1 && (stPoll.revents & POLLIN) != 0;
}

// The pipe is made once; a wake-up (from any thread or a handler) makes it
// readable however often it comes, keeps errno, and a drain makes it wait
// again.
TEST(RecvWake, WakeMakesTheLoopsDescriptorReadableUntilDrained) {
    const int nFd = OpenRecvWake();
    ASSERT_GE(nFd, 0);
    EXPECT_EQ(nFd, OpenRecvWake());
    DrainRecvWake();
    EXPECT_FALSE(Readable(nFd));
    errno = EDOM;
    for (int i = 0; i < 100000; ++i) WakeRecvLoop();  // more than a pipe holds
    EXPECT_EQ(EDOM, errno);
    EXPECT_TRUE(Readable(nFd));
    DrainRecvWake();
    EXPECT_FALSE(Readable(nFd));
}

}  // namespace
