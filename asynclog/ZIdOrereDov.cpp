// DESIGN
//
// Threads. The owner (the log module) configures, starts and stops the engine.
// Producers call PushLog; the log module serialises them under its own lock, so
// the ring has exactly one producer at a time. The writer thread started by
// Start is the ring's only consumer (WriterThread.cpp).
//
// Ring indices. The producer owns the write index, the writer the read index
// (RingBuffer.h): a text is copied into the slot before the write index is
// published, and the writer is done with a slot before the read index moves
// past it. PushLog allocates nothing and takes no lock.
//
// Full ring. PushLog refuses the text with -6 and counts it as lost; nothing
// waits.
//
// Wake-ups. The writer is woken only when the ring was empty before the push
// and the writer is parked on its event. After work it naps for a couple of
// milliseconds unparked, so steady logging never makes a system call on the
// producer's thread; parked, it waits up to 50 ms, as every push into an empty
// ring wakes it (WriterThread.cpp, WaitForRecords). The configuration file is
// looked at every 300 records or 1.5 seconds.
//
// Locks. m_Lock, the engine lock, guards the file name table and the file count
// (Start's naming and first open, SetFileNum, the writer's rotation and
// reopens). Lock order: the module lock before m_Lock; the writer never takes
// the module lock. PushLog and the writer's write path take neither.
//
// Stop order. Running flag off, wake event set, writer joined (it drains the
// ring first; when no file can be opened it gives up after a second and counts
// what it discards), file closed, endpoint destroyed, thread handle, event and
// ring released.

#include "asynclog/ZIdOrereDov.h"

#include "asynclog/ServerProbe.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint64_t kDefaultMaxFileSize = 0x1400000;  // 20 MiB
constexpr uint32_t kDefaultSlots = 1024;
constexpr uint32_t kDefaultSlotSize = kMaxRecordLen;
constexpr uint32_t kModeForward = 2;
constexpr int32_t kDefaultLevel = 4;
constexpr size_t kMaxOpenName = 127;  // longest file name OpenLogFile takes
constexpr size_t kPathBuf = 512;      // directory + "/" + name
constexpr mode_t kDirMode = 0775;
constexpr size_t kStdioBufSize = 64 * 1024;  // one write() carries many records
constexpr uint32_t kForwardRecvBuf = 8192;
constexpr uint32_t kCacheLine = 64;
constexpr uint32_t kPrefetchBytes = 256;  // a typical record

// Copies a text of at most nMax characters into a zeroed array of nMax + 1.
void CopyText(char* pDst, size_t nMax, const char* pSrc) {
    std::memset(pDst, 0, nMax + 1);
    std::memcpy(pDst, pSrc, std::strlen(pSrc));
}

}  // namespace

ZIdOrereDov::ZIdOrereDov()
    : m_pFile(nullptr),
      m_pNetLayer(nullptr),
      m_nForward(0),
      m_pQueue(nullptr),
      m_bRunning(0),
      m_pThread(nullptr),
      m_szPrefix(),
      m_szFileName(),
      m_nFileNum(kMinLogFiles),
      m_llMaxFileSize(kDefaultMaxFileSize),
      m_pEvent(nullptr),
      m_szLogPath(),
      m_nSlotCount(kDefaultSlots),
      m_nSlotSize(kDefaultSlotSize),
      m_nMode(kModeForward),
      m_szCfgPath(),
      m_nLevel(kDefaultLevel),
      m_szLevelKey(),
      m_pfnLevelCallback(nullptr),
      m_nUserValue(0),
      m_llFilePos(0),
      m_llGiveUpAtMs(0),
      m_stSendParam(),
      m_pStdioBuf(nullptr),
      m_bParked(0),
      m_nLost(0) {}

ZIdOrereDov::~ZIdOrereDov() { Stop(); }

int32_t ZIdOrereDov::BuildFileNames(const char* pPrefix) {
    if (pPrefix == nullptr || *pPrefix == '\0' || std::strlen(pPrefix) > kPrefixLen) {
        return kLogErrInvalid;
    }
    // The prefix may be m_szPrefix itself (SetFileNum regenerates the names
    // from it): take a copy before the member is cleared.
    char szPrefix[kPrefixLen + 1];
    CopyText(szPrefix, kPrefixLen, pPrefix);
    CopyText(m_szPrefix, kPrefixLen, szPrefix);
    for (uint32_t i = 0; i < kMaxLogFiles; ++i) {
        std::memset(m_szFileName[i], 0, sizeof(m_szFileName[i]));
        if (i < m_nFileNum) {
            (void)std::snprintf(m_szFileName[i], sizeof(m_szFileName[i]), "%s_0%u.log", m_szPrefix,
                                i);  // 128 + 7 characters always fit
        }
    }
    return kLogOk;
}

