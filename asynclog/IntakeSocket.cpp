#include "asynclog/IntakeSocket.h"

#include "platform/DaemonPaths.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <string>

namespace {

constexpr uid_t kRootUid = 0;

// One level of the intake's directory: root's, and writable by no one else
// unless it is above the directory and has the sticky bit. A symbolic link
// must be root's, and where it leads is held to the same rule.
bool TrustedLevel(const std::string& level, bool bLast) {
    struct stat st {};
    if (lstat(level.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode) && (st.st_uid != kRootUid || stat(level.c_str(), &st) != 0)) {
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != kRootUid) return false;
    const bool bOthersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return !bOthersWrite || (!bLast && (st.st_mode & S_ISVTX) != 0);
}

bool TrustedIntakeDir() {
    const std::string dir = kRunDir;
    for (size_t nAt = 0; nAt != std::string::npos; nAt = dir.find('/', nAt + 1)) {
        if (!TrustedLevel(nAt == 0 ? "/" : dir.substr(0, nAt), false)) return false;
    }
    return TrustedLevel(dir, true);
}

}  // namespace

CUniqueFd ConnectIntake() {
    struct stat st {};
    if (lstat(kIntakeSocketPath, &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != kRootUid ||
        !TrustedIntakeDir()) {
        return CUniqueFd();
    }
    sockaddr_un stAddr{};
    stAddr.sun_family = AF_UNIX;
    static_assert(sizeof(ZQ_INTAKE_SOCKET_PATH) <= sizeof(stAddr.sun_path),
                  "the intake's path fits a socket address");
    std::memcpy(stAddr.sun_path, kIntakeSocketPath, std::strlen(kIntakeSocketPath) + 1);
    CUniqueFd socketFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // The path was checked in a directory no one but root can change, so the
    // socket connected to is the one checked.
    if (!socketFd.Valid() ||
        connect(socketFd.Get(), reinterpret_cast<const sockaddr*>(&stAddr), sizeof(stAddr)) != 0) {
        return CUniqueFd();
    }
    return socketFd;
}
