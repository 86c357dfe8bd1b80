#include "logmodule/LogModule.h"

#include "asynclog/ReopenRequest.h"
#include "logmodule/LogModuleState.h"
#include "platform/ProfileReader.h"

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kIniValueSize = 16;  // result buffer of one INI value
constexpr size_t kPathBufSize = 260;    // "/proc/self/exe" link and built paths

// Copies a text already checked to fit: the array is cleared first, so the
// copy is always terminated.
template <size_t N>
void CopyText(char (&dst)[N], const char* pSrc, size_t nLen) {
    memset(dst, 0, N);
    memcpy(dst, pSrc, nLen);
}

// Reads one value of the INI file as strtol(base 10) reads it. Returns false
// when the key is absent or empty.
bool ReadIniNumber(const char* pPath, const char* pSection, const char* pKey, long* pValue) {
    char szValue[kIniValueSize] = {};
    ReadProfileString(pSection, pKey, "", szValue, kIniValueSize, pPath);
    if (szValue[0] == '\0') return false;
    *pValue = strtol(szValue, nullptr, 10);
    return true;
}

template <typename T>
bool InRange(long nValue, T nMin, T nMax) {
    return nValue >= static_cast<long>(nMin) && nValue <= static_cast<long>(nMax);
}

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
void TakeProcessNameLocked(LogModule& m) {
    char szExe[kPathBufSize] = {};
    ssize_t nRead = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (nRead <= 0) return;  // no /proc or no permission: not an error
    const char* pSlash = strrchr(szExe, '/');
    if (pSlash == nullptr) return;
    // The link text has at most 259 characters, so its tail fits.
    CopyText(m.m_szProcessName, pSlash + 1, strlen(pSlash + 1));
}

void ResetSettingsLocked(LogModule& m) {
    m.m_bCreated.store(0, std::memory_order_relaxed);
    m.m_nFileSize.store(kDefaultFileSizeMiB, std::memory_order_relaxed);
    m.m_nFileNum.store(kDefaultFileNum, std::memory_order_relaxed);
    memset(m.m_szLogPath, 0, sizeof(m.m_szLogPath));
    memset(m.m_szPrefix, 0, sizeof(m.m_szPrefix));
    m.m_nMode = kDefaultMode;
    m.m_nLevel.store(kDefaultLevel, std::memory_order_relaxed);
    memset(m.m_szProcessName, 0, sizeof(m.m_szProcessName));
    m.m_nPid = 0;
    memset(m.m_szModuleName, 0, sizeof(m.m_szModuleName));
    m.m_nSlotCount = kDefaultSlotCount;
    m.m_nSlotSize = kDefaultSlotSize;
    memset(m.m_szLevelKey, 0, sizeof(m.m_szLevelKey));
    m.m_pfnLevelCallback = nullptr;
    memset(m.m_szCfgPath, 0, sizeof(m.m_szCfgPath));
    m.m_nUserValue = 0;
    ++m.m_nGeneration;
}

// Hands every setting to a fresh engine and starts it; the first failing
// engine code, or 0.
int32_t ConfigureAndStartLocked(LogModule& m, ZIdOrereDov* pEngine) {
    pEngine->SetLevel(m.m_nLevel.load(std::memory_order_relaxed));  // stores; cannot fail
    int32_t nRet = pEngine->SetFileNum(m.m_nFileNum.load(std::memory_order_relaxed));
    if (nRet != kLogOk) return nRet;
    nRet = pEngine->SetFileSize(m.m_nFileSize.load(std::memory_order_relaxed));
    if (nRet != kLogOk) return nRet;
    nRet = pEngine->SetSlotCount(m.m_nSlotCount);
    if (nRet != kLogOk) return nRet;
    // m_nSlotSize is only recorded: a smaller slot would refuse long records.
    nRet = pEngine->SetSlotSize(kEngineSlotSize);
    if (nRet != kLogOk) return nRet;
    if (m.m_pfnLevelCallback != nullptr && m.m_szLevelKey[0] != '\0') {
        nRet = pEngine->RegisterLevelCallback(m.m_pfnLevelCallback, m.m_szLevelKey, m.m_nUserValue);
        if (nRet != kLogOk) return nRet;
    }
    if (m.m_szCfgPath[0] != '\0') {
        nRet = pEngine->SetConfigPath(m.m_szCfgPath);
        if (nRet != kLogOk) return nRet;
    }
    pEngine->SetMode(static_cast<uint32_t>(m.m_nMode));  // stores; cannot fail
    return pEngine->Start(m.m_szLogPath, m.m_szPrefix);
}

