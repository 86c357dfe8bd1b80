#include "server/ListenSocket.h"

#include "asynclog/ServerProbe.h"
#include "platform/WireContract.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr const char* kListenPidVar = "LISTEN_PID";
constexpr const char* kListenFdsVar = "LISTEN_FDS";
constexpr const char* kListenFdNamesVar = "LISTEN_FDNAMES";
// More descriptors than any socket unit of the daemon passes; a count beyond
// it is no count of open descriptors.
constexpr uint32_t kMaxListenFds = 64;

__attribute__((format(printf, 3, 4))) int Refuse(char* pWhy, size_t nWhyLen, const char* pFormat,
                                                 ...) {
    if (pWhy != nullptr && nWhyLen > 0) {
        va_list args;
        va_start(args, pFormat);
        (void)std::vsnprintf(pWhy, nWhyLen, pFormat, args);  // cut to the buffer
        va_end(args);
    }
    return kListenSocketRefused;
}

// A whole decimal number of the environment in [1, nMax], from outside: read
// digit by digit in 32-bit unsigned arithmetic, each step checked.
bool ParseCount(const char* pText, uint32_t nMax, uint32_t* pValue) {
    if (pText == nullptr || *pText == '\0') return false;
    uint32_t nValue = 0;
    for (const char* p = pText; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const uint32_t nDigit = static_cast<uint32_t>(*p - '0');
        if (nValue > (nMax - nDigit) / 10) return false;
        nValue = nValue * 10 + nDigit;
    }
    if (nValue == 0) return false;
    *pValue = nValue;
    return true;
}

int SocketOption(int nFd, int nOption) {
    int nValue = -1;
    socklen_t nLen = sizeof(nValue);
    if (getsockopt(nFd, SOL_SOCKET, nOption, &nValue, &nLen) != 0) return -1;
    return nValue;
}

// The checks and the take-over of the one socket passed, descriptor nFd.
int TakeOver(int nFd, char* pWhy, size_t nWhyLen) {
    struct stat st {};
    if (fstat(nFd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return Refuse(pWhy, nWhyLen, "descriptor %d is no socket", nFd);
    }
    if (SocketOption(nFd, SO_DOMAIN) != AF_INET || SocketOption(nFd, SO_TYPE) != SOCK_DGRAM) {
        return Refuse(pWhy, nWhyLen, "descriptor %d is no IPv4 UDP socket", nFd);
    }
    sockaddr_in stAddr{};
    socklen_t nAddrLen = sizeof(stAddr);
    if (getsockname(nFd, reinterpret_cast<sockaddr*>(&stAddr), &nAddrLen) != 0 ||
        stAddr.sin_family != AF_INET) {
        return Refuse(pWhy, nWhyLen, "the address of descriptor %d cannot be read: %s", nFd,
                      std::strerror(errno));
    }
    const uint32_t nIp = ntohl(stAddr.sin_addr.s_addr);
    const uint16_t nPort = ntohs(stAddr.sin_port);
    if (nIp != kLoopbackIp || nPort != kLogServerPort) {
        return Refuse(pWhy, nWhyLen, "it is bound to %u.%u.%u.%u:%u, not 127.0.0.1:%u",
                      (nIp >> 24) & 0xffu, (nIp >> 16) & 0xffu, (nIp >> 8) & 0xffu, nIp & 0xffu,
                      unsigned{nPort}, unsigned{kLogServerPort});
    }
    const int nOff = 0;
    for (int nOption : {SO_REUSEADDR, SO_REUSEPORT}) {
        if (setsockopt(nFd, SOL_SOCKET, nOption, &nOff, sizeof(nOff)) != 0) {
            return Refuse(pWhy, nWhyLen, "address reuse cannot be cleared on it: %s",
                          std::strerror(errno));
        }
    }
    // From here on no socket can join; one that joined while address reuse was
    // on would take a share of the datagrams for as long as it stays.
    const int32_t nOnPort = CountPortSockets();
    if (nOnPort == 2) {
        return Refuse(pWhy, nWhyLen, "another socket shares 127.0.0.1:%u with it",
                      unsigned{kLogServerPort});
    }
    if (nOnPort > 2) {
        return Refuse(pWhy, nWhyLen, "%d other sockets share 127.0.0.1:%u with it",
                      static_cast<int>(nOnPort - 1), unsigned{kLogServerPort});
    }
    // Without /proc the check cannot be made; the socket is taken all the same.
    return nFd;
}

}  // namespace

int TakeListenSocket(char* pWhy, size_t nWhyLen) {
    if (pWhy != nullptr && nWhyLen > 0) pWhy[0] = '\0';
    const char* pFds = std::getenv(kListenFdsVar);
    if (pFds == nullptr) return kNoListenSocket;
    const char* pPid = std::getenv(kListenPidVar);
    uint32_t nCount = 0;
    uint32_t nPid = 0;
    const bool bCount = ParseCount(pFds, kMaxListenFds, &nCount);
    const bool bForUs =
        ParseCount(pPid, UINT32_MAX, &nPid) && nPid == static_cast<uint32_t>(getpid());
    // Removed before anything else: whatever the outcome, they were meant for
    // this process alone. unsetenv fails only for a malformed name.
    (void)unsetenv(kListenPidVar);
    (void)unsetenv(kListenFdsVar);
    (void)unsetenv(kListenFdNamesVar);
    if (!bForUs) {
        // Descriptors meant for another process are not this one's to close.
        return Refuse(pWhy, nWhyLen, "%s is not this process's id", kListenPidVar);
    }
    if (!bCount) return Refuse(pWhy, nWhyLen, "%s is no count of descriptors", kListenFdsVar);
    int nResult = kListenSocketRefused;
    if (nCount != 1) {
        (void)Refuse(pWhy, nWhyLen, "%u sockets passed, one expected", nCount);
    } else {
        nResult = TakeOver(kListenFdsStart, pWhy, nWhyLen);
    }
    if (nResult < 0) {
        // The service manager keeps its own; these copies only hold the port.
        for (uint32_t i = 0; i < nCount; ++i) (void)close(kListenFdsStart + static_cast<int>(i));
    }
    return nResult;
}
