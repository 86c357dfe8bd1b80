#include "asynclog/ServerProbe.h"

#include "platform/UniqueFd.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kCommLen = 15;  // the kernel keeps at most 15 characters of a name
constexpr uid_t kRootUid = 0;
// Sockets on the daemon's port that are looked at. The daemon holds its port
// alone, so one is the rule; more arise only from sockets that share the port
// with address reuse, and any of those that is not root's or the caller's
// already decides the answer.
constexpr size_t kMaxPortSockets = 16;
constexpr size_t kProcLineLen = 256;  // a /proc/net/udp line is about 130 characters

// The sockets that can receive datagrams sent to 127.0.0.1:kLogServerPort.
struct PortSockets {
    unsigned long long nInode[kMaxPortSockets];
    uid_t nUid[kMaxPortSockets];
    size_t nCount;
    size_t nSeen;   // all of them, also those beyond kMaxPortSockets
    bool bForeign;  // one of them belongs to neither root nor the caller
};

bool TrustedUid(uid_t nUid, uid_t nSelf) { return nUid == kRootUid || nUid == nSelf; }

// Reads the UDP table of the caller's network namespace, through /proc/self:
// where only the process directories of /proc are visible (a service's
// ProcSubset=pid) /proc/net is not. Each line after the header is
//   "sl: local_address rem_address st tx_queue:rx_queue tr:when retrnsmt uid timeout inode ..."
// with an address as the kernel's 32-bit value (network order) and the port in
// host order, both in hex. False when the table cannot be read.
bool ReadPortSockets(uid_t nSelf, PortSockets* pSockets) {
    pSockets->nCount = 0;
    pSockets->nSeen = 0;
    pSockets->bForeign = false;
    FILE* pFile = std::fopen("/proc/self/net/udp", "re");
    if (pFile == nullptr) return false;
    char szLine[kProcLineLen];
    const bool bHeader = std::fgets(szLine, sizeof(szLine), pFile) != nullptr;
    const unsigned int nLoopback = htonl(kLoopbackIp);
    while (bHeader && std::fgets(szLine, sizeof(szLine), pFile) != nullptr) {
        unsigned int nAddr = 0;
        unsigned int nPort = 0;
        unsigned int nUid = 0;
        unsigned long long nInode = 0;
        if (std::sscanf(szLine, " %*d: %8X:%4X %*8X:%*4X %*2X %*8X:%*8X %*2X:%*8X %*8X %u %*d %llu",
                        &nAddr, &nPort, &nUid, &nInode) != 4) {
            continue;
        }
        // The wildcard address takes what is sent to 127.0.0.1 as well.
        if (nPort != kLogServerPort || (nAddr != nLoopback && nAddr != 0)) continue;
        if (!TrustedUid(static_cast<uid_t>(nUid), nSelf)) pSockets->bForeign = true;
        ++pSockets->nSeen;
        if (pSockets->nCount < kMaxPortSockets) {
            pSockets->nInode[pSockets->nCount] = nInode;
            pSockets->nUid[pSockets->nCount] = static_cast<uid_t>(nUid);
            ++pSockets->nCount;
        }
    }
    // Read-only: nothing to lose at close.
    (void)std::fclose(pFile);
    return true;
}

