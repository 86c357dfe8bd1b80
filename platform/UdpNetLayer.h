#pragma once

#include "platform/WireContract.h"
#include "platform/NetRecvBatch.h"
#include "platform/UniqueFd.h"
#include "platform/ZQMutex.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>

// IPv4 UDP endpoints for the local log traffic: the daemon receives on
// 127.0.0.1:12345, forwarding clients send from 127.0.0.1:54321. Addresses and
// ports cross this interface in host order.
//
// Result codes: 0 on success; failures have the top bit set, so every one is
// negative as int32_t and callers test for a result below 0.
constexpr int32_t NET_ERR_HANDLE = static_cast<int32_t>(0x80000000u);   // no endpoint
constexpr int32_t NET_ERR_STATE = static_cast<int32_t>(0x80000003u);    // no socket, port 0
constexpr int32_t NET_ERR_PARAM = static_cast<int32_t>(0x80000004u);    // null arg, foreign ip
constexpr int32_t NET_ERR_SOCKET = static_cast<int32_t>(0x80000500u);   // socket() failed
constexpr int32_t NET_ERR_BIND = static_cast<int32_t>(0x80000501u);     // bind() failed
constexpr int32_t NET_ERR_SEND = static_cast<int32_t>(0x80000504u);     // sendto() failed
constexpr int32_t NET_ERR_RECV = static_cast<int32_t>(0x80000505u);     // recvfrom() failed
constexpr int32_t NET_ERR_SELECT = static_cast<int32_t>(0x80000506u);   // the wait failed
constexpr int32_t NET_ERR_TIMEOUT = static_cast<int32_t>(0x80000507u);  // nothing in time
constexpr int32_t NET_ERR_REFUSED = static_cast<int32_t>(0x80000508u);  // connected peer not there

constexpr uint32_t kNetMaxRecvBuf = 0x100000;  // receive buffers are capped at 1 MiB
// The receive buffer of the log traffic's endpoints: the daemon's and the
// forwarding clients' sending one.
constexpr uint32_t kLogRecvBufSize = 8192;
// The kernel's receive buffer of a receiving socket of the daemon (10 MiB), so
// bursts survive while the reader is busy.
constexpr int kNetKernelRecvBuf = 0xA00000;

// How an endpoint holds its port.
enum class NetUse : uint8_t {
    // Address reuse on, so several endpoints may bind the same address and port;
    // a large kernel receive buffer, so bursts survive while the reader is busy.
    kShared,
    // Address reuse on; nothing ever reads it, so the kernel keeps the smallest
    // receive buffer it allows: whatever another process sends to the port
    // holds at most that much kernel memory (one datagram).
    kSendOnly,
    // No address reuse: while the endpoint is open no other socket can bind the
    // port, with or without the option, on this address or the wildcard. A port
    // that is taken already makes the bind fail (GetBindResult says so). A large
    // kernel receive buffer.
    kExclusive,
};

// The use an endpoint gets when its creator names none: the clients' shared
// sending port (WireContract.h) is only ever sent from, every other port is shared.
constexpr NetUse DefaultNetUse(uint16_t nPort) {
    return nPort == kForwardPort ? NetUse::kSendOnly : NetUse::kShared;
}
constexpr int kMaxLocalIf = 32;

struct LocalIfEntry {
    uint32_t nIp;             // host order
    uint8_t byReserved[144];  // never filled or read
};

struct LocalIfTable {
    int32_t nIfCount;  // 0..32; an entry whose address query failed still counts
    LocalIfEntry stIfEntry[kMaxLocalIf];
};

// Receive record. pBuf is set to the endpoint's buffer on every call; nLen,
// nIp and nPort only on success.
struct NetRecvParam {
    uint8_t* pBuf;      // out
    int32_t nLen;       // out: bytes received
    uint32_t nIp;       // out: sender, host order
    uint16_t nPort;     // out: sender, host order
    uint32_t nTimeOut;  // in: longest wait in microseconds, when bSelect is set
    uint8_t bSelect;    // in: wait for a datagram (clearing the buffer first)
    uint32_t nReserved[4];
};

// Send record. nLen is the byte count in and, on success, the count sent.
struct NetSendParam {
    const uint8_t* pData;
    int32_t nLen;
    uint32_t nIp;       // destination, host order
    uint16_t nPort;     // destination, host order
    uint32_t nTimeOut;  // longest wait for writability in microseconds, when bSelect
    uint8_t bSelect;
    uint32_t nReserved[4];
};

// One UDP endpoint: socket, receive buffer, the host's interface table (to
// check the local address) and a recursive lock held around every socket
// operation, so an endpoint may be shared by several threads. Construction
// never fails visibly: a refused address or a failed socket/bind leaves an
// endpoint without a (bound) socket, and later operations report it;
// GetBindResult tells a creator that needs the port why it has none. Its
// users hold it in a std::unique_ptr made with new (std::nothrow): where that
// allocation failed they have no endpoint, and report NET_ERR_HANDLE for what
// they would have done with it.
class CUdpNetLayer {
public:
    CUdpNetLayer(uint32_t nLocalIp, uint16_t nLocalPort, uint32_t nRecvBufSize)
        : CUdpNetLayer(nLocalIp, nLocalPort, nRecvBufSize, DefaultNetUse(nLocalPort)) {}
    CUdpNetLayer(uint32_t nLocalIp, uint16_t nLocalPort, uint32_t nRecvBufSize, NetUse eUse);
    // Takes over socket, a UDP socket that its creator bound and made to hold
    // its port as kExclusive does (a socket a service manager passed): the
    // endpoint reads its address and port back, gives it the large kernel
    // receive buffer, disconnects it when it was connected (Connect) and
    // closes it at the end. GetBindResult is 0, or NET_ERR_STATE when the
    // socket's address cannot be read (the endpoint then has no socket). When
    // the endpoint cannot be allocated, the caller's owner keeps the socket.
    CUdpNetLayer(CUniqueFd socket, uint32_t nRecvBufSize);
    ~CUdpNetLayer();
    CUdpNetLayer(const CUdpNetLayer&) = delete;
    CUdpNetLayer& operator=(const CUdpNetLayer&) = delete;

