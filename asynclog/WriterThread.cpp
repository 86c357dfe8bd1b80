// The engine's writer thread: the ring's only consumer. In file mode it appends
// every text to the current file and rotates the set at the size limit; in
// forwarding mode it sends every text as one datagram to the log daemon. Both
// loops watch the configuration file and reload it when it changes.

#include "asynclog/ZIdOrereDov.h"

#include "platform/ProfileReader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int32_t kIdleWaitMs = 50;               // ring empty, writer parked (producers signal it)
constexpr int64_t kLingerNs = 2000000;            // how long an idle writer stays unparked
constexpr long kLingerStepNs = 50000;             // its naps meanwhile
constexpr int32_t kNoFileWaitMs = 100;            // a record waits but no file is open
constexpr uint32_t kWatchPasses = 300;            // passes between looks at the configuration file
constexpr int64_t kWatchIntervalNs = 1500000000;  // ... or this long, whichever comes first
constexpr int64_t kStopGiveUpMs = 1000;           // how long a stopping writer tries to get a file
constexpr uint32_t kMaxBatch = 512;               // records handed to stdio between two flushes
constexpr uint32_t kEndLoop = UINT32_MAX;         // a writer step\'s answer: the loop ends
constexpr size_t kValueLen = 16;
constexpr long kMinCfgLevel = 0;
constexpr long kMaxCfgLevel = 7;
constexpr size_t kPathBuf = 512;

int64_t MonotonicNs() {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);  // cannot fail for CLOCK_MONOTONIC
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t MonotonicMs() { return MonotonicNs() / 1000000; }

// Reads one key of the configuration file. False when the key is absent or its
// text is empty; otherwise its decimal value as strtol reads it (a text that is
// not a number gives 0).
bool ReadNumber(const char* pSection, const char* pKey, const char* pPath, long* pValue) {
    char szValue[kValueLen];
    std::memset(szValue, 0, sizeof(szValue));
    (void)ReadProfileString(pSection, pKey, "", szValue, sizeof(szValue), pPath);
    if (szValue[0] == '\0') return false;
    *pValue = std::strtol(szValue, nullptr, 10);
    return true;
}

}  // namespace

void* ZIdOrereDov::WriteLogThread(void* pArg) {
    if (pArg == nullptr) return nullptr;
    ZIdOrereDov* pEngine = static_cast<ZIdOrereDov*>(pArg);
    if (pEngine->m_nForward == 1) {
        pEngine->ForwardLoop();
    } else {
        pEngine->FileWriteLoop();
    }
    return nullptr;
}

int64_t ZIdOrereDov::GetFileMTime(const char* pPath) {
    if (pPath == nullptr) return 0;
    struct stat st {};
    if (stat(pPath, &st) != 0) return 0;
    return static_cast<int64_t>(st.st_mtime);
}

bool ZIdOrereDov::ConfigChanged(int64_t llRemembered, int64_t llNow) {
    const int64_t llDiff = llNow > llRemembered ? llNow - llRemembered : llRemembered - llNow;
    return llRemembered == 0 || llNow == 0 || llDiff > 1;
}

bool ZIdOrereDov::ExitWanted() const {
    // Acquire pairs with Stop's release; producers can no longer push once the
    // flag is clear (the owner stops the engine under its own lock), so an
    // empty ring here stays empty.
    return m_bRunning.load(std::memory_order_acquire) == 0 && m_pQueue->GetReadSlot() == nullptr;
}

