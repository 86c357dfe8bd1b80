#include "server/RecvLoop.h"

#include "logmodule/LogModule.h"
#include "logmodule/LogModuleExt.h"
#include "platform/DaemonPaths.h"
#include "platform/MonotonicClock.h"
#include "platform/TextEscape.h"
#include "platform/WireContract.h"
#include "server/RecvWake.h"
#include "server/RetryWhileFull.h"
#include "server/SenderLimit.h"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

// A full ring means the writer is behind: the loop waits for room instead of
// dropping the datagram, and later datagrams wait in the socket's buffer
// meanwhile. A writer that makes no room for kFullRingMaxWaits naps is stuck
// (no file can be written): the datagram is dropped, and later ones are not
// waited for until the ring takes one again. Once a stop is requested the
// writer gets kFullRingStopWaits naps, so that the stop is not held up by a
// writer that cannot write.
constexpr long kFullRingNapNs = 100000;
constexpr uint32_t kFullRingMaxWaits = 20000;  // 2 s
constexpr uint32_t kFullRingStopWaits =
    static_cast<uint32_t>(kFullRingStopWaitMs * 1000000L / kFullRingNapNs);

// Upper bound of the final drain: what is queued when a stop is requested is at
// most one socket buffer of datagrams; the bound keeps a client that never stops
// sending from holding the daemon up.
constexpr uint32_t kMaxFinalDrain = 65536;

constexpr int64_t kTickIntervalMs = 1000;

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

// Each datagram of a batch gets one byte more than the largest record: a
// datagram whose text (up to its first NUL) is longer than a record is told by
// its length alone, and is refused as too long, as it would be whole.
constexpr uint32_t kRecvTextRoom = kMaxRecordLen + 1;

// After a batch that did not fill up (the socket is drained) the loop naps
// this long before it looks again, so that datagrams gather and the next batch
// takes many at once: under load the loop wakes about once a millisecond
// instead of once per few datagrams (a wake-up costs far more than taking a
// datagram), at the price of as much delay before a datagram reaches the
// ring. The socket's buffer holds many milliseconds of the heaviest load.
constexpr long kRecvGatherNs = 1000000;
// A local intake whose kernel queue holds fewer datagrams than this cannot
// gather through the nap without making its senders wait (LocalIntake.h).
constexpr uint32_t kIntakeGatherQueueLen = 256;

// Longest text OneLine makes; one byte more marks a line that does not fit.
constexpr uint32_t kLineRoom = kMaxRecordLen;
constexpr uint32_t kNoRoom = kLineRoom + 1;

// One datagram is one line of the log files, whatever a sender put in it: a
// datagram that ends in a line end (CR LF as records do, or LF) is written as
// it is; line ends inside one are escaped (TextEscape.h), so that no sender
// can make its datagram look like several records, and one without a line
// end gets CR LF, so that it cannot glue itself to the next sender's record.
// The line is the datagram itself when nothing changes (the common case: no
// copy), else it is made in aLine. Its length, or kNoRoom when the escaped
// line would not fit a record.
uint32_t OneLine(const char* pText, uint32_t nLen, char (&aLine)[kLineRoom], const char** ppLine) {
    uint32_t nBody = nLen;
    if (nBody >= 2 && pText[nBody - 2] == '\r' && pText[nBody - 1] == '\n') {
        nBody -= 2;
    } else if (nBody >= 1 && pText[nBody - 1] == '\n') {
        nBody -= 1;
    }
    *ppLine = pText;
    if (nBody != nLen && !NeedsEscape(pText, nBody, EEscape::kLineEnds)) return nLen;
    const uint32_t nEndLen = nBody != nLen ? nLen - nBody : 2;
    uint32_t nTaken = 0;
    uint32_t nOut =
        EscapeText(pText, nBody, EEscape::kLineEnds, aLine, kLineRoom - nEndLen, &nTaken);
    if (nTaken < nBody) return kNoRoom;
    std::memcpy(aLine + nOut, nBody != nLen ? pText + nBody : "\r\n", nEndLen);
    nOut += nEndLen;
    *ppLine = aLine;
    return nOut;
}

