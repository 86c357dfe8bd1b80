#pragma once

#include "platform/DaemonPaths.h"
#include "platform/UniqueFd.h"
#include "platform/WireContract.h"

#include <cstddef>
#include <cstdint>

// Only one daemon runs at a time. The daemon takes a lock before it detaches:
// flock on a lock file in its run directory, a directory it makes for itself
// and that only its user can write (TrustedDir.h): kRunDir for root, which
// only root can create in a /run that is root's; for another user its
// directory under that user's /run/user/<uid>. The kernel releases the lock
// when its holder ends, however it ends; it lives on in the detached process,
// which inherits the open descriptor from the fork that detaches it
// (StartUp.h).
//
// Where no run directory can be had (no /run/user/<uid> for a user other than
// root, /run not writable, or a kRunDir that is not the daemon's: another user
// made it before the first start in a /run anyone may write), the lock and the
// pid file live in the log directory instead, once it has been found trusted.
// That lock is the log directory's only; a second daemon with another log
// directory then fails to bind the port that the first one holds.
//
// The pid file tells init scripts which process to signal. The detached daemon
// writes it next to the lock as the decimal pid and a newline (a reader that
// finds no newline yet retries); it is a fresh file, a regular file of the
// daemon's user with one link, never one found in its place. It is removed at
// an orderly exit; after a crash it stays, so a reader checks that the process
// it names is the daemon.

constexpr int32_t kLockOk = 0;
constexpr int32_t kLockHeld = -1;      // another daemon holds the lock
constexpr int32_t kLockFailed = -2;    // the lock file could not be used (Why says why)
constexpr int32_t kLockNoRunDir = -3;  // no run directory (Why says why): lock elsewhere

// Owner of the lock and of the pid file; used by the daemon (Daemon.h) on its
// main thread.
class CInstanceLock {
public:
    CInstanceLock();
    ~CInstanceLock();  // RemovePidFile, then releases the lock
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // Takes the lock in the run directory, making it when it is missing.
    // kLockOk; kLockHeld; kLockNoRunDir; kLockFailed.
    int32_t Acquire();
    // Takes the lock in the directory dir (the caller has found it trusted),
    // shown as pDirPath; the descriptor is kept while the lock is held and
    // closed otherwise. kLockOk (also when a lock is held already); kLockHeld;
    // kLockFailed.
    int32_t AcquireIn(CUniqueFd dir, const char* pDirPath);
    // Writes the calling process's id into a fresh pid file next to the lock;
    // 0, or -1 when it could not be written (or no lock is held).
    int32_t WritePidFile();
    // Removes the pid file when it still names this process.
    void RemovePidFile();
    // The pid file written, or an empty text.
    const char* PidFile() const { return m_szPidFile; }
    // The directory of the lock and the pid file, the one place the daemon
    // found trusted for its run files (also the statistics, Stats.h): a
    // descriptor that stays valid while the lock is held; -1 until locked.
    int DirFd() const { return m_DirFd.Get(); }
    // The lock file, or the directory it was looked for in.
    const char* Where() const { return m_szWhere; }
    // Why the last Acquire or AcquireIn did not succeed.
    const char* Why() const { return m_szWhy; }

private:
    int32_t LockIn(CUniqueFd dir, const char* pDirPath);

    CUniqueFd m_DirFd;   // the directory of the lock and the pid file; not Valid until locked
    CUniqueFd m_LockFd;  // the locked file; not Valid until locked
    char m_szDir[288];   // the path of m_nDirFd, for messages
    char m_szWhere[320];
    char m_szWhy[320];
    char m_szPidFile[320];  // empty until WritePidFile succeeds
};
