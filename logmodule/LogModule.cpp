#include "logmodule/LogModule.h"

#include "logmodule/CrashFlush.h"
#include "logmodule/LogModuleState.h"
#include "logmodule/RecordFormat.h"
#include "platform/FixedText.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr size_t kPathBufSize = 260;  // "/proc/self/exe" link and built paths
constexpr long kGateNapNs = 50000;    // a stopping engine's wait for a push under way

// strtol's value as a 32-bit integer; out-of-range values are clamped.
int32_t ClampToInt32(long nValue) {
    if constexpr (sizeof(long) > sizeof(int32_t)) {
        if (nValue < static_cast<long>(INT32_MIN)) return INT32_MIN;
        if (nValue > static_cast<long>(INT32_MAX)) return INT32_MAX;
    }
    return static_cast<int32_t>(nValue);
}

// Reads the base name of the running executable into m_szProcessName; keeps
// the old content when the link cannot be read or has no '/'.
void TakeProcessNameLocked(LogModule& m) ZQ_REQUIRES(m.m_Lock) {
    char szExe[kPathBufSize] = {};
    ssize_t nRead = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (nRead <= 0) return;  // no /proc or no permission: not an error
    const char* pSlash = strrchr(szExe, '/');
    if (pSlash == nullptr) return;
    // The link text has at most 259 characters, so its tail fits.
    CopyText(m.m_szProcessName, pSlash + 1);
}

// A new engine's settings while nobody set any.
EngineSettings DefaultSettings() {
    EngineSettings st;
    st.nMode = static_cast<uint32_t>(kDefaultMode);
    st.pfnUrgent = &IsUrgentRecord;
    return st;
}

void ResetSettingsLocked(LogModule& m) ZQ_REQUIRES(m.m_Lock) {
    m.m_bCreated.store(0, std::memory_order_relaxed);
    m.m_bStartInChild = false;
    m.m_bOwnRecords = false;
    m.m_bOwnStderr = false;
    m.m_pfnConfigCheck = nullptr;
    m.m_bCrashFlush = kDefaultCrashFlush;
    memset(m.m_szLogPath, 0, sizeof(m.m_szLogPath));
    memset(m.m_szPrefix, 0, sizeof(m.m_szPrefix));
    m.m_stNext = DefaultSettings();
    memset(m.m_szProcessName, 0, sizeof(m.m_szProcessName));
    m.m_nPid = 0;
    memset(m.m_szModuleName, 0, sizeof(m.m_szModuleName));
    m.m_nSlotSize = kDefaultSlotSize;
    BumpGenerationLocked(m);
}

// Formats a record of the engine's own with the identity copied for it; runs
// on the writer thread, without the module lock.
uint32_t FormatWithArgs(char* pOut, int32_t nLevel, const LogModule::OwnIdentity& id,
                        const struct tm* pTime, long nMilliSec, const char* pFormat, ...)
    __attribute__((format(printf, 6, 7)));
uint32_t FormatWithArgs(char* pOut, int32_t nLevel, const LogModule::OwnIdentity& id,
                        const struct tm* pTime, long nMilliSec, const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    const uint32_t nLen = FormatLogRecord(pOut, nLevel, "writer", 0, "writer", "", id.szModule,
                                          id.szProcess, id.nPid, pTime, nMilliSec, pFormat, args);
    va_end(args);
    return nLen;
}

// The level of each kind of the engine's own records, by DiagKind.
constexpr int32_t kOwnRecordLevel[kDiagKinds] = {ZQ_LEVEL_ERROR, ZQ_LEVEL_ERROR,
                                                 ZQ_LEVEL_ERROR, ZQ_LEVEL_WARNING,
                                                 ZQ_LEVEL_INFO,  ZQ_LEVEL_WARNING};

