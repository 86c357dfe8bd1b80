#pragma once

#include "asynclog/LossCounters.h"
#include "asynclog/RecordSink.h"
#include "platform/UdpNetLayer.h"

#include <cstdint>
#include <memory>

// Sends every record as one datagram of exactly its length (no header, no
// terminator) from 127.0.0.1:54321 to the daemon on 127.0.0.1:12345. Never
// waits for the socket: a record that cannot be sent is counted as lost.
//
// The socket is connected to the daemon's port, so the kernel reports a
// daemon that is gone: on loopback the datagram nobody receives is refused at
// once, and the refusal shows at the next send or at the look after the batch.
// A record is therefore released only once the next operation on the socket
// came back clean; at a refusal the forwarder stops with the refused record
// (and the one after it, if any) still in the ring and says PeerGone, so that
// its owner can write them elsewhere, in order.
//
// Threads: the engine opens it before the writer starts and destroys it after
// the writer ended; Consume runs on the writer thread.
class CUdpForwarder final : public CRecordSink {
public:
    explicit CUdpForwarder(CLossCounters& lost);
    ~CUdpForwarder() override;  // destroys the endpoint
    CUdpForwarder(const CUdpForwarder&) = delete;
    CUdpForwarder& operator=(const CUdpForwarder&) = delete;

    // Creates the sending endpoint and connects it to the daemon's port. 0, -6
    // when it cannot be allocated, or NetLayerInit's code.
    int32_t Open();

    // CRecordSink.
    uint32_t Consume(CRingBuffer& queue, uint32_t nMax) override;
    bool Ready() const override { return true; }  // an endpoint without a socket counts its losses
    void Recover() override {}
    // Consume's holding of one record, with send() and getsockopt() on the
    // endpoint's descriptor instead of the endpoint's locked calls; a full
    // socket does not wait (MSG_DONTWAIT). Stops at a refusal (PeerGone) as
    // Consume does.
    uint32_t DrainForCrash(CRingBuffer& queue, int64_t llDeadlineNs) override;

    // The daemon refused a record since the last ClearPeerGone.
    bool PeerGone() const { return m_bPeerGone; }
    void ClearPeerGone() { m_bPeerGone = false; }

private:
    // How one pass reaches the socket: the endpoint's calls on the writer
    // thread, or plain system calls in a crash handler. Each answers 0,
    // NET_ERR_REFUSED (the daemon is not there), or another failure.
    struct SocketOps {
        int32_t (*pfnSend)(CUdpForwarder& self, const RingSlot* pSlot);
        int32_t (*pfnTakeError)(CUdpForwarder& self);
    };
    static int32_t Send(CUdpForwarder& self, const RingSlot* pSlot);
    static int32_t TakeError(CUdpForwarder& self);
    static int32_t SendForCrash(CUdpForwarder& self, const RingSlot* pSlot);
    static int32_t TakeErrorForCrash(CUdpForwarder& self);
    // Consume with ops, until nMax records or llDeadlineNs (kNoDeadline: none).
    uint32_t ConsumeWith(CRingBuffer& queue, uint32_t nMax, int64_t llDeadlineNs,
                         const SocketOps& ops);

    CLossCounters& m_Lost;
    bool m_bNetInit;                            // NetLayerInit succeeded: NetLayerDeInit is owed
    std::unique_ptr<CUdpNetLayer> m_pNetLayer;  // null until Open, and when it could not be made
    NetSendParam m_stSendParam;  // the writer's: destination set once, data per record
    bool m_bPeerGone;            // the writer's
};
