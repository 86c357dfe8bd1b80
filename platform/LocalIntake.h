#pragma once

#include "platform/NetRecvBatch.h"
#include "platform/UniqueFd.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// The daemon's intake that knows its senders: a local datagram socket
// (AF_UNIX, SOCK_DGRAM) bound to a path in the daemon's run directory, mode
// 0666 so that every local user may send, with SO_PASSCRED on, so that the
// kernel hands the sender's user, group and process with every datagram
// (CNetRecvBatch::Sender). Datagrams carry what UDP ones carry: one record,
// no header. A sender whose datagram the socket has no room for waits or is
// told so (EAGAIN); none is ever dropped by the kernel.
//
// The kernel's queue of a local datagram socket holds net.unix.max_dgram_qlen
// datagrams, a count fixed when the socket is made: 10 unless the system
// raised it (systemd sets 512). At 100,000 records a second 10 would make the
// receiver wake for every few datagrams, so a root daemon raises the setting
// to kIntakeQueueLen for the moment it makes its socket and puts the old
// value back at once; where it may not (a read-only /proc/sys), the socket
// keeps the system's count.
constexpr uint32_t kIntakeQueueLen = 512;
//
// Threads: one owner (the daemon's receive loop) does everything.
class CLocalIntake {
public:
    ~CLocalIntake();  // closes the socket and removes its path (RemovePath)
    CLocalIntake(const CLocalIntake&) = delete;
    CLocalIntake& operator=(const CLocalIntake&) = delete;

    // Binds the socket to pPath, replacing a socket file of root's or of the
    // calling user that lies there (a stale one: the caller holds the
    // single-instance lock), with a kernel receive buffer of
    // kNetKernelRecvBuf. Null, with a short text in pWhy (nWhyLen bytes),
    // when it cannot be made: something else has the name, the path does not
    // fit a socket address, or a call failed.
    static std::unique_ptr<CLocalIntake> Open(const char* pPath, char* pWhy, size_t nWhyLen);

    int Fd() const { return m_Socket.Get(); }
    // How many datagrams the kernel queues on the socket before it makes
    // senders wait (net.unix.max_dgram_qlen when it was made); 0 unknown.
    uint32_t QueueLen() const { return m_nQueueLen; }
    // Takes up to pBatch->Capacity() queued datagrams without waiting, each
    // with its sender: the count taken, 0 when none is queued, -1 when the
    // read failed or the batch is not valid.
    int TakeBatch(CNetRecvBatch* pBatch);
    // From now on no sender gets a datagram in: the path goes (a client
    // looking for the intake finds none) and the socket stops receiving, so
    // that a connected client's next send fails (EPIPE) and the client keeps
    // that record. What is queued already stays, for TakeBatch.
    void Seal();

private:
    CLocalIntake(CUniqueFd socket, const char* pPath, ino_t nIno, uint32_t nQueueLen);
    // Removes the path when it is still this socket's file.
    void RemovePath();

    CUniqueFd m_Socket;
    char m_szPath[108];  // sizeof(sockaddr_un::sun_path); empty once removed
    ino_t m_nIno;        // the inode of the socket's file, to know it is still ours
    const uint32_t m_nQueueLen;
};
