// DESIGN
//
// One thread, the sender's, does everything: it follows the configuration
// file, reads the file set, formats messages, speaks the protocol and keeps
// the cursor. The owner's thread only starts it, stops it and reads its
// counters. Nothing here takes a lock of the log engine or of the log module:
// the engine's writer appends to the files and rotates them, and the sender
// reads behind it through its own descriptors (CFileSetReader), so intake and
// file writing never wait for the network.
//
// The sender is the loop that joins three parts, each with one job:
// - CSetWatch: what changed among the files (edits of the configuration,
//   rotations of the set, new data while forwarding).
// - CLinePump: the road of a line. The reader hands it out with its place
//   (file, offset, sequence number); the formatter turns it into an RFC 5424
//   message in the pending queue; the session's link (CTcpLink or CRelpLink)
//   frames and writes it, and pops it once the collector has acknowledged it.
//   The cursor saved to the state file is the place of the oldest message in
//   the queue, or the reader's place when the queue is empty, saved within a
//   second of every change, and at stop.
// - CUpstreamSession: the connection. Off -> back-off wait -> connecting
//   (CConnector: one name lookup at a time on a helper thread; non-blocking
//   connects to the name's addresses, staggered, the first to connect wins)
//   -> connected. A broken session goes back to the back-off wait (CBackoff:
//   0.5 s doubling to 30 s, with jitter); what it left unacknowledged stays in
//   the queue and goes out first on the next one.
// An edit that changes host, port or protocol ends the session and connects
// anew at once (a redirect); clearing Host closes it, saves the cursor and
// goes off.
//
// Waiting: poll() on the stop pipe, the watch's inotify descriptor on the log
// and configuration directories, and the session's socket (or the
// connector's). With forwarding off the thread sleeps in poll() without a
// time-out; only a change of a directory entry (a rotation, an edit) wakes it.
// Without inotify the files are looked at once a second.
//
// Stop: the flag, then a byte on the pipe; the thread ends its session in
// order (at most CUpstreamSession::kFinishMs), saves the cursor and returns;
// Stop joins it.

#include "upstream/UpstreamSender.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t kQueueFullPollMs = 5;  // acknowledgements have no event of their own
constexpr int64_t kAckCheckMs = 1000;

void PrintNote(int32_t, const char* pText) { (void)std::printf("%s\n", pText); }

}  // namespace

CUpstreamSender::CUpstreamSender()
    : m_pfnNote(PrintNote),
      m_stCfg{},
      m_Session(m_stCfg, m_Pump.Queue()),
      m_bStop(false),
      m_bActive(0) {
    DefaultForwardConfig(&m_stCfg);
}

CUpstreamSender::~CUpstreamSender() { Stop(); }

int32_t CUpstreamSender::Start(const char* pLogDir, const char* pCfgPath, const char* pPrefix,
                               UpstreamNote pfnNote) {
    if (m_Thread.joinable() || pLogDir == nullptr || pCfgPath == nullptr || pPrefix == nullptr ||
        std::strlen(pLogDir) > kLogPathLen || std::strlen(pCfgPath) > kLogPathLen ||
        std::strlen(pPrefix) > kPrefixLen || pPrefix[0] == '\0') {
        return kLogErrInvalid;
    }
    m_pfnNote = pfnNote != nullptr ? pfnNote : PrintNote;
    m_Watch.Init(pLogDir, pCfgPath, pPrefix);
    if (m_Pump.Init(pLogDir, pPrefix, m_pfnNote) != kLogOk) return kLogErrInvalid;
    m_Session.SetNote(m_pfnNote);
    int aPipe[2];
    if (pipe2(aPipe, O_CLOEXEC | O_NONBLOCK) != 0) return kLogErrResource;
    m_WakeRead.Reset(aPipe[0]);
    m_WakeWrite.Reset(aPipe[1]);
    m_bStop.store(false, std::memory_order_relaxed);
    try {
        m_Thread = std::thread(&CUpstreamSender::Run, this);
    } catch (...) {
        m_WakeRead.Reset();
        m_WakeWrite.Reset();
        return kLogErrResource;
    }
    return kLogOk;
}

