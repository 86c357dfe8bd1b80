#include "upstream/UpstreamLink.h"

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

int32_t CUpstreamLink::WriteOut() {
    while (m_nOutPos < m_nOutLen) {
        const ssize_t nSent =
            send(m_nSocket, m_aOut + m_nOutPos, m_nOutLen - m_nOutPos, MSG_NOSIGNAL);
        if (nSent > 0) {
            m_nOutPos += static_cast<uint32_t>(nSent);
            m_llWritten += static_cast<uint64_t>(nSent);
            continue;
        }
        if (nSent < 0 && errno == EINTR) continue;
        if (nSent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kLinkOk;
        SetError("send: %s", std::strerror(errno));
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
