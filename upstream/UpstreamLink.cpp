#include "upstream/UpstreamLink.h"

#include "upstream/TlsStream.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

void CUpstreamLink::SetError(const char* pFormat, ...) {
    va_list ap;
    va_start(ap, pFormat);
    (void)std::vsnprintf(m_szError, sizeof(m_szError), pFormat, ap);
    va_end(ap);
}

bool CUpstreamLink::MakeRoom(uint32_t nLen) {
    if (kOutSize - m_nOutLen >= nLen) return true;
    if (m_nOutPos == 0) return false;
    std::memmove(m_aOut, m_aOut + m_nOutPos, m_nOutLen - m_nOutPos);
    m_nOutLen -= m_nOutPos;
    m_nOutPos = 0;
    return kOutSize - m_nOutLen >= nLen;
}

ssize_t CUpstreamLink::Send(const char* pData, size_t nLen) {
    if (m_pTls == nullptr) return send(m_nSocket, pData, nLen, MSG_NOSIGNAL);
    const ssize_t nSent = m_pTls->Send(pData, nLen);
    if (nSent <= 0) return nSent;
    const uint64_t llStream = m_llWritten + static_cast<uint64_t>(nSent);
    const uint64_t llSocket = m_pTls->SocketBytes();
    if (m_nMarks == kMarks) {
        m_aMarks[(m_nMarkHead + kMarks - 1) % kMarks] = {llStream, llSocket};
    } else {
        m_aMarks[(m_nMarkHead + m_nMarks++) % kMarks] = {llStream, llSocket};
    }
    return nSent;
}

ssize_t CUpstreamLink::Recv(char* pData, size_t nLen) {
    return m_pTls == nullptr ? recv(m_nSocket, pData, nLen, 0) : m_pTls->Recv(pData, nLen);
}

void CUpstreamLink::CloseWrite() {
    if (m_pTls != nullptr) m_pTls->Close();
    (void)shutdown(m_nSocket, SHUT_WR);
}

const char* CUpstreamLink::IoError(int nErr) const {
    return nErr == EPROTO && m_pTls != nullptr ? m_pTls->Error() : std::strerror(nErr);
}

uint64_t CUpstreamLink::SocketWritten() const {
    return m_pTls == nullptr ? m_llWritten : m_pTls->SocketBytes();
}

short CUpstreamLink::StreamEvents() const {
    const bool bOut = m_nOutPos < m_nOutLen && (m_pTls == nullptr || !m_pTls->WriteWantsRead());
    const bool bTlsOut = m_pTls != nullptr && m_pTls->WantsWrite();
    return static_cast<short>(POLLIN | (bOut || bTlsOut ? POLLOUT : 0));
}

uint64_t CUpstreamLink::StreamAcked(uint64_t llSocketAcked) {
    if (m_pTls == nullptr) return llSocketAcked;
    while (m_nMarks > 0 && m_aMarks[m_nMarkHead].llSocket <= llSocketAcked) {
        m_llStreamAcked = m_aMarks[m_nMarkHead].llStream;
        m_nMarkHead = (m_nMarkHead + 1) % kMarks;
        --m_nMarks;
    }
    return m_llStreamAcked;
}

void CUpstreamLink::ResetMarks() {
    m_nMarkHead = 0;
    m_nMarks = 0;
    m_llStreamAcked = 0;
}

int32_t CUpstreamLink::WriteOut() {
    while (m_nOutPos < m_nOutLen) {
        const ssize_t nSent = Send(m_aOut + m_nOutPos, m_nOutLen - m_nOutPos);
        if (nSent > 0) {
            m_nOutPos += static_cast<uint32_t>(nSent);
            m_llWritten += static_cast<uint64_t>(nSent);
            continue;
        }
        if (nSent < 0 && errno == EINTR) continue;
        if (nSent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kLinkOk;
        SetError("send: %s", nSent == 0 ? "the collector closed" : IoError(errno));
        return kLinkBroken;
    }
    m_nOutPos = 0;
    m_nOutLen = 0;
    return kLinkOk;
}

short CUpstreamLink::WaitSocket(short nEvents, int64_t llDeadlineMs) const {
    const int64_t llLeft = llDeadlineMs - MonotonicMs();
    if (llLeft <= 0) return 0;
    pollfd stPoll = {m_nSocket, nEvents, 0};
    const int nReady = poll(&stPoll, 1, static_cast<int>(llLeft));
    return nReady > 0 ? stPoll.revents : 0;  // EINTR: the caller looks again
}