void CUpstreamSender::Stop() {
    if (!m_Thread.joinable()) return;
    // The flag before the byte: the thread, woken by the byte, sees the flag.
    m_bStop.store(true, std::memory_order_release);
    const char cStop = 1;
    // The pipe is empty (nothing else writes it), so the byte fits.
    (void)!write(m_WakeWrite.Get(), &cStop, 1);
    m_Thread.join();
    m_WakeRead.Reset();
    m_WakeWrite.Reset();
}

UpstreamStats CUpstreamSender::GetStats() const {
    UpstreamStats st{};
    m_Pump.FillStats(&st);
    m_Session.FillStats(&st);
    st.bActive = m_bActive.load(std::memory_order_relaxed);
    return st;
}

void CUpstreamSender::LoadConfig(bool bFirst) {
    ForwardConfig stNew;
    char szProblem[kNoteLen];
    ReadForwardConfig(m_Watch.CfgPath(), &stNew, szProblem, sizeof(szProblem));
    if (!bFirst && SameConfig(stNew, m_stCfg)) return;
    // One note a problem: a note is a record, and a record is one line.
    for (char* pLine = szProblem; *pLine != '\0';) {
        char* pEnd = std::strchr(pLine, '\n');
        if (pEnd != nullptr) *pEnd = '\0';
        SendNote(m_pfnNote, kNoteWarning, "forwarding: %s", pLine);
        if (pEnd == nullptr) break;
        pLine = pEnd + 1;
    }
    const bool bWasOn = !bFirst && m_stCfg.szHost[0] != '\0';
    const bool bOn = stNew.szHost[0] != '\0';
    const bool bRetarget = bWasOn && bOn && !SameTarget(stNew, m_stCfg);
    m_stCfg = stNew;
    m_Pump.ApplyIdentity(m_stCfg);
    const int64_t llNow = MonotonicMs();
    if (bWasOn && !bOn) {
        Deactivate();
        SendNote(m_pfnNote, kNoteInfo, "forwarding: off");
    } else if (!bWasOn && bOn) {
        SendNote(m_pfnNote, kNoteInfo, "forwarding: to %s port %u over %s", m_stCfg.szHost,
                 m_stCfg.nPort, ProtocolName(m_stCfg.eProtocol));
        Activate();
    } else if (bRetarget) {
        SendNote(m_pfnNote, kNoteInfo, "forwarding: now to %s port %u over %s", m_stCfg.szHost,
                 m_stCfg.nPort, ProtocolName(m_stCfg.eProtocol));
        EndSession(ESessionEnd::kRedirect, llNow);
    }
}

// Forwarding goes on: buffers, the reader at the cursor, a connection at once.
void CUpstreamSender::Activate() {
    if (!m_Pump.Open()) {
        SendNote(m_pfnNote, kNoteWarning,
                 "forwarding: no memory for its buffers; forwarding is off");
        m_stCfg.szHost[0] = '\0';
        return;
    }
    m_Session.Begin(MonotonicMs());
    m_Watch.Watch(true);
    m_bActive.store(1, std::memory_order_relaxed);
}

void CUpstreamSender::Deactivate() {
    EndSession(ESessionEnd::kClose, MonotonicMs());
    m_Pump.Close(false, MonotonicMs());
    m_Watch.Watch(false);
    m_bActive.store(0, std::memory_order_relaxed);
}

// Reads lines into the queue while it has room, then lets the link work.
void CUpstreamSender::Forward(short nRevents, int64_t llNowMs) {
    m_Pump.Fill();
    LinkCounts stCounts{};
    const int32_t nRet = m_Session.Service(nRevents, llNowMs, &stCounts);
    m_Pump.TakeCounts(stCounts, llNowMs);
    if (nRet != kLinkOk) EndSession(ESessionEnd::kBreak, llNowMs);
}

