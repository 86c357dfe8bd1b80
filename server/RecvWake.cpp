#include "server/RecvWake.h"

#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int kNoFd = -1;
constexpr size_t kDrainChunk = 64;

// Published once, before the first WakeRecvLoop can see them, never changed
// afterwards: the read end first (the one OpenRecvWake's callers race for),
// then the write end. Acquire/release: a handler that sees the write end sees
// an open pipe. Lock-free, as a signal handler reads them.
std::atomic<int> g_nWakeRead{kNoFd};
std::atomic<int> g_nWakeWrite{kNoFd};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the descriptor");

}  // namespace

int OpenRecvWake() {
    const int nRead = g_nWakeRead.load(std::memory_order_acquire);
    if (nRead != kNoFd) return nRead;
    int nFds[2] = {kNoFd, kNoFd};
    // Both ends non-blocking: the loop drains without waiting, and a writer
    // never blocks on a full pipe (which holds a wake-up already).
    if (pipe2(nFds, O_NONBLOCK | O_CLOEXEC) != 0)
        return g_nWakeRead.load(std::memory_order_acquire);
    CUniqueFd readEnd(nFds[0]);
    CUniqueFd writeEnd(nFds[1]);
    int nPublished = kNoFd;
    if (!g_nWakeRead.compare_exchange_strong(nPublished, readEnd.Get(), std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
        return nPublished;  // another thread's pipe came first; this one is closed unused
    }
    g_nWakeWrite.store(writeEnd.Release(), std::memory_order_release);
    return readEnd.Release();
}

void WakeRecvLoop() {
    const int nFd = g_nWakeWrite.load(std::memory_order_acquire);
    if (nFd == kNoFd) return;
    const int nSavedErrno = errno;
    const char cByte = 'w';
    // EAGAIN (a full pipe) means a wake-up is pending already; nothing else
    // can go wrong with an open pipe whose read end this process keeps.
    (void)!write(nFd, &cByte, 1);
    errno = nSavedErrno;
}

void DrainRecvWake() {
    const int nFd = g_nWakeRead.load(std::memory_order_acquire);
    if (nFd == kNoFd) return;
    char szBuf[kDrainChunk];
    // Ends at EAGAIN, the pipe empty.
    while (read(nFd, szBuf, sizeof(szBuf)) > 0) {
    }
}
