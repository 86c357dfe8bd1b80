// ZuVozAdavid: the log daemon. It appends every datagram that arrives on
// 127.0.0.1:12345 unchanged to the rotating files SDK_00.log .. SDK_0(N-1).log
// in <base>/ZqSdkLog, configured by <base>/ZqSdkLog/LogServer.ini (followed
// while it runs). <base> is the first line of Path.ini in the directory it is
// started from, or /var/log/ZQS.
//
// DESIGN
// Start-up is a fixed sequence of phases, written once in CDaemon::Run:
//   ReadCommandLine  the options; its own umask
//   FindBaseDir      banner, base directory and paths (printed before detaching),
//                    what LogServer.ini holds that is not used as written
//                    (ConfigCheck.h; with --check-config only that)
//   TakeLock         the group of the log's readers (LogGroup.h),
//                    single-instance lock (a second daemon refuses to start),
//                    the receive endpoint bound (or the socket a service
//                    manager passed taken over, ListenSocket.h), a log
//                    directory no other user can write (else it refuses),
//                    and the local intake in the run directory (root's
//                    daemon; without it UDP alone, said once)
//   Detach           StartUp.h: the starter waits until the daemon receives;
//                    signal handlers, pid file
//   StartLogModule   log module in file mode (a missing LogServer.ini is
//                    written with the defaults), its writer thread; the
//                    fair share's settings
//   StartSender      forwarding to a collector, its thread
//   Receive          ready; the receive loop (main thread), until a stop
//   Stop             the orderly stop, below
// Any failure on the way is one line on standard error and exit status 1; what
// the phases made so far is held in CDaemon's members and unwinds with them.
// Threads: the main thread runs the phases and the receive loop, and takes the
// handled signals; the log module's writer and the sender are made with those
// signals blocked.
// Stop order: SIGTERM and SIGINT end the receive loop, which seals both
// sockets (the intake's path goes first), takes what is queued on them and
// returns; the statistics file goes; the sender
// stops (its last notes still reach the log); DestroyAsyncLog lets the writer
// drain the ring and closes the file; the process exits 0 (Signals.h lists
// the other signals; after SIGPWR the log files are synced to disk when the
// loop sees the stop and after the drain).

#include "server/Daemon.h"

#include "asynclog/LogConfig.h"
#include "asynclog/LogFileSet.h"
#include "logmodule/LogModule.h"
#include "logmodule/LogModuleExt.h"
#include "platform/DaemonPaths.h"
#include "platform/PathIni.h"
#include "platform/UniqueFd.h"
#include "platform/WireContract.h"
#include "platform/ZQThread.h"
#include "server/ConfigCheck.h"
#include "platform/ExitCodes.h"
#include "server/ListenSocket.h"
#include "server/LogGroup.h"
#include "server/Signals.h"
#include "server/StartGuard.h"
#include "server/Stats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kReceiveLoopPriorityClass = 3;  // FIFO 75, above the writers' 50
constexpr size_t kStatsTextLen = 768;

// The base directory: the first line of Path.ini, backslashes turned into
// slashes; the default when the file cannot be read. The file is opened for
// reading only, so a read-only Path.ini (or one on a read-only file system)
// counts.
void ReadBaseDir(char (&szBase)[kDaemonPathLen]) {
    FILE* pFile = OpenStartFile(kPathIni);  // null also for a file that may not be trusted
    if (pFile == nullptr) {
        std::snprintf(szBase, sizeof(szBase), "%s", kDefaultBaseDir);
        return;
    }
    ReadPathIni(pFile, szBase, sizeof(szBase));
    // Opened for reading: a failing close loses nothing.
    (void)std::fclose(pFile);
}

// "<dir>/<name>", cut at kDaemonPathLen - 1 characters. A cut path is longer
// than SetLogPath accepts (256): it is refused and the module keeps its
// default.
void JoinPath(char (&szOut)[kDaemonPathLen], const char* pDir, const char* pName) {
    const int nLen = std::snprintf(szOut, sizeof(szOut), "%s/%s", pDir, pName);
    if (nLen < 0 || static_cast<size_t>(nLen) >= sizeof(szOut)) {
        (void)ConsolePrint("path cut at %zu characters: %s\n", sizeof(szOut) - 1, szOut);
    }
}

