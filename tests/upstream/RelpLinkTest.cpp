// The RELP link against what a collector may answer, over a local socket
// pair: well-formed answers, frames whose lengths do not fit 32 bits, answers
// to transactions never sent, and text that must not reach a note as it is.

#include "platform/MonotonicClock.h"
#include "upstream/PendingQueue.h"
#include "upstream/RelpLink.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

constexpr uint32_t kMessages = 4;

std::string Frame(uint32_t nTxnr, const std::string& command, const std::string& data) {
    std::string frame = std::to_string(nTxnr) + " " + command + " " + std::to_string(data.size());
    if (!data.empty()) frame += " " + data;
    return frame + "\n";
}

const std::string kOpenOk =
    Frame(1, "rsp", "200 OK\nrelp_version=0\nrelp_software=test\ncommands=syslog\n");

struct RelpCase {
    const char* pName;
    bool bOpen;  // the session's open is answered first
    std::string answer;
    bool bBroken;
    uint64_t nAcked;
    uint64_t nRejected;
    const char* pError;  // in Error() when broken
};

class LinkPair {
public:
    LinkPair() : m_Link(8) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_aFd), 0);
        EXPECT_TRUE(m_Queue.Init(64 * 1024, kMessages + 1));
        StreamPos stPos{};
        for (uint32_t i = 0; i < kMessages; ++i) {
            char* pOut = m_Queue.Reserve(64);
            const int n = std::snprintf(pOut, 64, "message %u", i);
            stPos.nSeq = i + 1;
            m_Queue.Commit(static_cast<uint32_t>(n), stPos);
        }
        m_Link.Begin(m_aFd[0], &m_Queue);
    }
    ~LinkPair() {
        (void)close(m_aFd[0]);
        (void)close(m_aFd[1]);
    }
    // The collector's bytes, then one service of the link at llNowMs.
    int32_t Answer(const std::string& bytes, int64_t llNowMs) {
        if (!bytes.empty()) {
            EXPECT_EQ(send(m_aFd[1], bytes.data(), bytes.size(), 0),
                      static_cast<ssize_t>(bytes.size()));
        }
        char aDiscard[4096];
        while (recv(m_aFd[1], aDiscard, sizeof(aDiscard), MSG_DONTWAIT) > 0) {
        }
        return m_Link.Service(bytes.empty() ? 0 : POLLIN, llNowMs, &m_stCounts);
    }

    CRelpLink m_Link;
    CPendingQueue m_Queue;
    LinkCounts m_stCounts{};
    int m_aFd[2] = {-1, -1};
};

TEST(RelpLinkTest, AnswersOfTheCollector) {
    const RelpCase kCases[] = {
        {"acknowledged in order", true, Frame(2, "rsp", "200 OK") + Frame(3, "rsp", "200 OK"),
         false, 2, 0, ""},
        {"out of order, one refused", true, Frame(3, "rsp", "200 OK") + Frame(2, "rsp", "500 no"),
         false, 1, 1, ""},
        {"frame split after its length", true, "2 rsp 6 20", false, 0, 0, ""},
        // 2^31 is negative as a 32-bit long; 4294967278 wraps with a header added.
        {"data length 2^31", true, "2 rsp 2147483648 200 OK\n", true, 0, 0, "malformed"},
        {"data length near 2^32", true, "2 rsp 4294967278 200", true, 0, 0, "malformed"},
        {"data length beyond the buffer", true, "2 rsp 999999999 200", true, 0, 0, "too long"},
        {"answer to a transaction never sent", true, Frame(77, "rsp", "200 OK"), true, 0, 0,
         "transaction 77"},
        {"second answer to one transaction", true,
         Frame(2, "rsp", "200 OK") + Frame(2, "rsp", "200 OK"), true, 1, 0, "transaction 2"},
        {"a command of 40 letters", true, "2 " + std::string(40, 'r') + " 0\n", true, 0, 0,
         "malformed"},
        {"refusal with line ends and escapes", false,
         Frame(1, "rsp", "500 \x1b[2Jgone\r\n2 rsp 6 200 OK"), true, 0, 0,
         "500 #033[2Jgone#015#0122 rsp"},
    };
    for (const RelpCase& c : kCases) {
        SCOPED_TRACE(c.pName);
        LinkPair pair;
        const int64_t llNow = MonotonicMs();
        ASSERT_EQ(pair.Answer("", llNow), kLinkOk);  // the open goes out
        if (c.bOpen) {
            ASSERT_EQ(pair.Answer(kOpenOk, llNow), kLinkOk);  // then the messages
        }
        const int32_t nRet = pair.Answer(c.answer, llNow);
        EXPECT_EQ(nRet != kLinkOk, c.bBroken) << pair.m_Link.Error();
        EXPECT_EQ(pair.m_stCounts.nAcked, c.nAcked);
        EXPECT_EQ(pair.m_stCounts.nRejected, c.nRejected);
        if (c.bBroken) {
            EXPECT_NE(std::string(pair.m_Link.Error()).find(c.pError), std::string::npos)
                << pair.m_Link.Error();
        }
    }
}

// Frames that make no progress do not keep a session open: with messages
// waiting, the answer time-out counts from the last answer that took one.
TEST(RelpLinkTest, NoProgressEndsTheSessionAtTheTimeout) {
    LinkPair pair;
    const int64_t llNow = MonotonicMs();
    ASSERT_EQ(pair.Answer("", llNow), kLinkOk);
    ASSERT_EQ(pair.Answer(kOpenOk, llNow), kLinkOk);
    ASSERT_EQ(pair.Answer(Frame(2, "rsp", "200 OK"), llNow), kLinkOk);
    ASSERT_EQ(pair.m_stCounts.nAcked, 1u);
    const int64_t llLater = MonotonicMs() + CRelpLink::kAckTimeoutMs + 1;
    EXPECT_EQ(pair.Answer("", llLater), kLinkBroken);
    EXPECT_NE(std::string(pair.m_Link.Error()).find("no answer"), std::string::npos);
}

}  // namespace