// Looks at the configuration file every kWatchPasses passes, or when
// kWatchIntervalNs have gone by since the last look. Under load every record
// counts as a pass, so the file is looked at every 300 records; when idle, every
// 1.5 seconds (the parked writer sleeps long and would rarely count 300). A
// change of exactly one second is not taken as a change (file systems with
// coarse time stamps).
void ZIdOrereDov::WatchConfig(WatchState* pWatch, uint32_t nStep) {
    pWatch->nPasses += nStep;
    const int64_t llNowNs = MonotonicNs();
    if (pWatch->nPasses < kWatchPasses && llNowNs - pWatch->llLastLookNs < kWatchIntervalNs) {
        return;
    }
    pWatch->nPasses = 0;
    pWatch->llLastLookNs = llNowNs;
    const int64_t llNow = GetFileMTime(m_szCfgPath);
    if (ConfigChanged(pWatch->llLastMTime, llNow)) {
        (void)ReloadConfig();  // -5 only when the file is absent: nothing to apply
        pWatch->llLastMTime = llNow;
    }
}

int32_t ZIdOrereDov::ReloadConfig() {
    if (access(m_szCfgPath, F_OK) != 0) return kLogErrInvalid;
    long nValue = 0;
    if (ReadNumber("Level", "LogLevel", m_szCfgPath, &nValue) && nValue >= kMinCfgLevel &&
        nValue <= kMaxCfgLevel) {
        m_nLevel.store(static_cast<int32_t>(nValue), std::memory_order_relaxed);
    }
    // The custom key is read after LogLevel, so its value wins. The callback
    // hears every valid value, changed or not, on this thread, without a lock.
    if (m_szLevelKey[0] != '\0' && ReadNumber("Level", m_szLevelKey, m_szCfgPath, &nValue) &&
        nValue >= kMinCfgLevel && nValue <= kMaxCfgLevel) {
        m_nLevel.store(static_cast<int32_t>(nValue), std::memory_order_relaxed);
        if (m_pfnLevelCallback != nullptr) {
            m_pfnLevelCallback(static_cast<int32_t>(nValue), m_szLevelKey, m_nUserValue);
        }
    }
    if (ReadNumber("File", "FileSize", m_szCfgPath, &nValue) &&
        nValue >= static_cast<long>(kMinFileSizeMiB) &&
        nValue <= static_cast<long>(kMaxFileSizeMiB)) {
        m_llMaxFileSize.store(static_cast<uint64_t>(nValue) << 20, std::memory_order_relaxed);
    }
    if (ReadNumber("File", "FileNum", m_szCfgPath, &nValue) &&
        nValue >= static_cast<long>(kMinLogFiles) && nValue <= static_cast<long>(kMaxLogFiles)) {
        (void)SetFileNum(static_cast<uint32_t>(nValue));  // in range: cannot fail
    }
    return kLogOk;
}

// The file set, oldest last, for N files:
//
//   SDK_00.log -> SDK_01.log -> ... -> SDK_0(N-1).log -> deleted
//
// Missing entries are skipped, so a set with gaps closes up only as far as the
// files that exist. Afterwards SDK_00.log does not exist; the caller creates
// it. Runs under m_Lock (the name table and the count).
int32_t ZIdOrereDov::RotateLogFiles() {
    char szFrom[kPathBuf];
    char szTo[kPathBuf];
    for (int32_t i = static_cast<int32_t>(m_nFileNum) - 1; i >= 0; --i) {
        if (m_szFileName[i][0] == '\0') continue;
        (void)std::snprintf(szFrom, sizeof(szFrom), "%s/%s", m_szLogPath, m_szFileName[i]);
        if (access(szFrom, F_OK) != 0) continue;
        if (i == static_cast<int32_t>(m_nFileNum) - 1) {
            (void)std::remove(szFrom);  // a file that stays is overwritten by the rename below
            continue;
        }
        (void)std::snprintf(szTo, sizeof(szTo), "%s/%s", m_szLogPath, m_szFileName[i + 1]);
        (void)std::remove(szTo);  // usually already gone; rename reports what matters
        // A failed rename ends the rotation; the moves made so far stay made.
        if (std::rename(szFrom, szTo) < 0) return kLogErrInvalid;
    }
    return kLogOk;
}

