// ZuVozAdavid: the log daemon. It appends every datagram that arrives on
// 127.0.0.1:12345 unchanged to the rotating files SDK_00.log .. SDK_0(N-1).log
// in <base>/ZqSdkLog, configured by <base>/ZqSdkLog/LogServer.ini (followed
// while it runs). <base> is the first line of Path.ini in the directory it is
// started from, or /var/log/ZQS.
//
// Start-up: command line, its own umask, banner, base directory and paths
// (printed before detaching), single-instance lock (a second daemon refuses to
// start) and a log directory no other user can write (else it refuses), detach
// (StartUp.h: the starter waits until the daemon receives), signal handlers,
// pid file, log module in file mode (a missing LogServer.ini is written with the
// defaults), receive endpoint bound (or the socket a service manager passed
// taken over, ListenSocket.h), ready, receive loop. Any failure on the way is
// one line on standard error and exit status 1. SIGTERM and SIGINT stop it in
// order: the receive loop takes what is queued on its socket and returns,
// DestroyAsyncLog lets the writer drain the ring and closes the file, and the
// process exits 0 (Signals.h lists the other signals; after SIGPWR the log
// files are synced to disk when the loop sees the stop and after the drain).

#include "asynclog/ZIdOrereDov.h"
#include "logmodule/LogModule.h"
#include "logmodule/LogModuleExt.h"
#include "platform/DaemonPaths.h"
#include "platform/WireContract.h"
#include "platform/ZQThread.h"
#include "server/CommandLine.h"
#include "server/InstanceLock.h"
#include "server/ListenSocket.h"
#include "server/RecvLoop.h"
#include "server/Signals.h"
#include "server/StartUp.h"
#include "server/Stats.h"
#include "server/StartGuard.h"
#include "upstream/UpstreamSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace {

constexpr size_t kPathBufLen = 260;
constexpr size_t kPathIniReadMax = 255;  // leaves the text terminated
constexpr mode_t kLogDirMode = 0775;
constexpr uint32_t kReceiveLoopPriorityClass = 3;  // FIFO 75, above the writers' 50

