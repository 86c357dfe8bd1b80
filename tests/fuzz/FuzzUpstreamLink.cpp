// Fuzz target for the forwarding links: the input is what a collector sends.
//
// Input layout:
//   byte 0      bit 0: protocol (0 relp, 1 tcp); bits 1-3: relp window - 1
//   then        chunks, each a length byte and that many bytes (the last one
//               may be short): each chunk reaches the link's socket as one
//               write, and the link services the socket after each.
// The link talks over a local stream socket pair with a queue of
// kMessages messages. After every step the queue must be consistent, the
// counts within what was queued, and a broken link's reason a single line of
// printable text (tabs aside): the collector's bytes never reach a note unescaped.

#include "upstream/PendingQueue.h"
#include "upstream/RelpLink.h"
#include "upstream/TcpLink.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kMessages = 8;
constexpr uint32_t kQueueBytes = 64 * 1024;

void Check(bool bOk, const char* pWhat) {
    if (bOk) return;
    std::fprintf(stderr, "fuzz_upstream_link: %s\n", pWhat);
    std::abort();
}

// What the link wrote to the collector's end is read away, so its writes never
// block on a full socket.
void DrainPeer(int nPeer) {
    char aBuf[4096];
    while (recv(nPeer, aBuf, sizeof(aBuf), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nLen) {
    if (nLen == 0) return 0;
    const bool bTcp = (pData[0] & 1) != 0;
    const uint32_t nWindow = static_cast<uint32_t>((pData[0] >> 1) & 7) + 1;
    int aPair[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, aPair) == 0,
          "socketpair");
    CPendingQueue queue;
    Check(queue.Init(kQueueBytes, kMessages + 1), "queue");
    StreamPos stPos{};
    for (uint32_t i = 0; i < kMessages; ++i) {
        char* pOut = queue.Reserve(64);
        Check(pOut != nullptr, "reserve");
        const int n = std::snprintf(pOut, 64, "<14>1 - host app - - - message %u", i);
        stPos.nSeq = i + 1;
        queue.Commit(static_cast<uint32_t>(n), stPos);
    }
    std::unique_ptr<CUpstreamLink> pLink;
    if (bTcp) {
        pLink.reset(new CTcpLink());
    } else {
        pLink.reset(new CRelpLink(nWindow));
    }
    pLink->Begin(aPair[0], &queue);
    LinkCounts stCounts{};
    size_t nAt = 1;
    int32_t nRet = pLink->Service(0, 0, &stCounts);
    while (nRet == kLinkOk && nAt < nLen) {
        size_t nChunk = pData[nAt++];
        if (nChunk > nLen - nAt) nChunk = nLen - nAt;
        if (nChunk > 0) {
            const ssize_t nSent = send(aPair[1], pData + nAt, nChunk, MSG_NOSIGNAL);
            Check(nSent == static_cast<ssize_t>(nChunk), "send to the link");
        }
        nAt += nChunk;
        DrainPeer(aPair[1]);
        nRet = pLink->Service(POLLIN, 0, &stCounts);
        Check(queue.Begin() <= queue.End() && queue.End() == kMessages, "queue numbers");
        // relp pops a message with its answer; tcp keeps acknowledged ones a
        // while for a resend.
        const uint64_t nAnswered = stCounts.nAcked + stCounts.nRejected;
        Check(bTcp ? nAnswered >= queue.Begin() && nAnswered <= kMessages
                   : nAnswered == queue.Begin(),
              "counts and queue disagree");
    }
    if (nRet != kLinkOk) {
        const char* pError = pLink->Error();
        Check(pError[0] != '\0', "a broken link without a reason");
        for (const char* p = pError; *p != '\0'; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            Check((c >= 0x20 && c != 0x7f) || c == '\t', "a control character in the reason");
        }
    }
    pLink.reset();
    (void)close(aPair[0]);
    (void)close(aPair[1]);
    return 0;
}