size_t ZIdOrereDov::SlotTextLength(const RingSlot* pSlot) const {
    // A text that fills its slot has no terminator: nDataLen bounds it. A NUL
    // inside the text ends it, as for any C string.
    return strnlen(reinterpret_cast<const char*>(pSlot->pBuffer), pSlot->nDataLen);
}

// Flushes what stdio holds. Records whose bytes did not reach the file (a full
// disk, an I/O error) are counted as lost.
void ZIdOrereDov::FlushChecked(uint32_t nRecords) {
    if (std::fflush(m_pFile) != 0 || std::ferror(m_pFile) != 0) {
        m_nLost.fetch_add(nRecords, std::memory_order_relaxed);
        std::clearerr(m_pFile);
    }
}

// The current file reached the size limit: close it, shift the set and start
// an empty current file. When a rename fails the current file is reopened for
// appending and the next size check tries again; when the new file cannot be
// created, m_pFile stays null and the loop reopens it before the next record.
// Every record written so far has already been released, so none is written
// twice.
void ZIdOrereDov::RotateCurrentFile() {
    (void)std::fclose(m_pFile);  // flushed and checked just before
    m_pFile = nullptr;
    CZQLockGuard guard(m_Lock);
    if (RotateLogFiles() == kLogOk) {
        (void)OpenLogFile(m_szFileName[0], 0);
    } else {
        (void)OpenLogFile(m_szFileName[0], 1);
    }
}

// Writes the records that are ready, up to kMaxBatch, then flushes once: one
// write() for many records, and every record on disk before the writer waits
// again. The size check follows every record, so rotation happens at record
// boundaries and a rotated file holds at least the limit and less than the
// limit plus one record. Returns the number of records taken from the ring.
uint32_t ZIdOrereDov::WriteReadyRecords() {
    uint32_t nDone = 0;
    uint32_t nUnflushed = 0;
    RingSlot* pSlot = nullptr;
    while (nDone < kMaxBatch && (pSlot = m_pQueue->GetReadSlot()) != nullptr) {
        const size_t nLen = SlotTextLength(pSlot);
        if (nLen > 0) {
            (void)std::fwrite(pSlot->pBuffer, nLen, 1, m_pFile);  // errors: see FlushChecked
        }
        m_llFilePos += nLen;
        // stdio holds the bytes now: the slot can go back to the producer.
        (void)m_pQueue->PopRead();
        ++nDone;
        ++nUnflushed;
        if (m_llFilePos >= m_llMaxFileSize.load(std::memory_order_relaxed)) {
            FlushChecked(nUnflushed);
            nUnflushed = 0;
            RotateCurrentFile();
            if (m_pFile == nullptr) return nDone;
        }
    }
    if (nUnflushed > 0) FlushChecked(nUnflushed);
    return nDone;
}

// The ring is empty. Right after work the writer naps in short steps without
// parking: producers see it unparked and do not signal, so a client logging
// steadily never pays for a wake-up (a system call) on its own thread. Once
// the ring has stayed empty for kLingerNs the writer parks and waits on the
// event; the first record after that signals it.
//
// Parking is an event count: the writer announces itself parked, then looks at
// the ring once more; a producer commits its record, then looks at the flag.
// Both sides use a read-modify-write of m_bParked, so one of the two comes
// first in its order: when the producer's comes first, the writer's exchange
// synchronises with it and sees the record; otherwise the producer reads 1 and
// signals. No record waits for the time-out, which still bounds any wait.
void ZIdOrereDov::WaitForRecords(int64_t* pLastWorkNs) {
    const int64_t llNow = MonotonicNs();
    if (llNow - *pLastWorkNs < kLingerNs) {
        struct timespec stStep = {0, kLingerStepNs};
        (void)nanosleep(&stStep, nullptr);  // an interrupted nap only ends early
        return;
    }
    (void)m_bParked.exchange(1, std::memory_order_acq_rel);
    const bool bWoken =
        m_pQueue->GetReadSlot() == nullptr && WaitSemEvent(m_pEvent, kIdleWaitMs) == 0;
    m_bParked.store(0, std::memory_order_relaxed);
    if (bWoken) {
        // Woken by the first record of a burst: as a real-time thread the writer
        // may have preempted that very producer. A nap hands the CPU back so the
        // burst goes on, and the writer then takes it in one batch.
        struct timespec stStep = {0, kLingerStepNs};
        (void)nanosleep(&stStep, nullptr);
    }
}

