#pragma once

#include "asynclog/DaemonFollower.h"
#include "asynclog/LogConfig.h"
#include "asynclog/LogFileSet.h"
#include "asynclog/LossCounters.h"
#include "asynclog/RingBuffer.h"
#include "asynclog/UdpForwarder.h"
#include "asynclog/WriterLoop.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Result codes of the engine. The file set's codes (LogFileSet.h) are the same
// numbers; the module maps these onto its public ZQ_* codes.
constexpr int32_t kLogOk = 0;
constexpr int32_t kLogErrNotRunning = -2;   // no ring, or not running (PushLog)
constexpr int32_t kLogErrInvalid = -5;      // bad argument, value out of range, failed rename
constexpr int32_t kLogErrResource = -6;     // no memory/event/thread/file; ring full
constexpr int32_t kLogErrNameTooLong = -7;  // file name longer than 127 characters
static_assert(kLogErrInvalid == kFileSetErrInvalid && kLogErrResource == kFileSetErrNoFile &&
                  kLogErrNameTooLong == kFileSetErrNameTooLong,
              "Start passes the file set's codes on as its own");

using LevelCallback = void (*)(int32_t nLevel, char* pKeyName, int32_t nUserValue);

// What an engine is configured with before Start: its owner keeps one for the
// next engine and hands it over with Configure. Once started, the engine alone
// holds its settings (level, file size and count change through its setters
// and its reloads).
struct EngineSettings {
    int32_t nLevel = kDefaultLevel;
    uint32_t nFileSizeMiB = kDefaultFileSizeMiB;
    uint32_t nFileNum = kDefaultFileNum;
    uint32_t nSlotCount = kDefaultSlotCount;
    uint32_t nMode = 0;                    // as SetMode takes it
    char szCfgPath[kLogPathLen + 1] = {};  // empty: none to follow
    LevelCallback pfnLevelCallback = nullptr;
    char szLevelKey[kLevelKeyLen + 1] = {};  // the callback's key; empty: none
    int32_t nUserValue = 0;
    uint32_t nSyncMs = kDefaultSyncMs;  // see CLogFileSet::SetSyncMs
    CLogFileSet::UrgentFn pfnUrgent = nullptr;
    bool bKeepOrigins = false;  // see CLogFileSet::KeepOrigins
};

// The asynchronous log engine: one per process. Producers hand it finished
// texts with PushLog; its writer thread (CWriterLoop) appends them to the
// size-rotated file set (CLogFileSet, SDK_00.log current) or, in mode 2 while
// the log daemon runs, forwards each as one UDP datagram to 127.0.0.1:12345
// (CUdpForwarder, CDaemonFollower).
//
// Threads: the owner configures, starts and stops it; producers call PushLog
// from any threads at once (the owner stops the engine only once none is
// inside a push); SetFileSize,
// SetFileNum, SetLevel and GetLevel may be called from any thread while it
// runs. The settings that Start hands on (slots, mode, configuration path,
// level callback) are the owner's before Start. See ZIdOrereDov.cpp for the
// design and the lock order.
class ZIdOrereDov {
public:
    ZIdOrereDov();
    ~ZIdOrereDov();  // runs Stop
    ZIdOrereDov(const ZIdOrereDov&) = delete;
    ZIdOrereDov& operator=(const ZIdOrereDov&) = delete;

    // 0; -5 bad argument or a directory too long; -6 a resource failed; -7 the
    // current file's name is too long; or NetLayerInit's code. A failed Start
    // leaves nothing running and nothing allocated.
    int32_t Start(const char* pLogPath, const char* pPrefix);
    // Drains the ring (bounded when nothing can be written), joins the writer,
    // releases everything. Safe to call more than once.
    void Stop();
    // 0; -2 not running; -5 longer than a slot; -6 ring full. Every refused
    // text is counted as lost.
    int32_t PushLog(const char* pText, uint32_t nLen);
    // PushLog for callers that try again when the ring is full: that refusal
    // is not counted (a caller that then gives up counts it, CountLost).
    // from: who sent the text (the process itself unless it passes on
    // another's), for the set's origin journal.
    int32_t TryPushLog(const char* pText, uint32_t nLen, const RecordOrigin& from = kOwnOrigin);
    void CountLost(LossCause eCause, uint64_t nRecords = 1) { m_Lost.Add(eCause, nRecords); }

