// ZuVozAdavid: the log daemon. It appends every datagram that arrives on
// 127.0.0.1:12345 unchanged to the rotating files SDK_00.log .. SDK_0(N-1).log
// in <base>/ZqSdkLog, configured by <base>/ZqSdkLog/LogServer.ini (followed
// while it runs). <base> is the first line of Path.ini in the directory it is
// started from, or /var/log/ZQS.
//
// Start-up: banner, base directory, single-instance lock (a second daemon
// refuses to start, exit status 1), detach with daemon(0, 0), pid file, log
// module in file mode (a missing LogServer.ini is written with the defaults),
// receive loop. SIGTERM and SIGINT stop it in order: the
// receive loop takes what is queued on its socket and returns, DestroyAsyncLog
// lets the writer drain the ring and closes the file, and the process exits 0.

#include "logmodule/LogModule.h"
#include "server/InstanceLock.h"
#include "server/MessageRecv.h"
#include "upstream/UpstreamSender.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;  // another daemon runs, or the lock cannot be made

constexpr size_t kPathBufLen = 260;
constexpr size_t kPathIniReadMax = 255;  // leaves the text terminated
constexpr const char* kPathIni = "Path.ini";
constexpr const char* kDefaultBaseDir = "/var/log/ZQS";
constexpr const char* kLogSubDir = "ZqSdkLog";
constexpr const char* kConfigFile = "LogServer.ini";
constexpr const char* kFilePrefix = "SDK";
constexpr mode_t kLogDirMode = 0775;

// Diagnostics of the forwarding sender become records of the daemon's own.
void NoteForward(int32_t nLevel, const char* pText) {
    (void)WriteLog(nLevel, __FILE__, __LINE__, "Forward", "", "%s", pText);
}

// Only sets the flag; the receive loop does the rest on the main thread.
void OnStopSignal(int) { g_bStopRecv.store(true, std::memory_order_relaxed); }

// The base directory: the first line of Path.ini, backslashes turned into
// slashes; the default when the file cannot be read. The file is opened for
// reading only, so a read-only Path.ini (or one on a read-only file system)
// counts.
void ReadBaseDir(char* pBase) {
    FILE* pFile = std::fopen(kPathIni, "rb");
    if (pFile == nullptr) {
        std::snprintf(pBase, kPathBufLen, "%s", kDefaultBaseDir);
        return;
    }
    const size_t nRead = std::fread(pBase, 1, kPathIniReadMax, pFile);
    pBase[nRead] = '\0';
    // Opened for reading: a failing close loses nothing.
    (void)std::fclose(pFile);
    const size_t nLen = std::strlen(pBase);
    for (size_t i = 0; i < nLen; ++i) {
        if (pBase[i] == '\\') {
            pBase[i] = '/';
        } else if (pBase[i] == '\r' || pBase[i] == '\n') {
            pBase[i] = '\0';
        }
    }
}

// "<dir>/<name>" into a kPathBufLen buffer, cut at 259 characters. A cut path is
// longer than SetLogPath accepts (256): it is refused and the module keeps its
// default.
void JoinPath(char* pOut, const char* pDir, const char* pName) {
    const int nLen = std::snprintf(pOut, kPathBufLen, "%s/%s", pDir, pName);
    if (nLen < 0 || static_cast<size_t>(nLen) >= kPathBufLen) {
        (void)ConsolePrint("path cut at %zu characters: %s\n", kPathBufLen - 1, pOut);
    }
}

