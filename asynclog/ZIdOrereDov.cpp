// DESIGN
//
// Parts. The engine owns its file set (CLogFileSet: names, directory, current
// file, rotation), in mode 2 its forwarder (CUdpForwarder) and the follower
// that switches between the two (CDaemonFollower), the message ring
// (CRingBuffer) and the writer (CWriterLoop: the thread, its wake event and the
// configuration watch). The writer hands records to one sink: the file set in
// mode 1, the follower in mode 2.
//
// Threads. The owner (the log module) configures, starts and stops the engine.
// Producers call PushLog from any number of threads at once, without a lock;
// the owner makes sure none is inside PushLog when it stops the engine. The
// writer thread is the ring's only consumer.
//
// Ring. Producers claim positions with one compare-and-swap each and mark
// their slot complete once its text is in (RingBuffer.h); the writer takes
// the slots in position order. So records reach the files in the order their
// positions were claimed: each thread's in the order of its calls, and those
// of threads logging at once in the order their pushes met the ring. PushLog
// allocates nothing and takes no lock.
//
// Full ring. PushLog refuses the text with -6 and counts it as lost; nothing
// waits. TryPushLog refuses without counting, for a caller that tries again
// and counts the record only if it gives it up: each lost record once.
//
// Wake-ups. See WriterLoop.h: a producer signals only the first record that
// finds the writer parked (after more than a second without records), and the
// record that makes the ring half full.
//
// Locks. The engine lock (the file set's m_Lock) guards the file name table and
// the file count (Start's naming and first open, SetFileNum, the writer's
// rotation and reopens). Lock order: the module lock before the engine lock;
// the writer never takes the module lock. PushLog and the writer's write path
// take neither.
//
// Crash. A crash signal handler of the owner (the log module's crash flush)
// calls DrainForCrash on the thread that faulted, possibly with the module
// lock or the engine lock held by that very thread: the drain takes neither.
// The writer answers it (WriterLoop.h), or, when the writer itself faulted,
// the handler drains the ring with the sinks' async-signal-safe path.
//
// Start builds every part first and commits last: a failure unwinds by the
// parts' destructors. Stop order: running flag off, wake event set, writer
// joined (it drains the ring first; when no file can be opened it gives up
// after a second and counts what it discards), file closed, endpoint
// destroyed, thread handle and event released, ring released.

#include "asynclog/ZIdOrereDov.h"

#include "asynclog/ServerProbe.h"
#include "platform/FixedText.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kModeForward = 2;

// Closes the file set's current file unless the start that opened it commits.
class CloseUnlessCommitted {
public:
    explicit CloseUnlessCommitted(CLogFileSet& files) : m_Files(files) {}
    ~CloseUnlessCommitted() {
        if (!m_bCommitted) m_Files.Close();
    }
    CloseUnlessCommitted(const CloseUnlessCommitted&) = delete;
    CloseUnlessCommitted& operator=(const CloseUnlessCommitted&) = delete;
    void Commit() { m_bCommitted = true; }

private:
    CLogFileSet& m_Files;
    bool m_bCommitted = false;
};

}  // namespace

ZIdOrereDov::ZIdOrereDov()
    : m_Lost(),
      m_Diag(),
      m_Files(m_Lost, &m_Diag),
      m_nSlotCount(kDefaultSlotCount),
      m_nSlotSize(kSlotSize),
      m_nMode(kModeForward),
      m_nLevel(kDefaultLevel),
      m_szCfgPath(),
      m_szLevelKey(),
      m_pfnLevelCallback(nullptr),
      m_pfnConfigCheck(nullptr),
      m_nUserValue(0) {}

ZIdOrereDov::~ZIdOrereDov() { Stop(); }

