#pragma once

#include "platform/UdpNetLayer.h"
#include "server/CommandLine.h"
#include "server/InstanceLock.h"
#include "platform/LocalIntake.h"
#include "server/RecvLoop.h"
#include "server/SenderLimit.h"
#include "server/StartUp.h"
#include "upstream/UpstreamSender.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

struct DaemonStats;

// The daemon's paths are cut at kDaemonPathLen - 1 characters; a cut path is
// longer than the log module accepts (kLogPathLen), so it is refused.
constexpr size_t kDaemonPathLen = 260;

// The daemon process: its start-up phases, its run and its orderly stop, and
// everything they make, in members that unwind in the reverse order when a
// phase fails or the daemon ends. Daemon.cpp describes the phases and their
// order, which Run alone knows.
//
// Threads: made and run on the main thread. The receive loop calls the hooks
// on that thread; the forwarding sender's diagnostics arrive on the sender's
// thread (OwnRecord), which reads only what StartSender set before it started
// the sender.
class CDaemon final : public CRecvHooks {
public:
    CDaemon(int argc, char** argv);
    ~CDaemon();
    CDaemon(const CDaemon&) = delete;
    CDaemon& operator=(const CDaemon&) = delete;

    // Starts the daemon phase by phase, receives until a stop signal and stops
    // in order: the process's exit status (ExitCodes.h). A failing phase has
    // said why in one line on standard error.
    int Run();

    // CRecvHooks: the statistics file once a second (and a record of them on
    // SIGUSR1); the first sync of the log files after SIGPWR.
    void OnRecvTick(bool bRequested) override;
    void OnRecvStop() override;

private:
    // The phases, in the order Run calls them. Each returns kPhaseDone to go
    // on, or the exit status that ends the start (a failure after one line on
    // standard error, through CStartUp::Fail).
    int ReadCommandLine();
    int FindBaseDir();
    int TakeLock();
    int Detach();
    int StartLogModule();
    int StartSender();
    int Receive();
    int Stop();

    // PrepareStart's step once the lock is held (pDaemon: this).
    static bool BindPort(void* pDaemon);
    // The local intake in the run directory, when the daemon is root's and
    // its lock lies there; otherwise it says once why it receives on UDP only.
    void OpenIntake();
    // [Limit] of LogServer.ini into the fair share, when the file changed
    // since the last look (or bAlways).
    void FollowLimitSettings(bool bAlways);
    // The fair share's notes: records of the daemon's own, always written.
    static void NoteLimit(void* pDaemon, const char* pText);
    // A record of the daemon's own, in its files under its name; in the
    // foreground also on standard error. Any thread.
    void OwnRecord(int32_t nLevel, const char* pFormat, ...) __attribute__((format(printf, 3, 4)));
    // The sender's note hook: records of the daemon's own.
    static void NoteForward(int32_t nLevel, const char* pText);
    // The figures of the receive loop, the log and the sender.
    bool CollectDaemonStats(DaemonStats* pStats) const;
    // After SIGPWR: the log directory's file system to its disk.
    void SyncLogFilesIfAsked() const;

    static constexpr int kPhaseDone = -1;

    // The sender's note hook carries no context: the daemon whose sender runs.
    // Set by StartSender before the sender's thread starts, cleared once it
    // has stopped.
    static CDaemon* s_pNoteTarget;

    const int m_nArgc;
    char** const m_ppArgv;
    // Set by the phases before anything reads them: from StartSender on they
    // do not change, and the sender's thread may read them.
    DaemonOptions m_stOptions;
    bool m_bOwnRecords;    // records of its own are written (foreground, or asked for)
    bool m_bReadersGroup;  // its files are the group of the log's readers (LogGroup.h)
    gid_t m_nReadersGid;
    char m_szBaseDir[kDaemonPathLen];
    char m_szLogDir[kDaemonPathLen];
    char m_szCfgPath[kDaemonPathLen];
    // Records of the daemon's own that it queued: the main and the sender's
    // thread add, the statistics read; relaxed, a count on its own.
    std::atomic<uint64_t> m_nOwnQueued;

    CInstanceLock m_Lock;
    // Bound by TakeLock, before any directory is made; the receive loop takes
    // it over.
    std::unique_ptr<CUdpNetLayer> m_pEndpoint;
    // Made by TakeLock where the daemon may have it (null otherwise); the
    // receive loop takes it over.
    std::unique_ptr<CLocalIntake> m_pIntake;
    // The fair share per sender; the receive loop's thread (the main one)
    // uses and configures it. m_stCfgSeen: LogServer.ini as last looked at.
    CSenderLimit m_Limit;
    struct stat m_stCfgSeen;
    std::optional<CStartUp> m_StartUp;          // from Detach on
    std::optional<CUpstreamSender> m_Upstream;  // from StartSender on
    std::optional<CRecvLoop> m_RecvLoop;        // from Receive on
};
