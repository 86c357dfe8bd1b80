#include "server/MessageRecv.h"

#include "logmodule/LogModule.h"
#include "platform/UdpNetLayer.h"
#include "platform/WireContract.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

std::atomic<bool> g_bStopRecv{false};

namespace {

// A full ring means the writer is behind: the loop waits for room instead of
// dropping the datagram, and later datagrams wait in the socket's buffer
// meanwhile. A writer that makes no room for kFullRingMaxWaits naps is stuck
// (no file can be written): the datagram is dropped, and later ones are not
// waited for until the ring takes one again.
constexpr long kFullRingNapNs = 100000;
constexpr uint32_t kFullRingMaxWaits = 20000;  // 2 s
bool g_bWriterStuck = false;                   // the receive loop's thread only

// Upper bound of the final drain: what is queued when a stop is requested is at
// most one socket buffer of datagrams; the bound keeps a client that never stops
// sending from holding the daemon up.
constexpr uint32_t kMaxFinalDrain = 65536;

enum class DrainEnd { kOnStopRequest, kNever };

bool StopWanted() { return g_bStopRecv.load(std::memory_order_relaxed); }

// Sleeps nMs in steps of kRecvStopPollMs, returning early once a stop is
// requested. The stop signal may be handled on another thread, so the sleep is
// not necessarily interrupted by it: the flag is polled.
void PauseUnlessStopped(uint32_t nMs) {
    for (uint32_t nSlept = 0; nSlept < nMs && !StopWanted(); nSlept += kRecvStopPollMs) {
        timespec stStep{0, static_cast<long>(kRecvStopPollMs) * 1000000L};
        // An interruption only shortens this step; the flag is checked again.
        (void)nanosleep(&stStep, nullptr);
    }
}

int32_t Receive(NetHandle* pNet, NetRecvParam* pParam, uint32_t nTimeOutUs) {
    // A handle that could not be allocated behaves like a handle without an
    // endpoint.
    if (pNet == nullptr) return NET_ERR_HANDLE;
    pParam->nTimeOut = nTimeOutUs;
    return pNet->NetLayerRecv(pParam);
}

// Hands the datagram just received to the log module as one text. The endpoint
// clears its buffer before every wait, so a datagram shorter than the buffer is
// followed by a NUL there. A datagram of kRecvBufSize bytes or more (the socket
// cut it to the buffer) has none: it is cut at its last byte but one, so the
// text never reaches past the buffer; it is still longer than any ring slot and
// the engine refuses it. A NUL inside a datagram ends its text.
void HandOn(NetRecvParam* pParam) {
    if (pParam->pBuf == nullptr || pParam->nLen < 0) return;
    const uint32_t nLen = static_cast<uint32_t>(pParam->nLen);
    const uint32_t nEnd = nLen < kRecvBufSize ? nLen : kRecvBufSize - 1;
    pParam->pBuf[nEnd] = 0;
    const char* pText = reinterpret_cast<const char*>(pParam->pBuf);
    int32_t nRet = WriteRawLog(pText, static_cast<int32_t>(nEnd));
    for (uint32_t nWaits = 0; nRet == ZQ_ERR_QUEUE_FULL && !g_bWriterStuck; ++nWaits) {
        if (nWaits == kFullRingMaxWaits) {
            g_bWriterStuck = true;
            break;
        }
        timespec stNap{0, kFullRingNapNs};
        (void)nanosleep(&stNap, nullptr);  // an interrupted nap only ends early
        nRet = WriteRawLog(pText, static_cast<int32_t>(nEnd));
    }
    if (nRet == ZQ_OK) g_bWriterStuck = false;
}

// Takes, without waiting, the datagrams already queued on the socket, one at a
// time, each handed on whole. Ends when none is left, at a failure, after
// kMaxFinalDrain datagrams, or (kOnStopRequest) as soon as a stop is requested.
// Returns the result that ended it; 0 when it ended for a stop request or the
// bound.
int32_t TakeQueued(NetHandle* pNet, NetRecvParam* pParam, DrainEnd eEnd) {
    for (uint32_t nTaken = 0; nTaken < kMaxFinalDrain; ++nTaken) {
        if (eEnd == DrainEnd::kOnStopRequest && StopWanted()) return 0;
        const int32_t nRet = Receive(pNet, pParam, 0);
        if (nRet != 0) return nRet;
        HandOn(pParam);
    }
    return 0;
}

// True when the endpoint has a socket that could not be bound: another socket
// holds the port. Says so on standard error, once.
bool BindFailed(NetHandle* pNet) {
    if (pNet == nullptr) return false;
    int nErrno = 0;
    if (pNet->NetLayerGetBindResult(&nErrno) != NET_ERR_BIND) return false;
    std::fprintf(stderr, "%s: cannot bind %u.%u.%u.%u:%u: %s; stopping\n", kLogServerName,
                 (kLoopbackIp >> 24) & 0xffu, (kLoopbackIp >> 16) & 0xffu,
                 (kLoopbackIp >> 8) & 0xffu, kLoopbackIp & 0xffu, unsigned{kLogServerPort},
                 std::strerror(nErrno));
    return true;
}

void ReceiveUntilStopped(NetHandle* pNet, NetRecvParam* pParam) {
    while (!StopWanted()) {
        int32_t nRet = Receive(pNet, pParam, kRecvWaitUs);
        if (nRet == 0) {
            HandOn(pParam);
            // A burst arrives faster than one pass per datagram: take what is
            // queued before waiting again.
            nRet = TakeQueued(pNet, pParam, DrainEnd::kOnStopRequest);
        }
        PauseUnlessStopped(RecvPauseMs(nRet));
    }
    // Stopping: what clients sent before the request lies queued on the
    // socket; it goes to the log module before the endpoint is closed.
    (void)TakeQueued(pNet, pParam, DrainEnd::kNever);
}

}  // namespace

uint32_t RecvPauseMs(int32_t nRecvResult) {
    // Time-outs are the idle state: they never end or slow the loop. Everything
    // else is either lasting (NET_ERR_HANDLE: no endpoint; NET_ERR_STATE: no
    // socket; NET_ERR_PARAM: no buffer) or a failed wait or read that would
    // repeat at once; a pause costs nothing, the datagrams wait in the socket.
    if (nRecvResult == 0 || nRecvResult == NET_ERR_TIMEOUT) return 0;
    return kRecvBackoffMs;
}

int MessageRecv(void* pUser) {
    (void)ConsolePrint("Enter MessageRecv\n");
    if (pUser == nullptr) {
        (void)ConsolePrint("[MessageRecv] pUser is NULL\n");
        return 0;
    }
    int32_t nRet = NetLayerInit();
    if (nRet != 0) {
        (void)ConsolePrint("NetLayerInit fail nRet = [%x]\n", static_cast<uint32_t>(nRet));
    }

    NetRecvParam stParam;
    std::memset(&stParam, 0, sizeof(stParam));
    stParam.nTimeOut = kRecvWaitUs;
    stParam.bSelect = 1;

    int nResult = 0;
    if (!StopWanted()) {
        std::unique_ptr<NetHandle> pNet(new (std::nothrow) NetHandle(
            kLoopbackIp, kLogServerPort, kRecvBufSize, NetUse::kExclusive));
        if (BindFailed(pNet.get())) {
            nResult = kRecvErrBind;
        } else {
            ReceiveUntilStopped(pNet.get(), &stParam);
        }
    }

    nRet = NetLayerDeInit();
    if (nRet != 0) {
        (void)ConsolePrint("NetLayerDeInit fail nRet = [%x]\n", static_cast<uint32_t>(nRet));
    }
    return nResult;
}