int32_t ZIdOrereDov::Start(const char* pLogPath, const char* pPrefix) {
    int32_t nRet = m_Files.Init(pLogPath, pPrefix);
    if (nRet != kLogOk) return nRet;
    // Without its journals the set still writes every record: their lines
    // then read as of an unrecorded origin.
    if (m_bKeepOrigins) (void)m_Files.KeepOrigins();

    // Mode 2 forwards while the daemon runs and writes files while it does
    // not; every other mode writes files.
    std::unique_ptr<CUdpForwarder> pForwarder;
    std::unique_ptr<CDaemonFollower> pFollower;
    CRecordSink* pSink = &m_Files;
    CloseUnlessCommitted fileGuard(m_Files);
    bool bFiles = true;
    if (m_nMode == kModeForward) {
        pForwarder.reset(new (std::nothrow) CUdpForwarder(m_Lost));
        if (pForwarder == nullptr) return kLogErrResource;
        nRet = pForwarder->Open();
        if (nRet != kLogOk) return nRet;
        bFiles = !CDaemonFollower::DaemonRuns();
        pFollower.reset(new (std::nothrow) CDaemonFollower(m_Files, *pForwarder, !bFiles));
        if (pFollower == nullptr) return kLogErrResource;
        pSink = pFollower.get();
    }
    if (bFiles) {
        nRet = m_Files.OpenCurrent();
        if (nRet != kLogOk) return nRet;
    }

    std::unique_ptr<CRingBuffer> pQueue(new (std::nothrow) CRingBuffer());
    if (pQueue == nullptr || pQueue->Allocate(m_nSlotCount, m_nSlotSize, 0) != 0) {
        return kLogErrResource;
    }
    std::unique_ptr<CWriterLoop> pWriter(new (std::nothrow) CWriterLoop(
        *pQueue, *pSink, m_Lost, m_szCfgPath, &ZIdOrereDov::ReloadFromWriter, this));
    if (pWriter == nullptr || pWriter->Start() != kLogOk) return kLogErrResource;

    // Commit. The writer already runs on the queue and the sink, which stay
    // where they are: only the owners change.
    m_pForwarder = std::move(pForwarder);
    m_pFollower = std::move(pFollower);
    m_pQueue = std::move(pQueue);
    m_pWriter = std::move(pWriter);
    fileGuard.Commit();
    m_Diag.Started();
    return kLogOk;
}

void ZIdOrereDov::Stop() {
    if (m_pWriter != nullptr) m_pWriter->Stop();  // flag off, event set, joined after the drain
    m_Files.Close();
    m_pFollower.reset();
    m_pForwarder.reset();
    m_pWriter.reset();  // thread handle and event
    m_pQueue.reset();
}

int32_t ZIdOrereDov::PushLog(const char* pText, uint32_t nLen) {
    const int32_t nRet = TryPushLog(pText, nLen);
    if (nRet == kLogErrResource) m_Lost.Add(LossCause::kRingFull);
    return nRet;
}

int32_t ZIdOrereDov::TryPushLog(const char* pText, uint32_t nLen, const RecordOrigin& from) {
    if (m_pQueue == nullptr || m_pWriter == nullptr) return kLogErrNotRunning;
    if (pText == nullptr) return kLogErrInvalid;
    if (!m_pWriter->Running()) return kLogErrNotRunning;
    // Too long is told before full: such a text never fits, and trying it
    // again would not help.
    bool bFilling = false;
    const int nPushed = nLen <= m_nSlotSize ? m_pQueue->PushText(pText, nLen, from, &bFilling) : -1;
    if (nPushed == 0) return kLogErrResource;
    if (nPushed < 0) {
        m_Lost.Add(LossCause::kTooLong);
        return kLogErrInvalid;
    }
    m_pWriter->NotifyCommitted(bFilling);
    return kLogOk;
}

int32_t ZIdOrereDov::SetFileSize(uint32_t nSizeMiB) { return m_Files.SetFileSize(nSizeMiB); }

int32_t ZIdOrereDov::SetFileNum(uint32_t nNum) { return m_Files.SetFileNum(nNum); }

int32_t ZIdOrereDov::Configure(const EngineSettings& st) {
    (void)SetLevel(st.nLevel);  // stores; cannot fail
    int32_t nRet = SetFileNum(st.nFileNum);
    if (nRet != kLogOk) return nRet;
    nRet = SetFileSize(st.nFileSizeMiB);
    if (nRet != kLogOk) return nRet;
    (void)SetSlotCount(st.nSlotCount);
    (void)SetSlotSize(kSlotSize);  // the longest record must fit every slot
    if (st.pfnLevelCallback != nullptr && st.szLevelKey[0] != '\0') {
        nRet = RegisterLevelCallback(st.pfnLevelCallback, st.szLevelKey, st.nUserValue);
        if (nRet != kLogOk) return nRet;
    }
    if (st.szCfgPath[0] != '\0') {
        nRet = SetConfigPath(st.szCfgPath);
        if (nRet != kLogOk) return nRet;
    }
    (void)SetMode(st.nMode);  // stores; cannot fail
    m_Files.SetSyncMs(st.nSyncMs);
    m_Files.SetUrgentTest(st.pfnUrgent);
    m_bKeepOrigins = st.bKeepOrigins;
    return kLogOk;
}

int32_t ZIdOrereDov::SetSlotCount(uint32_t nCount) {
    m_nSlotCount = nCount;
    return kLogOk;
}

int32_t ZIdOrereDov::SetSlotSize(uint32_t nSize) {
    m_nSlotSize = nSize;
    return kLogOk;
}

