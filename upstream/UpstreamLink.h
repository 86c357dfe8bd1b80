#pragma once

#include "platform/MonotonicClock.h"
#include "upstream/PendingQueue.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr int32_t kLinkOk = 0;
constexpr int32_t kLinkBroken = -1;  // the connection is of no more use: reconnect

class CTlsStream;

// What a session reports back after each piece of work.
struct LinkCounts {
    uint64_t nAcked;     // messages the collector took, each counted once: they left the queue
    uint64_t nRejected;  // messages it refused (relp: a response other than 200)
    uint64_t nHeard;     // answers that prove a collector is there (tcp: bytes acknowledged,
                         // relp: any rsp), counted again after a resend
};

// One protocol spoken over a connected socket: frames the queued messages,
// writes them, reads what the collector answers and takes acknowledged
// messages off the front of the queue. The session (CUpstreamSession) owns
// the socket and the link, the line pump (CLinePump) the queue; a link only
// knows messages and acknowledgements, never files.
//
// Used by the sender's thread only.
class CUpstreamLink {
public:
    virtual ~CUpstreamLink() = default;

    // A new connection on the non-blocking socket nSocket: every message in
    // the queue goes out on it (again), oldest first.
    virtual void Begin(int nSocket, CPendingQueue* pQueue) = 0;
    // Does what the socket allows now (nRevents: its poll result, 0 when the
    // sender woke for another reason): writes, reads, pops acknowledged
    // messages, adding them to *pCounts. kLinkOk, or kLinkBroken with the
    // reason in Error().
    virtual int32_t Service(short nRevents, int64_t llNowMs, LinkCounts* pCounts) = 0;
    // The poll events the link waits for.
    virtual short Events() const = 0;
    // Ends the session in order: waits for the last acknowledgements and says
    // goodbye as the protocol wants, until llDeadlineMs at the latest.
    virtual void Finish(int64_t llDeadlineMs, LinkCounts* pCounts) = 0;

    const char* Error() const { return m_szError; }
    // The session's TLS stream over the socket, set before Begin; null: plain.
    void UseTls(CTlsStream* pTls) { m_pTls = pTls; }

protected:
    // send and recv on the socket, or through the TLS stream.
    ssize_t Send(const char* pData, size_t nLen);
    ssize_t Recv(char* pData, size_t nLen);
    // Says goodbye to TLS, then closes our direction of the connection.
    void CloseWrite();
    // What the last failed Send or Recv came to (errno's text, or TLS's).
    const char* IoError(int nErr) const;
    // Of the stream's bytes, how many the peer's TCP acknowledged:
    // llSocketAcked is counted on the socket (TLS records, handshake and all),
    // the answer in bytes of the stream given to Send. Never more than is
    // certain: between the marks it rounds down.
    uint64_t StreamAcked(uint64_t llSocketAcked);
    // Bytes given to the socket since Begin.
    uint64_t SocketWritten() const;
    // What to poll the socket for: readable always (answers, or the collector
    // closing); writable while output waits, unless TLS must first read, and
    // whenever TLS must write before it can go on reading.
    short StreamEvents() const;
    void SetError(const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
    // Writes m_aOut[m_nOutPos, m_nOutLen) as far as the socket takes it.
    // kLinkOk, or kLinkBroken.
    int32_t WriteOut();
    // Room for nLen more bytes in m_aOut, moving what is unsent to the front.
    bool MakeRoom(uint32_t nLen);
    // poll() on the socket until llDeadlineMs or an event; the events.
    short WaitSocket(short nEvents, int64_t llDeadlineMs) const;

    static constexpr uint32_t kOutSize = 64 * 1024;  // > a frame of kMaxSyslogMessage
    int m_nSocket = -1;                              // the session's: never closed here
    CPendingQueue* m_pQueue = nullptr;               // the pump's
    uint64_t m_nNext = 0;                            // number of the next message to frame
    uint64_t m_llWritten = 0;                        // bytes the socket took since Begin
    char m_aOut[kOutSize];
    uint32_t m_nOutPos = 0;
    uint32_t m_nOutLen = 0;
    char m_szError[160] = {};

private:
    // Where written stream bytes end on the socket: one mark per TLS write,
    // the oldest first; the newest takes over when they are all in use.
    struct Mark {
        uint64_t llStream;
        uint64_t llSocket;
    };
    static constexpr uint32_t kMarks = 256;
    CTlsStream* m_pTls = nullptr;
    Mark m_aMarks[kMarks];
    uint32_t m_nMarkHead = 0;  // the oldest
    uint32_t m_nMarks = 0;
    uint64_t m_llStreamAcked = 0;

protected:
    void ResetMarks();
};
