#include "asynclog/UdpForwarder.h"

#include "asynclog/RingBuffer.h"
#include "platform/WireContract.h"

#include <cstring>
#include <new>

namespace {

constexpr int32_t kForwarderOk = 0;
constexpr int32_t kForwarderErrNoMemory = -6;
constexpr uint32_t kForwardRecvBuf = 8192;

}  // namespace

CUdpForwarder::CUdpForwarder(CLossCounters& lost)
    : m_Lost(lost), m_bNetInit(false), m_pNetLayer(), m_stSendParam() {
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
    m_pNetLayer.reset(new (std::nothrow) NetHandle(kLoopbackIp, kForwardPort, kForwardRecvBuf));
    return m_pNetLayer != nullptr ? kForwarderOk : kForwarderErrNoMemory;
}

uint32_t CUdpForwarder::Consume(CLogQueue& queue, uint32_t nMax) {
    uint32_t nDone = 0;
    RingSlot* pSlot = nullptr;
    while (nDone < nMax && (pSlot = queue.GetReadSlot()) != nullptr) {
        int32_t nRet = NET_ERR_HANDLE;
        if (m_pNetLayer != nullptr) {
            m_stSendParam.pData = pSlot->pBuffer;
            m_stSendParam.nLen = static_cast<int32_t>(pSlot->nDataLen);
            nRet = m_pNetLayer->NetLayerSend(&m_stSendParam);
        }
        if (nRet != 0) m_Lost.Add(LossCause::kSendFailed);
        (void)queue.PopRead();
        ++nDone;
    }
    return nDone;
}
