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
// The road of a line: the reader hands it out with its place (file, offset,
// sequence number); the formatter turns it into an RFC 5424 message in the
// pending queue; the link (CTcpLink or CRelpLink) frames and writes it, and
// pops it once the collector has acknowledged it. The cursor saved to the
// state file is the place of the oldest message in the queue, or the
// reader's place when the queue is empty: a restart, even after SIGKILL or a
// power cut, reads again at most what was not acknowledged at the last save.
// The file is saved within a second of every change, and at stop.
//
// Waiting: poll() on the stop pipe, an inotify descriptor on the log and
// configuration directories (new data, rotations, edits of the configuration)
// and the socket. With forwarding off the thread sleeps in poll() without a
// time-out; only a change of a directory entry (a rotation, an edit) wakes it.
// Without inotify the files are looked at once a second.
//
// Connections: off -> back-off wait -> connecting (CConnector: one name
// lookup at a time on a helper thread; non-blocking connects to the name's
// addresses, staggered, the first to connect wins) -> connected. The
// connector's sockets are polled with the others. A broken session goes
// back to the back-off wait (CBackoff: 0.5 s doubling to 30 s, with jitter);
// what it left unacknowledged stays in the queue and goes out first on the
// next one. An edit that changes host, port or protocol ends the session and
// connects anew at once; clearing Host saves the cursor and goes off.
//
// Stop: the flag, then a byte on the pipe; the thread ends its session in
// order (at most kFinishMs), saves the cursor and returns; Stop joins it.

#include "upstream/UpstreamSender.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr uint32_t kQueueBytes = 2 * 1024 * 1024;
constexpr uint32_t kQueueEntries = 16384;
constexpr uint32_t kMaxLinesPerPass = 2048;  // then the socket gets its turn
constexpr int64_t kSaveIntervalMs = 1000;
constexpr int64_t kQueueFullPollMs = 5;  // acknowledgements have no event of their own
constexpr int64_t kAckCheckMs = 1000;
constexpr int64_t kRejectNoteMs = 60000;

void PrintNote(int32_t, const char* pText) { (void)std::printf("%s\n", pText); }

}  // namespace

CUpstreamSender::CUpstreamSender()
    : m_szLogDir{},
      m_szPrefix{},
      m_pfnNote(PrintNote),
      m_szBootId{},
      m_stCfg{},
      m_Session(m_stCfg, m_Queue),
      m_llLastSaveMs(0),
      m_bCursorDirty(false),
      m_bMoreToRead(false),
      m_bQueueFull(false),
      m_bSaveFailed(false),
      m_bReadFailed(false),
      m_nRejectedUnnoted(0),
      m_llRejectNoteMs(-kRejectNoteMs),
      m_nLostBase(0),
      m_nLostNoted(0),
      m_bStop(false),
      m_nForwarded(0),
      m_nRotatedAway(0),
      m_nRejected(0),
      m_bActive(0),
      m_bStateUnsaved(0) {
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
    (void)std::snprintf(m_szLogDir, sizeof(m_szLogDir), "%s", pLogDir);
    (void)std::snprintf(m_szPrefix, sizeof(m_szPrefix), "%s", pPrefix);
    m_Watch.Init(pLogDir, pCfgPath, pPrefix);
    m_pfnNote = pfnNote != nullptr ? pfnNote : PrintNote;
    m_Session.SetNote(m_pfnNote);
    if (m_Cursor.SetPath(m_szLogDir, m_szPrefix) != 0) return kLogErrInvalid;
    CSyslogFormatter::ReadBootId(m_szBootId, sizeof(m_szBootId));
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
    st.nForwarded = m_nForwarded.load(std::memory_order_relaxed);
    st.nRotatedAway = m_nRotatedAway.load(std::memory_order_relaxed);
    st.nRejected = m_nRejected.load(std::memory_order_relaxed);
    st.bActive = m_bActive.load(std::memory_order_relaxed);
    m_Session.FillStats(&st);
    st.bStateUnsaved = m_bStateUnsaved.load(std::memory_order_relaxed);
    return st;
}

void CUpstreamSender::ApplyIdentity() {
    char szHost[kForwardHostnameLen + 1];
    if (m_stCfg.szHostname[0] != '\0') {
        (void)std::snprintf(szHost, sizeof(szHost), "%s", m_stCfg.szHostname);
    } else if (gethostname(szHost, sizeof(szHost)) != 0) {
        szHost[0] = '\0';  // "-" goes out
    }
    szHost[sizeof(szHost) - 1] = '\0';
    m_Formatter.SetIdentity(szHost, m_stCfg.nFacility, m_szBootId);
}

