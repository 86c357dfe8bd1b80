#include "upstream/TlsStream.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// OpenSSL's first queued error as text (its library, reason), the queue
// cleared; "unknown" when it is empty.
void TakeSslError(char* pOut, size_t nOut) {
    const unsigned long nErr = ERR_get_error();
    const char* pReason = nErr != 0 ? ERR_reason_error_string(nErr) : nullptr;
    (void)std::snprintf(pOut, nOut, "%s", pReason != nullptr ? pReason : "unknown");
    ERR_clear_error();
}

// Keys are never read with a pass phrase: no prompt on a terminal the daemon
// may have, and a refusal the operator can read instead.
int NoPassphrase(char*, int, int, void*) { return -1; }

// The socket BIO, with MSG_NOSIGNAL: a collector gone must fail the write,
// not raise SIGPIPE in whatever process the sender runs in.
int SocketWrite(BIO* pBio, const char* pData, int nLen) {
    BIO_clear_retry_flags(pBio);
    const ssize_t n = send(static_cast<int>(BIO_get_fd(pBio, nullptr)), pData,
                           static_cast<size_t>(nLen), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(pBio);
    }
    return static_cast<int>(n);
}

int SocketRead(BIO* pBio, char* pData, int nLen) {
    BIO_clear_retry_flags(pBio);
    const ssize_t n =
        recv(static_cast<int>(BIO_get_fd(pBio, nullptr)), pData, static_cast<size_t>(nLen), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(pBio);
    }
    return static_cast<int>(n);
}

BIO_METHOD* SocketMethod() {
    // Made once, kept for the process (OpenSSL's own methods are static too).
    static BIO_METHOD* const pMethod = [] {
        BIO_METHOD* p = BIO_meth_new(
            BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "zq socket");
        if (p == nullptr) return p;
        const BIO_METHOD* pPlain = BIO_s_socket();
        (void)BIO_meth_set_write(p, SocketWrite);
        (void)BIO_meth_set_read(p, SocketRead);
        (void)BIO_meth_set_ctrl(p, BIO_meth_get_ctrl(pPlain));  // fd, flush, eof
        (void)BIO_meth_set_create(p, BIO_meth_get_create(pPlain));
        (void)BIO_meth_set_destroy(p, BIO_meth_get_destroy(pPlain));
        return p;
    }();
    return pMethod;
}

bool IsIpAddress(const char* pName) {
    unsigned char aAddr[16];
    return inet_pton(AF_INET, pName, aAddr) == 1 || inet_pton(AF_INET6, pName, aAddr) == 1;
}

}  // namespace

CTlsContext::~CTlsContext() { Forget(); }

void CTlsContext::Forget() {
    SSL_CTX_free(m_pCtx);
    m_pCtx = nullptr;
}

SSL_CTX* CTlsContext::Prepare(const ForwardConfig& cfg, char* pError, size_t nError) {
    if (m_pCtx != nullptr && SameTls(cfg, m_Built)) return m_pCtx;
    Forget();
    ERR_clear_error();
    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    if (pCtx == nullptr) {
        (void)std::snprintf(pError, nError, "TLS: no context (no memory)");
        return nullptr;
    }
    auto Fail = [&](const char* pWhat, const char* pFile) {
        char szSsl[120];
        TakeSslError(szSsl, sizeof(szSsl));
        (void)std::snprintf(pError, nError, "TLS: %s %.160s: %s", pWhat, pFile, szSsl);
        SSL_CTX_free(pCtx);
        return nullptr;
    };
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER, nullptr);
    (void)SSL_CTX_set_min_proto_version(
        pCtx, cfg.eMinTls == ETlsVersion::k13 ? TLS1_3_VERSION : TLS1_2_VERSION);
    SSL_CTX_set_mode(pCtx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_passwd_cb(pCtx, NoPassphrase);
    if (cfg.szCaFile[0] != '\0') {
        if (SSL_CTX_load_verify_locations(pCtx, cfg.szCaFile, nullptr) != 1) {
            return Fail("CAFile", cfg.szCaFile);
        }
    } else if (SSL_CTX_set_default_verify_paths(pCtx) != 1) {
        return Fail("the system's certificates", "");
    }
    if (cfg.szCertFile[0] != '\0') {
        if (SSL_CTX_use_certificate_chain_file(pCtx, cfg.szCertFile) != 1) {
            return Fail("CertFile", cfg.szCertFile);
        }
        // Only the key's file is named, never what it holds.
        if (SSL_CTX_use_PrivateKey_file(pCtx, cfg.szKeyFile, SSL_FILETYPE_PEM) != 1) {
            return Fail("KeyFile (unreadable, or has a pass phrase)", cfg.szKeyFile);
        }
        if (SSL_CTX_check_private_key(pCtx) != 1) {
            return Fail("KeyFile does not match CertFile:", cfg.szKeyFile);
        }
    }
    m_pCtx = pCtx;
    m_Built = cfg;
    return m_pCtx;
}