uint32_t FormatOwnRecord(const void* pContext, DiagKind eKind, const char* pText, char* pOut,
                         uint32_t nSize) {
    const int32_t nLevel = kOwnRecordLevel[static_cast<uint32_t>(eKind)];
    static_assert(CDiagnostics::kRecordSize >= kRecordBufSize, "a record fits the queue");
    if (nSize < kRecordBufSize) return 0;
    struct timespec now = {};
    struct tm local = {};
    const bool bTime =
        clock_gettime(CLOCK_REALTIME, &now) == 0 && localtime_r(&now.tv_sec, &local) != nullptr;
    return FormatWithArgs(pOut, nLevel, *static_cast<const LogModule::OwnIdentity*>(pContext),
                          bTime ? &local : nullptr, bTime ? now.tv_nsec / 1000000L : 0L, "%s",
                          pText);
}

// Hands every setting to a fresh engine and starts it; the first failing
// engine code, or 0.
int32_t ConfigureAndStartLocked(LogModule& m, ZIdOrereDov* pEngine) ZQ_REQUIRES(m.m_Lock) {
    // m_nSlotSize is only recorded: the engine's slots hold the longest record.
    const int32_t nRet = pEngine->Configure(m.m_stNext);
    if (nRet != kLogOk) return nRet;
    if (m.m_bOwnRecords) {
        LogModule::OwnIdentity& id = m.m_stOwnIdentity;
        CopyText(id.szModule, m.m_szModuleName);
        TakeProcessNameLocked(m);
        CopyText(id.szProcess, m.m_szProcessName);
        id.nPid = static_cast<int32_t>(getpid());
        pEngine->Diagnostics().Enable(&FormatOwnRecord, &id, m.m_bOwnStderr);
        pEngine->SetConfigCheck(m.m_pfnConfigCheck);
    }
    return pEngine->Start(m.m_szLogPath, m.m_szPrefix);
}

static_assert(kLogOk == ZQ_OK && kLogErrNotRunning == ZQ_ERR_NOT_CREATED &&
                  kLogErrInvalid == ZQ_ERR_INVALID && kLogErrResource == ZQ_ERR_RESOURCE &&
                  kLogErrResource == ZQ_ERR_QUEUE_FULL &&
                  kLogErrNameTooLong == ZQ_ERR_NAME_TOO_LONG,
              "an engine code and its public twin must keep one number");

// A crash drains the engine from now on, when the crash flush is on. A
// refusal (sigaction fails only for a signal the system lacks) leaves the log
// without it.
void InstallCrashFlushLocked(LogModule& m, ZIdOrereDov* pEngine) ZQ_REQUIRES(m.m_Lock) {
    if (m.m_bCrashFlush) (void)CrashFlush().Install(pEngine);
}

// Fork. The module lock is held across the fork, so the child finds it in a
// known state (and reinitialises it: its holder, the forking thread, has
// another identity there). The child lets go of the parent's engine without
// touching it: its writer thread does not exist in the child, and its ring
// holds the parent's records, which the parent writes (other threads of the
// parent may be pushing into it without the lock while it forks: the child's
// copy may hold a slot half filled, and no gate of theirs is waited for in
// the child). Exit in the child then
// finds nothing to drain and no lock to wait for, and neither does a crash:
// the crash flush (whose handlers the child inherits) drains the child's own
// engine once it has one.
void OnForkPrepare() ZQ_NO_THREAD_SAFETY_ANALYSIS { (void)GetLogModule().m_Lock.Lock(); }

void OnForkParent() ZQ_NO_THREAD_SAFETY_ANALYSIS { (void)GetLogModule().m_Lock.Unlock(); }

