#pragma once

#include "platform/UniqueFd.h"
#include "upstream/LinePump.h"
#include "upstream/SetWatch.h"
#include "upstream/UpstreamConfig.h"
#include "upstream/UpstreamNote.h"
#include "upstream/UpstreamSession.h"
#include "upstream/UpstreamStats.h"

#include <atomic>
#include <cstdint>
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
    // output). 0; -5 a path too long or missing, or the thread runs already;
    // -6 no thread or no wake-up pipe.
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
    void Forward(short nRevents, int64_t llNowMs);
    void EndSession(ESessionEnd eHow, int64_t llNowMs);
    int ComputeTimeout(int64_t llNowMs) const;

    // Set by Start before the thread runs, then read by the thread only.
    UpstreamNote m_pfnNote;

    // The thread's own; Start sets up the watch and the pump before it runs.
    ForwardConfig m_stCfg;
    CSetWatch m_Watch;
    CLinePump m_Pump;
    CUpstreamSession m_Session;  // over m_stCfg and m_Pump's queue

    // Shared with the owner's thread.
    std::thread m_Thread;
    CUniqueFd m_WakeRead;             // the wake-up pipe: the thread polls this end,
    CUniqueFd m_WakeWrite;            // Stop writes this one
    std::atomic<bool> m_bStop;        // Stop sets it before writing the pipe
    std::atomic<uint32_t> m_bActive;  // the thread sets it, anyone reads: relaxed
};
