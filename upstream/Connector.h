#pragma once

#include <cstdint>
#include <memory>

// Opens a TCP connection to a collector without ever blocking the sender's
// thread: a host name is resolved on a short-lived thread of its own (the
// system resolver may wait many seconds on an unreachable name server), and
// the connect is non-blocking. Each address of the name is tried in turn.
//
// Used by the sender's thread only. Cancel (or the destructor) abandons a
// resolution still running; its thread ends on its own and frees its state.
class CConnector {
public:
    CConnector();
    ~CConnector();
    CConnector(const CConnector&) = delete;
    CConnector& operator=(const CConnector&) = delete;

    // Starts on host:port. kConnPending, or kConnFailed (Error()).
    int32_t Start(const char* pHost, uint16_t nPort, int64_t llNowMs);
    // The descriptor to poll and its events while pending; -1 for none.
    int Fd() const;
    short Events() const;
    // When the pending attempt gives up, at the latest.
    int64_t DeadlineMs() const { return m_llDeadlineMs; }
    // Goes on after a poll (nRevents of Fd(), or 0). kConnPending; kConnDone with
    // the connected, non-blocking socket in *pSocket (the caller owns it); or
    // kConnFailed with the reason in Error().
    int32_t Step(short nRevents, int64_t llNowMs, int* pSocket);
    void Cancel();

    const char* Error() const { return m_szError; }

    static constexpr int64_t kConnectTimeoutMs = 10000;
    static constexpr int64_t kResolveTimeoutMs = 30000;

private:
    struct Resolution;
    int32_t TryNextAddress(int64_t llNowMs);
    int32_t Fail(const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

    std::shared_ptr<Resolution> m_pResolution;  // shared with its thread
    struct addrinfo* m_pAddrs;                  // the resolved list, owned
    struct addrinfo* m_pNextAddr;
    int m_nSocket;  // connecting; -1 none
    uint16_t m_nPort;
    int64_t m_llDeadlineMs;
    char m_szHost[256];
    char m_szError[200];
};

constexpr int32_t kConnPending = 0;
constexpr int32_t kConnDone = 1;
constexpr int32_t kConnFailed = -1;