// The base directory: the first line of Path.ini, backslashes turned into
// slashes; the default when the file cannot be read. The file is opened for
// reading only, so a read-only Path.ini (or one on a read-only file system)
// counts.
void ReadBaseDir(char* pBase) {
    FILE* pFile = OpenStartFile(kPathIni);  // null also for a file that may not be trusted
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

bool g_bForeground = false;  // main's thread only
bool g_bOwnRecords = false;  // main's thread only
// Records of the daemon's own that it queued (main's and the sender's thread
// add, relaxed).
std::atomic<uint64_t> g_nOwnQueued{0};

// A record of the daemon's own, in its files under its name; in the
// foreground also on standard error.
void OwnRecord(int32_t nLevel, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
void OwnRecord(int32_t nLevel, const char* pFormat, ...) {
    char szText[kMaxRecordLen];
    va_list args;
    va_start(args, pFormat);
    (void)std::vsnprintf(szText, sizeof(szText), pFormat, args);  // cut: still a record
    va_end(args);
    int32_t nCurrent = 0;
    (void)GetLogLevel(&nCurrent);  // a filtered record is not queued, not counted
    if (WriteLog(nLevel, __FILE__, __LINE__, kLogServerName, "", "%s", szText) == ZQ_OK &&
        nLevel <= nCurrent) {
        g_nOwnQueued.fetch_add(1, std::memory_order_relaxed);
    }
    if (g_bForeground) std::fprintf(stderr, "%s: %s\n", kLogServerName, szText);
}

// Diagnostics of the forwarding sender (its thread) are records of the
// daemon's own whenever forwarding is configured: they reach the collector too.
void NoteForward(int32_t nLevel, const char* pText) { OwnRecord(nLevel, "%s", pText); }

// The figures of the receive loop, the log and the sender (null before it
// exists).
bool CollectDaemonStats(const CRecvLoop& loop, const CUpstreamSender* pUpstream,
                        DaemonStats* pStats) {
    if (!CollectStats(loop.Counters(), g_nOwnQueued.load(std::memory_order_relaxed), pStats))
        return false;
    if (pUpstream != nullptr) pStats->stForward = pUpstream->GetStats();
    return true;
}

// Writes what the log directory's file system holds in memory to its disk,
// when a stop came with SIGPWR: the power is failing. Without a descriptor of
// the directory (it was removed meanwhile) every file system is synced.
void SyncLogFilesIfAsked(const char* pLogDir) {
    if (!g_bSyncRequest.load(std::memory_order_relaxed)) return;
    const int nFd = open(pLogDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nFd < 0 || syncfs(nFd) != 0) sync();
    // Opened for syncing only: nothing to lose at close.
    if (nFd >= 0) (void)close(nFd);
}

// What the receive loop's hooks work with; main's, the hooks run on its thread.
class CMainHooks final : public CRecvHooks {
public:
    CMainHooks(const CUpstreamSender* pUpstream, int nRunDirFd, const char* pLogDir)
        : m_pUpstream(pUpstream), m_nRunDirFd(nRunDirFd), m_pLogDir(pLogDir), m_pLoop(nullptr) {}
    void SetLoop(const CRecvLoop* pLoop) { m_pLoop = pLoop; }

    // Once a second the statistics file; on SIGUSR1 also a record of them.
    void OnRecvTick(bool bRequested) override {
        DaemonStats stStats{};
        if (!CollectDaemonStats(*m_pLoop, m_pUpstream, &stStats)) return;
        char szText[512];
        (void)FormatStats(stStats, "\n", szText, sizeof(szText));
        // A full file system or a missing directory: the figures stay in memory,
        // for SIGUSR1 and the stop.
        (void)WriteStatsFile(m_nRunDirFd, szText);
        if (bRequested && g_bOwnRecords) {
            (void)FormatStats(stStats, ", ", szText, sizeof(szText));
            OwnRecord(ZQ_LEVEL_INFO, "statistics: %s", szText);
        }
    }
    // The receive loop has seen the stop: the first sync comes before the drain.
    void OnRecvStop() override { SyncLogFilesIfAsked(m_pLogDir); }

private:
    const CUpstreamSender* m_pUpstream;
    int m_nRunDirFd;        // the lock's directory, where the statistics file lies
    const char* m_pLogDir;  // synced to disk after SIGPWR
    const CRecvLoop* m_pLoop;
};

// Binds the daemon's endpoint into *pContext (a std::unique_ptr<CUdpNetLayer>),
// or takes over the socket a service manager passed; false, with one line on
// standard error, when the port cannot be had. A passed socket that is not the
// daemon's is refused, said on standard error, and the port bound as always.
bool BindPort(void* pContext) {
    auto* pNet = static_cast<std::unique_ptr<CUdpNetLayer>*>(pContext);
    int32_t nBound = 0;
    char szWhy[160];
    const int nPassed = TakeListenSocket(szWhy, sizeof(szWhy));
    if (nPassed >= 0) {
        *pNet = AdoptReceiveEndpoint(CUniqueFd(nPassed), &nBound);
        if (nBound == 0) return true;
        std::snprintf(szWhy, sizeof(szWhy), "it cannot be used (error %#x)",
                      static_cast<unsigned>(nBound));
    }
    if (nPassed != kNoListenSocket) {
        std::fprintf(stderr,
                     "%s: refusing the socket passed by the service manager: %s; binding "
                     "the port itself\n",
                     kLogServerName, szWhy);
    }
    *pNet = OpenReceiveEndpoint(&nBound);
    if (nBound == 0) return true;
    (void)CStartUp::Fail("cannot receive on UDP port %u of 127.0.0.1 (error %#x): is it in use?",
                         static_cast<unsigned>(kLogServerPort), static_cast<unsigned>(nBound));
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    DaemonOptions stOptions;
    const int nParsed = ParseCommandLine(argc, argv, &stOptions);
    if (nParsed != kStartDaemon) return nParsed;
    // Before anything is created: the daemon's own modes, not its starter's.
    (void)umask(kDaemonUmask);  // always succeeds

    (void)ConsolePrint("start to logserver\n");

    char szBaseDir[kPathBufLen] = {};
    ReadBaseDir(szBaseDir);
    char szLogDir[kPathBufLen] = {};
    JoinPath(szLogDir, szBaseDir, kLogSubDir);
    (void)ConsolePrint("set log path[%s]\n", szLogDir);
    char szCfgPath[kPathBufLen] = {};
    JoinPath(szCfgPath, szLogDir, kConfigFile);
    (void)ConsolePrint("set log path[%s]\n", szCfgPath);
    // The module keeps no path longer than kLogPathLen: with one the daemon
    // could not write its files or not follow its configuration. Refused
    // before anything is created.
    if (std::strlen(szCfgPath) > kLogPathLen) {
        return CStartUp::Fail("base directory too long (%zu characters): %s",
                              std::strlen(szBaseDir), szBaseDir);
    }

    // Instance lock and a trusted log directory, or one line on stderr and exit 1.
    CInstanceLock stLock;
    // The port is bound once the lock is held and before any directory is
    // made: a port in use refuses the start with nothing left behind. The
    // detached daemon keeps the endpoint.
    std::unique_ptr<CUdpNetLayer> pNet;
    if (!PrepareStart(&stLock, szLogDir, &BindPort, &pNet)) return kExitFailed;

    CStartUp stStartUp(stOptions.bForeground);
    if (stStartUp.Detach() != 0) {
        const int nErr = errno;
        (void)ConsolePrint("daemon error\n");
        return CStartUp::Fail("cannot detach: %s", std::strerror(nErr));
    }
    // From here on a stop signal ends the daemon in order (also before the
    // receive loop runs: the loop then returns at once).
    g_bStopRecv.store(false, std::memory_order_relaxed);
    if (!InstallSignalHandlers()) {
        return CStartUp::Fail("cannot install the signal handlers: %s", std::strerror(errno));
    }
    // Without a pid file the daemon still works; init scripts then find it by
    // other means.
    (void)stLock.WritePidFile();

    // Refused only for a path longer than the one checked above.
    if (SetLogPath(szLogDir, kDaemonFilePrefix) != 0) {
        return CStartUp::Fail("log directory refused: %s", szLogDir);
    }
    (void)SetLogMode(ZQ_MODE_FILES);
    if (LoadLogConfig(szCfgPath) != 0 && WriteDefaultConfig(szLogDir, szCfgPath)) {
        // The file just written holds the defaults; loading it makes the
        // writer watch it, so later edits take effect without a restart.
        (void)LoadLogConfig(szCfgPath);
    }
    // What the writer finds wrong (a file that does not open, a full disk, a
    // failed rotation, a directory made again, a reload), the start and the
    // stop become records of the daemon's own, under its name: in the
    // foreground (also on standard error), or when LogServer.ini asks. Without
    // either the files hold the datagrams only.
    g_bForeground = stOptions.bForeground;
    long nOwnRecords = 0;
    g_bOwnRecords = g_bForeground ||
                    (ReadConfigValue(szCfgPath, kCfgOwnRecords, &nOwnRecords) && nOwnRecords == 1);
    (void)SetModuleName(kLogServerName);
    if (g_bOwnRecords) (void)EnableOwnRecords(g_bForeground);
    // The writer and the sender are made with the handled signals blocked:
    // they go to the main thread, whose wait they end.
    BlockHandledSignals(true);
    const int32_t nCreated = CreateAsyncLog();
    // Forwarding to a collector, when LogServer.ini's [Forward] names one; the
    // sender follows that section from now on.
    CUpstreamSender stUpstream;
    if (nCreated == 0) (void)stUpstream.Start(szLogDir, szCfgPath, kDaemonFilePrefix, NoteForward);
    BlockHandledSignals(false);
    if (nCreated != 0) {
        (void)ConsolePrint("CreateAsyncLog failed\n");
        (void)DestroyAsyncLog();
        return CStartUp::Fail("cannot write log files in %s (error %d)", szLogDir, nCreated);
    }

    // The receive loop runs above the clients' writers (real-time, FIFO 75
    // against their 50): a burst of root clients must not fill the socket
    // while the loop waits for a CPU. Without real-time permission it runs as
    // it is, said once.
    const int nRaised = RaiseCallingThread(kReceiveLoopPriorityClass);
    if (nRaised != 0) {
        std::fprintf(stderr, "%s: receive loop stays at default scheduling: %s\n", kLogServerName,
                     std::strerror(nRaised));
    }
    uint32_t nFileSizeMiB = 0;
    uint32_t nFileNum = 0;
    if (g_bOwnRecords && GetLogFileSettings(&nFileSizeMiB, &nFileNum)) {
        OwnRecord(ZQ_LEVEL_INFO,
                  "started: version %s, base directory %s, configuration %s, FileSize %u MiB, "
                  "FileNum %u",
                  ZQ_VERSION_STRING, szBaseDir, szCfgPath, nFileSizeMiB, nFileNum);
    }
    CMainHooks stHooks(&stUpstream, stLock.DirFd(), szLogDir);
    CRecvLoop stLoop(&stHooks);
    stHooks.SetLoop(&stLoop);
    stStartUp.Ready();
    (void)stLoop.RunOn(std::move(pNet));
    stStartUp.Stopping();
    {
        DaemonStats stStats{};
        char szText[512] = "";
        if (CollectDaemonStats(stLoop, &stUpstream, &stStats))
            (void)FormatStats(stStats, ", ", szText, sizeof(szText));
        if (g_bOwnRecords) OwnRecord(ZQ_LEVEL_INFO, "stopping: %s", szText);
        RemoveStatsFile(stLock.DirFd());
    }

    // The sender's last notes still reach the log.
    stUpstream.Stop();
    // The writer drains the ring and the file is closed before the process ends.
    (void)DestroyAsyncLog();
    SyncLogFilesIfAsked(szLogDir);
    return kExitOk;
}
