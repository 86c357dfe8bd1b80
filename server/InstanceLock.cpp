#include "server/InstanceLock.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPidTextLen = 24;

// Reads the pid a pid file names; 0 when it cannot be read.
long ReadPid(const char* pPath) {
    char szText[kPidTextLen] = {};
    const int nFd = open(pPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (nFd < 0) return 0;
    const ssize_t nRead = read(nFd, szText, sizeof(szText) - 1);
    // Read-only descriptor: nothing to lose at close.
    (void)close(nFd);
    if (nRead <= 0) return 0;
    return std::strtol(szText, nullptr, 10);
}

// Writes the text into the file in one call; true when all of it was written.
bool WriteWhole(const char* pPath, const char* pText, size_t nLen) {
    const int nFd = open(pPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (nFd < 0) return false;
    const ssize_t nWritten = write(nFd, pText, nLen);
    const bool bClosed = close(nFd) == 0;
    if (nWritten != static_cast<ssize_t>(nLen) || !bClosed) {
        // A partial pid file would name the wrong process.
        (void)unlink(pPath);
        return false;
    }
    return true;
}

}  // namespace

CInstanceLock::CInstanceLock() : m_nSocket(-1), m_szPidFile{} {}

CInstanceLock::~CInstanceLock() {
    RemovePidFile();
    if (m_nSocket >= 0) {
        // Closing the socket releases the name; there is nothing to recover.
        (void)close(m_nSocket);
    }
}

int32_t CInstanceLock::Acquire() {
    if (m_nSocket >= 0) return kLockOk;
    const int nSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nSocket < 0) return kLockFailed;

    sockaddr_un stAddr;
    std::memset(&stAddr, 0, sizeof(stAddr));
    stAddr.sun_family = AF_UNIX;
    // Abstract namespace: sun_path starts with a NUL, the name follows without
    // a terminator, and the address length ends it.
    const size_t nNameLen = std::strlen(kInstanceLockName);
    std::memcpy(stAddr.sun_path + 1, kInstanceLockName, nNameLen);
    const socklen_t nAddrLen =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nNameLen);

    if (bind(nSocket, reinterpret_cast<const sockaddr*>(&stAddr), nAddrLen) != 0) {
        const int nErr = errno;
        (void)close(nSocket);  // never bound: nothing to release
        errno = nErr;
        return nErr == EADDRINUSE ? kLockHeld : kLockFailed;
    }
    m_nSocket = nSocket;
    return kLockOk;
}

int32_t CInstanceLock::WritePidFile() {
    char szText[kPidTextLen];
    const int nLen = std::snprintf(szText, sizeof(szText), "%ld\n", static_cast<long>(getpid()));
    if (nLen <= 0 || static_cast<size_t>(nLen) >= sizeof(szText)) return -1;
    const char* const kPaths[] = {kPidFilePath, kPidFileFallback};
    for (const char* pPath : kPaths) {
        if (WriteWhole(pPath, szText, static_cast<size_t>(nLen))) {
            std::snprintf(m_szPidFile, sizeof(m_szPidFile), "%s", pPath);
            return 0;
        }
    }
    return -1;
}

void CInstanceLock::RemovePidFile() {
    if (m_szPidFile[0] == '\0') return;
    if (ReadPid(m_szPidFile) == static_cast<long>(getpid())) {
        // Best effort: a pid file left behind is recognised as stale by readers.
        (void)unlink(m_szPidFile);
    }
    m_szPidFile[0] = '\0';
}
