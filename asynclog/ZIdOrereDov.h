#pragma once

#include "asynclog/RingBuffer.h"
#include "asynclog/SemEvent.h"
#include "platform/UdpNetLayer.h"
#include "platform/WireContract.h"
#include "platform/ZQMutex.h"
#include "platform/ZQThread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Result codes of the engine.
constexpr int32_t kLogOk = 0;
constexpr int32_t kLogErrNotRunning = -2;   // no ring, or not running (PushLog)
constexpr int32_t kLogErrInvalid = -5;      // bad argument, value out of range, failed rename
constexpr int32_t kLogErrResource = -6;     // no memory/event/thread/file; ring full
constexpr int32_t kLogErrNameTooLong = -7;  // file name longer than 127 characters

constexpr uint32_t kMinLogFiles = 2;
constexpr uint32_t kMaxLogFiles = 10;
constexpr uint32_t kMinFileSizeMiB = 10;
constexpr uint32_t kMaxFileSizeMiB = 200;
constexpr uint32_t kLogPathLen = 256;  // directory and configuration path
constexpr uint32_t kPrefixLen = 128;
constexpr uint32_t kLevelKeyLen = 64;
constexpr uint32_t kFileNameLen = 256;  // one entry of the name table

using LevelCallback = void (*)(int32_t nLevel, char* pKeyName, int32_t nUserValue);

// The asynchronous log engine: one per process. Producers hand it finished
// texts with PushLog; its writer thread appends them to a size-rotated file set
// (SDK_00.log is current) or, when it started in mode 2 and found the log
// daemon running, forwards each as one UDP datagram to 127.0.0.1:12345.
//
// Threads: the owner configures, starts and stops it; producers call PushLog
// (serialised by the caller: the ring has a single producer); SetFileSize,
// SetFileNum, SetLevel and GetLevel may be called from any thread while it
// runs. The writer thread is the ring's only consumer. See ZIdOrereDov.cpp for
// the design and the lock order.
class ZIdOrereDov {
public:
    ZIdOrereDov();
    ~ZIdOrereDov();  // runs Stop
    ZIdOrereDov(const ZIdOrereDov&) = delete;
    ZIdOrereDov& operator=(const ZIdOrereDov&) = delete;

    // 0; -5 bad argument or a directory too long; -6 a resource failed; -7 the
    // current file's name is too long; or NetLayerInit's code.
    int32_t Start(const char* pLogPath, const char* pPrefix);
    // Drains the ring (bounded when nothing can be written), joins the writer,
    // releases everything. Safe to call more than once.
    void Stop();
    // 0; -2 not running; -5 longer than a slot; -6 ring full.
    int32_t PushLog(const char* pText, uint32_t nLen);

    int32_t OpenLogFile(const char* pFileName, uint32_t bAppend);  // 0, -5, -6, -7
    int32_t CreateLogDir(const char* pPath);                       // 0, -1, -5, -6
    int32_t BuildFileNames(const char* pPrefix);                   // 0, -5

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

    // Records the engine accepted but could not write or send, plus records it
    // refused because the ring was full or they were too long.
    uint64_t GetLostCount() const { return m_nLost.load(std::memory_order_relaxed); }
    // 1 when the writer forwards to the daemon, 0 when it writes files.
    int32_t IsForwarding() const { return m_nForward; }

    static void* WriteLogThread(void* pArg);

    // Modification time of a file in seconds, 0 when it has none.
    static int64_t GetFileMTime(const char* pPath);
    // Whether the watch reloads: a time is missing, or it moved by more than a
    // second (a move of exactly one second is not taken as a change).
    static bool ConfigChanged(int64_t llRemembered, int64_t llNow);

private:
    void FileWriteLoop();
    void ForwardLoop();
    void RunWriterLoop(uint32_t (ZIdOrereDov::*pfnStep)());
    uint32_t FileWriteStep();
    uint32_t ForwardStep();
    int32_t RotateLogFiles();
    int32_t ReloadConfig();
    // Writer-thread helpers.
    struct WatchState {
        int64_t llLastMTime;   // the configuration file's time at the last look
        uint32_t nPasses;      // passes since the last look
        int64_t llLastLookNs;  // monotonic time of the last look
    };
    void WatchConfig(WatchState* pWatch, uint32_t nStep);
    bool ExitWanted() const;
    uint32_t WriteReadyRecords();
    void FlushChecked(uint32_t nRecords);
    void RotateCurrentFile();
    void DiscardRemaining();
    void WaitForRecords(int64_t* pLastWorkNs);
    size_t SlotTextLength(const RingSlot* pSlot) const;

    FILE* m_pFile;           // current file; the writer's alone while running
    NetHandle* m_pNetLayer;  // forwarding endpoint, forwarding mode only
    int32_t m_nForward;      // fixed by Start
    CLogQueue* m_pQueue;
    std::atomic<uint32_t> m_bRunning;  // Start/Stop write; PushLog and the writer read
    ThreadHandle m_pThread;
    char m_szPrefix[kPrefixLen + 1];
    char m_szFileName[kMaxLogFiles][kFileNameLen + 1];  // guarded by m_Lock
    uint32_t m_nFileNum;                                // guarded by m_Lock
    std::atomic<uint64_t> m_llMaxFileSize;              // SetFileSize/reload write, writer reads
    CSemEvent* m_pEvent;
    char m_szLogPath[kLogPathLen + 1];
    uint32_t m_nSlotCount;
    uint32_t m_nSlotSize;
    uint32_t m_nMode;
    mutable CZQMutex m_Lock;  // the engine lock
    char m_szCfgPath[kLogPathLen + 1];
    std::atomic<int32_t> m_nLevel;  // SetLevel/GetLevel and the writer's reload
    char m_szLevelKey[kLevelKeyLen + 1];
    LevelCallback m_pfnLevelCallback;
    int32_t m_nUserValue;

    uint64_t m_llFilePos;             // bytes in the current file; with m_pFile, the writer's alone
    int64_t m_llGiveUpAtMs;           // the writer\'s: when a stopping writer without a file quits
    NetSendParam m_stSendParam;       // the writer\'s, in forwarding mode
    char* m_pStdioBuf;                // the current file's stdio buffer, allocated by Start
    std::atomic<uint32_t> m_bParked;  // the writer sets it while it waits on m_pEvent
    std::atomic<uint64_t> m_nLost;    // producers and the writer add; anyone reads
};
