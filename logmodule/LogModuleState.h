#pragma once

// Internal to the log module (and its tests): the process-wide state behind
// LogModule.h and the pure record formatter.

#include "asynclog/ZIdOrereDov.h"
#include "logmodule/LogModule.h"
#include "logmodule/LogModuleExt.h"
#include "platform/DaemonPaths.h"
#include "platform/ZQMutex.h"

#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <memory>

// Defaults of the module's own settings (the log settings' defaults and ranges
// are in asynclog/LogConfig.h), restored by DestroyAsyncLog.
constexpr int32_t kDefaultMode = ZQ_MODE_FORWARD;
constexpr int32_t kDefaultSlotSize = static_cast<int32_t>(kSlotSize);  // recorded only
constexpr bool kDefaultCrashFlush = true;                              // SetCrashFlush

// The engine's code as the public one. Every engine code has a public twin of
// the same meaning; the asserts keep the numbers tied.
inline int32_t ToPublicResult(int32_t nEngineCode) {
    switch (nEngineCode) {
        case kLogOk:
        case kLogErrNotRunning:
        case kLogErrInvalid:
        case kLogErrResource:
        case kLogErrNameTooLong:
            return nEngineCode;
        default:
            return ZQ_ERR_RESOURCE;  // a failure of the platform below the engine
    }
}

// Longest accepted texts; every array below has one more byte for the terminator.
constexpr uint32_t kModuleNameLen = 128;
constexpr uint32_t kProcessNameLen = 259;

// Record layout.
constexpr uint32_t kRecordBufSize = kMaxRecordLen;  // a finished line is at most 1023 bytes
constexpr uint32_t kHeaderMaxLen = 511;

// A thread's mark that it is inside a push without the module lock
// (LogRecord.cpp). Whoever stops the engine first closes it to such pushes
// (m_nOpenGeneration), then waits until no linked gate is held. A line of its
// own: the thread writes it twice a record.
struct alignas(64) ProducerGate {
    // The thread's pushes in progress (a signal handler may nest one).
    std::atomic<uint32_t> nHeld{0};
    ProducerGate* pNext = nullptr;  // the module's list, under its lock
    uint32_t nEpoch = 0;            // the list it was linked into (m_nGateEpoch); 0: none
};

// The one log facility of the process. Settings start at their defaults; the
// lock exists from before main until exit.
//
// Settings. The module keeps what its callers set before creation and hands
// it to each new engine at CreateAsyncLog; from then on the runtime settings
// (level, file size and count) are the engine's alone, changed through the
// module's setters and by the engine's own reloads, and read back from the
// engine (GetLogLevel and the level check of WriteLog). The child of a fork
// takes them from the parent's engine.
//
// Threads: the settings that may only change before creation are written by
// the configuring thread; every setter still takes m_Lock so that its check
// of m_bCreated and its write cannot interleave with CreateAsyncLog.
// m_pAsyncLog, the engine calls and the identity fields are used under m_Lock,
// but for records: WriteLog and WriteRawLog format and push without the lock,
// from a per-thread copy of the identity (module name, process name, pid) and
// of the engine pointer, caught up under the lock whenever m_nGeneration
// moved, inside the thread's ProducerGate while m_nOpenGeneration still names
// the generation they were caught up at.
struct LogModule {
    LogModule();
    // At exit an engine that was never destroyed still drains its queue: a
    // process that ends without DestroyAsyncLog loses no record it logged.
    ~LogModule();
    LogModule(const LogModule&) = delete;
    LogModule& operator=(const LogModule&) = delete;

    // The next engine's settings, handed over at CreateAsyncLog (and in the
    // child of a fork). While an engine exists its setters go to the engine
    // alone; only the configuration path is noted here too, for a child's
    // engine.
    EngineSettings m_stNext ZQ_GUARDED_BY(m_Lock);
    int32_t m_nSlotSize ZQ_GUARDED_BY(m_Lock);  // recorded only
    char m_szLogPath[kLogPathLen + 1] ZQ_GUARDED_BY(m_Lock);
    char m_szPrefix[kPrefixLen + 1] ZQ_GUARDED_BY(m_Lock);
    char m_szModuleName[kModuleNameLen + 1] ZQ_GUARDED_BY(m_Lock);

