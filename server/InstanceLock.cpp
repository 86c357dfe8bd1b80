#include "server/InstanceLock.h"

#include "platform/UniqueFd.h"
#include "server/TrustedDir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kPidTextLen = 24;
constexpr mode_t kRunDirMode = 0755;    // others may read the pid file
constexpr mode_t kLockFileMode = 0600;  // only the daemon's user opens it
constexpr mode_t kPidFileMode = 0644;

// True when the open file is a regular file of the calling process's
// effective user with one link: a file the daemon made itself, not a FIFO, a
// device, another user's file or a second name of some other file.
bool IsOwnPlainFile(int nFd) {
    struct stat st {};
    return fstat(nFd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           st.st_uid == geteuid();
}

// Reads the pid a pid file names; 0 when it cannot be read.
long ReadPid(int nDirFd, const char* pName) {
    char szText[kPidTextLen] = {};
    ssize_t nRead = -1;
    {
        // Read-only descriptor: nothing to lose at close.
        const CUniqueFd file(openat(nDirFd, pName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!file.Valid()) return 0;
        if (IsOwnPlainFile(file.Get())) nRead = read(file.Get(), szText, sizeof(szText) - 1);
    }
    if (nRead <= 0) return 0;
    return std::strtol(szText, nullptr, 10);
}

// Writes the text into a fresh file pName in nDirFd in one call; true when all
// of it was written. Whatever had the name before is removed first, whatever
// it was: the daemon holds the lock, so an old pid file is stale.
bool WriteFresh(int nDirFd, const char* pName, const char* pText, size_t nLen) {
    if (unlinkat(nDirFd, pName, 0) != 0 && errno != ENOENT) return false;  // e.g. a directory
    // O_EXCL: a name that appeared meanwhile is not used; together with
    // O_NOFOLLOW and O_NONBLOCK no open can follow a link or wait for a FIFO.
    CUniqueFd file(openat(nDirFd, pName,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          kPidFileMode));
    if (!file.Valid()) return false;
    bool bOk = IsOwnPlainFile(file.Get());
    // Readable by everyone, whatever the umask: init scripts and status
    // queries of other users read it. A failure leaves it narrower.
    if (bOk) (void)fchmod(file.Get(), kPidFileMode);
    if (bOk) bOk = write(file.Get(), pText, nLen) == static_cast<ssize_t>(nLen);
    bOk = file.Close() == 0 && bOk;
    if (!bOk) {
        // A partial pid file would name the wrong process.
        (void)unlinkat(nDirFd, pName, 0);
    }
    return bOk;
}

}  // namespace

CInstanceLock::CInstanceLock()
    : m_DirFd(), m_LockFd(), m_szDir{}, m_szWhere{}, m_szWhy{}, m_szPidFile{} {}

CInstanceLock::~CInstanceLock() {
    RemovePidFile();
    // Closing the lock file releases the lock. Nothing was written through
    // these descriptors; a failed close loses nothing.
    m_LockFd.Reset();
    m_DirFd.Reset();
}

int32_t CInstanceLock::Acquire() {
    if (m_LockFd.Valid()) return kLockOk;
    char szRunDir[64];
    const uid_t nSelf = geteuid();
    if (nSelf == 0) {
        std::snprintf(szRunDir, sizeof(szRunDir), "%s", kRunDir);
    } else {
        std::snprintf(szRunDir, sizeof(szRunDir), kUserRunDirFormat, static_cast<unsigned>(nSelf));
    }
    std::snprintf(m_szWhere, sizeof(m_szWhere), "%s", szRunDir);
    int nDirFd = -1;
    // Only the run directory itself is made: for a user, /run/user/<uid> comes
    // from the session manager or not at all.
    if (PrepareTrustedDir(szRunDir, kRunDirMode, kDirCheck, m_szWhy, sizeof(m_szWhy), &nDirFd) !=
        kDirTrusted) {
        return kLockNoRunDir;
    }
    return LockIn(CUniqueFd(nDirFd), szRunDir);
}

int32_t CInstanceLock::AcquireIn(CUniqueFd dir, const char* pDirPath) {
    if (m_LockFd.Valid()) return kLockOk;
    return LockIn(std::move(dir), pDirPath != nullptr ? pDirPath : "");
}

int32_t CInstanceLock::LockIn(CUniqueFd dir, const char* pDirPath) {
    std::snprintf(m_szWhere, sizeof(m_szWhere), "%s/%s", pDirPath, kLockFileName);
    m_szWhy[0] = '\0';
    // Unless the lock is taken, both descriptors close on return; nothing was
    // written through them.
    CUniqueFd lockFile(openat(dir.Get(), kLockFileName,
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                              kLockFileMode));
    if (!lockFile.Valid()) {
        std::snprintf(m_szWhy, sizeof(m_szWhy), "%s", std::strerror(errno));
        return kLockFailed;
    }
    if (!IsOwnPlainFile(lockFile.Get())) {
        std::snprintf(m_szWhy, sizeof(m_szWhy),
                      "not a regular file of the daemon's user with one link");
        return kLockFailed;
    }
    if (flock(lockFile.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int nErr = errno;
        std::snprintf(m_szWhy, sizeof(m_szWhy), "%s", std::strerror(nErr));
        return nErr == EWOULDBLOCK ? kLockHeld : kLockFailed;
    }
    m_LockFd = std::move(lockFile);
    m_DirFd = std::move(dir);
    std::snprintf(m_szDir, sizeof(m_szDir), "%s", pDirPath);
    return kLockOk;
}

int32_t CInstanceLock::WritePidFile() {
    if (!m_DirFd.Valid()) return -1;
    char szText[kPidTextLen];
    const int nLen = std::snprintf(szText, sizeof(szText), "%ld\n", static_cast<long>(getpid()));
    if (nLen <= 0 || static_cast<size_t>(nLen) >= sizeof(szText)) return -1;
    if (!WriteFresh(m_DirFd.Get(), kPidFileName, szText, static_cast<size_t>(nLen))) return -1;
    std::snprintf(m_szPidFile, sizeof(m_szPidFile), "%s/%s", m_szDir, kPidFileName);
    return 0;
}

void CInstanceLock::RemovePidFile() {
    if (m_szPidFile[0] == '\0') return;
    if (ReadPid(m_DirFd.Get(), kPidFileName) == static_cast<long>(getpid())) {
        // Best effort: a pid file left behind is recognised as stale by readers.
        (void)unlinkat(m_DirFd.Get(), kPidFileName, 0);
    }
    m_szPidFile[0] = '\0';
}