// Makes sure the module, and so its lock, exists before main runs.
const bool g_bModuleReady = (GetLogModule(), true);

}  // namespace

LogModule::LogModule()
    : m_nLevel(kDefaultLevel),
      m_nFileSize(kDefaultFileSizeMiB),
      m_nFileNum(kDefaultFileNum),
      m_nMode(kDefaultMode),
      m_nSlotCount(kDefaultSlotCount),
      m_nSlotSize(kDefaultSlotSize),
      m_pfnLevelCallback(nullptr),
      m_szLevelKey(),
      m_nUserValue(0),
      m_szCfgPath(),
      m_szLogPath(),
      m_szPrefix(),
      m_szModuleName(),
      m_Lock(),
      m_pAsyncLog(nullptr),
      m_bCreated(0),
      m_nPid(0),
      m_szProcessName(),
      m_nGeneration(0) {}

LogModule::~LogModule() {
    CZQLockGuard guard(m_Lock);
    delete m_pAsyncLog;  // its Stop writes what is queued and joins the writer
    m_pAsyncLog = nullptr;
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
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return kModuleErrCreated;
    if (pLogDir == nullptr || pPrefix == nullptr) return kModuleErrInvalid;
    size_t nDirLen = strlen(pLogDir);
    size_t nPrefixLen = strlen(pPrefix);
    if (nDirLen < 1 || nDirLen > kLogPathLen) return kModuleErrInvalid;
    if (nPrefixLen < 1 || nPrefixLen > kPrefixLen) return kModuleErrInvalid;
    CopyText(m.m_szLogPath, pLogDir, nDirLen);
    CopyText(m.m_szPrefix, pPrefix, nPrefixLen);
    return kModuleOk;
}

int32_t SetLogMode(int32_t nMode) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return kModuleErrCreated;
    m.m_nMode = nMode;
    return kModuleOk;
}

int32_t SetModuleName(const char* pName) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return kModuleErrCreated;
    if (pName == nullptr) return kModuleErrInvalid;
    size_t nLen = strlen(pName);
    if (nLen > kModuleNameLen) return kModuleErrInvalid;
    CopyText(m.m_szModuleName, pName, nLen);
    return kModuleOk;
}

int32_t SetQueueSlotCount(uint32_t nCount) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return kModuleErrCreated;
    if (nCount < kMinSlotCount || nCount > kMaxSlotCount) return kModuleErrInvalid;
    m.m_nSlotCount = nCount;
    return kModuleOk;
}

int32_t SetQueueSlotSize(int32_t nSize) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return kModuleErrCreated;
    m.m_nSlotSize = nSize;
    return kModuleOk;
}

int32_t SetLevelCallback(LogLevelCallback pfnCallback, const char* pKey, int32_t nUserValue) {
    if (pfnCallback == nullptr || pKey == nullptr) return kModuleErrInvalid;
    size_t nLen = strlen(pKey);
    if (nLen > kLevelKeyLen) return kModuleErrInvalid;
    LogModule& m = GetLogModule();
    // A running engine keeps what it was given at creation.
    CZQLockGuard guard(m.m_Lock);
    m.m_pfnLevelCallback = pfnCallback;
    CopyText(m.m_szLevelKey, pKey, nLen);
    m.m_nUserValue = nUserValue;
    return kModuleOk;
}

int32_t LoadLogConfig(const char* pCfgPath) {
    if (pCfgPath == nullptr || access(pCfgPath, F_OK) != 0) return kModuleErrInvalid;
    LogModule& m = GetLogModule();

    long nValue = 0;
    if (ReadIniNumber(pCfgPath, "Level", "LogLevel", &nValue) &&
        InRange(nValue, kMinCfgLevel, kMaxCfgLevel)) {
        m.m_nLevel.store(static_cast<int32_t>(nValue), std::memory_order_relaxed);
    }
    if (ReadIniNumber(pCfgPath, "File", "FileSize", &nValue) &&
        InRange(nValue, kMinFileSizeMiB, kMaxFileSizeMiB)) {
        m.m_nFileSize.store(static_cast<uint32_t>(nValue), std::memory_order_relaxed);
    }
    if (ReadIniNumber(pCfgPath, "File", "FileNum", &nValue) &&
        InRange(nValue, kMinFileNum, kMaxFileNum)) {
        m.m_nFileNum.store(static_cast<uint32_t>(nValue), std::memory_order_relaxed);
    }

    // The values read above stay even when the path itself cannot be kept.
    size_t nLen = strlen(pCfgPath);
    if (nLen < 1 || nLen > kLogPathLen) return kModuleErrInvalid;

    CZQLockGuard guard(m.m_Lock);
    CopyText(m.m_szCfgPath, pCfgPath, nLen);
    if (m.m_pAsyncLog != nullptr) {
        // Out-of-range values never reach here, so the results carry nothing.
        (void)m.m_pAsyncLog->SetFileSize(m.m_nFileSize.load(std::memory_order_relaxed));
        (void)m.m_pAsyncLog->SetFileNum(m.m_nFileNum.load(std::memory_order_relaxed));
    }
    return kModuleOk;
}

