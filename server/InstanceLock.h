#pragma once

#include "platform/WireContract.h"

#include <cstdint>

// Only one daemon may receive on 127.0.0.1:12345: the endpoint switches address
// reuse on, so a second one would bind the same port and silently take a share
// of the datagrams. The daemon therefore takes a machine-wide lock before it
// detaches: a unix socket bound to a name in the abstract namespace. The name
// has the scope of the port (the network namespace), needs no file and no
// permission, and is released by the kernel when its holder ends, however it
// ends; it survives the fork of daemon() because the child inherits the socket.
//
// The pid file tells init scripts which process to signal. It is written by the
// detached daemon, to kPidFilePath or, when /run is not writable, to
// kPidFileFallback, as the decimal pid followed by a newline (a reader that finds
// no newline yet retries). It is removed at an orderly exit; after a crash it
// stays, so a reader checks that the process it names is a ZuVozAdavid.
constexpr const char* kInstanceLockName = kLogServerName;  // abstract socket name
constexpr const char* kPidFilePath = "/run/ZuVozAdavid.pid";
constexpr const char* kPidFileFallback = "/tmp/ZuVozAdavid.pid";

constexpr int32_t kLockOk = 0;
constexpr int32_t kLockHeld = -1;    // another daemon holds the lock
constexpr int32_t kLockFailed = -2;  // the lock could not be made (errno says why)

// Owner of the lock and of the pid file; used by main on one thread.
class CInstanceLock {
public:
    CInstanceLock();
    ~CInstanceLock();  // RemovePidFile, then releases the lock
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // kLockOk; kLockHeld; kLockFailed with errno set.
    int32_t Acquire();
    // Writes the calling process's id into the pid file; 0, or -1 when neither
    // location could be written.
    int32_t WritePidFile();
    // Removes the pid file when it still names this process.
    void RemovePidFile();
    // The pid file written, or an empty text.
    const char* PidFile() const { return m_szPidFile; }

private:
    int m_nSocket;         // -1 until Acquire succeeds
    char m_szPidFile[64];  // empty until WritePidFile succeeds
};