void OnForkChild() ZQ_NO_THREAD_SAFETY_ANALYSIS {
    LogModule& m = GetLogModule();
    // The unlock balances the prepare handler's lock for whoever keeps count
    // (a thread sanitizer); the mutex itself may refuse it, as its owner's
    // identity changed with the fork, so it is made new as well.
    (void)m.m_Lock.Unlock();
    m.m_Lock.ReinitInChild();
    // The other threads are gone, and with them any push they had under way:
    // the list of gates starts anew, the forking thread's joins it again.
    m.m_nOpenGeneration.store(0, std::memory_order_relaxed);
    m.m_pGates = nullptr;
    if (++m.m_nGateEpoch == 0) ++m.m_nGateEpoch;
    if (m.m_pAsyncLog == nullptr) return;
    CrashFlush().SetEngine(nullptr);
    m.m_stNext.nLevel = m.m_pAsyncLog->GetLevel();
    m.m_stNext.nFileSizeMiB = m.m_pAsyncLog->Files().FileSizeMiB();
    m.m_stNext.nFileNum = m.m_pAsyncLog->Files().FileNum();
    m.m_stNext.nSyncMs = m.m_pAsyncLog->Files().SyncMs();
    (void)m.m_pAsyncLog.release();  // the parent's engine: left as it is, never run here
    m.m_bStartInChild = true;
}

// Makes sure the module, and so its lock, exists before main runs.
const bool g_bModuleReady = (GetLogModule(), true);

}  // namespace

ZIdOrereDov* CreatedEngineLocked(LogModule& m) {
    if (m.m_bStartInChild) {
        m.m_bStartInChild = false;
        m.m_bOwnRecords = false;
        m.m_bOwnStderr = false;
        std::unique_ptr<ZIdOrereDov> pEngine(new (std::nothrow) ZIdOrereDov());
        if (pEngine != nullptr && ConfigureAndStartLocked(m, pEngine.get()) == kLogOk) {
            m.m_pAsyncLog = std::move(pEngine);
            InstallCrashFlushLocked(m, m.m_pAsyncLog.get());
            m.m_nPid = static_cast<int32_t>(getpid());
            BumpGenerationLocked(m);
            OpenEngineLocked(m);
        } else {
            m.m_bCreated.store(0, std::memory_order_relaxed);
            std::fprintf(stderr,
                         "log module: process %d, forked from a process that logs, "
                         "cannot start its own writer: its records are refused\n",
                         static_cast<int>(getpid()));
            BumpGenerationLocked(m);
        }
    }
    if (m.m_bCreated.load(std::memory_order_relaxed) == 0) return nullptr;
    return m.m_pAsyncLog.get();
}

void BumpGenerationLocked(LogModule& m) {
    if (++m.m_nGeneration == 0) ++m.m_nGeneration;
}

void OpenEngineLocked(LogModule& m) {
    m.m_nOpenGeneration.store(m.m_nGeneration, std::memory_order_seq_cst);
}

void CloseEngineLocked(LogModule& m) {
    // Pairs with the gate's hold (LogRecord.cpp): a thread that took its gate
    // before this store is seen holding it below; one that takes it after
    // sees the engine closed and turns to the lock, which is held here.
    m.m_nOpenGeneration.store(0, std::memory_order_seq_cst);
    for (const ProducerGate* pGate = m.m_pGates; pGate != nullptr; pGate = pGate->pNext) {
        // A push takes a microsecond; a thread preempted in one takes its
        // time slice. A nap, not a yield, lets a thread of lower priority run.
        while (pGate->nHeld.load(std::memory_order_seq_cst) != 0) {
            struct timespec stNap = {0, kGateNapNs};
            (void)nanosleep(&stNap, nullptr);
        }
    }
}

void LinkGateLocked(LogModule& m, ProducerGate* pGate) {
    pGate->nEpoch = m.m_nGateEpoch;
    pGate->pNext = m.m_pGates;
    m.m_pGates = pGate;
}

void UnlinkGate(ProducerGate* pGate) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (pGate->nEpoch != m.m_nGateEpoch) return;  // dropped by a fork
    ProducerGate** ppAt = &m.m_pGates;
    while (*ppAt != nullptr && *ppAt != pGate) ppAt = &(*ppAt)->pNext;
    if (*ppAt != nullptr) *ppAt = pGate->pNext;
    pGate->nEpoch = 0;
}

