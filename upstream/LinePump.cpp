#include "upstream/LinePump.h"

#include "asynclog/ZIdOrereDov.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

CLinePump::CLinePump()
    : m_szLogDir{},
      m_szPrefix{},
      m_szBootId{},
      m_pfnNote(nullptr),
      m_bOpen(false),
      m_bCursorDirty(false),
      m_bMoreToRead(false),
      m_bQueueFull(false),
      m_bSaveFailed(false),
      m_bReadFailed(false),
      m_llLastSaveMs(0),
      m_nRejectedUnnoted(0),
      m_llRejectNoteMs(-kRejectNoteMs),
      m_nLostBase(0),
      m_nLostNoted(0),
      m_nForwarded(0),
      m_nRotatedAway(0),
      m_nRejected(0),
      m_bStateUnsaved(0) {}

int32_t CLinePump::Init(const char* pLogDir, const char* pPrefix, UpstreamNote pfnNote) {
    (void)std::snprintf(m_szLogDir, sizeof(m_szLogDir), "%s", pLogDir);
    (void)std::snprintf(m_szPrefix, sizeof(m_szPrefix), "%s", pPrefix);
    m_pfnNote = pfnNote;
    if (m_Cursor.SetPath(m_szLogDir, m_szPrefix) != 0) return kLogErrInvalid;
    CSyslogFormatter::ReadBootId(m_szBootId, sizeof(m_szBootId));
    return kLogOk;
}

void CLinePump::ApplyIdentity(const ForwardConfig& cfg) {
    char szHost[kForwardHostnameLen + 1];
    if (cfg.szHostname[0] != '\0') {
        (void)std::snprintf(szHost, sizeof(szHost), "%s", cfg.szHostname);
    } else if (gethostname(szHost, sizeof(szHost)) != 0) {
        szHost[0] = '\0';  // "-" goes out
    }
    szHost[sizeof(szHost) - 1] = '\0';
    m_Formatter.SetIdentity(szHost, cfg.nFacility, m_szBootId);
}

bool CLinePump::Open() {
    if (!m_Queue.Init(kQueueBytes, kQueueEntries) ||
        m_Reader.Open(m_szLogDir, m_szPrefix) != kLogOk) {
        m_Queue.Release();
        return false;
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
    m_bOpen = true;
    m_bCursorDirty = true;  // the place as the reader found it
    m_bMoreToRead = true;
    return true;
}

void CLinePump::Close(bool bSaveAlways, int64_t llNowMs) {
    if (!m_bOpen) return;
    if (bSaveAlways) m_bCursorDirty = true;
    Save(llNowMs);
    m_Queue.Release();
    m_Reader.Close();
    m_bOpen = false;
}

void CLinePump::Rescan() {
    m_Reader.Rescan();
    NoteLosses();
}

void CLinePump::Fill() {
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
        const uint32_t nLen = m_Formatter.Format(stLine.pText, stLine.nLen, stLine.stPos.nSeq, pOut,
                                                 &stLine.stOrigin);
        m_Queue.Commit(nLen, stLine.stPos);
        m_bReadFailed = false;
        if (n + 1 == kMaxLinesPerPass) m_bMoreToRead = true;
    }
    NoteLosses();
}

void CLinePump::TakeCounts(const LinkCounts& counts, int64_t llNowMs) {
    // The cursor moves past what the collector's TCP acknowledged (kept for
    // a resend, yet not sent again after a restart); forwarded counts only
    // what left the queue.
    if (counts.nHeard > 0) m_bCursorDirty = true;
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

void CLinePump::NoteLosses() {
    const uint64_t nLost = m_Reader.RotatedAway();
    if (nLost == m_nLostNoted) return;
    const uint64_t nNew = nLost - m_nLostNoted;
    m_nLostNoted = nLost;
    m_nRotatedAway.fetch_add(nNew, std::memory_order_relaxed);
    m_bCursorDirty = true;
    SendNote(m_pfnNote, kNoteWarning,
             "forwarding: %llu lines were deleted by rotation before they could be sent "
             "(%llu in all)",
             static_cast<unsigned long long>(nNew),
             static_cast<unsigned long long>(m_nLostBase + nLost));
}

void CLinePump::SaveIfDue(int64_t llNowMs) {
    if (m_bOpen && m_bCursorDirty && llNowMs - m_llLastSaveMs >= kSaveIntervalMs) Save(llNowMs);
}

int64_t CLinePump::SaveWaitMs(int64_t llNowMs) const {
    if (!m_bOpen || !m_bCursorDirty) return -1;
    const int64_t llLeft = m_llLastSaveMs + kSaveIntervalMs - llNowMs;
    return llLeft > 0 ? llLeft : 0;
}

void CLinePump::Save(int64_t llNowMs) {
    if (!m_bCursorDirty) return;
    CursorState stState{};
    // Acknowledged messages kept for a resend (tcp) are behind the cursor.
    uint64_t n = m_Queue.Begin();
    while (n < m_Queue.End() && m_Queue.At(n).nState == kMsgAcked) ++n;
    stState.stPos = n == m_Queue.End() ? m_Reader.Position() : m_Queue.At(n).stPos;
    stState.nLost = m_nLostBase + m_Reader.RotatedAway();
    m_llLastSaveMs = llNowMs;
    // The place goes to the disk only behind the lines it passed: after a
    // power cut it never points past what the files still hold (cheap when
    // the writer synced them already). A rotated file was synced before it
    // moved.
    m_Reader.SyncHeld();
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

void CLinePump::FillStats(UpstreamStats* pStats) const {
    pStats->nForwarded = m_nForwarded.load(std::memory_order_relaxed);
    pStats->nRotatedAway = m_nRotatedAway.load(std::memory_order_relaxed);
    pStats->nRejected = m_nRejected.load(std::memory_order_relaxed);
    pStats->bStateUnsaved = m_bStateUnsaved.load(std::memory_order_relaxed);
}
