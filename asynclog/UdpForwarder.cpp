#include "asynclog/UdpForwarder.h"

#include "asynclog/IntakeSocket.h"
#include "asynclog/RingBuffer.h"
#include "platform/MonotonicClock.h"
#include "platform/WireContract.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr int32_t kForwarderOk = 0;
constexpr int32_t kForwarderErrNoMemory = -6;
constexpr int64_t kNoDeadline = INT64_MAX;
// Longest wait for room in a full intake per call: the writer comes back to
// its loop (a stop, a reopen) at least this often while the daemon is behind.
constexpr int kIntakeWaitMs = 100;
constexpr int64_t kNsPerMs = 1000000;

// What a send to the intake answered, by errno: the daemon is gone (it sealed
// or closed its socket, or its path went), or it is behind.
bool IntakeGone(int nErr) {
    return nErr == ECONNREFUSED || nErr == EPIPE || nErr == ENOTCONN || nErr == ECONNRESET ||
           nErr == ENOENT;
}
bool IntakeFull(int nErr) { return nErr == EAGAIN || nErr == EWOULDBLOCK || nErr == EINTR; }

}  // namespace

CUdpForwarder::CUdpForwarder(CLossCounters& lost)
    : m_Lost(lost),
      m_bNetInit(false),
      m_pNetLayer(),
      m_Intake(),
      m_stSendParam(),
      m_bPeerGone(false) {
    std::memset(&m_stSendParam, 0, sizeof(m_stSendParam));
    m_stSendParam.nIp = kLoopbackIp;
    m_stSendParam.nPort = kLogServerPort;
    m_stSendParam.bSelect = 0;  // never wait for the socket: a record that cannot go is lost
}

CUdpForwarder::~CUdpForwarder() {
    m_pNetLayer.reset();
    if (m_bNetInit) (void)NetLayerDeInit();  // always 0
}

int32_t CUdpForwarder::Open() {
    if (!m_bNetInit) {
        const int32_t nRet = NetLayerInit();
        if (nRet != 0) return nRet;
        m_bNetInit = true;
    }
    m_pNetLayer.reset(new (std::nothrow) CUdpNetLayer(kLoopbackIp, kForwardPort, kLogRecvBufSize));
    if (m_pNetLayer == nullptr) return kForwarderErrNoMemory;
    // Without the connection sends still work, but a daemon that went away is
    // noticed only by the owner's periodic look.
    (void)m_pNetLayer->Connect(kLoopbackIp, kLogServerPort);
    LookForIntake();
    return kForwarderOk;
}

void CUdpForwarder::LookForIntake() { m_Intake = ConnectIntake(); }

int32_t CUdpForwarder::Send(CUdpForwarder& self, const RingSlot* pSlot) {
    if (self.m_pNetLayer == nullptr) return NET_ERR_HANDLE;
    self.m_stSendParam.pData = pSlot->pBuffer;
    self.m_stSendParam.nLen = static_cast<int32_t>(pSlot->nDataLen);
    return self.m_pNetLayer->Send(&self.m_stSendParam);
}

int32_t CUdpForwarder::TakeError(CUdpForwarder& self) {
    return self.m_pNetLayer != nullptr ? self.m_pNetLayer->TakeError() : 0;
}

