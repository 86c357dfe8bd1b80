#include "platform/LocalIntake.h"

#include "platform/UdpNetLayer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr mode_t kIntakeMode = 0666;  // every local user may send: the kernel says who
constexpr int kSockOptOn = 1;
constexpr const char* kQueueLenSetting = "/proc/sys/net/unix/max_dgram_qlen";

// The system's queue length of local datagram sockets; 0 when unknown.
uint32_t ReadQueueLen() {
    char szText[16] = {};
    const CUniqueFd file(open(kQueueLenSetting, O_RDONLY | O_CLOEXEC));  // read only: no loss
    if (!file.Valid() || read(file.Get(), szText, sizeof(szText) - 1) <= 0) return 0;
    return static_cast<uint32_t>(std::strtoul(szText, nullptr, 10));
}

// Sets it; false when it may not be written.
bool WriteQueueLen(uint32_t nLen) {
    char szText[16];
    const int nText = std::snprintf(szText, sizeof(szText), "%u\n", nLen);
    CUniqueFd file(open(kQueueLenSetting, O_WRONLY | O_CLOEXEC));
    const bool bWritten =
        file.Valid() && nText > 0 && write(file.Get(), szText, static_cast<size_t>(nText)) == nText;
    return file.Close() == 0 && bWritten;
}

// A local datagram socket whose queue holds at least kIntakeQueueLen
// datagrams where the system lets the caller raise the setting for it;
// *pQueueLen receives the count it got (0 unknown).
CUniqueFd MakeSocket(uint32_t* pQueueLen) {
    const uint32_t nSystem = ReadQueueLen();
    const bool bRaised =
        nSystem != 0 && nSystem < kIntakeQueueLen && WriteQueueLen(kIntakeQueueLen);
    CUniqueFd socketFd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // Put back at once: only this socket was to get the longer queue. Should
    // that fail, later sockets get it as well, which costs them nothing.
    if (bRaised) (void)WriteQueueLen(nSystem);
    *pQueueLen = bRaised ? kIntakeQueueLen : nSystem;
    return socketFd;
}

bool Fail(char* pWhy, size_t nWhyLen, const char* pWhat, int nErr) {
    if (pWhy != nullptr && nWhyLen > 0) {
        (void)std::snprintf(pWhy, nWhyLen, "%s: %s", pWhat,
                            std::strerror(nErr));  // cut: still said
    }
    return false;
}

// Clears the name for the socket: nothing there, or a stale socket file of
// root's or of the calling user, which goes. Anything else stays and refuses.
bool ClearName(const char* pPath, char* pWhy, size_t nWhyLen) {
    struct stat st {};
    if (lstat(pPath, &st) != 0) return errno == ENOENT || Fail(pWhy, nWhyLen, "lstat", errno);
    if (!S_ISSOCK(st.st_mode) || (st.st_uid != 0 && st.st_uid != geteuid())) {
        return Fail(pWhy, nWhyLen,
                    "the name is taken by something that is no socket of the daemon's", EEXIST);
    }
    return unlink(pPath) == 0 || Fail(pWhy, nWhyLen, "removing the stale socket", errno);
}

}  // namespace

CLocalIntake::CLocalIntake(CUniqueFd socket, const char* pPath, ino_t nIno, uint32_t nQueueLen)
    : m_Socket(std::move(socket)), m_szPath{}, m_nIno(nIno), m_nQueueLen(nQueueLen) {
    (void)std::snprintf(m_szPath, sizeof(m_szPath), "%s", pPath);  // Open checked that it fits
}

CLocalIntake::~CLocalIntake() {
    RemovePath();
    // Only received through: nothing to lose at close.
    m_Socket.Reset();
}

std::unique_ptr<CLocalIntake> CLocalIntake::Open(const char* pPath, char* pWhy, size_t nWhyLen) {
    if (pWhy != nullptr && nWhyLen > 0) pWhy[0] = '\0';
    sockaddr_un stAddr{};
    stAddr.sun_family = AF_UNIX;
    if (pPath == nullptr || std::strlen(pPath) >= sizeof(stAddr.sun_path)) {
        (void)Fail(pWhy, nWhyLen, "path", ENAMETOOLONG);
        return nullptr;
    }
    std::memcpy(stAddr.sun_path, pPath, std::strlen(pPath) + 1);
    uint32_t nQueueLen = 0;
    CUniqueFd socketFd = MakeSocket(&nQueueLen);
    if (!socketFd.Valid()) {
        (void)Fail(pWhy, nWhyLen, "socket", errno);
        return nullptr;
    }
    const int nFd = socketFd.Get();
    const int nOn = kSockOptOn;
    if (setsockopt(nFd, SOL_SOCKET, SO_PASSCRED, &nOn, sizeof(nOn)) != 0) {
        (void)Fail(pWhy, nWhyLen, "SO_PASSCRED", errno);
        return nullptr;
    }
    // As for the UDP endpoint: root gets the whole size past the system's cap,
    // anyone else what the cap allows. Either works.
    const int nRecvBuf = kNetKernelRecvBuf;
    if (setsockopt(nFd, SOL_SOCKET, SO_RCVBUFFORCE, &nRecvBuf, sizeof(nRecvBuf)) != 0) {
        (void)setsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &nRecvBuf, sizeof(nRecvBuf));
    }
    if (!ClearName(pPath, pWhy, nWhyLen)) return nullptr;
    if (bind(nFd, reinterpret_cast<const sockaddr*>(&stAddr), sizeof(stAddr)) != 0) {
        (void)Fail(pWhy, nWhyLen, "bind", errno);
        return nullptr;
    }
    // The file is made with the daemon's umask; senders need write permission.
    struct stat st {};
    if (chmod(pPath, kIntakeMode) != 0 || lstat(pPath, &st) != 0) {
        (void)Fail(pWhy, nWhyLen, "chmod", errno);
        (void)unlink(pPath);
        return nullptr;
    }
    std::unique_ptr<CLocalIntake> pIntake(
        new (std::nothrow) CLocalIntake(std::move(socketFd), pPath, st.st_ino, nQueueLen));
    if (pIntake == nullptr) {
        (void)Fail(pWhy, nWhyLen, "memory", ENOMEM);
        (void)unlink(pPath);
    }
    return pIntake;
}

int CLocalIntake::TakeBatch(CNetRecvBatch* pBatch) {
    if (pBatch == nullptr || !pBatch->Valid()) return -1;
    pBatch->SetCount(0);
    const int nGot =
        recvmmsg(m_Socket.Get(), pBatch->Headers(), pBatch->Capacity(), MSG_DONTWAIT, nullptr);
    if (nGot > 0) pBatch->SetCount(static_cast<uint32_t>(nGot));
    if (nGot >= 0) return nGot;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

void CLocalIntake::Seal() {
    RemovePath();
    // Without it a connected client's sends go on queueing until the close,
    // and what the close finds queued is lost; nothing worse.
    (void)shutdown(m_Socket.Get(), SHUT_RD);
}

void CLocalIntake::RemovePath() {
    if (m_szPath[0] == '\0') return;
    struct stat st {};
    // Another daemon's socket under the name (one that took the lock after
    // this one's end) is not this one's to remove.
    if (lstat(m_szPath, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == m_nIno) {
        (void)unlink(m_szPath);  // a leftover is replaced at the next start
    }
    m_szPath[0] = '\0';
}