void CUpstreamSender::LoadConfig(bool bFirst) {
    ForwardConfig stNew;
    char szProblem[kNoteLen];
    ReadForwardConfig(m_Watch.CfgPath(), &stNew, szProblem, sizeof(szProblem));
    if (!bFirst && SameConfig(stNew, m_stCfg)) return;
    if (szProblem[0] != '\0') {
        size_t nLen = std::strlen(szProblem);
        if (nLen > 0 && szProblem[nLen - 1] == '\n') szProblem[nLen - 1] = '\0';
        SendNote(m_pfnNote, kNoteWarning, "forwarding: %s", szProblem);
    }
    const bool bWasOn = !bFirst && m_stCfg.szHost[0] != '\0';
    const bool bOn = stNew.szHost[0] != '\0';
    const bool bRetarget = bWasOn && bOn && !SameTarget(stNew, m_stCfg);
    m_stCfg = stNew;
    ApplyIdentity();
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
    if (!m_Queue.Init(kQueueBytes, kQueueEntries) ||
        m_Reader.Open(m_szLogDir, m_szPrefix) != kLogOk) {
        SendNote(m_pfnNote, kNoteWarning,
                 "forwarding: no memory for its buffers; forwarding is off");
        m_Queue.Release();
        m_stCfg.szHost[0] = '\0';
        return;
    }
    CursorState stState{};
    const int32_t nLoad = m_Cursor.Load(&stState);
    m_nLostBase = nLoad == kCursorOk ? stState.nLost : 0;
    m_nLostNoted = 0;
    if (nLoad == kCursorDamaged) {
        SendNote(m_pfnNote, kNoteWarning,
                 "forwarding: %s is not a state file of its own; the set is sent from its oldest "
                 "line, each line under the number it had",
                 m_Cursor.Path());
    }
    if (m_Reader.Seek(nLoad == kCursorOk ? &stState.stPos : nullptr) == kSeekCursorGone) {
        SendNote(m_pfnNote, kNoteWarning,
                 "forwarding: the file of the saved place (line %llu) is no longer in the set; "
                 "going on with the oldest file",
                 static_cast<unsigned long long>(stState.stPos.nSeq));
    }
    m_bCursorDirty = true;  // the place as the reader found it
    m_bMoreToRead = true;
    m_Session.Begin(MonotonicMs());
    m_Watch.Watch(true);
    m_bActive.store(1, std::memory_order_relaxed);
}

void CUpstreamSender::Deactivate() {
    EndSession(ESessionEnd::kClose, MonotonicMs());
    SaveCursor(MonotonicMs());
    m_Queue.Release();
    m_Reader.Close();
    m_Watch.Watch(false);
    m_bActive.store(0, std::memory_order_relaxed);
}

void CUpstreamSender::TakeCounts(const LinkCounts& counts, int64_t llNowMs) {
    if (counts.nAcked > 0) {
        m_nForwarded.fetch_add(counts.nAcked, std::memory_order_relaxed);
        m_bCursorDirty = true;
    }
    if (counts.nRejected > 0) {
        m_nRejected.fetch_add(counts.nRejected, std::memory_order_relaxed);
        m_bCursorDirty = true;
        m_nRejectedUnnoted += counts.nRejected;
    }
    // At most one note a minute: the note is a record, which the collector
    // may refuse again.
    if (m_nRejectedUnnoted > 0 && llNowMs - m_llRejectNoteMs >= kRejectNoteMs) {
        SendNote(m_pfnNote, kNoteWarning, "forwarding: the collector refused %llu messages",
                 static_cast<unsigned long long>(m_nRejectedUnnoted));
        m_nRejectedUnnoted = 0;
        m_llRejectNoteMs = llNowMs;
    }
}

void CUpstreamSender::NoteLosses() {
    const uint64_t nLost = m_Reader.RotatedAway();
    if (nLost == m_nLostNoted) return;
    const uint64_t nNew = nLost - m_nLostNoted;
    m_nLostNoted = nLost;
    m_nRotatedAway.fetch_add(nNew, std::memory_order_relaxed);
    m_bCursorDirty = true;
    SendNote(
        m_pfnNote, kNoteWarning,
        "forwarding: %llu lines were deleted by rotation before they could be sent (%llu in all)",
        static_cast<unsigned long long>(nNew),
        static_cast<unsigned long long>(m_nLostBase + nLost));
}

