#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <memory>

// Room for the datagrams that one batch receive (CUdpNetLayer::RecvBatch)
// takes with a single system call: nCapacity buffers of nBufSize bytes each,
// with the message headers the kernel fills. Made once by its owner (the
// daemon's receive loop) and reused by every receive; it allocates nothing
// afterwards. Each datagram keeps the length the socket gave: its buffer is
// never cleared, and its bytes are the first Length(i) of Data(i). A datagram
// longer than its buffer is cut to the buffer and marked Truncated.
//
// Threads: one owner; a receive fills it, the owner reads it before the next.
class CNetRecvBatch {
public:
    CNetRecvBatch(uint32_t nCapacity, uint32_t nBufSize);
    ~CNetRecvBatch() = default;
    CNetRecvBatch(const CNetRecvBatch&) = delete;
    CNetRecvBatch& operator=(const CNetRecvBatch&) = delete;

    // False for a capacity or buffer size of 0, and when its memory could not
    // be had; a receive into it then fails with NET_ERR_PARAM.
    bool Valid() const {
        return m_nCapacity > 0 && m_nBufSize > 0 && m_pData != nullptr && m_pMsgs != nullptr &&
               m_pIov != nullptr && m_pControl != nullptr;
    }
    uint32_t Capacity() const { return m_nCapacity; }
    uint32_t BufSize() const { return m_nBufSize; }
    // Datagrams the last receive took, in arrival order; 0 after a failed one.
    uint32_t Count() const { return m_nCount; }
    const uint8_t* Data(uint32_t i) const {
        return m_pData.get() + static_cast<size_t>(i) * m_nBufSize;
    }
    // Bytes of datagram i: at most BufSize.
    uint32_t Length(uint32_t i) const { return m_pMsgs[i].msg_len; }
    // Datagram i was longer than its buffer; the rest of it is gone.
    bool Truncated(uint32_t i) const { return (m_pMsgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
    // On a socket with SO_RXQ_OVFL: the kernel's count of datagrams it dropped
    // for want of room in the socket's buffer since the socket was opened (it
    // wraps at 2^32), as it stood when the last datagram of the batch was
    // queued. False when the last receive brought no such count.
    bool SocketDrops(uint32_t* pDrops) const;
    // On a local socket with SO_PASSCRED: the sender of datagram i as the
    // kernel saw it (user, group and process; the process as this process's
    // namespace numbers it, 0 where it has none there). False when the
    // datagram came without them (a UDP socket).
    bool Sender(uint32_t i, ucred* pCred) const;

private:
    friend class CUdpNetLayer;
    friend class CLocalIntake;
    // Headers ready for recvmmsg (the kernel overwrites lengths, flags and
    // the control lengths, which this puts back).
    mmsghdr* Headers();
    void SetCount(uint32_t nCount) { m_nCount = nCount; }

    const uint32_t m_nCapacity;
    const uint32_t m_nBufSize;
    std::unique_ptr<uint8_t[]> m_pData;  // m_nCapacity buffers of m_nBufSize bytes
    std::unique_ptr<mmsghdr[]> m_pMsgs;  // one per buffer, pointing at its iovec
    std::unique_ptr<iovec[]> m_pIov;     // one per buffer
    // Room per buffer for what either kind of socket hands with a datagram:
    // one SO_RXQ_OVFL count (UDP) or the sender's SCM_CREDENTIALS (local).
    union Control {
        cmsghdr stAlign;
        char aBuf[CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(ucred))];
    };
    std::unique_ptr<Control[]> m_pControl;
    uint32_t m_nCount;
};
