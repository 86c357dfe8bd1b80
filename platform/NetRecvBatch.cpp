#include "platform/NetRecvBatch.h"

#include <cstring>
#include <new>

namespace {

// Copies the data of the SOL_SOCKET control message nType of a received
// message (at least nLen bytes of it) to pOut; false when it has none.
bool CopyControl(msghdr* pHdr, int nType, void* pOut, size_t nLen) {
    for (cmsghdr* pMsg = CMSG_FIRSTHDR(pHdr); pMsg != nullptr; pMsg = CMSG_NXTHDR(pHdr, pMsg)) {
        if (pMsg->cmsg_level == SOL_SOCKET && pMsg->cmsg_type == nType &&
            pMsg->cmsg_len >= CMSG_LEN(nLen)) {
            std::memcpy(pOut, CMSG_DATA(pMsg), nLen);
            return true;
        }
    }
    return false;
}

}  // namespace

CNetRecvBatch::CNetRecvBatch(uint32_t nCapacity, uint32_t nBufSize)
    : m_nCapacity(nCapacity),
      m_nBufSize(nBufSize),
      m_pData(new (std::nothrow) uint8_t[static_cast<size_t>(nCapacity) * nBufSize]),
      m_pMsgs(new (std::nothrow) mmsghdr[nCapacity]),
      m_pIov(new (std::nothrow) iovec[nCapacity]),
      m_pControl(new (std::nothrow) Control[nCapacity]),
      m_nCount(0) {
    if (!Valid()) return;
    // The senders' addresses are not asked for: no name buffers.
    std::memset(m_pMsgs.get(), 0, sizeof(mmsghdr) * nCapacity);
    for (uint32_t i = 0; i < nCapacity; ++i) {
        m_pIov[i].iov_base = m_pData.get() + static_cast<size_t>(i) * nBufSize;
        m_pIov[i].iov_len = nBufSize;
        m_pMsgs[i].msg_hdr.msg_iov = &m_pIov[i];
        m_pMsgs[i].msg_hdr.msg_iovlen = 1;
        m_pMsgs[i].msg_hdr.msg_control = m_pControl[i].aBuf;
    }
}

mmsghdr* CNetRecvBatch::Headers() {
    for (uint32_t i = 0; i < m_nCapacity; ++i) {
        m_pMsgs[i].msg_hdr.msg_controllen = sizeof(m_pControl[i].aBuf);
    }
    return m_pMsgs.get();
}

bool CNetRecvBatch::SocketDrops(uint32_t* pDrops) const {
    if (m_nCount == 0) return false;
    // The count comes with every datagram; the last one's is the newest.
    return CopyControl(&m_pMsgs[m_nCount - 1].msg_hdr, SO_RXQ_OVFL, pDrops, sizeof(uint32_t));
}

bool CNetRecvBatch::Sender(uint32_t i, ucred* pCred) const {
    return i < m_nCount && CopyControl(&m_pMsgs[i].msg_hdr, SCM_CREDENTIALS, pCred, sizeof(ucred));
}
