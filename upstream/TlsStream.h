#pragma once

#include "upstream/UpstreamConfig.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// What a handshake step or an I/O call came to.
constexpr int32_t kTlsDone = 0;     // handshake complete
constexpr int32_t kTlsPending = 1;  // wait for Events(), then call again
constexpr int32_t kTlsFailed = -1;  // the connection is of no use; Error() says why

// The client side's TLS settings as OpenSSL holds them: the trusted
// certificates (CAFile, or the system's bundle), the client certificate and
// its key when configured, the lowest version allowed, and peer verification
// always on. Built when first needed and kept while the settings stay the
// same; Forget makes the next Prepare read the files again (after a failed
// verification: the operator may have mended a file since).
//
// A key file with a pass phrase is refused, never prompted for. No message
// carries a key's bytes.
class CTlsContext {
public:
    CTlsContext() = default;
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // The context for cfg's TLS keys, built now when it is not yet. Null with
    // the reason in pError.
    SSL_CTX* Prepare(const ForwardConfig& cfg, char* pError, size_t nError);
    void Forget();

private:
    SSL_CTX* m_pCtx = nullptr;
    ForwardConfig m_Built{};  // the settings m_pCtx was made from
};

// One TLS connection over a connected, non-blocking socket: the handshake,
// with the collector's chain and name checked, then reads and writes with the
// errno conventions of recv and send. Counts the bytes it gave the socket, so
// that what TCP acknowledged can be told in bytes of the stream.
//
// Writes may be partial (one TLS record at a time), and a write that waited
// may be repeated with the same bytes moved and more appended behind them.
class CTlsStream {
public:
    CTlsStream() = default;
    ~CTlsStream();
    CTlsStream(const CTlsStream&) = delete;
    CTlsStream& operator=(const CTlsStream&) = delete;

    // Begins a client handshake on nSocket for pServerName (SNI, and the name
    // the certificate must carry: a DNS name, or an IP address).
    // kTlsPending, or kTlsFailed.
    int32_t Start(SSL_CTX* pCtx, int nSocket, const char* pServerName);
    // Goes on with the handshake. kTlsDone, kTlsPending or kTlsFailed.
    int32_t Handshake();
    // The poll events the stream waits for now (after kTlsPending, or a read
    // or write that would block).
    short Events() const;

    // As send and recv: bytes, 0 (Recv: the collector closed the stream), or
    // -1 with errno EAGAIN (wait for Events()), EPIPE/ECONNRESET..., or
    // EPROTO for a TLS failure (Error() says which).
    ssize_t Send(const void* pData, size_t nLen);
    ssize_t Recv(void* pData, size_t nLen);
    // Says goodbye (close_notify) as far as the socket takes it now.
    void Close();

    // Bytes written to the socket since Start, handshake included.
    uint64_t SocketBytes() const;
    // After a read or write that would block: whether TLS waits to write, and
    // whether the last write waits to read (a handshake message first).
    bool WantsWrite() const { return m_bWantWrite; }
    bool WriteWantsRead() const { return m_bWriteWantsRead; }
    // Whether the handshake failed on the certificate (chain, time, name).
    bool VerifyFailed() const { return m_bVerifyFailed; }
    const char* Error() const { return m_szError; }
    // The version agreed ("TLSv1.3"), for a note.
    const char* Version() const;

private:
    ssize_t Result(int nRet, bool bWrite);

    SSL* m_pSsl = nullptr;
    bool m_bWantWrite = false;
    bool m_bWriteWantsRead = false;
    bool m_bVerifyFailed = false;
    char m_szError[200] = {};
};
