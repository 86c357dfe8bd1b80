#include "platform/NetRecvBatch.h"

#include <cstring>
#include <new>

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
    msghdr* pHdr = &m_pMsgs[m_nCount - 1].msg_hdr;
    for (cmsghdr* pMsg = CMSG_FIRSTHDR(pHdr); pMsg != nullptr; pMsg = CMSG_NXTHDR(pHdr, pMsg)) {
        if (pMsg->cmsg_level == SOL_SOCKET && pMsg->cmsg_type == SO_RXQ_OVFL &&
            pMsg->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            std::memcpy(pDrops, CMSG_DATA(pMsg), sizeof(uint32_t));
            return true;
        }
    }
    return false;
}

bool CNetRecvBatch::Sender(uint32_t i, ucred* pCred) const {
    if (i >= m_nCount) return false;
    msghdr* pHdr = &m_pMsgs[i].msg_hdr;
    for (cmsghdr* pMsg = CMSG_FIRSTHDR(pHdr); pMsg != nullptr; pMsg = CMSG_NXTHDR(pHdr, pMsg)) {
        if (pMsg->cmsg_level == SOL_SOCKET && pMsg->cmsg_type == SCM_CREDENTIALS &&
            pMsg->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            std::memcpy(pCred, CMSG_DATA(pMsg), sizeof(ucred));
            return true;
        }
    }
    return false;
}