LogModule::LogModule()
    : m_stNext(DefaultSettings()),
      m_nSlotSize(kDefaultSlotSize),
      m_szLogPath(),
      m_szPrefix(),
      m_szModuleName(),
      m_Lock(),
      m_pAsyncLog(),
      m_bCreated(0),
      m_nPid(0),
      m_szProcessName(),
      m_nGeneration(0),
      m_nOpenGeneration(0),
      m_pGates(nullptr),
      m_nGateEpoch(1),
      m_bStartInChild(false),
      m_bOwnRecords(false),
      m_bOwnStderr(false),
      m_pfnConfigCheck(nullptr),
      m_bCrashFlush(kDefaultCrashFlush),
      m_stOwnIdentity() {
    // Fails only without memory for the handlers; a fork then leaves the
    // child's log without a writer, as it would be without them.
    (void)pthread_atfork(&OnForkPrepare, &OnForkParent, &OnForkChild);
}

LogModule::~LogModule() {
    CZQLockGuard guard(m_Lock);
    CrashFlush().Remove();  // no crash reaches the engine once it goes
    CloseEngineLocked(*this);
    m_pAsyncLog.reset();  // its Stop writes what is queued and joins the writer
    m_bCreated.store(0, std::memory_order_relaxed);
}

LogModule& GetLogModule() {
    // A function-local static: constructed once (thread-safe) at the first
    // call, which g_bModuleReady makes happen during static initialisation;
    // its destructor, and so the lock's, runs at exit.
    static LogModule s_Module;
    return s_Module;
}

int32_t SetLogPath(const char* pLogDir, const char* pPrefix) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    if (pLogDir == nullptr || pPrefix == nullptr) return ZQ_ERR_INVALID;
    size_t nDirLen = strlen(pLogDir);
    size_t nPrefixLen = strlen(pPrefix);
    if (nDirLen < 1 || nDirLen > kLogPathLen) return ZQ_ERR_INVALID;
    if (nPrefixLen < 1 || nPrefixLen > kPrefixLen) return ZQ_ERR_INVALID;
    CopyText(m.m_szLogPath, pLogDir, nDirLen);
    CopyText(m.m_szPrefix, pPrefix, nPrefixLen);
    return ZQ_OK;
}

int32_t SetLogMode(int32_t nMode) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    m.m_stNext.nMode = static_cast<uint32_t>(nMode);
    return ZQ_OK;
}

int32_t SetModuleName(const char* pName) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    if (pName == nullptr) return ZQ_ERR_INVALID;
    size_t nLen = strlen(pName);
    if (nLen > kModuleNameLen) return ZQ_ERR_INVALID;
    CopyText(m.m_szModuleName, pName, nLen);
    return ZQ_OK;
}

int32_t SetQueueSlotCount(uint32_t nCount) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    if (nCount < kMinSlotCount || nCount > kMaxSlotCount) return ZQ_ERR_INVALID;
    m.m_stNext.nSlotCount = nCount;
    return ZQ_OK;
}

int32_t SetCrashFlush(int32_t bOn) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    m.m_bCrashFlush = bOn != 0;
    return ZQ_OK;
}

int32_t SetQueueSlotSize(int32_t nSize) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    m.m_nSlotSize = nSize;
    return ZQ_OK;
}

int32_t SetLevelCallback(LogLevelCallback pfnCallback, const char* pKey, int32_t nUserValue) {
    if (pfnCallback == nullptr || pKey == nullptr) return ZQ_ERR_INVALID;
    size_t nLen = strlen(pKey);
    if (nLen > kLevelKeyLen) return ZQ_ERR_INVALID;
    LogModule& m = GetLogModule();
    // A running engine keeps what it was given at creation.
    CZQLockGuard guard(m.m_Lock);
    m.m_stNext.pfnLevelCallback = pfnCallback;
    CopyText(m.m_stNext.szLevelKey, pKey, nLen);
    m.m_stNext.nUserValue = nUserValue;
    return ZQ_OK;
}

