#pragma once

#include "platform/UniqueFd.h"

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <memory>

struct addrinfo;

// The addresses of a name in the order they are tried: the family of the
// first address getaddrinfo gave first, then the families alternating while
// both have addresses left (RFC 8305, section 4), so that a family that does
// not work on this network costs one attempt delay, not half the list. The
// order walks the list without copying it: the list must outlive it.
class CAddressOrder {
public:
    CAddressOrder() : m_pFirst(nullptr), m_pOther(nullptr), m_nFamily(0), m_bOtherTurn(false) {}

    void Reset(const struct addrinfo* pList);
    // The next address to try; null when every one was handed out.
    const struct addrinfo* Next();
    bool Empty() const { return m_pFirst == nullptr && m_pOther == nullptr; }

private:
    const struct addrinfo* m_pFirst;  // the next address of the first family
    const struct addrinfo* m_pOther;  // the next address of any other family
    int m_nFamily;                    // the first address's
    bool m_bOtherTurn;
};

// Opens a TCP connection to a collector without ever blocking the sender's
// thread. A host name is looked up on a thread of its own (the system
// resolver may wait many seconds on an unreachable name server, or for ever
// on a hung file), and its addresses are connected to without blocking, in
// the order of CAddressOrder: a new attempt every kAttemptDelayMs while the
// earlier ones are still pending, at once when one fails; the first to
// connect wins and the others are closed. Each attempt gives up after
// kConnectTimeoutMs.
//
// One name lookup at a time: an attempt that gives up waiting for the
// resolver leaves its lookup running, and the next attempt waits for that
// same lookup again (its answer, when it comes, serves a later attempt for
// the same name; for another name, the new lookup starts once the old one has
// ended). So a resolver that never answers holds one thread and one pipe,
// however often the sender tries again.
//
// Used by the sender's thread only; nothing here blocks. The destructor
// leaves a lookup still running to end on its own (its thread frees its
// state), without waiting for it.
class CConnector {
public:
    CConnector();
    ~CConnector();
    CConnector(const CConnector&) = delete;
    CConnector& operator=(const CConnector&) = delete;

    // Starts on host:port. kConnPending, or kConnFailed (Error()).
    int32_t Start(const char* pHost, uint16_t nPort, int64_t llNowMs);
    // While pending: fills pPoll (room for kMaxPollFds entries, revents
    // cleared) with what to wait for, the resolver's pipe or every socket
    // still connecting, and returns how many entries it filled.
    uint32_t FillPoll(struct pollfd* pPoll) const;
    // When Step must be called at the latest without an event: the next
    // attempt's start, an attempt's time-out or the resolver's.
    int64_t DeadlineMs() const;
    // Goes on after a poll of the nCount entries FillPoll filled, with their
    // revents (nCount 0: no poll, or it timed out). kConnPending; kConnDone
    // with the connected, non-blocking socket handed over to *pSocket; or
    // kConnFailed with the reason in Error().
    int32_t Step(const struct pollfd* pPoll, uint32_t nCount, int64_t llNowMs, CUniqueFd* pSocket);
    // Ends the attempts. A lookup still running is kept for the next Start.
    void Cancel();

    const char* Error() const { return m_szError; }

    static constexpr int64_t kConnectTimeoutMs = 10000;
    // The "connection attempt delay" of RFC 8305: an address waits this long
    // for the attempt before it to connect or fail.
    static constexpr int64_t kAttemptDelayMs = 250;
    static constexpr int64_t kResolveTimeoutMs = 30000;
    // Attempts pending at once; a further address waits until one ends.
    static constexpr uint32_t kMaxPollFds = 16;

private:
    static constexpr size_t kHostBytes = 256;
    struct Lookup;
    struct Attempt {
        CUniqueFd socket;  // connecting, never connected: closing it loses nothing
        int64_t llDeadlineMs;
    };

    int32_t StartLookup();
    int32_t Advance(int64_t llNowMs);
    void StartAttempt(const struct addrinfo* pAddr, int64_t llNowMs);
    void CloseAttempt(uint32_t nAt);
    void CloseAll();
    bool LookupDone() const;
    int32_t Fail(const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

    // The one lookup running, or ended with its answer not yet taken; shared
    // with its thread. Kept across Cancel while it runs.
    std::shared_ptr<Lookup> m_pLookup;
    bool m_bResolving;  // this attempt waits for m_pLookup
    int64_t m_llResolveDeadlineMs;
    struct addrinfo* m_pAddrs;         // the resolved list, owned
    CAddressOrder m_Order;             // over m_pAddrs: the addresses not tried yet
    Attempt m_aAttempts[kMaxPollFds];  // [0, m_nAttempts) connecting
    uint32_t m_nAttempts;
    int64_t m_llNextStartMs;  // the next address is tried then at the latest
    uint16_t m_nPort;
    char m_szHost[kHostBytes];
    char m_szError[200];  // the last attempt's failure while pending; then the reason
};

constexpr int32_t kConnPending = 0;
constexpr int32_t kConnDone = 1;
constexpr int32_t kConnFailed = -1;