    int32_t Recv(NetRecvParam* pParam);
    int32_t Send(NetSendParam* pParam);
    // 0 when the address is already set; NET_ERR_PARAM for an address that is
    // not 0, not 127.0.0.1 and not one of this host's; else ResetSocket's result.
    int32_t SetLocalIp(uint32_t nIp);
    int32_t GetLocalIp(uint32_t* pIp);
    // NET_ERR_STATE while the port is 0 (never bound).
    int32_t GetLocalPort(uint16_t* pPort);
    // Closes and reopens the socket bound to nIp and the current port.
    int32_t ResetSocket(uint32_t nIp);
    // Connects the socket to one peer: the kernel then tells when nobody
    // receives there (on loopback at once), and sends to that peer fail with
    // NET_ERR_REFUSED from the next one on. 0; NET_ERR_STATE without a socket;
    // NET_ERR_SEND when connect fails.
    int32_t Connect(uint32_t nIp, uint16_t nPort);
    // Takes the error the kernel holds for the socket: NET_ERR_REFUSED when the
    // connected peer was not there, NET_ERR_SEND for another, 0 for none.
    int32_t TakeError();
    // The socket's descriptor, -1 without one, read without m_Lock: for a crash
    // signal handler, which may take no lock and sends with plain system
    // calls. It stays valid while nobody resets or closes the endpoint.
    int SocketForCrash() const { return m_Socket.Get(); }
    // The result of the last attempt to open and bind the socket (construction
    // or SetLocalIp): 0 bound (or the address asked for was already set),
    // NET_ERR_PARAM the address given at construction was refused,
    // NET_ERR_SOCKET, -1 an option failed, NET_ERR_BIND. *pErrno, when pErrno is
    // not null, receives the errno of the call that failed (0 otherwise).
    int32_t GetBindResult(int* pErrno);
    // Takes up to pBatch->Capacity() datagrams with one system call, each with
    // the length the socket gave (the endpoint's own buffer is not used, and
    // nothing is cleared). When none is queued it waits up to nTimeOut
    // microseconds (0: not at all) for one, and ends the wait early when
    // nWakeFd (if >= 0) becomes readable: *pWoken then tells so (the caller
    // drains that descriptor). 0 with Count() >= 1; NET_ERR_TIMEOUT when
    // nothing came in time, also after a wake-up or a signal; NET_ERR_PARAM
    // for a null or invalid batch; NET_ERR_STATE without a socket;
    // NET_ERR_SELECT or NET_ERR_RECV when the wait or the read failed.
    int32_t RecvBatch(CNetRecvBatch* pBatch, uint32_t nTimeOut, int nWakeFd, bool* pWoken);

    static int32_t EnumLocalIf(LocalIfTable* pTable);
    static void FillSockAddr(uint32_t nIp, uint16_t nPort, sockaddr_in* pAddr);
    static void ParseSockAddr(const sockaddr_in* pAddr, uint32_t* pIp, uint16_t* pPort);

private:
    // All of these expect m_Lock held.
    int32_t OpenAndBindLocked();  // ResetSocket's steps after closing the old socket
    int32_t CreateSocket();
    void SetKernelRecvBuf();
    int32_t BindLocal(uint16_t nPort);
    int32_t CloseSocket();
    int32_t RecvFrom(uint8_t* pBuf, int32_t* pLen, uint32_t* pIp, uint16_t* pPort);
    int32_t SelectRecvFrom(uint8_t* pBuf, int32_t* pLen, uint32_t* pIp, uint16_t* pPort,
                           uint32_t nTimeOut);
    int32_t SendTo(const uint8_t* pData, int32_t* pLen, uint32_t nIp, uint16_t nPort);
    int32_t SelectSendTo(const uint8_t* pData, int32_t* pLen, uint32_t nIp, uint16_t nPort,
                         uint32_t nTimeOut);
    void UpdateLocalPort();
    // One recvmmsg without waiting into pBatch: the count taken, 0 when none
    // is queued, -1 on another failure.
    int TakeBatch(CNetRecvBatch* pBatch);

    CUniqueFd m_Socket;  // not Valid when no socket is open; guarded by m_Lock
    // Host order; 0xFFFFFFFF until set. Written by ResetSocket under m_Lock,
    // read without it by GetLocalIp and SetLocalIp's check: atomic (relaxed,
    // the value alone is shared; the socket itself is published by m_Lock).
    std::atomic<uint32_t> m_nLocalIp;
    uint16_t m_nLocalPort;     // host order; the bound port once read back (construction only)
    LocalIfTable m_stIfTable;  // filled once at construction
    CZQMutex m_Lock;
    std::unique_ptr<uint8_t[]> m_pRecvBuf;  // made at construction; guarded by m_Lock
    uint32_t m_nRecvBufSize;                // at most kNetMaxRecvBuf
    const NetUse m_eUse;
    int32_t m_nBindResult;  // guarded by m_Lock
    int m_nBindErrno;       // guarded by m_Lock
};

// Process-wide set-up and tear-down; nothing to do on Linux, always 0.
int32_t NetLayerInit();
int32_t NetLayerDeInit();
// Fills a caller's table with the host's IPv4 interfaces; NET_ERR_PARAM for null.
int32_t NetLayerGetLocalIfTable(LocalIfTable* pTable);