// A first start finds no LogServer.ini: it is written with the settings the
// daemon uses without one, as a template to edit. Without it the writer would
// have no file to watch, and a LogServer.ini made later would take effect only
// at the next start. True when the file was written; an existing file (also
// one that appeared meanwhile) is never replaced. The package's postinst
// knows these bytes: such a file, never edited, gives way to its link to the
// shipped configuration.
bool WriteDefaultConfig(const char* pLogDir, const char* pCfgPath) {
    char szDefaults[128];
    const int nLen = std::snprintf(
        szDefaults, sizeof(szDefaults), "[%s]\r\n%s=%d\r\n[%s]\r\n%s=%u\r\n%s=%u\r\n",
        kCfgLogLevel.pSection, kCfgLogLevel.pKey, kDefaultLevel, kCfgFileSize.pSection,
        kCfgFileSize.pKey, kDefaultFileSizeMiB, kCfgFileNum.pKey, kDefaultFileNum);
    // The engine creates the log directory too, later; levels already there are fine.
    (void)CLogFileSet::CreateLogDir(pLogDir);
    CUniqueFd file(open(pCfgPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.Valid()) return false;
    const bool bWritten =
        nLen > 0 && write(file.Get(), szDefaults, static_cast<size_t>(nLen)) == nLen;
    if (file.Close() != 0 || !bWritten) {
        (void)unlink(pCfgPath);  // a half-written file would hide the defaults
        return false;
    }
    return true;
}

}  // namespace

CDaemon* CDaemon::s_pNoteTarget = nullptr;

CDaemon::CDaemon(int argc, char** argv)
    : m_nArgc(argc),
      m_ppArgv(argv),
      m_stOptions(),
      m_bOwnRecords(false),
      m_bReadersGroup(false),
      m_nReadersGid(0),
      m_szBaseDir{},
      m_szLogDir{},
      m_szCfgPath{},
      m_nOwnQueued(0),
      m_Lock(),
      m_pEndpoint(),
      m_pIntake(),
      m_Limit(&CDaemon::NoteLimit, this),
      m_stCfgSeen{},
      m_StartUp(),
      m_Upstream(),
      m_RecvLoop() {}

CDaemon::~CDaemon() {
    // The sender's thread ends before the note hook loses its daemon.
    m_Upstream.reset();
    s_pNoteTarget = nullptr;
}

int CDaemon::Run() {
    using Phase = int (CDaemon::*)();
    static constexpr Phase kPhases[] = {
        &CDaemon::ReadCommandLine, &CDaemon::FindBaseDir, &CDaemon::TakeLock, &CDaemon::Detach,
        &CDaemon::StartLogModule,  &CDaemon::StartSender, &CDaemon::Receive,  &CDaemon::Stop,
    };
    for (const Phase pfnPhase : kPhases) {
        const int nResult = (this->*pfnPhase)();
        if (nResult != kPhaseDone) return nResult;
    }
    return kExitOk;
}

int CDaemon::ReadCommandLine() {
    const int nParsed = ParseCommandLine(m_nArgc, m_ppArgv, &m_stOptions);
    if (nParsed != kStartDaemon) return nParsed;
    // Before anything is created: the daemon's own modes, not its starter's.
    (void)umask(kDaemonUmask);  // always succeeds
    return kPhaseDone;
}