// What an orderly end still brought counts as any acknowledgement.
void CUpstreamSender::EndSession(ESessionEnd eHow, int64_t llNowMs) {
    LinkCounts stCounts{};
    if (m_Session.End(eHow, llNowMs, &stCounts)) m_Pump.TakeCounts(stCounts, llNowMs);
}

int CUpstreamSender::ComputeTimeout(int64_t llNowMs) const {
    int64_t llWait = -1;  // none: wait for an event
    auto Within = [&llWait](int64_t llMs) {
        if (llMs >= 0 && (llWait < 0 || llMs < llWait)) llWait = llMs;
    };
    Within(m_Session.WaitMs(llNowMs));
    if (m_Session.Connected()) {
        if (m_Pump.MoreToRead() && !m_Pump.QueueFull()) Within(0);
        // TCP acknowledgements come without an event: a full queue whose bytes
        // are all with the kernel is looked at again soon.
        if (m_Pump.QueueFull() && m_Session.AcksWithoutEvent()) Within(kQueueFullPollMs);
        if (!m_Pump.QueueEmpty()) Within(kAckCheckMs);
    }
    Within(m_Pump.SaveWaitMs(llNowMs));
    Within(m_Watch.WaitMs(llNowMs));
    return llWait > INT32_MAX ? INT32_MAX : static_cast<int>(llWait);
}

void CUpstreamSender::Run() {
    // Watch first, read then: an edit made while the file is being read for
    // the first time still wakes the loop.
    m_Watch.Open();
    LoadConfig(true);
    while (!m_bStop.load(std::memory_order_acquire)) {
        int64_t llNow = MonotonicMs();
        pollfd aPoll[2 + CUpstreamSession::kMaxPollFds];
        nfds_t nFds = 0;
        aPoll[nFds++] = {m_WakeRead.Get(), POLLIN, 0};
        const int nWatchAt = m_Watch.Fd() >= 0 ? static_cast<int>(nFds) : -1;
        if (nWatchAt >= 0) aPoll[nFds++] = {m_Watch.Fd(), POLLIN, 0};
        // The session's entries: its socket while connected, else the connector's.
        const nfds_t nSessionAt = nFds;
        const bool bPolledSocket = m_Session.Connected();
        const uint32_t nSessionFds = m_Session.FillPoll(aPoll + nSessionAt);
        nFds += nSessionFds;
        const int nReady = poll(aPoll, nFds, ComputeTimeout(llNow));
        if (nReady < 0 && errno != EINTR) {
            SendNote(m_pfnNote, kNoteWarning, "forwarding: poll: %s", std::strerror(errno));
        }
        if (m_bStop.load(std::memory_order_acquire)) break;
        llNow = MonotonicMs();
        const SetChanges stChanges =
            m_Watch.Take(nWatchAt >= 0 && (aPoll[nWatchAt].revents & POLLIN) != 0, llNow);
        // An edit may end the session or begin one: what was polled for the
        // session counts only while it is still what was polled.
        if (stChanges.bConfig) LoadConfig(false);
        if (!m_Session.Active()) continue;
        const uint32_t nPolled = nReady > 0 ? nSessionFds : 0;
        if (stChanges.bSet) m_Pump.Rescan();
        if (m_Session.Connected()) {
            Forward(bPolledSocket && nPolled > 0 ? aPoll[nSessionAt].revents : 0, llNow);
        } else {
            m_Session.StepConnection(aPoll + nSessionAt, bPolledSocket ? 0 : nPolled, llNow);
            if (m_Session.Connected()) Forward(0, llNow);
        }
        m_Pump.SaveIfDue(llNow);
    }
    EndSession(ESessionEnd::kClose, MonotonicMs());
    m_Pump.Close(true, MonotonicMs());
    m_Watch.Close();
}
