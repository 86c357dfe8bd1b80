#include "server/ServiceNotify.h"

#include "platform/UniqueFd.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kAbstractMark = '@';

}  // namespace

int32_t NotifyServiceManager(const char* pState) {
    const char* pName = std::getenv("NOTIFY_SOCKET");
    if (pName == nullptr || pName[0] == '\0') return kNotifyNoManager;
    if (pState == nullptr) {
        errno = EINVAL;
        return kNotifyFailed;
    }
    sockaddr_un stAddr;
    std::memset(&stAddr, 0, sizeof(stAddr));
    stAddr.sun_family = AF_UNIX;
    const size_t nNameLen = std::strlen(pName);
    // A path name needs its terminator inside sun_path; an abstract one does
    // not, its length is given by the address length.
    const bool bAbstract = pName[0] == kAbstractMark;
    if (nNameLen > sizeof(stAddr.sun_path) - (bAbstract ? 0 : 1)) {
        errno = ENAMETOOLONG;
        return kNotifyFailed;
    }
    std::memcpy(stAddr.sun_path, pName, nNameLen);
    if (bAbstract) stAddr.sun_path[0] = '\0';
    const socklen_t nAddrLen =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nNameLen + (bAbstract ? 0 : 1));

    CUniqueFd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.Valid()) return kNotifyFailed;
    const size_t nStateLen = std::strlen(pState);
    const ssize_t nSent = sendto(sock.Get(), pState, nStateLen, MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&stAddr), nAddrLen);
    const int nSendErr = errno;
    // A datagram socket: what was sent is gone, a failing close loses nothing.
    sock.Reset();
    if (nSent != static_cast<ssize_t>(nStateLen)) {
        errno = nSendErr;
        return kNotifyFailed;
    }
    return kNotifySent;
}
