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
// Threads: the engine opens it before the writer starts and destroys it after
// the writer ended; Consume runs on the writer thread.
class CUdpForwarder final : public CRecordSink {
public:
    explicit CUdpForwarder(CLossCounters& lost);
    ~CUdpForwarder() override;  // destroys the endpoint
    CUdpForwarder(const CUdpForwarder&) = delete;
    CUdpForwarder& operator=(const CUdpForwarder&) = delete;

    // Creates the sending endpoint. 0, -6 when it cannot be allocated, or
    // NetLayerInit's code.
    int32_t Open();

    // CRecordSink.
    uint32_t Consume(CLogQueue& queue, uint32_t nMax) override;
    bool Ready() const override { return true; }  // an endpoint without a socket counts its losses
    void Recover() override {}

private:
    CLossCounters& m_Lost;
    bool m_bNetInit;  // NetLayerInit succeeded: NetLayerDeInit is owed
    std::unique_ptr<NetHandle> m_pNetLayer;
    NetSendParam m_stSendParam;  // the writer's: destination set once, data per record
};