void ZIdOrereDov::DiscardRemaining() {
    while (m_pQueue->GetReadSlot() != nullptr) {
        (void)m_pQueue->PopRead();
        m_nLost.fetch_add(1, std::memory_order_relaxed);
    }
}

// The loop both modes share: exit test, configuration watch, idle wait, then
// the mode's step with the records that are ready. A step returns how many
// records it took from the ring (0 when it only waited), or kEndLoop.
void ZIdOrereDov::RunWriterLoop(uint32_t (ZIdOrereDov::*pfnStep)()) {
    WatchState stWatch = {GetFileMTime(m_szCfgPath), 0, MonotonicNs()};
    uint32_t nStep = 1;
    int64_t llLastWorkNs = 0;
    while (!ExitWanted()) {
        WatchConfig(&stWatch, nStep);
        nStep = 1;
        if (m_pQueue->GetReadSlot() == nullptr) {
            WaitForRecords(&llLastWorkNs);
            continue;
        }
        const uint32_t nDone = (this->*pfnStep)();
        if (nDone == kEndLoop) break;
        if (nDone > 0) {
            nStep = nDone;
            llLastWorkNs = MonotonicNs();
        }
    }
}

void ZIdOrereDov::FileWriteLoop() {
    m_llGiveUpAtMs = 0;
    RunWriterLoop(&ZIdOrereDov::FileWriteStep);
}

uint32_t ZIdOrereDov::FileWriteStep() {
    if (m_pFile != nullptr) return WriteReadyRecords();
    // No file: while running, keep trying; once stopping, a lasting failure (no
    // directory, no permission, no space) must not hang Stop: give up after a
    // bounded time and count what is left as lost.
    if (m_bRunning.load(std::memory_order_acquire) == 0) {
        const int64_t llNow = MonotonicMs();
        if (m_llGiveUpAtMs == 0) {
            m_llGiveUpAtMs = llNow + kStopGiveUpMs;
        } else if (llNow >= m_llGiveUpAtMs) {
            DiscardRemaining();
            return kEndLoop;
        }
    }
    (void)WaitSemEvent(m_pEvent, kNoFileWaitMs);
    CZQLockGuard guard(m_Lock);
    (void)OpenLogFile(m_szFileName[0], 1);  // still null: the next pass retries
    return 0;
}

void ZIdOrereDov::ForwardLoop() {
    std::memset(&m_stSendParam, 0, sizeof(m_stSendParam));
    m_stSendParam.nIp = kLoopbackIp;
    m_stSendParam.nPort = kLogServerPort;
    m_stSendParam.bSelect = 0;  // never wait for the socket: a record that cannot go is lost
    RunWriterLoop(&ZIdOrereDov::ForwardStep);
}

uint32_t ZIdOrereDov::ForwardStep() {
    uint32_t nDone = 0;
    RingSlot* pSlot = nullptr;
    while (nDone < kMaxBatch && (pSlot = m_pQueue->GetReadSlot()) != nullptr) {
        // One datagram of exactly nDataLen bytes: no header, no terminator.
        int32_t nRet = NET_ERR_HANDLE;
        if (m_pNetLayer != nullptr) {
            m_stSendParam.pData = pSlot->pBuffer;
            m_stSendParam.nLen = static_cast<int32_t>(pSlot->nDataLen);
            nRet = m_pNetLayer->NetLayerSend(&m_stSendParam);
        }
        if (nRet != 0) m_nLost.fetch_add(1, std::memory_order_relaxed);
        (void)m_pQueue->PopRead();
        ++nDone;
    }
    return nDone;
}
