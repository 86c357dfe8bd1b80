#pragma once

#include "platform/UniqueFd.h"
#include "upstream/CursorFile.h"
#include "upstream/FileSetReader.h"
#include "upstream/PendingQueue.h"
#include "upstream/SetWatch.h"
#include "upstream/SyslogFormat.h"
#include "upstream/UpstreamConfig.h"
#include "upstream/UpstreamLink.h"
#include "upstream/UpstreamNote.h"
#include "upstream/UpstreamSession.h"
#include "upstream/UpstreamStats.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

// Store and forward: sends every line of the daemon's rotating file set to a
// central collector, over syslog/TCP or RELP as [Forward] in the
// configuration file says, and follows edits of that section while it runs.
// The file set is the buffer: the sender reads behind the engine's writer and
// never holds it up. Its place is kept in <dir>/<prefix>_forward.state.
//
// The owner calls Start once and Stop once (the destructor stops too), on one
// thread; GetStats may be called from any thread. See UpstreamSender.cpp for
// the design.
class CUpstreamSender {
public:
    CUpstreamSender();
    ~CUpstreamSender();
    CUpstreamSender(const CUpstreamSender&) = delete;
    CUpstreamSender& operator=(const CUpstreamSender&) = delete;

    // Starts the sender's thread for the set <pLogDir>/<pPrefix>_0N.log and the
    // configuration file pCfgPath. With no [Forward] Host the thread only waits
    // for the file to change. pfnNote: where diagnostics go (null: standard
    // output). 0; -5 a path too long or missing; -6 no thread or no wake-up pipe.
    int32_t Start(const char* pLogDir, const char* pCfgPath, const char* pPrefix,
                  UpstreamNote pfnNote = nullptr);
    // Ends the session in order (waits up to about a second for the last
    // acknowledgements), saves the cursor and joins the thread. Safe to call
    // more than once.
    void Stop();

    UpstreamStats GetStats() const;

private:
    void Run();
    void LoadConfig(bool bFirst);
    void Activate();
    void Deactivate();
    void ApplyIdentity();
    void Pump(short nRevents, int64_t llNowMs);
    void EndSession(ESessionEnd eHow, int64_t llNowMs);
    void TakeCounts(const LinkCounts& counts, int64_t llNowMs);
    void NoteLosses();
    void SaveCursor(int64_t llNowMs);
    int ComputeTimeout(int64_t llNowMs) const;

    // Set by Start before the thread runs, then read by the thread only.
    char m_szLogDir[kLogPathLen + 1];
    char m_szPrefix[kPrefixLen + 1];
    UpstreamNote m_pfnNote;
    char m_szBootId[40];

    // The thread's own.
    ForwardConfig m_stCfg;
    CSetWatch m_Watch;
    CFileSetReader m_Reader;
    CSyslogFormatter m_Formatter;
    CPendingQueue m_Queue;
    CCursorFile m_Cursor;
    CUpstreamSession m_Session;  // over m_stCfg and m_Queue
    int64_t m_llLastSaveMs;
    bool m_bCursorDirty;
    bool m_bMoreToRead;  // the last pass stopped with lines left to read
    bool m_bQueueFull;
    bool m_bSaveFailed;
    bool m_bReadFailed;
    uint64_t m_nRejectedUnnoted;
    int64_t m_llRejectNoteMs;
    uint64_t m_nLostBase;   // lost lines of earlier runs, from the state file
    uint64_t m_nLostNoted;  // the reader's count at the last note

    // Shared with the owner's thread.
    std::thread m_Thread;
    CUniqueFd m_WakeRead;                // the wake-up pipe: the thread polls this end,
    CUniqueFd m_WakeWrite;               // Stop writes this one
    std::atomic<bool> m_bStop;           // Stop sets it before writing the pipe
    std::atomic<uint64_t> m_nForwarded;  // the thread adds, anyone reads: relaxed, counters only
    std::atomic<uint64_t> m_nRotatedAway;
    std::atomic<uint64_t> m_nRejected;
    std::atomic<uint32_t> m_bActive;
    std::atomic<uint32_t> m_bStateUnsaved;
};
