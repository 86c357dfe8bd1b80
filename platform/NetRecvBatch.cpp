#include "platform/NetRecvBatch.h"

#include <cstring>
#include <new>

CNetRecvBatch::CNetRecvBatch(uint32_t nCapacity, uint32_t nBufSize)
    : m_nCapacity(nCapacity),
      m_nBufSize(nBufSize),
      m_pData(new (std::nothrow) uint8_t[static_cast<size_t>(nCapacity) * nBufSize]),
      m_pMsgs(new (std::nothrow) mmsghdr[nCapacity]),
      m_pIov(new (std::nothrow) iovec[nCapacity]),
      m_nCount(0) {
    if (!Valid()) return;
    // The senders' addresses are not asked for: no name buffers.
    std::memset(m_pMsgs.get(), 0, sizeof(mmsghdr) * nCapacity);
    for (uint32_t i = 0; i < nCapacity; ++i) {
        m_pIov[i].iov_base = m_pData.get() + static_cast<size_t>(i) * nBufSize;
        m_pIov[i].iov_len = nBufSize;
        m_pMsgs[i].msg_hdr.msg_iov = &m_pIov[i];
        m_pMsgs[i].msg_hdr.msg_iovlen = 1;
    }
}
