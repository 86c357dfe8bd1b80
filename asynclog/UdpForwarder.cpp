#include "asynclog/UdpForwarder.h"

#include "asynclog/RingBuffer.h"
#include "platform/WireContract.h"

#include <cstring>
#include <new>

namespace {

constexpr int32_t kForwarderOk = 0;
constexpr int32_t kForwarderErrNoMemory = -6;

}  // namespace

CUdpForwarder::CUdpForwarder(CLossCounters& lost)
    : m_Lost(lost), m_bNetInit(false), m_pNetLayer(), m_stSendParam(), m_bPeerGone(false) {
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
    return kForwarderOk;
}

int32_t CUdpForwarder::Send(const RingSlot* pSlot) {
    if (m_pNetLayer == nullptr) return NET_ERR_HANDLE;
    m_stSendParam.pData = pSlot->pBuffer;
    m_stSendParam.nLen = static_cast<int32_t>(pSlot->nDataLen);
    return m_pNetLayer->Send(&m_stSendParam);
}

// The oldest record of the ring may be "held": sent, but not yet followed by a
// clean operation on the socket. It is released when the next send succeeds,
// or when the look after the batch finds no refusal.
uint32_t CUdpForwarder::Consume(CRingBuffer& queue, uint32_t nMax) {
    uint32_t nDone = 0;
    bool bHeld = false;
    while (nDone < nMax && !m_bPeerGone) {
        const uint32_t nNext = bHeld ? 1 : 0;
        if (static_cast<uint32_t>(queue.GetPendingCount()) <= nNext) break;
        const int32_t nRet = Send(queue.PeekSlot(nNext));
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
        if (m_pNetLayer != nullptr && m_pNetLayer->TakeError() == NET_ERR_REFUSED) {
            m_bPeerGone = true;
        } else {
            (void)queue.PopRead();
            ++nDone;
        }
    }
    return nDone;
}