// A first start finds no LogServer.ini: it is written with the settings the
// daemon uses without one, as a template to edit. Without it the writer would
// have no file to watch, and a LogServer.ini made later would take effect only
// at the next start. True when the file was written; an existing file (also
// one that appeared meanwhile) is never replaced.
bool WriteDefaultConfig(const char* pLogDir, const char* pCfgPath) {
    static const char kDefaults[] =
        "[Level]\r\nLogLevel=4\r\n[File]\r\nFileSize=20\r\nFileNum=10\r\n";
    // The engine creates the log directory too, later; levels already there are fine.
    char szDir[kPathBufLen];
    std::snprintf(szDir, sizeof(szDir), "%s", pLogDir);
    for (char* p = szDir + 1; *p != '\0'; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        (void)mkdir(szDir, kLogDirMode);  // EEXIST is the common case
        *p = '/';
    }
    (void)mkdir(szDir, kLogDirMode);
    const int nFd = open(pCfgPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (nFd < 0) return false;
    const ssize_t nLen = static_cast<ssize_t>(sizeof(kDefaults) - 1);
    const bool bWritten = write(nFd, kDefaults, sizeof(kDefaults) - 1) == nLen;
    if (close(nFd) != 0 || !bWritten) {
        (void)unlink(pCfgPath);  // a half-written file would hide the defaults
        return false;
    }
    return true;
}

bool InstallStopHandlers() {
    struct sigaction stAction;
    std::memset(&stAction, 0, sizeof(stAction));
    stAction.sa_handler = OnStopSignal;
    // No SA_RESTART: a wait of the receive loop that the signal interrupts ends
    // at once and the loop sees the flag.
    stAction.sa_flags = 0;
    if (sigemptyset(&stAction.sa_mask) != 0) return false;
    return sigaction(SIGTERM, &stAction, nullptr) == 0 &&
           sigaction(SIGINT, &stAction, nullptr) == 0;
}

// Blocks (bBlock) or unblocks the stop signals for the calling thread. Threads
// inherit the mask, so the engine's writer, created while they are blocked,
// never takes them and the main thread's wait is the one interrupted.
void SetStopSignalsBlocked(bool bBlock) {
    sigset_t stSet;
    // sigemptyset and sigaddset fail only for an invalid signal number.
    (void)sigemptyset(&stSet);
    (void)sigaddset(&stSet, SIGTERM);
    (void)sigaddset(&stSet, SIGINT);
    // Fails only for an invalid "how"; the handlers work either way.
    (void)pthread_sigmask(bBlock ? SIG_BLOCK : SIG_UNBLOCK, &stSet, nullptr);
}

}  // namespace

int main() {
    (void)ConsolePrint("start to logserver\n");

    char szBaseDir[kPathBufLen] = {};
    ReadBaseDir(szBaseDir);

    CInstanceLock stLock;
    const int32_t nLockRet = stLock.Acquire();
    if (nLockRet != kLockOk) {
        if (nLockRet == kLockHeld) {
            std::fprintf(stderr,
                         "ZuVozAdavid: another ZuVozAdavid is already running "
                         "(lock \"@%s\" is held); not starting\n",
                         kInstanceLockName);
        } else {
            std::fprintf(stderr, "ZuVozAdavid: cannot take the instance lock \"@%s\": %s\n",
                         kInstanceLockName, std::strerror(errno));
        }
        return kExitRefused;
    }

    if (daemon(0, 0) == -1) {
        (void)ConsolePrint("daemon error\n");
        return kExitOk;
    }
    // From here on a stop signal ends the daemon in order (also before the
    // receive loop runs: the loop then returns at once).
    g_bStopRecv.store(false, std::memory_order_relaxed);
    if (!InstallStopHandlers()) {
        (void)ConsolePrint("cannot handle SIGTERM/SIGINT: stopping drops queued records\n");
    }
    // Without a pid file the daemon still works; init scripts then find it by
    // other means.
    (void)stLock.WritePidFile();

    char szLogDir[kPathBufLen] = {};
    JoinPath(szLogDir, szBaseDir, kLogSubDir);
    (void)ConsolePrint("set log path[%s]\n", szLogDir);
    // A refused setting leaves the module's default in place.
    (void)SetLogPath(szLogDir, kFilePrefix);
    (void)SetLogMode(ZQ_MODE_FILES);
    char szCfgPath[kPathBufLen] = {};
    JoinPath(szCfgPath, szLogDir, kConfigFile);
    if (LoadLogConfig(szCfgPath) != 0 && WriteDefaultConfig(szLogDir, szCfgPath)) {
        // The file just written holds the defaults; loading it makes the
        // writer watch it, so later edits take effect without a restart.
        (void)LoadLogConfig(szCfgPath);
    }
    (void)ConsolePrint("set log path[%s]\n", szCfgPath);

    SetStopSignalsBlocked(true);
    if (CreateAsyncLog() != 0) {
        (void)ConsolePrint("CreateAsyncLog failed\n");
        (void)DestroyAsyncLog();
    }
    // Forwarding to a collector, when LogServer.ini [Forward] names one.
    CUpstreamSender stUpstream;
    (void)stUpstream.Start(szLogDir, szCfgPath, kFilePrefix, NoteForward);
    SetStopSignalsBlocked(false);

    (void)MessageRecv(szBaseDir);

    stUpstream.Stop();
    // The writer drains the ring and the file is closed before the process ends.
    (void)DestroyAsyncLog();
    return kExitOk;
}