int32_t LoadLogConfig(const char* pCfgPath) {
    LogConfigValues stValues;
    if (pCfgPath == nullptr || !ReadLogConfig(pCfgPath, nullptr, &stValues)) return ZQ_ERR_INVALID;
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) {
        // A running engine keeps watching the file it was given and keeps its
        // level; the file settings read here reach it now.
        if (stValues.bFileSize)
            (void)m.m_pAsyncLog->SetFileSize(stValues.nFileSizeMiB);  // in range
        if (stValues.bFileNum) (void)m.m_pAsyncLog->SetFileNum(stValues.nFileNum);
        if (stValues.bSyncMs) m.m_pAsyncLog->Files().SetSyncMs(stValues.nSyncMs);
    } else {
        if (stValues.bLevel) m.m_stNext.nLevel = stValues.nLevel;
        if (stValues.bFileSize) m.m_stNext.nFileSizeMiB = stValues.nFileSizeMiB;
        if (stValues.bFileNum) m.m_stNext.nFileNum = stValues.nFileNum;
        if (stValues.bSyncMs) m.m_stNext.nSyncMs = stValues.nSyncMs;
    }
    // The values read above stay even when the path itself cannot be kept.
    const size_t nLen = strlen(pCfgPath);
    if (nLen < 1 || nLen > kLogPathLen) return ZQ_ERR_INVALID;
    CopyText(m.m_stNext.szCfgPath, pCfgPath, nLen);
    return ZQ_OK;
}

int32_t SetLogFileSize(uint32_t nSizeMiB) {
    if (nSizeMiB < kMinFileSizeMiB || nSizeMiB > kMaxFileSizeMiB) return ZQ_ERR_INVALID;
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) return ToPublicResult(m.m_pAsyncLog->SetFileSize(nSizeMiB));
    m.m_stNext.nFileSizeMiB = nSizeMiB;
    return ZQ_OK;
}

int32_t SetLogFileNum(uint32_t nNum) {
    if (nNum < kMinLogFiles || nNum > kMaxLogFiles) return ZQ_ERR_INVALID;
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) return ToPublicResult(m.m_pAsyncLog->SetFileNum(nNum));
    m.m_stNext.nFileNum = nNum;
    return ZQ_OK;
}

int32_t SetLogLevel(int32_t nLevel) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) {
        (void)m.m_pAsyncLog->SetLevel(nLevel);  // stores any value; always 0
    } else {
        m.m_stNext.nLevel = nLevel;
    }
    return ZQ_OK;
}

int32_t GetLogLevel(int32_t* pLevel) {
    if (pLevel == nullptr) return ZQ_ERR_INVALID;
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) *pLevel = m.m_pAsyncLog->GetLevel();
    return ZQ_OK;
}

int32_t CreateAsyncLog() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    std::unique_ptr<ZIdOrereDov> pEngine(new (std::nothrow) ZIdOrereDov());
    if (pEngine == nullptr) return ZQ_ERR_RESOURCE;
    // A failed start leaves nothing behind (the engine goes with pEngine); the
    // settings stay for another attempt.
    const int32_t nRet = ToPublicResult(ConfigureAndStartLocked(m, pEngine.get()));
    if (nRet != ZQ_OK) return nRet;
    m.m_pAsyncLog = std::move(pEngine);
    InstallCrashFlushLocked(m, m.m_pAsyncLog.get());
    // Records take their local time through localtime_r, which need not read
    // TZ by itself.
    tzset();
    TakeProcessNameLocked(m);
    m.m_nPid = static_cast<int32_t>(getpid());
    BumpGenerationLocked(m);
    m.m_bCreated.store(1, std::memory_order_relaxed);
    OpenEngineLocked(m);
    return ZQ_OK;
}

int32_t DestroyAsyncLog() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    // The earlier actions of the crash signals are back, and no crash
    // reaches the engine any more.
    CrashFlush().Remove();
    if (m.m_pAsyncLog != nullptr) {
        // Stops the writer after it drained the ring. Producers push without
        // the lock only until the engine is closed, and then wait on m_Lock,
        // so none can reach the engine while it goes away.
        CloseEngineLocked(m);
        m.m_pAsyncLog.reset();
    }
    ResetSettingsLocked(m);
    return ZQ_OK;
}