// Reads a small /proc file of a process into pBuf (terminated); false when it
// cannot be read.
bool ReadProcFile(const char* pPidDir, const char* pName, char* pBuf, size_t nBufLen) {
    char szPath[64];
    if (std::snprintf(szPath, sizeof(szPath), "/proc/%s/%s", pPidDir, pName) >=
        static_cast<int>(sizeof(szPath))) {
        return false;  // not a process id of any length the kernel hands out
    }
    const CUniqueFd file(open(szPath, O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) return false;  // the process ended meanwhile, or is not ours to read
    const ssize_t nRead = read(file.Get(), pBuf, nBufLen - 1);
    if (nRead <= 0) return false;
    pBuf[nRead] = '\0';
    return true;
}

// Reads /proc/<pid>/stat ("pid (name) state ...") and tells whether the process
// is alive (not a zombie) and named pName.
bool ProcessMatches(const char* pPidDir, const char* pName, size_t nNameLen) {
    char szStat[128];
    if (!ReadProcFile(pPidDir, "stat", szStat, sizeof(szStat))) return false;
    // The name may itself hold ')' or spaces: it ends at the last ')'.
    const char* pOpen = std::strchr(szStat, '(');
    const char* pClose = std::strrchr(szStat, ')');
    if (pOpen == nullptr || pClose == nullptr || pClose < pOpen || pClose[1] != ' ') return false;
    const char cState = pClose[2];
    if (cState == 'Z' || cState == 'X') return false;  // dead, only not yet reaped
    const size_t nComm = static_cast<size_t>(pClose - pOpen - 1);
    return nComm == nNameLen && std::memcmp(pOpen + 1, pName, nNameLen) == 0;
}

// The real and effective user of a process, from the "Uid:" line of its
// status file ("Uid:\treal\teffective\tsaved\tfs"). Its owner as stat shows it
// would not do: a process that makes itself non-dumpable appears as root's.
bool ReadUids(const char* pPidDir, uid_t* pReal, uid_t* pEffective) {
    char szStatus[2048];
    if (!ReadProcFile(pPidDir, "status", szStatus, sizeof(szStatus))) return false;
    const char* pUid = std::strstr(szStatus, "\nUid:");
    unsigned int nReal = 0;
    unsigned int nEffective = 0;
    if (pUid == nullptr || std::sscanf(pUid, "\nUid: %u %u", &nReal, &nEffective) != 2) {
        return false;
    }
    *pReal = static_cast<uid_t>(nReal);
    *pEffective = static_cast<uid_t>(nEffective);
    return true;
}

enum class Holds { kYes, kNo, kCannotSee };

// Whether the process has one of the sockets among its descriptors: each is a
// link whose target is "socket:[<inode>]".
Holds HoldsPortSocket(const char* pPidDir, const PortSockets& sockets) {
    char szPath[64];
    if (std::snprintf(szPath, sizeof(szPath), "/proc/%s/fd", pPidDir) >=
        static_cast<int>(sizeof(szPath))) {
        return Holds::kNo;
    }
    DIR* pDir = opendir(szPath);
    if (pDir == nullptr) return errno == EACCES ? Holds::kCannotSee : Holds::kNo;
    Holds eHolds = Holds::kNo;
    while (eHolds == Holds::kNo) {
        const struct dirent* pEntry = readdir(pDir);
        if (pEntry == nullptr) break;
        char szTarget[64];
        const ssize_t nLen =
            readlinkat(dirfd(pDir), pEntry->d_name, szTarget, sizeof(szTarget) - 1);
        if (nLen <= 0) continue;  // "." and "..", or a descriptor closed meanwhile
        szTarget[nLen] = '\0';
        unsigned long long nInode = 0;
        char cEnd = 0;
        if (std::sscanf(szTarget, "socket:[%llu%c", &nInode, &cEnd) != 2 || cEnd != ']') continue;
        for (size_t i = 0; i < sockets.nCount; ++i) {
            if (sockets.nInode[i] == nInode) eHolds = Holds::kYes;
        }
    }
    (void)closedir(pDir);  // a directory stream: nothing to report
    return eHolds;
}

// Whether the process, already known to carry the daemon's name, is the daemon
// for a caller whose effective user is nSelf.
bool IsTrustedHolder(const char* pPidDir, const PortSockets& sockets, uid_t nSelf) {
    uid_t nReal = 0;
    uid_t nEffective = 0;
    if (!ReadUids(pPidDir, &nReal, &nEffective)) return false;
    if (!TrustedUid(nReal, nSelf) || !TrustedUid(nEffective, nSelf)) return false;
    switch (HoldsPortSocket(pPidDir, sockets)) {
        case Holds::kYes:
            return true;
        case Holds::kNo:
            return false;
        case Holds::kCannotSee:
            break;
    }
    // Only another user's process hides its descriptors from the caller, and
    // the only other user trusted is root: a root process, and a root socket on
    // the port that no other user could have made.
    if (nReal != kRootUid || nEffective != kRootUid) return false;
    for (size_t i = 0; i < sockets.nCount; ++i) {
        if (sockets.nUid[i] == kRootUid) return true;
    }
    return false;
}

}  // namespace

int32_t FindProcessByName(const char* pName) {
    if (pName == nullptr || *pName == '\0') return 0;
    size_t nNameLen = std::strlen(pName);
    if (nNameLen > kCommLen) nNameLen = kCommLen;

    const uid_t nSelf = geteuid();
    PortSockets sockets;
    if (!ReadPortSockets(nSelf, &sockets) || sockets.nCount == 0 || sockets.bForeign) return 0;

    DIR* pDir = opendir("/proc");
    if (pDir == nullptr) return 0;
    int32_t nPid = 0;
    while (struct dirent* pEntry = readdir(pDir)) {
        const char* pDigits = pEntry->d_name;
        if (*pDigits < '1' || *pDigits > '9') continue;
        if (std::strspn(pDigits, "0123456789") != std::strlen(pDigits)) continue;
        if (ProcessMatches(pDigits, pName, nNameLen) && IsTrustedHolder(pDigits, sockets, nSelf)) {
            nPid = static_cast<int32_t>(std::strtol(pDigits, nullptr, 10));
            break;
        }
    }
    (void)closedir(pDir);  // a directory stream: nothing to report
    return nPid;
}

int32_t CountPortSockets() {
    PortSockets sockets;
    if (!ReadPortSockets(geteuid(), &sockets)) return -1;
    return static_cast<int32_t>(sockets.nSeen);
}