// Asks the log module to reopen its file when a request came since the last
// look. Without a module (start-up failed) there is nothing to reopen.
void ReopenIfAsked() {
    if (g_bReopenLog.exchange(false, std::memory_order_relaxed)) (void)ReopenAsyncLog();
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

std::unique_ptr<CUdpNetLayer> OpenReceiveEndpoint(int32_t* pResult) {
    // Exclusive: while it is open no other socket, of any user, can bind the
    // port and take a share of the datagrams.
    std::unique_ptr<CUdpNetLayer> pNet(new (std::nothrow) CUdpNetLayer(
        kLoopbackIp, kLogServerPort, kLogRecvBufSize, NetUse::kExclusive));
    *pResult = pNet != nullptr ? pNet->GetBindResult(nullptr) : NET_ERR_HANDLE;
    return pNet;
}

std::unique_ptr<CUdpNetLayer> AdoptReceiveEndpoint(CUniqueFd socket, int32_t* pResult) {
    // Without an endpoint the socket is closed with its owner here: nothing
    // was received through it yet.
    std::unique_ptr<CUdpNetLayer> pNet(new (std::nothrow)
                                           CUdpNetLayer(std::move(socket), kLogRecvBufSize));
    *pResult = pNet != nullptr ? pNet->GetBindResult(nullptr) : NET_ERR_HANDLE;
    return pNet;
}

CRecvLoop::CRecvLoop(CRecvHooks* pHooks, CSenderLimit* pLimit)
    : m_pHooks(pHooks),
      m_pLimit(pLimit),
      m_pBatch(new (std::nothrow) CNetRecvBatch(kRecvBatchCount, kRecvTextRoom)),
      m_pEndpoint(),
      m_pIntake(),
      m_llBatchMs(0),
      m_nWakeFd(-1),
      m_llLastTickMs(0),
      m_bWriterStuck(false),
      m_nSocketDropsSeen(0),
      m_stCounters() {}

CRecvLoop::~CRecvLoop() = default;

int CRecvLoop::Run() { return RunSteps(true); }

int CRecvLoop::RunOn(std::unique_ptr<CUdpNetLayer> pEndpoint,
                     std::unique_ptr<CLocalIntake> pIntake) {
    m_pEndpoint = std::move(pEndpoint);
    m_pIntake = std::move(pIntake);
    return RunSteps(false);
}

int32_t CRecvLoop::Receive(CNetRecvBatch* pBatch, uint32_t nTimeOutUs, int nWakeFd, bool* pWoken) {
    *pWoken = false;
    // An endpoint that could not be allocated behaves like one without a
    // socket.
    if (m_pEndpoint == nullptr) return NET_ERR_HANDLE;
    return m_pEndpoint->RecvBatch(pBatch, nTimeOutUs, nWakeFd, pWoken);
}

// Takes a batch from each socket asked for, without waiting, and hands each
// on. 0 when any datagram came; NET_ERR_TIMEOUT when none was queued; the UDP
// endpoint's failure when it failed and the intake brought nothing.
// *pGather is cleared when a batch came full: more are queued.
int32_t CRecvLoop::TakeFromEach(CNetRecvBatch* pBatch, bool bUdp, bool bLocal, bool* pGather) {
    int32_t nRet = NET_ERR_TIMEOUT;
    if (bUdp) {
        bool bWoken = false;
        nRet = Receive(pBatch, 0, -1, &bWoken);
        if (nRet == 0) {
            HandOnBatch(*pBatch, false);
            if (pBatch->Count() == pBatch->Capacity()) *pGather = false;
        }
    }
    if (bLocal) {
        const int nGot = m_pIntake->TakeBatch(pBatch);
        if (nGot > 0) {
            HandOnBatch(*pBatch, true);
            // The kernel makes senders wait once the socket's queue holds
            // QueueLen datagrams: a short queue (the system's 10) would hold
            // them up for the whole nap, so the loop takes the next batch
            // at once; a long one gathers as UDP does.
            if (nGot == static_cast<int>(pBatch->Capacity()) ||
                m_pIntake->QueueLen() < kIntakeGatherQueueLen) {
                *pGather = false;
            }
            nRet = 0;
        }
    }
    return nRet;
}

// A pass over both sockets: what is queued on either is taken at once;
// otherwise one wait (up to kRecvWaitUs) on both and the wake-up descriptor,
// then what came. The UDP endpoint's descriptor is read without its lock:
// the loop's thread owns the endpoint and nobody resets it meanwhile.
int32_t CRecvLoop::ReceiveBoth(CNetRecvBatch* pBatch, bool* pWoken, bool* pGather) {
    *pWoken = false;
    *pGather = true;
    const int nUdpFd = m_pEndpoint != nullptr ? m_pEndpoint->SocketForCrash() : -1;
    const int32_t nRet = TakeFromEach(pBatch, m_pEndpoint != nullptr, true, pGather);
    if (nRet == 0) return 0;
    pollfd aPoll[3] = {};
    aPoll[0].fd = nUdpFd;  // a negative descriptor is skipped
    aPoll[0].events = POLLIN;
    aPoll[1].fd = m_pIntake->Fd();
    aPoll[1].events = POLLIN;
    aPoll[2].fd = m_nWakeFd;
    aPoll[2].events = POLLIN;
    const timespec stWait{kRecvWaitUs / 1000000, static_cast<long>(kRecvWaitUs % 1000000) * 1000};
    const int nReady = ppoll(aPoll, 3, &stWait, nullptr);
    if (nReady < 0) return errno == EINTR ? NET_ERR_TIMEOUT : NET_ERR_SELECT;
    if ((aPoll[2].revents & POLLIN) != 0) *pWoken = true;
    if (nReady == 0) return NET_ERR_TIMEOUT;
    // Readable, or an error that the read reports.
    return TakeFromEach(pBatch, aPoll[0].revents != 0, aPoll[1].revents != 0, pGather);
}

// Whether the sender of a datagram (pFrom: the local intake's user; null:
// UDP, sender unknown) has fair share left; a datagram without is counted.
bool CRecvLoop::Admitted(const ucred* pFrom) {
    if (m_pLimit == nullptr) return true;
    if (pFrom != nullptr ? m_pLimit->AdmitUid(static_cast<uint32_t>(pFrom->uid), m_llBatchMs)
                         : m_pLimit->AdmitUdp(m_llBatchMs)) {
        return true;
    }
    (pFrom != nullptr ? m_stCounters.nLimitedUid : m_stCounters.nLimitedUdp)
        .fetch_add(1, std::memory_order_relaxed);
    return false;
}

// Hands one datagram to the log module as one line (OneLine), its text
// ending at its first NUL, as the log module takes texts. A datagram without
// text is counted as empty and not written. A text longer than a slot is
// refused and counted by the engine. While the ring is full the loop waits
// for room; such a refusal is tried again and is no loss. A datagram it gives
// up (the writer stuck, or a stop that cannot wait) is counted once.
void CRecvLoop::HandOn(const uint8_t* pData, uint32_t nLen, const ucred* pFrom) {
    m_stCounters.nReceived.fetch_add(1, std::memory_order_relaxed);
    const char* pText = reinterpret_cast<const char*>(pData);
    const void* pNul = std::memchr(pText, 0, nLen);
    if (pNul != nullptr) nLen = static_cast<uint32_t>(static_cast<const char*>(pNul) - pText);
    if (nLen == 0) {
        m_stCounters.nEmpty.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!Admitted(pFrom)) return;
    char aLine[kLineRoom];
    const char* pLine = nullptr;
    nLen = OneLine(pText, nLen, aLine, &pLine);
    if (nLen == kNoRoom) {
        CountLostLog(LossCause::kTooLong);
        return;
    }
    // The stop rule: a writer stuck before is not waited for; one that makes
    // no room for the longest wait (shorter once a stop is requested) is stuck.
    uint32_t nStopWaits = 0;  // naps since the stop request was seen
    auto GiveUp = [&](uint32_t nWaits) {
        if (m_bWriterStuck) return true;
        if (StopWanted()) ++nStopWaits;
        m_bWriterStuck = nWaits == kFullRingMaxWaits || nStopWaits > kFullRingStopWaits;
        return m_bWriterStuck;
    };
    const RecordOrigin stFrom =
        pFrom != nullptr ? RecordOrigin{OriginKind::kLocal, static_cast<uint32_t>(pFrom->uid),
                                        static_cast<uint32_t>(pFrom->pid)}
                         : kUdpOrigin;
    const int32_t nRet =
        RetryWhileFull([&] { return TryWriteRawLog(pLine, nLen, stFrom); }, kFullRingNapNs, GiveUp);
    if (nRet == ZQ_ERR_QUEUE_FULL) CountLostLog(LossCause::kRingFull);
    if (nRet == ZQ_OK) m_bWriterStuck = false;
}

// What the kernel dropped on the socket since the last batch (its buffer was
// full: the daemon stopped or starved), counted as lost. The kernel's count
// wraps at 2^32; the difference of two readings is right across a wrap.
void CRecvLoop::CountSocketDrops(const CNetRecvBatch& batch) {
    uint32_t nDrops = 0;
    if (!batch.SocketDrops(&nDrops) || nDrops == m_nSocketDropsSeen) return;
    CountLostLog(LossCause::kSocketFull, nDrops - m_nSocketDropsSeen);
    m_nSocketDropsSeen = nDrops;
}

// Every datagram of a batch is handed on, in order, also when a stop is
// requested meanwhile: they are off the socket, and only the log module can
// still keep them. A local one comes with its sender; one without (which the
// kernel does not send) counts as of an unknown sender, as UDP does.
void CRecvLoop::HandOnBatch(const CNetRecvBatch& batch, bool bLocal) {
    m_llBatchMs = MonotonicMs();
    if (!bLocal) CountSocketDrops(batch);
    for (uint32_t i = 0; i < batch.Count(); ++i) {
        ucred stFrom{};
        const bool bKnown = bLocal && batch.Sender(i, &stFrom);
        HandOn(batch.Data(i), batch.Length(i), bKnown ? &stFrom : nullptr);
    }
}

// Takes, without waiting, the datagrams queued on the sockets, a batch at a
// time, each handed on whole: UDP's, then the intake's. Each ends when none
// is left, at a failure, or after about kMaxFinalDrain datagrams. Returns the
// result that ended UDP's; 0 when it ended for the bound.
int32_t CRecvLoop::TakeQueued(CNetRecvBatch* pBatch) {
    int32_t nRet = 0;
    for (uint32_t nTaken = 0; nTaken < kMaxFinalDrain; nTaken += pBatch->Count()) {
        bool bWoken = false;
        nRet = Receive(pBatch, 0, -1, &bWoken);
        if (nRet != 0) break;
        HandOnBatch(*pBatch, false);
    }
    for (uint32_t nTaken = 0; m_pIntake != nullptr && nTaken < kMaxFinalDrain;
         nTaken += pBatch->Count()) {
        if (m_pIntake->TakeBatch(pBatch) <= 0) break;
        HandOnBatch(*pBatch, true);
    }
    return nRet;
}

// Once a stop is requested no client's datagram is taken any more: connected
// to its own address, the endpoint accepts datagrams from itself alone, so a
// client's next datagram is refused (the client then keeps its records in its
// own files) instead of arriving after the last drain, unread in a socket
// about to close. The intake is sealed the same way (LocalIntake.h). What is
// queued already stays queued and is drained.
void CRecvLoop::SealEndpoint() {
    if (m_pIntake != nullptr) m_pIntake->Seal();
    if (m_pEndpoint == nullptr) return;
    uint32_t nIp = 0;
    uint16_t nPort = 0;
    if (m_pEndpoint->GetLocalIp(&nIp) != 0 || m_pEndpoint->GetLocalPort(&nPort) != 0) return;
    (void)m_pEndpoint->Connect(nIp, nPort);  // without it the race stays, nothing worse
}

// The tick hook and the limit's windows about once a second, and at once
// after a statistics request.
void CRecvLoop::TickIfDue() {
    if (m_pHooks == nullptr && m_pLimit == nullptr) return;
    const bool bRequested = g_bStatsRequest.exchange(false, std::memory_order_relaxed);
    const int64_t llNow = MonotonicMs();
    if (!bRequested && llNow - m_llLastTickMs < kTickIntervalMs) return;
    m_llLastTickMs = llNow;
    // The hook may change the limit's settings; the windows that are over end
    // after it.
    if (m_pHooks != nullptr) m_pHooks->OnRecvTick(bRequested);
    if (m_pLimit != nullptr) m_pLimit->Tick(llNow);
}

// True when the endpoint has a socket that could not be bound: another socket
// holds the port. Says so on standard error, once.
bool CRecvLoop::BindFailed() {
    if (m_pEndpoint == nullptr) return false;
    int nErrno = 0;
    if (m_pEndpoint->GetBindResult(&nErrno) != NET_ERR_BIND) return false;
    std::fprintf(stderr, "%s: cannot bind %u.%u.%u.%u:%u: %s; stopping\n", kLogServerName,
                 (kLoopbackIp >> 24) & 0xffu, (kLoopbackIp >> 16) & 0xffu,
                 (kLoopbackIp >> 8) & 0xffu, kLoopbackIp & 0xffu, unsigned{kLogServerPort},
                 std::strerror(nErrno));
    return true;
}

// Run's steps; bOpenHere: the endpoint is made here, otherwise m_pEndpoint is
// the caller's (null: none).
int CRecvLoop::RunSteps(bool bOpenHere) {
    (void)ConsolePrint("Enter MessageRecv\n");
    int32_t nRet = NetLayerInit();
    if (nRet != 0) {
        (void)ConsolePrint("NetLayerInit fail nRet = [%x]\n", static_cast<uint32_t>(nRet));
    }

    // Made before the first look at the flags: a request from then on ends
    // the wait. Without it (no descriptors left) requests are seen at the end
    // of each wait.
    m_nWakeFd = OpenRecvWake();

    // A stop requested before the call: an endpoint of its own is not made at
    // all; one opened before has been receiving since, and what it holds is
    // written all the same.
    int nResult = 0;
    if (bOpenHere && !StopWanted()) {
        int32_t nOpened = 0;
        m_pEndpoint = OpenReceiveEndpoint(&nOpened);
        if (BindFailed()) {
            nResult = kRecvErrBind;
            m_pEndpoint.reset();
        }
    }
    if (m_pEndpoint != nullptr || (!bOpenHere && nResult == 0)) {
        // Without memory for the batch every receive fails with NET_ERR_PARAM,
        // and the loop pauses as for an endpoint that is missing.
        CNetRecvBatch stNone(0, 0);
        CNetRecvBatch* pRecv = m_pBatch != nullptr ? m_pBatch.get() : &stNone;
        m_llLastTickMs = MonotonicMs();
        while (!StopWanted()) {
            bool bWoken = false;
            bool bGather = false;
            if (m_pIntake != nullptr) {
                nRet = ReceiveBoth(pRecv, &bWoken, &bGather);
            } else {
                nRet = Receive(pRecv, kRecvWaitUs, m_nWakeFd, &bWoken);
                if (nRet == 0) HandOnBatch(*pRecv, false);
                bGather = nRet == 0 && pRecv->Count() < pRecv->Capacity();
            }
            if (bWoken) DrainRecvWake();  // the flags are looked at below
            if (nRet == 0 && bGather && !StopWanted()) {
                timespec stNap{0, kRecvGatherNs};
                (void)nanosleep(&stNap, nullptr);  // a signal only ends it early
            }
            ReopenIfAsked();
            TickIfDue();
            PauseUnlessStopped(RecvPauseMs(nRet));
        }
        // Stopping: what clients sent before the request lies queued on the
        // socket; it goes to the log module before the endpoint is closed.
        if (m_pHooks != nullptr) m_pHooks->OnRecvStop();
        SealEndpoint();
        (void)TakeQueued(pRecv);
        if (m_pLimit != nullptr) m_pLimit->EndAll(MonotonicMs());
    }
    m_pEndpoint.reset();
    m_pIntake.reset();

    nRet = NetLayerDeInit();
    if (nRet != 0) {
        (void)ConsolePrint("NetLayerDeInit fail nRet = [%x]\n", static_cast<uint32_t>(nRet));
    }
    return nResult;
}