int32_t KeepRecordOrigins() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    m.m_stNext.bKeepOrigins = true;
    return ZQ_OK;
}

int32_t EnableOwnRecords(bool bStderr, ConfigCheckFn pfnCheck) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return ZQ_ERR_ALREADY_CREATED;
    m.m_bOwnRecords = true;
    m.m_bOwnStderr = bStderr;
    m.m_pfnConfigCheck = pfnCheck;
    return ZQ_OK;
}

bool GetLogStats(LogStats* pStats) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    const ZIdOrereDov* pEngine = m.m_pAsyncLog.get();
    if (pStats == nullptr || pEngine == nullptr) return false;
    pStats->nWritten = pEngine->Files().Written();
    pStats->nRotations = pEngine->Files().Rotations();
    pStats->nSyncs = pEngine->Files().Syncs();
    pStats->nTornBytes = pEngine->Files().TornBytes();
    pStats->nOwn = pEngine->OwnRecords();
    for (uint32_t i = 0; i < kLossCauses; ++i) {
        pStats->nLost[i] = pEngine->Lost().Get(static_cast<LossCause>(i));
    }
    return true;
}

bool IsLogForwarding() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    return m.m_pAsyncLog != nullptr && m.m_pAsyncLog->IsForwarding() != 0;
}

bool GetLogFileSettings(uint32_t* pSizeMiB, uint32_t* pNum) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (pSizeMiB == nullptr || pNum == nullptr || m.m_pAsyncLog == nullptr) return false;
    *pSizeMiB = m.m_pAsyncLog->Files().FileSizeMiB();
    *pNum = m.m_pAsyncLog->Files().FileNum();
    return true;
}

int32_t ReopenAsyncLog() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog == nullptr) return ZQ_ERR_NOT_CREATED;
    m.m_pAsyncLog->RequestReopen();
    return ZQ_OK;
}

uint64_t GetLostLogCount() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    return m.m_pAsyncLog != nullptr ? m.m_pAsyncLog->GetLostCount() : 0;
}

const char* ZqResultName(int32_t nResult) {
    switch (nResult) {
        case ZQ_OK:
            return "ZQ_OK";
        case ZQ_ERR_NOT_CREATED:
            return "ZQ_ERR_NOT_CREATED";
        case ZQ_ERR_ALREADY_CREATED:
            return "ZQ_ERR_ALREADY_CREATED";
        case ZQ_ERR_INVALID:
            return "ZQ_ERR_INVALID";
        case ZQ_ERR_RESOURCE:  // also ZQ_ERR_QUEUE_FULL
            return "ZQ_ERR_QUEUE_FULL or ZQ_ERR_RESOURCE";
        case ZQ_ERR_NAME_TOO_LONG:
            return "ZQ_ERR_NAME_TOO_LONG";
        default:
            return "unknown";
    }
}

void GetLogServerInfo(const char* pSdkPath, int32_t* pFileSize, int32_t* pFileNum) {
    if (pSdkPath == nullptr || pFileSize == nullptr || pFileNum == nullptr) return;
    char szPath[kPathBufSize] = {};
    // A longer base directory is cut; the cut path then names no file.
    (void)snprintf(szPath, sizeof(szPath), "%s/%s/%s", pSdkPath, kLogSubDir, kConfigFile);
    if (access(szPath, F_OK) == 0) {
        long nValue = 0;
        // No range check: the caller gets the server's values as written;
        // a text that is no number reads as 0, a huge one is clamped.
        if (ReadConfigNumber(szPath, kCfgFileSize.pSection, kCfgFileSize.pKey, &nValue)) {
            *pFileSize = ClampToInt32(nValue);
        }
        if (ReadConfigNumber(szPath, kCfgFileNum.pSection, kCfgFileNum.pKey, &nValue)) {
            *pFileNum = ClampToInt32(nValue);
        }
    }
    ConsolePrint("[GetLogServerInfo] SDKPath[%s], FileSize[%d], FileNum[%d]\n", szPath, *pFileSize,
                 *pFileNum);
}
