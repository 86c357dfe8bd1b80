#pragma once

#include "asynclog/LogConfig.h"
#include "upstream/CursorFile.h"
#include "upstream/FileSetReader.h"
#include "upstream/PendingQueue.h"
#include "upstream/SyslogFormat.h"
#include "upstream/UpstreamConfig.h"
#include "upstream/UpstreamLink.h"
#include "upstream/UpstreamNote.h"
#include "upstream/UpstreamStats.h"

#include <atomic>
#include <cstdint>

// The lines on their way to the collector: the reader (CFileSetReader) hands
// each out with its place, the formatter (CSyslogFormatter) turns it into an
// RFC 5424 message in the pending queue (CPendingQueue), from which the
// session's link sends it and takes it off once the collector acknowledged
// it. The pump counts what was acknowledged, refused and deleted by rotation
// unsent, and keeps the place in the state file (CCursorFile): the place of
// the oldest message in the queue, or the reader's when the queue is empty,
// saved within kSaveIntervalMs of every change. So a restart, even after
// SIGKILL or a power cut, reads again at most what was not acknowledged at
// the last save.
//
// Open while forwarding (the buffers and the files held), closed otherwise.
// Init runs on the owner's thread before the sender's thread starts; then the
// sender's thread alone uses it, but for FillStats, which any thread may call.
class CLinePump {
public:
    CLinePump();
    CLinePump(const CLinePump&) = delete;
    CLinePump& operator=(const CLinePump&) = delete;

    // The set <pLogDir>/<pPrefix>_0N.log (at most kLogPathLen and kPrefixLen
    // characters, as the sender's Start checks), its state file beside it,
    // and where the notes go. Reads the device's boot id. 0, or -5 when the
    // state file's path is too long.
    int32_t Init(const char* pLogDir, const char* pPrefix, UpstreamNote pfnNote);
    // The messages' HOSTNAME (the configured one, else the system's) and facility.
    void ApplyIdentity(const ForwardConfig& cfg);

    // Forwarding goes on: the buffers, and the reader at the saved place (noted
    // when the state file is damaged or its place has left the set). False
    // when there is no memory for the buffers; the pump stays closed.
    bool Open();
    // Forwarding goes off or the sender stops: the place is saved (bSaveAlways:
    // also when it did not change since the last save), buffers and files let go.
    void Close(bool bSaveAlways, int64_t llNowMs);

    // The names of the set changed (a rotation), or may have: lists them again.
    void Rescan();
    // Reads lines into the queue while it has room, kMaxLinesPerPass at most.
    void Fill();
    // What the link reported: messages acknowledged and refused.
    void TakeCounts(const LinkCounts& counts, int64_t llNowMs);
    // Saves the place when it changed and kSaveIntervalMs passed since the last save.
    void SaveIfDue(int64_t llNowMs);
    // How long the loop may wait at the most before SaveIfDue; -1: no limit.
    int64_t SaveWaitMs(int64_t llNowMs) const;

    CPendingQueue& Queue() { return m_Queue; }
    bool QueueEmpty() const { return m_Queue.Empty(); }
    // The last Fill stopped at kMaxLinesPerPass, with lines left to read.
    bool MoreToRead() const { return m_bMoreToRead; }
    // The last Fill stopped for want of room in the queue.
    bool QueueFull() const { return m_bQueueFull; }
    // nForwarded, nRotatedAway, nRejected and bStateUnsaved.
    void FillStats(UpstreamStats* pStats) const;

    static constexpr uint32_t kQueueBytes = 2 * 1024 * 1024;
    static constexpr uint32_t kQueueEntries = 16384;
    static constexpr uint32_t kMaxLinesPerPass = 2048;  // then the socket gets its turn
    static constexpr int64_t kSaveIntervalMs = 1000;
    static constexpr int64_t kRejectNoteMs = 60000;

private:
    void NoteLosses();
    void Save(int64_t llNowMs);

    char m_szLogDir[kLogPathLen + 1];
    char m_szPrefix[kPrefixLen + 1];
    char m_szBootId[40];
    UpstreamNote m_pfnNote;
    CFileSetReader m_Reader;
    CSyslogFormatter m_Formatter;
    CPendingQueue m_Queue;
    CCursorFile m_Cursor;
    bool m_bOpen;
    bool m_bCursorDirty;  // the place changed since the last save, or that save failed
    bool m_bMoreToRead;
    bool m_bQueueFull;
    bool m_bSaveFailed;
    bool m_bReadFailed;
    int64_t m_llLastSaveMs;
    uint64_t m_nRejectedUnnoted;
    int64_t m_llRejectNoteMs;
    uint64_t m_nLostBase;   // lost lines of earlier runs, from the state file
    uint64_t m_nLostNoted;  // the reader's count at the last note

    // The thread writes them, anyone reads: relaxed, counters only.
    std::atomic<uint64_t> m_nForwarded;
    std::atomic<uint64_t> m_nRotatedAway;
    std::atomic<uint64_t> m_nRejected;
    std::atomic<uint32_t> m_bStateUnsaved;
};