int32_t SetLogFileSize(uint32_t nSizeMiB) {
    if (nSizeMiB < kMinFileSizeMiB || nSizeMiB > kMaxFileSizeMiB) return kModuleErrInvalid;
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    m.m_nFileSize.store(nSizeMiB, std::memory_order_relaxed);
    if (m.m_pAsyncLog == nullptr) return kModuleOk;
    return m.m_pAsyncLog->SetFileSize(nSizeMiB);
}

int32_t SetLogFileNum(uint32_t nNum) {
    if (nNum < kMinFileNum || nNum > kMaxFileNum) return kModuleErrInvalid;
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    m.m_nFileNum.store(nNum, std::memory_order_relaxed);
    if (m.m_pAsyncLog == nullptr) return kModuleOk;
    return m.m_pAsyncLog->SetFileNum(nNum);
}

int32_t SetLogLevel(int32_t nLevel) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    m.m_nLevel.store(nLevel, std::memory_order_relaxed);
    if (m.m_pAsyncLog != nullptr) {
        (void)m.m_pAsyncLog->SetLevel(nLevel);  // stores any value; always 0
    }
    return kModuleOk;
}

int32_t GetLogLevel(int32_t* pLevel) {
    if (pLevel == nullptr) return kModuleErrInvalid;
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) *pLevel = m.m_pAsyncLog->GetLevel();
    return kModuleOk;
}

int32_t CreateAsyncLog() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_bCreated.load(std::memory_order_relaxed) != 0) return kModuleErrCreated;
    if (m.m_pAsyncLog == nullptr) {
        m.m_pAsyncLog = new (std::nothrow) ZIdOrereDov();
        if (m.m_pAsyncLog == nullptr) return kModuleErrNoMemory;
    }
    int32_t nRet = ConfigureAndStartLocked(m, m.m_pAsyncLog);
    if (nRet != kLogOk) {
        // The destructor stops the engine and releases whatever Start built;
        // the settings stay for another attempt.
        delete m.m_pAsyncLog;
        m.m_pAsyncLog = nullptr;
        return nRet;
    }
    // Records take their local time through localtime_r, which need not read
    // TZ by itself.
    tzset();
    TakeProcessNameLocked(m);
    m.m_nPid = static_cast<int32_t>(getpid());
    ++m.m_nGeneration;
    m.m_bCreated.store(1, std::memory_order_relaxed);
    return kModuleOk;
}

int32_t DestroyAsyncLog() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) {
        // Stops the writer after it drained the ring. Producers wait on m_Lock
        // meanwhile, so none can reach the engine while it goes away.
        delete m.m_pAsyncLog;
        m.m_pAsyncLog = nullptr;
    }
    ResetSettingsLocked(m);
    return kModuleOk;
}

int32_t ReopenAsyncLog() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog == nullptr) return ZQ_ERR_NOT_CREATED;
    RequestReopen();
    return ZQ_OK;
}

uint64_t GetLostLogCount() {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    return m.m_pAsyncLog != nullptr ? m.m_pAsyncLog->GetLostCount() : 0;
}

void GetLogServerInfo(const char* pSdkPath, int32_t* pFileSize, int32_t* pFileNum) {
    if (pSdkPath == nullptr || pFileSize == nullptr || pFileNum == nullptr) return;
    char szPath[kPathBufSize] = {};
    // A longer base directory is cut; the cut path then names no file.
    (void)snprintf(szPath, sizeof(szPath), "%s/%s/LogServer.ini", pSdkPath, "ZqSdkLog");
    if (access(szPath, F_OK) == 0) {
        long nValue = 0;
        // No range check: the caller gets the server's values as written;
        // a text that is no number reads as 0, a huge one is clamped.
        if (ReadIniNumber(szPath, "File", "FileSize", &nValue)) {
            *pFileSize = ClampToInt32(nValue);
        }
        if (ReadIniNumber(szPath, "File", "FileNum", &nValue)) {
            *pFileNum = ClampToInt32(nValue);
        }
    }
    ConsolePrint("[GetLogServerInfo] SDKPath[%s], FileSize[%d], FileNum[%d]\n", szPath, *pFileSize,
                 *pFileNum);
}