int CDaemon::FindBaseDir() {
    if (m_stOptions.bCheckConfig) {
        // Checks the file a start from here would follow, and nothing else.
        ReadBaseDir(m_szBaseDir);
        JoinPath(m_szLogDir, m_szBaseDir, kLogSubDir);
        JoinPath(m_szCfgPath, m_szLogDir, kConfigFile);
        return RunConfigCheck(m_stOptions.pCheckPath != nullptr ? m_stOptions.pCheckPath
                                                                : m_szCfgPath);
    }
    (void)ConsolePrint("start to logserver\n");
    ReadBaseDir(m_szBaseDir);
    JoinPath(m_szLogDir, m_szBaseDir, kLogSubDir);
    (void)ConsolePrint("set log path[%s]\n", m_szLogDir);
    JoinPath(m_szCfgPath, m_szLogDir, kConfigFile);
    (void)ConsolePrint("set log path[%s]\n", m_szCfgPath);
    // What LogServer.ini holds that will not be used as written, while
    // standard error is still the starter's.
    (void)PrintConfigFindings(stderr, kLogServerName, m_szCfgPath);
    // The module keeps no path longer than kLogPathLen: with one the daemon
    // could not write its files or not follow its configuration. Refused
    // before anything is created.
    if (std::strlen(m_szCfgPath) > kLogPathLen) {
        return CStartUp::Fail("base directory too long (%zu characters): %s",
                              std::strlen(m_szBaseDir), m_szBaseDir);
    }
    return kPhaseDone;
}