CTlsStream::~CTlsStream() { SSL_free(m_pSsl); }

int32_t CTlsStream::Start(SSL_CTX* pCtx, int nSocket, const char* pServerName) {
    ERR_clear_error();
    m_pSsl = SSL_new(pCtx);
    BIO* pBio = m_pSsl != nullptr && SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (pBio == nullptr) {
        (void)std::snprintf(m_szError, sizeof(m_szError), "TLS: no session (no memory)");
        return kTlsFailed;
    }
    BIO_set_fd(pBio, nSocket, BIO_NOCLOSE);
    SSL_set_bio(m_pSsl, pBio, pBio);
    // The name is checked by the verification; SNI only for a DNS name.
    const bool bIp = IsIpAddress(pServerName);
    const int nSet = bIp ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_pSsl), pServerName)
                         : SSL_set1_host(m_pSsl, pServerName);
    if (nSet != 1 || (!bIp && SSL_set_tlsext_host_name(m_pSsl, pServerName) != 1)) {
        (void)std::snprintf(m_szError, sizeof(m_szError), "TLS: cannot check the name %.120s",
                            pServerName);
        return kTlsFailed;
    }
    SSL_set_connect_state(m_pSsl);
    return Handshake();
}

int32_t CTlsStream::Handshake() {
    ERR_clear_error();
    const int nRet = SSL_do_handshake(m_pSsl);
    if (nRet == 1) return kTlsDone;
    const int nErr = SSL_get_error(m_pSsl, nRet);
    m_bWantWrite = nErr == SSL_ERROR_WANT_WRITE;
    if (nErr == SSL_ERROR_WANT_READ || nErr == SSL_ERROR_WANT_WRITE) return kTlsPending;
    const long nVerify = SSL_get_verify_result(m_pSsl);
    if (nVerify != X509_V_OK) {
        m_bVerifyFailed = true;
        (void)std::snprintf(m_szError, sizeof(m_szError),
                            "TLS: the collector's certificate is refused: %s",
                            X509_verify_cert_error_string(nVerify));
    } else if (nErr == SSL_ERROR_SYSCALL) {
        (void)std::snprintf(m_szError, sizeof(m_szError), "TLS handshake: %s",
                            errno != 0 ? std::strerror(errno) : "the collector closed");
    } else {
        char szSsl[120];
        TakeSslError(szSsl, sizeof(szSsl));
        (void)std::snprintf(m_szError, sizeof(m_szError), "TLS handshake: %s", szSsl);
    }
    ERR_clear_error();
    return kTlsFailed;
}

short CTlsStream::Events() const { return static_cast<short>(m_bWantWrite ? POLLOUT : POLLIN); }

ssize_t CTlsStream::Result(int nRet, bool bWrite) {
    const char* pWhat = bWrite ? "write" : "read";
    // A read, whatever it brought, lets a write that waited for one try again.
    m_bWantWrite = false;
    m_bWriteWantsRead = false;
    if (nRet > 0) return nRet;
    const int nErr = SSL_get_error(m_pSsl, nRet);
    switch (nErr) {
        case SSL_ERROR_WANT_WRITE:
            m_bWantWrite = true;
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_WANT_READ:
            if (bWrite) m_bWriteWantsRead = true;
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:  // close_notify
            return 0;
        case SSL_ERROR_SYSCALL:
            ERR_clear_error();
            if (errno == 0) errno = ECONNRESET;  // closed without close_notify
            return -1;
        default: {
            char szSsl[120];
            TakeSslError(szSsl, sizeof(szSsl));
            (void)std::snprintf(m_szError, sizeof(m_szError), "TLS %s: %s", pWhat, szSsl);
            errno = EPROTO;
            return -1;
        }
    }
}

ssize_t CTlsStream::Send(const void* pData, size_t nLen) {
    ERR_clear_error();
    errno = 0;
    const int nChunk = nLen > INT32_MAX ? INT32_MAX : static_cast<int>(nLen);
    return Result(SSL_write(m_pSsl, pData, nChunk), true);
}

ssize_t CTlsStream::Recv(void* pData, size_t nLen) {
    ERR_clear_error();
    errno = 0;
    const int nChunk = nLen > INT32_MAX ? INT32_MAX : static_cast<int>(nLen);
    return Result(SSL_read(m_pSsl, pData, nChunk), false);
}

void CTlsStream::Close() {
    ERR_clear_error();
    (void)SSL_shutdown(m_pSsl);
    ERR_clear_error();
}

uint64_t CTlsStream::SocketBytes() const { return BIO_number_written(SSL_get_wbio(m_pSsl)); }

const char* CTlsStream::Version() const { return SSL_get_version(m_pSsl); }