int32_t ZIdOrereDov::SetMode(uint32_t nMode) {
    m_nMode = nMode;
    return kLogOk;
}

// The level is a single value shared with the writer's reload; relaxed suffices
// as nothing else is published with it.
int32_t ZIdOrereDov::SetLevel(int32_t nLevel) {
    m_nLevel.store(nLevel, std::memory_order_relaxed);
    return kLogOk;
}

int32_t ZIdOrereDov::GetLevel() const { return m_nLevel.load(std::memory_order_relaxed); }

int32_t ZIdOrereDov::SetConfigPath(const char* pPath) {
    if (pPath == nullptr) return kLogErrInvalid;
    const size_t nLen = std::strlen(pPath);
    if (nLen == 0 || nLen > kLogPathLen) return kLogErrInvalid;
    CopyText(m_szCfgPath, pPath);
    return kLogOk;
}

int32_t ZIdOrereDov::RegisterLevelCallback(LevelCallback pfnCallback, const char* pKeyName,
                                           int32_t nUserValue) {
    if (pfnCallback == nullptr || pKeyName == nullptr || std::strlen(pKeyName) > kLevelKeyLen) {
        return kLogErrInvalid;
    }
    m_pfnLevelCallback = pfnCallback;
    CopyText(m_szLevelKey, pKeyName);
    m_nUserValue = nUserValue;
    return kLogOk;
}

void ZIdOrereDov::ReloadFromWriter(void* pEngine) {
    (void)static_cast<ZIdOrereDov*>(pEngine)->ReloadConfig();  // -5: no file, nothing to apply
}

int32_t ZIdOrereDov::ReloadConfig() {
    LogConfigValues stValues;
    if (!ReadLogConfig(m_szCfgPath, m_szLevelKey, &stValues)) return kLogErrInvalid;
    const int32_t nOldLevel = m_nLevel.load(std::memory_order_relaxed);
    const uint32_t nOldSize = m_Files.FileSizeMiB();
    const uint32_t nOldNum = m_Files.FileNum();
    const uint32_t nOldSyncMs = m_Files.SyncMs();
    if (stValues.bLevel) m_nLevel.store(stValues.nLevel, std::memory_order_relaxed);
    // The custom key is read after LogLevel, so its value wins. The callback
    // hears every valid value, changed or not, on this thread, without a lock.
    if (stValues.bCustomLevel) {
        m_nLevel.store(stValues.nCustomLevel, std::memory_order_relaxed);
        if (m_pfnLevelCallback != nullptr) {
            m_pfnLevelCallback(stValues.nCustomLevel, m_szLevelKey, m_nUserValue);
        }
    }
    if (stValues.bFileSize) (void)m_Files.SetFileSize(stValues.nFileSizeMiB);  // in range
    if (stValues.bFileNum) (void)m_Files.SetFileNum(stValues.nFileNum);        // in range
    if (stValues.bSyncMs) m_Files.SetSyncMs(stValues.nSyncMs);
    if (m_Diag.Enabled()) {
        const int32_t nLevel = m_nLevel.load(std::memory_order_relaxed);
        const uint32_t nSize = m_Files.FileSizeMiB();
        const uint32_t nNum = m_Files.FileNum();
        char szChanges[128] = "nothing changed";
        size_t nAt = 0;
        auto Change = [&](const char* pKey, long nOld, long nNew) {
            if (nOld == nNew || nAt >= sizeof(szChanges)) return;
            const int n = std::snprintf(szChanges + nAt, sizeof(szChanges) - nAt, "%s%s %ld -> %ld",
                                        nAt == 0 ? "" : ", ", pKey, nOld, nNew);
            if (n > 0) nAt += static_cast<size_t>(n);
        };
        Change(kCfgLogLevel.pKey, nOldLevel, nLevel);
        Change(kCfgFileSize.pKey, nOldSize, nSize);
        Change(kCfgFileNum.pKey, nOldNum, nNum);
        Change(kCfgSyncMs.pKey, nOldSyncMs, m_Files.SyncMs());
        char szFindings[CDiagnostics::kRecordSize / 2] =
            "";  // the rest of the record says what changed
        const uint32_t nFindings =
            m_pfnConfigCheck == nullptr
                ? 0
                : m_pfnConfigCheck(m_szCfgPath, szFindings, sizeof(szFindings));
        m_Diag.Report(DiagKind::kReload, "configuration %s reloaded: %s%s%s", m_szCfgPath,
                      szChanges, nFindings == 0 ? "" : "; not as written: ", szFindings);
    }
    return kLogOk;
}
