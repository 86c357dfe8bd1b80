#pragma once

#include "asynclog/LossCounters.h"
#include "asynclog/RecordSink.h"
#include "platform/UdpNetLayer.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <memory>

// Sends every record as one datagram of exactly its length (no header, no
// terminator) to the daemon: over its local intake where the daemon offers
// one (IntakeSocket.h), else from 127.0.0.1:54321 to 127.0.0.1:12345. Over
// UDP it never waits for the socket: a record that cannot be sent is counted
// as lost. Over the intake a full socket (the daemon is behind) keeps the
// record in the ring: the forwarder waits for room up to kIntakeWaitMs and
// tries again at its next call; nothing is lost. A sealed or closed intake
// (the daemon stops or is gone) is a refusal, as below.
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

    // Creates the sending endpoint and connects it to the daemon's port, and
    // connects to the intake when the daemon offers it. 0, -6 when the
    // endpoint cannot be allocated, or NetLayerInit's code.
    int32_t Open();
    // Looks for the intake again, for a daemon that (re)started: connects to
    // it when it is offered, else the records go over UDP.
    void LookForIntake();
    bool UsesIntake() const { return m_Intake.Valid(); }

    // CRecordSink.
    uint32_t Consume(CRingBuffer& queue, uint32_t nMax) override;
    bool Ready() const override { return true; }  // an endpoint without a socket counts its losses
    void Recover() override {}
    // Consume's holding of one record, with send() and getsockopt() on the
    // endpoint's descriptor instead of the endpoint's locked calls; a full
    // UDP socket does not wait (MSG_DONTWAIT), a full intake until the
    // deadline at most. Stops at a refusal (PeerGone) as Consume does.
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
    // The same over the intake, with plain system calls in either case.
    uint32_t ConsumeIntake(CRingBuffer& queue, uint32_t nMax, int64_t llDeadlineNs);

    CLossCounters& m_Lost;
    bool m_bNetInit;                            // NetLayerInit succeeded: NetLayerDeInit is owed
    std::unique_ptr<CUdpNetLayer> m_pNetLayer;  // null until Open, and when it could not be made
    // The intake's socket, not Valid while there is none: the writer's (and
    // the crash handler's, on the writer thread).
    CUniqueFd m_Intake;
    NetSendParam m_stSendParam;  // the writer's: destination set once, data per record
    bool m_bPeerGone;            // the writer's
};