int32_t ZIdOrereDov::CreateLogDir(const char* pPath) {
    if (pPath == nullptr) return kLogErrInvalid;
    char* pCopy = strdup(pPath);
    if (pCopy == nullptr) return kLogOk;  // no memory: the open that follows reports it
    // Index 0 is never a cut point, so "/var/log" never asks for an empty name.
    for (size_t i = 1; pCopy[i] != '\0'; ++i) {
        if (pCopy[i] != '/' && pCopy[i] != '\\') continue;
        pCopy[i] = '\0';
        // A level that another process creates between the test and mkdir is fine.
        if (access(pCopy, F_OK) != 0 && mkdir(pCopy, kDirMode) != 0 && errno != EEXIST) {
            std::free(pCopy);
            return kLogErrResource;
        }
        pCopy[i] = '/';
    }
    const int nRet = mkdir(pCopy, kDirMode);
    std::free(pCopy);
    return nRet == 0 ? kLogOk : -1;  // -1 also when the directory already exists
}

int32_t ZIdOrereDov::OpenLogFile(const char* pFileName, uint32_t bAppend) {
    if (pFileName == nullptr || bAppend > 1) return kLogErrInvalid;
    if (std::strlen(pFileName) > kMaxOpenName) return kLogErrNameTooLong;

    char szName[kMaxOpenName + 1];
    CopyText(szName, kMaxOpenName, pFileName);
    (void)CreateLogDir(m_szLogPath);  // a level that cannot be made shows as a failed open

    char szPath[kPathBuf];
    (void)std::snprintf(szPath, sizeof(szPath), "%s/%s", m_szLogPath, szName);  // 256+1+127 fit
    m_pFile = std::fopen(szPath, bAppend != 0 ? "ab+" : "wb+");
    if (m_pFile == nullptr) return kLogErrResource;

    // The writer hands many records to one write(); the buffer is the engine's.
    if (m_pStdioBuf != nullptr) {
        (void)std::setvbuf(m_pFile, m_pStdioBuf, _IOFBF, kStdioBufSize);  // else stdio's own
    }
    struct stat st {};
    m_llFilePos = fstat(fileno(m_pFile), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return kLogOk;
}

int32_t ZIdOrereDov::Start(const char* pLogPath, const char* pPrefix) {
    m_nForward = 0;
    {
        CZQLockGuard guard(m_Lock);
        const int32_t nRet = BuildFileNames(pPrefix);
        if (nRet != kLogOk) return nRet;
    }
    if (pLogPath == nullptr || std::strlen(pLogPath) > kLogPathLen) return kLogErrInvalid;
    CopyText(m_szLogPath, kLogPathLen, pLogPath);

    m_pEvent = CreateSemEvent(0, 0);
    if (m_pEvent == nullptr) return kLogErrResource;

    // Mode 2 forwards when the daemon runs now; the choice holds for the
    // engine's life. Every other mode writes files.
    if (m_nMode == kModeForward && FindProcessByName(kLogServerName) > 0) m_nForward = 1;

    if (m_nForward == 1) {
        if (m_pNetLayer == nullptr) {
            const int32_t nRet = NetLayerInit();
            if (nRet != 0) return nRet;
            m_pNetLayer = new (std::nothrow) NetHandle(kLoopbackIp, kForwardPort, kForwardRecvBuf);
            if (m_pNetLayer == nullptr) return kLogErrResource;
        }
    } else {
        if (m_pStdioBuf == nullptr) {
            // Without it the file still works with stdio's own, smaller buffer.
            m_pStdioBuf = static_cast<char*>(std::malloc(kStdioBufSize));
        }
        int32_t nRet;
        {
            CZQLockGuard guard(m_Lock);
            nRet = OpenLogFile(m_szFileName[0], 1);
        }
        if (nRet == kLogErrResource) {
            Stop();
            return kLogErrResource;
        }
        if (nRet != kLogOk) return nRet;
    }

    if (m_pQueue == nullptr) {
        m_pQueue = new (std::nothrow) CLogQueue();
        if (m_pQueue == nullptr) {
            Stop();
            return kLogErrResource;
        }
    }
    if (m_pQueue->CreateRing(m_nSlotCount, m_nSlotSize, 0) != 0) {
        Stop();
        return kLogErrResource;
    }

    if (m_bRunning.load(std::memory_order_relaxed) == 0) {
        // Set before the thread exists; pthread_create publishes it to the writer.
        m_bRunning.store(1, std::memory_order_relaxed);
        if (m_pThread == nullptr) {
            m_pThread = CreateThreadEx(nullptr, &ZIdOrereDov::WriteLogThread, this);
            if (m_pThread == nullptr) {
                Stop();
                return kLogErrResource;
            }
        }
    }
    return kLogOk;
}

void ZIdOrereDov::Stop() {
    // Release: whatever the owner did before stopping is visible to the writer
    // once it sees the flag clear.
    m_bRunning.store(0, std::memory_order_release);
    if (m_pEvent != nullptr)
        (void)SetSemEvent(m_pEvent);  // 0 only for a failed post;
                                      // the writer wakes by time-out
    if (m_pThread != nullptr) (void)JoinThread(m_pThread);
    if (m_pFile != nullptr) {
        (void)std::fclose(m_pFile);  // the writer flushed and checked every record
        m_pFile = nullptr;
    }
    std::free(m_pStdioBuf);
    m_pStdioBuf = nullptr;
    if (m_pNetLayer != nullptr) {
        delete m_pNetLayer;
        m_pNetLayer = nullptr;
        (void)NetLayerDeInit();  // always 0
    }
    if (m_pThread != nullptr) {
        (void)FreeThreadHandle(m_pThread);
        m_pThread = nullptr;
    }
    if (m_pEvent != nullptr) {
        (void)FreeSemEvent(m_pEvent);
        m_pEvent = nullptr;
    }
    if (m_pQueue != nullptr) {
        m_pQueue->DestroyRing();
        delete m_pQueue;
        m_pQueue = nullptr;
    }
}

int32_t ZIdOrereDov::PushLog(const char* pText, uint32_t nLen) {
    if (m_pQueue == nullptr) return kLogErrNotRunning;
    if (pText == nullptr) return kLogErrInvalid;
    const int32_t nPending = m_pQueue->GetPendingCount();
    if (m_bRunning.load(std::memory_order_relaxed) == 0) return kLogErrNotRunning;

    RingSlot* pSlot = m_pQueue->GetWriteSlot();
    if (pSlot == nullptr) {
        m_nLost.fetch_add(1, std::memory_order_relaxed);
        return kLogErrResource;
    }
    if (pSlot->nBufferSize < nLen) {
        m_nLost.fetch_add(1, std::memory_order_relaxed);
        return kLogErrInvalid;
    }
    // One copy. The writer bounds every text by nDataLen and stops at a NUL, so
    // a terminator after a shorter text is all the clearing a slot needs; a
    // text that fills its slot exactly has none and is bounded by nDataLen.
    std::memcpy(pSlot->pBuffer, pText, nLen);
    if (nLen < pSlot->nBufferSize) pSlot->pBuffer[nLen] = 0;
    pSlot->nDataLen = nLen;
    (void)m_pQueue->CommitWrite();  // 1: every slot of a started ring has a buffer
    // The writer read the next slot's buffer a ring ago, so its cache lines sit
    // with the writer's core. Asking for them now, for writing, lets them
    // arrive while the caller does other things; otherwise the next record's
    // copy would wait for them when the caller releases its lock.
    if (RingSlot* pNext = m_pQueue->GetWriteSlot()) {
        for (uint32_t nOff = 0; nOff < kPrefetchBytes && nOff < pNext->nBufferSize;
             nOff += kCacheLine) {
            __builtin_prefetch(pNext->pBuffer + nOff, 1);  // a hint: never faults
        }
    }

    // A ring that already held records has a writer that is awake or about to
    // wake by itself: only the first record after an empty ring may signal, and
    // only when the writer is parked (see WaitForRecords: this read-modify-write
    // pairs with the writer's, so either it sees this record or this sees it
    // parked).
    if (nPending == 0 && m_bParked.fetch_or(0, std::memory_order_acq_rel) != 0) {
        (void)SetSemEvent(m_pEvent);
    }
    return kLogOk;
}

int32_t ZIdOrereDov::SetFileSize(uint32_t nSizeMiB) {
    if (nSizeMiB < kMinFileSizeMiB || nSizeMiB > kMaxFileSizeMiB) return kLogErrInvalid;
    // Relaxed: the writer only compares against it; a size taking effect one
    // record later is fine.
    m_llMaxFileSize.store(static_cast<uint64_t>(nSizeMiB) << 20, std::memory_order_relaxed);
    return kLogOk;
}

int32_t ZIdOrereDov::SetFileNum(uint32_t nNum) {
    if (nNum < kMinLogFiles || nNum > kMaxLogFiles) return kLogErrInvalid;
    CZQLockGuard guard(m_Lock);
    if (nNum != m_nFileNum && m_bRunning.load(std::memory_order_relaxed) != 0) {
        m_nFileNum = nNum;
        return BuildFileNames(m_szPrefix);
    }
    m_nFileNum = nNum;
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
    CopyText(m_szCfgPath, kLogPathLen, pPath);
    return kLogOk;
}

int32_t ZIdOrereDov::RegisterLevelCallback(LevelCallback pfnCallback, const char* pKeyName,
                                           int32_t nUserValue) {
    if (pfnCallback == nullptr || pKeyName == nullptr || std::strlen(pKeyName) > kLevelKeyLen) {
        return kLogErrInvalid;
    }
    m_pfnLevelCallback = pfnCallback;
    CopyText(m_szLevelKey, kLevelKeyLen, pKeyName);
    m_nUserValue = nUserValue;
    return kLogOk;
}