// The socket is connected to the daemon's port: send() needs no address.
int32_t CUdpForwarder::SendForCrash(CUdpForwarder& self, const RingSlot* pSlot) {
    const int nFd = self.m_pNetLayer != nullptr ? self.m_pNetLayer->SocketForCrash() : -1;
    if (nFd < 0) return NET_ERR_HANDLE;
    if (send(nFd, pSlot->pBuffer, pSlot->nDataLen, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return 0;
    return errno == ECONNREFUSED ? NET_ERR_REFUSED : NET_ERR_SEND;
}

int32_t CUdpForwarder::TakeErrorForCrash(CUdpForwarder& self) {
    const int nFd = self.m_pNetLayer != nullptr ? self.m_pNetLayer->SocketForCrash() : -1;
    int nErr = 0;
    socklen_t nLen = sizeof(nErr);
    if (nFd < 0 || getsockopt(nFd, SOL_SOCKET, SO_ERROR, &nErr, &nLen) != 0) return 0;
    return nErr == ECONNREFUSED ? NET_ERR_REFUSED : 0;
}

uint32_t CUdpForwarder::Consume(CRingBuffer& queue, uint32_t nMax) {
    if (m_Intake.Valid()) return ConsumeIntake(queue, nMax, kNoDeadline);
    static constexpr SocketOps kOps = {&CUdpForwarder::Send, &CUdpForwarder::TakeError};
    return ConsumeWith(queue, nMax, kNoDeadline, kOps);
}

uint32_t CUdpForwarder::DrainForCrash(CRingBuffer& queue, int64_t llDeadlineNs) {
    if (m_Intake.Valid()) return ConsumeIntake(queue, UINT32_MAX, llDeadlineNs);
    static constexpr SocketOps kOps = {&CUdpForwarder::SendForCrash,
                                       &CUdpForwarder::TakeErrorForCrash};
    return ConsumeWith(queue, UINT32_MAX, llDeadlineNs, kOps);
}

// The oldest record of the ring may be "held": sent, but not yet followed by a
// clean operation on the socket. It is released when the next send succeeds,
// or when the look after the batch finds no refusal.
uint32_t CUdpForwarder::ConsumeWith(CRingBuffer& queue, uint32_t nMax, int64_t llDeadlineNs,
                                    const SocketOps& ops) {
    uint32_t nDone = 0;
    bool bHeld = false;
    while (nDone < nMax && !m_bPeerGone) {
        // The next record after the held one, once its producer is done with it.
        const RingSlot* pSlot = queue.PeekSlot(bHeld ? 1 : 0);
        if (pSlot == nullptr) break;
        if (llDeadlineNs != kNoDeadline && MonotonicNs() >= llDeadlineNs) break;
        const int32_t nRet = ops.pfnSend(*this, pSlot);
        if (nRet == NET_ERR_REFUSED) {
            // The held record (or, without one, this one) met no daemon: both
            // stay in the ring.
            m_bPeerGone = true;
            return nDone;
        }
        if (bHeld) {
            (void)queue.PopRead();  // no refusal came for it
            ++nDone;
        }
        if (nRet != 0) {
            // Not sent (a full socket buffer, no endpoint): lost, counted.
            m_Lost.Add(LossCause::kSendFailed);
            (void)queue.PopRead();
            ++nDone;
            bHeld = false;
        } else {
            bHeld = true;
        }
    }
    if (bHeld) {
        if (ops.pfnTakeError(*this) == NET_ERR_REFUSED) {
            m_bPeerGone = true;
        } else {
            (void)queue.PopRead();
            ++nDone;
        }
    }
    return nDone;
}

// A send to the intake is taken by the daemon's socket or not at all: no
// record is held. Plain system calls only (send, poll, clock_gettime), so
// the crash handler uses it as it is.
uint32_t CUdpForwarder::ConsumeIntake(CRingBuffer& queue, uint32_t nMax, int64_t llDeadlineNs) {
    const int nFd = m_Intake.Get();
    uint32_t nDone = 0;
    bool bWaited = false;  // a wait for room since the last record went
    const RingSlot* pSlot = nullptr;
    while (nDone < nMax && !m_bPeerGone && (pSlot = queue.PeekSlot(0)) != nullptr) {
        int64_t llLeftMs = kIntakeWaitMs;
        if (llDeadlineNs != kNoDeadline) {
            const int64_t llLeftNs = llDeadlineNs - MonotonicNs();
            if (llLeftNs <= 0) break;
            if (llLeftNs / kNsPerMs < llLeftMs) llLeftMs = llLeftNs / kNsPerMs + 1;
        }
        if (send(nFd, pSlot->pBuffer, pSlot->nDataLen, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            (void)queue.PopRead();
            ++nDone;
            bWaited = false;
            continue;
        }
        const int nErr = errno;
        if (IntakeGone(nErr)) {
            // It stays in the ring, for the owner to write elsewhere.
            m_bPeerGone = true;
            break;
        }
        if (IntakeFull(nErr)) {
            // The daemon is behind: the record stays. One wait for room;
            // still none, and the next call tries again.
            if (bWaited) break;
            pollfd stPoll{nFd, POLLOUT, 0};
            (void)poll(&stPoll, 1, static_cast<int>(llLeftMs));  // the send says what came
            bWaited = true;
            continue;
        }
        // A record the socket cannot take at all: lost, counted.
        m_Lost.Add(LossCause::kSendFailed);
        (void)queue.PopRead();
        ++nDone;
    }
    return nDone;
}