    CZQMutex m_Lock;  // the module lock; taken before the engine's own lock
    std::unique_ptr<ZIdOrereDov> m_pAsyncLog ZQ_GUARDED_BY(m_Lock);
    // Written under m_Lock by CreateAsyncLog/DestroyAsyncLog; the setters read
    // it under m_Lock too, tests read it from the test thread. Relaxed: the
    // lock orders everything that depends on it.
    std::atomic<int32_t> m_bCreated;
    int32_t m_nPid ZQ_GUARDED_BY(m_Lock);
    char m_szProcessName[kProcessNameLen + 1] ZQ_GUARDED_BY(m_Lock);
    // Bumped under m_Lock whenever the identity (module name, process name,
    // pid) a record prints may have changed: at creation and destruction.
    uint32_t m_nGeneration ZQ_GUARDED_BY(m_Lock);
    // The generation whose engine takes records without the lock: set once
    // an engine runs, 0 from the moment it is to go. Sequentially consistent
    // against the gates (LogRecord.cpp).
    std::atomic<uint32_t> m_nOpenGeneration;
    ProducerGate* m_pGates ZQ_GUARDED_BY(m_Lock);  // every thread that pushed without the lock
    uint32_t m_nGateEpoch ZQ_GUARDED_BY(m_Lock);   // the list's; a fork's child starts anew
    // Set in the child of a fork of a created log: the parent's engine, whose
    // writer did not come along, was let go, and the child's first record
    // starts an engine of its own with the same settings.
    bool m_bStartInChild ZQ_GUARDED_BY(m_Lock);
    // EnableOwnRecords: the engine writes records of its own; their identity
    // is copied here when the engine is made and stays while it runs (the
    // writer formats them without the module lock).
    bool m_bOwnRecords ZQ_GUARDED_BY(m_Lock);
    bool m_bOwnStderr ZQ_GUARDED_BY(m_Lock);
    ConfigCheckFn m_pfnConfigCheck ZQ_GUARDED_BY(m_Lock);  // for the engine's reload records
    // SetCrashFlush: CreateAsyncLog (and a forked child's engine) installs
    // the crash flush (CrashFlush.h) for the engine; DestroyAsyncLog removes it.
    bool m_bCrashFlush ZQ_GUARDED_BY(m_Lock);
    struct OwnIdentity {
        char szModule[kModuleNameLen + 1];
        char szProcess[kProcessNameLen + 1];
        int32_t nPid;
    } m_stOwnIdentity;  // written under m_Lock before the engine starts, then read-only
};

// Generations move on at creation and destruction; 0 is never one.
void BumpGenerationLocked(LogModule& m) ZQ_REQUIRES(m.m_Lock);
// Records go to m_pAsyncLog without the lock from now on.
void OpenEngineLocked(LogModule& m) ZQ_REQUIRES(m.m_Lock);
// No record reaches the engine without the lock from now on; returns once
// every push that might still have been under way is done.
void CloseEngineLocked(LogModule& m) ZQ_REQUIRES(m.m_Lock);
// A thread's gate joins the list that CloseEngineLocked waits on; it leaves
// it when the thread ends (UnlinkGate).
void LinkGateLocked(LogModule& m, ProducerGate* pGate) ZQ_REQUIRES(m.m_Lock);
void UnlinkGate(ProducerGate* pGate);

// The engine of a created log, or null. In the child of a fork it is started
// first (see m_bStartInChild); a child whose engine cannot start says so once
// on standard error and its log counts as not created.
ZIdOrereDov* CreatedEngineLocked(LogModule& m) ZQ_REQUIRES(m.m_Lock);

// The module state. Constructed by a static initialiser before main (or at the
// first call, should another static initialiser log first), destroyed at exit.
LogModule& GetLogModule();

// Formats one record into pBuf (kRecordBufSize bytes) exactly as
//   snprintf(pBuf, 512, "%-7s %d-%02d-%02d %02d:%02d:%02d:%03ld  DevID:%s  "
//            "Source-Line:%s(%s-L%04d)  ProcessName:%s(%d)     Description:[%s]", ...)
// followed by the message and CR LF; the header is cut at 511 characters, the
// message so that the line ends in CR LF within 1023. pTime null prints the
// date and time as zeros. Null device id, module, process, function or
// format print as empty; module and process names are cut at the lengths the
// module accepts (128 and 259). Returns the length up to and including the LF, and 0
// (nothing formatted) for a null source path.
uint32_t FormatLogRecord(char* pBuf, int32_t nLevel, const char* pSrcFile, int32_t nLine,
                         const char* pFunc, const char* pDevId, const char* pModule,
                         const char* pProcess, int32_t nPid, const struct tm* pTime, long nMilliSec,
                         const char* pFormat, va_list args) __attribute__((format(printf, 12, 0)));