// Binds the daemon's endpoint into m_pEndpoint, or takes over the socket a
// service manager passed; false, with one line on standard error, when the
// port cannot be had. A passed socket that is not the daemon's is refused,
// said on standard error, and the port bound as always.
bool CDaemon::BindPort(void* pDaemon) {
    std::unique_ptr<CUdpNetLayer>& pEndpoint = static_cast<CDaemon*>(pDaemon)->m_pEndpoint;
    int32_t nBound = 0;
    char szWhy[160];
    const int nPassed = TakeListenSocket(szWhy, sizeof(szWhy));
    if (nPassed >= 0) {
        pEndpoint = AdoptReceiveEndpoint(CUniqueFd(nPassed), &nBound);
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
    pEndpoint = OpenReceiveEndpoint(&nBound);
    if (nBound == 0) return true;
    (void)CStartUp::Fail("cannot receive on UDP port %u of 127.0.0.1 (error %#x): is it in use?",
                         static_cast<unsigned>(kLogServerPort), static_cast<unsigned>(nBound));
    return false;
}

int CDaemon::TakeLock() {
    // Instance lock and a trusted log directory, or one line on stderr and
    // exit 1. The port is bound once the lock is held and before any directory
    // is made: a port in use refuses the start with nothing left behind. The
    // detached daemon keeps the endpoint. Before anything is made, the group
    // that the log's readers share becomes the daemon's.
    m_bReadersGroup = TakeLogReadersGroup(&m_nReadersGid);
    if (!PrepareStart(&m_Lock, m_szLogDir, &CDaemon::BindPort, this)) return kExitFailed;
    if (m_bReadersGroup) {
        GiveToLogReadersGroup(m_szLogDir, kDaemonFilePrefix, kConfigFile, m_nReadersGid);
    }
    OpenIntake();
    return kPhaseDone;
}

// Before the daemon detaches: a client started once the starter returned
// finds the intake. Only root's daemon with its lock in kRunDir has it: that
// directory is the one place clients trust for it (no other user can put a
// socket there).
void CDaemon::OpenIntake() {
    char szLockInRunDir[kDaemonPathLen];
    JoinPath(szLockInRunDir, kRunDir, kLockFileName);
    char szWhy[160] = "";
    if (geteuid() != 0) {
        std::snprintf(szWhy, sizeof(szWhy), "not root");
    } else if (std::strcmp(m_Lock.Where(), szLockInRunDir) != 0) {
        std::snprintf(szWhy, sizeof(szWhy), "no run directory %s", kRunDir);
    } else {
        m_pIntake = CLocalIntake::Open(kIntakeSocketPath, szWhy, sizeof(szWhy));
    }
    if (m_pIntake == nullptr) {
        std::fprintf(stderr, "%s: no local intake %s (%s); receiving on UDP only\n", kLogServerName,
                     kIntakeSocketPath, szWhy);
    }
}

int CDaemon::Detach() {
    m_StartUp.emplace(m_stOptions.bForeground);
    if (m_StartUp->Detach() != 0) {
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
    (void)m_Lock.WritePidFile();
    return kPhaseDone;
}

int CDaemon::StartLogModule() {
    // Refused only for a path longer than the one FindBaseDir checked.
    if (SetLogPath(m_szLogDir, kDaemonFilePrefix) != 0) {
        return CStartUp::Fail("log directory refused: %s", m_szLogDir);
    }
    (void)SetLogMode(ZQ_MODE_FILES);
    if (LoadLogConfig(m_szCfgPath) != 0 && WriteDefaultConfig(m_szLogDir, m_szCfgPath)) {
        // The file just written holds the defaults; loading it makes the
        // writer watch it, so later edits take effect without a restart.
        (void)LoadLogConfig(m_szCfgPath);
    }
    FollowLimitSettings(true);
    // What the writer finds wrong (a file that does not open, a full disk, a
    // failed rotation, a directory made again, a reload), the start and the
    // stop become records of the daemon's own, under its name: in the
    // foreground (also on standard error), or when LogServer.ini asks. Without
    // either the files hold the datagrams only.
    long nOwnRecords = 0;
    m_bOwnRecords =
        m_stOptions.bForeground ||
        (ReadConfigValue(m_szCfgPath, kCfgOwnRecords, &nOwnRecords) && nOwnRecords == 1);
    (void)SetModuleName(kLogServerName);
    if (m_bOwnRecords) (void)EnableOwnRecords(m_stOptions.bForeground, &CheckConfigForReload);
    // Who sent each record, beside the files, for the forwarder and readers.
    (void)KeepRecordOrigins();
    // The writer is made with the handled signals blocked: they go to the
    // main thread, whose wait they end.
    BlockHandledSignals(true);
    const int32_t nCreated = CreateAsyncLog();
    BlockHandledSignals(false);
    if (nCreated != 0) {
        (void)ConsolePrint("CreateAsyncLog failed\n");
        (void)DestroyAsyncLog();
        return CStartUp::Fail("cannot write log files in %s (error %d)", m_szLogDir, nCreated);
    }
    return kPhaseDone;
}

int CDaemon::StartSender() {
    // Forwarding to a collector, when LogServer.ini's [Forward] names one; the
    // sender follows that section from now on. Its thread, too, is made with
    // the handled signals blocked.
    m_Upstream.emplace();
    s_pNoteTarget = this;
    BlockHandledSignals(true);
    (void)m_Upstream->Start(m_szLogDir, m_szCfgPath, kDaemonFilePrefix, &CDaemon::NoteForward);
    BlockHandledSignals(false);
    return kPhaseDone;
}

int CDaemon::Receive() {
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
    if (m_bOwnRecords && GetLogFileSettings(&nFileSizeMiB, &nFileNum)) {
        OwnRecord(ZQ_LEVEL_INFO,
                  "started: version %s, base directory %s, configuration %s, FileSize %u MiB, "
                  "FileNum %u",
                  ZQ_VERSION_STRING, m_szBaseDir, m_szCfgPath, nFileSizeMiB, nFileNum);
    }
    m_RecvLoop.emplace(this, &m_Limit);
    m_StartUp->Ready();
    (void)m_RecvLoop->RunOn(std::move(m_pEndpoint), std::move(m_pIntake));
    m_StartUp->Stopping();
    return kPhaseDone;
}

int CDaemon::Stop() {
    DaemonStats stStats{};
    char szText[kStatsTextLen] = "";
    if (CollectDaemonStats(&stStats)) (void)FormatStats(stStats, ", ", szText, sizeof(szText));
    if (m_bOwnRecords) OwnRecord(ZQ_LEVEL_INFO, "stopping: %s", szText);
    RemoveStatsFile(m_Lock.DirFd());
    // The sender's last notes still reach the log.
    m_Upstream->Stop();
    // The writer drains the ring and the file is closed before the process ends.
    (void)DestroyAsyncLog();
    SyncLogFilesIfAsked();
    return kPhaseDone;
}

void CDaemon::OwnRecord(int32_t nLevel, const char* pFormat, ...) {
    char szText[kMaxRecordLen];
    va_list args;
    va_start(args, pFormat);
    (void)std::vsnprintf(szText, sizeof(szText), pFormat, args);  // cut: still a record
    va_end(args);
    int32_t nCurrent = 0;
    (void)GetLogLevel(&nCurrent);  // a filtered record is not queued, not counted
    if (WriteLog(nLevel, __FILE__, __LINE__, kLogServerName, "", "%s", szText) == ZQ_OK &&
        nLevel <= nCurrent) {
        m_nOwnQueued.fetch_add(1, std::memory_order_relaxed);
    }
    if (m_stOptions.bForeground) std::fprintf(stderr, "%s: %s\n", kLogServerName, szText);
}

// Diagnostics of the forwarding sender (its thread) are records of the
// daemon's own whenever forwarding is configured: they reach the collector too.
void CDaemon::NoteForward(int32_t nLevel, const char* pText) {
    if (s_pNoteTarget != nullptr) s_pNoteTarget->OwnRecord(nLevel, "%s", pText);
}

bool CDaemon::CollectDaemonStats(DaemonStats* pStats) const {
    if (!CollectStats(m_RecvLoop->Counters(), m_nOwnQueued.load(std::memory_order_relaxed),
                      pStats)) {
        return false;
    }
    pStats->stForward = m_Upstream->GetStats();
    return true;
}

// The fair share follows [Limit] as the writer follows the other keys: a
// changed file (its time, size or inode) is read again.
void CDaemon::FollowLimitSettings(bool bAlways) {
    struct stat st {};
    if (stat(m_szCfgPath, &st) != 0) return;  // no file: the settings stay
    if (!bAlways && st.st_ino == m_stCfgSeen.st_ino && st.st_size == m_stCfgSeen.st_size &&
        st.st_mtim.tv_sec == m_stCfgSeen.st_mtim.tv_sec &&
        st.st_mtim.tv_nsec == m_stCfgSeen.st_mtim.tv_nsec) {
        return;
    }
    m_stCfgSeen = st;
    LimitSettings stLimit = m_Limit.Settings();
    ReadLimitSettings(m_szCfgPath, &stLimit);
    m_Limit.Configure(stLimit);
}

void CDaemon::NoteLimit(void* pDaemon, const char* pText) {
    static_cast<CDaemon*>(pDaemon)->OwnRecord(ZQ_LEVEL_WARNING, "%s", pText);
}

// Once a second the statistics file and a look at [Limit]; on SIGUSR1 also a
// record of the statistics.
void CDaemon::OnRecvTick(bool bRequested) {
    FollowLimitSettings(false);
    DaemonStats stStats{};
    if (!CollectDaemonStats(&stStats)) return;
    char szText[kStatsTextLen];
    (void)FormatStats(stStats, "\n", szText, sizeof(szText));
    // A full file system or a missing directory: the figures stay in memory,
    // for SIGUSR1 and the stop. The lock's directory is where the file lies.
    (void)WriteStatsFile(m_Lock.DirFd(), szText);
    if (bRequested && m_bOwnRecords) {
        (void)FormatStats(stStats, ", ", szText, sizeof(szText));
        OwnRecord(ZQ_LEVEL_INFO, "statistics: %s", szText);
    }
}

// The receive loop has seen the stop: the first sync comes before the drain.
void CDaemon::OnRecvStop() { SyncLogFilesIfAsked(); }

// Writes what the log directory's file system holds in memory to its disk,
// when a stop came with SIGPWR: the power is failing. Without a descriptor of
// the directory (it was removed meanwhile) every file system is synced.
void CDaemon::SyncLogFilesIfAsked() const {
    if (!g_bSyncRequest.load(std::memory_order_relaxed)) return;
    // Opened for syncing only: nothing to lose at close.
    const CUniqueFd dir(open(m_szLogDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid() || syncfs(dir.Get()) != 0) sync();
}