    // Applies every setting of st (slots are kSlotSize bytes); before Start.
    // 0, or the first setter's failing code.
    int32_t Configure(const EngineSettings& st);
    int32_t SetFileSize(uint32_t nSizeMiB);  // 0, -5 outside 10..200
    int32_t SetFileNum(uint32_t nNum);       // 0, -5 outside 2..10
    int32_t SetSlotCount(uint32_t nCount);
    int32_t SetSlotSize(uint32_t nSize);
    int32_t SetMode(uint32_t nMode);
    int32_t SetLevel(int32_t nLevel);
    int32_t GetLevel() const;
    int32_t SetConfigPath(const char* pPath);  // 0, -5
    int32_t RegisterLevelCallback(LevelCallback pfnCallback, const char* pKeyName,
                                  int32_t nUserValue);  // 0, -5

    // For a crash signal handler, any thread, no lock: hands every record
    // committed to the ring to the files or the daemon before llDeadlineNs
    // (CLOCK_MONOTONIC nanoseconds), through the writer (CWriterLoop's crash
    // drain). True when all of them got there; false also while not running.
    bool DrainForCrash(int64_t llDeadlineNs) {
        return m_pWriter != nullptr && m_pWriter->DrainForCrash(llDeadlineNs);
    }

    // Asks the writer to reopen its current file and reload the configuration
    // at its next pass. Any thread; nothing happens while it is not running.
    void RequestReopen() {
        if (m_pWriter != nullptr) m_pWriter->RequestReopen();
    }

    // Reads the configuration file and applies level, custom level key (with
    // its callback), file size and file count. 0, or -5 when the file does not
    // exist (nothing changes).
    int32_t ReloadConfig();

    // Records given up, by cause and in all.
    const CLossCounters& Lost() const { return m_Lost; }
    uint64_t GetLostCount() const { return m_Lost.Total(); }
    // 1 while the writer forwards to the daemon, 0 while it writes files.
    int32_t IsForwarding() const {
        return m_pFollower != nullptr && m_pFollower->Forwarding() ? 1 : 0;
    }
    // The writer's parks and the producers' signals (CWriterLoop::WakeCounts);
    // all 0 while it is not running. True in *pParked while the writer is parked.
    CWriterLoop::WakeCounts GetWakeCounts(bool* pParked = nullptr) const {
        if (pParked != nullptr) *pParked = m_pWriter != nullptr && m_pWriter->Parked();
        return m_pWriter != nullptr ? m_pWriter->GetWakeCounts() : CWriterLoop::WakeCounts{};
    }
    // The file set (its names and counts, for tests, statistics and
    // diagnostics).
    CLogFileSet& Files() { return m_Files; }
    const CLogFileSet& Files() const { return m_Files; }
    // Records of the engine's own in its files (CDiagnostics); configured
    // before Start.
    CDiagnostics& Diagnostics() { return m_Diag; }
    // Before Start: each reload record also says what pfnCheck finds in the
    // configuration file.
    void SetConfigCheck(ConfigCheckFn pfnCheck) { m_pfnConfigCheck = pfnCheck; }
    uint64_t OwnRecords() const { return m_Diag.Taken(); }

private:
    static void ReloadFromWriter(void* pEngine);

    CLossCounters m_Lost;
    CDiagnostics m_Diag;  // off unless the owner turns it on before Start
    CLogFileSet m_Files;  // names, count and size limit live from construction
    std::unique_ptr<CUdpForwarder> m_pForwarder;   // mode 2 only
    std::unique_ptr<CDaemonFollower> m_pFollower;  // mode 2 only: the writer's sink
    std::unique_ptr<CRingBuffer> m_pQueue;
    std::unique_ptr<CWriterLoop> m_pWriter;

    uint32_t m_nSlotCount;
    uint32_t m_nSlotSize;
    uint32_t m_nMode;
    std::atomic<int32_t> m_nLevel;  // SetLevel/GetLevel and the writer's reload
    char m_szCfgPath[kLogPathLen + 1];
    char m_szLevelKey[kLevelKeyLen + 1];
    LevelCallback m_pfnLevelCallback;
    ConfigCheckFn m_pfnConfigCheck;
    int32_t m_nUserValue;
    bool m_bKeepOrigins = false;
};