// Reads lines into the queue while it has room, then lets the link work.
void CUpstreamSender::Pump(short nRevents, int64_t llNowMs) {
    m_bMoreToRead = false;
    m_bQueueFull = false;
    for (uint32_t n = 0; n < kMaxLinesPerPass; ++n) {
        char* pOut = m_Queue.Reserve(kMaxSyslogMessage);
        if (pOut == nullptr) {
            m_bQueueFull = true;
            break;
        }
        StreamLine stLine{};
        const int32_t nRead = m_Reader.Next(&stLine);
        if (nRead != kReadLine) {
            // Noted once per failure, not per attempt: a note is a record that
            // would wake this loop again.
            if (nRead == kReadError && !m_bReadFailed) {
                SendNote(m_pfnNote, kNoteWarning, "forwarding: cannot read the log files: %s",
                         std::strerror(errno));
            }
            m_bReadFailed = nRead == kReadError;
            break;
        }
        const uint32_t nLen =
            m_Formatter.Format(stLine.pText, stLine.nLen, stLine.stPos.nSeq, pOut);
        m_Queue.Commit(nLen, stLine.stPos);
        m_bReadFailed = false;
        if (n + 1 == kMaxLinesPerPass) m_bMoreToRead = true;
    }
    NoteLosses();
    LinkCounts stCounts{};
    const int32_t nRet = m_Session.Service(nRevents, llNowMs, &stCounts);
    TakeCounts(stCounts, llNowMs);
    if (nRet != kLinkOk) EndSession(ESessionEnd::kBreak, llNowMs);
}

// What an orderly end still brought is taken as any acknowledgement.
void CUpstreamSender::EndSession(ESessionEnd eHow, int64_t llNowMs) {
    LinkCounts stCounts{};
    if (m_Session.End(eHow, llNowMs, &stCounts)) TakeCounts(stCounts, llNowMs);
}

void CUpstreamSender::SaveCursor(int64_t llNowMs) {
    if (!m_bCursorDirty) return;
    CursorState stState{};
    // Acknowledged messages kept for a resend (tcp) are behind the cursor.
    uint64_t n = m_Queue.Begin();
    while (n < m_Queue.End() && m_Queue.At(n).nState == kMsgAcked) ++n;
    stState.stPos = n == m_Queue.End() ? m_Reader.Position() : m_Queue.At(n).stPos;
    stState.nLost = m_nLostBase + m_Reader.RotatedAway();
    m_llLastSaveMs = llNowMs;
    if (m_Cursor.Save(stState) != kCursorOk) {
        if (!m_bSaveFailed) {
            SendNote(m_pfnNote, kNoteWarning, "forwarding: cannot save its place in %s: %s",
                     m_Cursor.Path(), std::strerror(errno));
        }
        m_bSaveFailed = true;
        m_bStateUnsaved.store(1, std::memory_order_relaxed);
        return;  // dirty still: tried again at the next interval
    }
    m_bSaveFailed = false;
    m_bStateUnsaved.store(0, std::memory_order_relaxed);
    m_bCursorDirty = false;
}

int CUpstreamSender::ComputeTimeout(int64_t llNowMs) const {
    int64_t llWait = -1;  // none: wait for an event
    auto Within = [&llWait](int64_t llMs) {
        if (llMs < 0) llMs = 0;
        if (llWait < 0 || llMs < llWait) llWait = llMs;
    };
    const int64_t llSessionMs = m_Session.WaitMs(llNowMs);
    if (llSessionMs >= 0) Within(llSessionMs);
    if (m_Session.Connected()) {
        if (m_bMoreToRead && !m_bQueueFull) Within(0);
        // TCP acknowledgements come without an event: a full queue whose bytes
        // are all with the kernel is looked at again soon.
        if (m_bQueueFull && m_Session.AcksWithoutEvent()) Within(kQueueFullPollMs);
        if (!m_Queue.Empty()) Within(kAckCheckMs);
    }
    if (m_bCursorDirty && m_Session.Active()) Within(m_llLastSaveMs + kSaveIntervalMs - llNowMs);
    const int64_t llWatchMs = m_Watch.WaitMs(llNowMs);
    if (llWatchMs >= 0) Within(llWatchMs);
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
        if (stChanges.bSet) {
            m_Reader.Rescan();
            NoteLosses();
        }
        if (m_Session.Connected()) {
            Pump(bPolledSocket && nPolled > 0 ? aPoll[nSessionAt].revents : 0, llNow);
        } else {
            m_Session.StepConnection(aPoll + nSessionAt, bPolledSocket ? 0 : nPolled, llNow);
            if (m_Session.Connected()) Pump(0, llNow);
        }
        if (m_bCursorDirty && llNow - m_llLastSaveMs >= kSaveIntervalMs) SaveCursor(llNow);
    }
    const bool bActive = m_Session.Active();
    EndSession(ESessionEnd::kClose, MonotonicMs());
    if (bActive) {
        m_bCursorDirty = true;
        SaveCursor(MonotonicMs());
        m_Queue.Release();
        m_Reader.Close();
    }
    m_Watch.Close();
}
