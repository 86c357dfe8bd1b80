#include "asynclog/LogConfig.h"

#include "platform/ProfileReader.h"

#include <unistd.h>

#include <cstdlib>

namespace {

constexpr uint32_t kValueSize = 16;  // a number, with room to spare

}  // namespace

bool ReadConfigNumber(const char* pPath, const char* pSection, const char* pKey, long* pValue) {
    if (pPath == nullptr || pKey == nullptr || pValue == nullptr) return false;
    char szValue[kValueSize] = {};
    (void)ReadProfileString(pSection, pKey, "", szValue, kValueSize, pPath);  // length only
    if (szValue[0] == '\0') return false;
    *pValue = std::strtol(szValue, nullptr, 10);
    return true;
}

bool ReadConfigValue(const char* pPath, const ConfigKey& key, long* pValue) {
    long nValue = 0;
    if (!ReadConfigNumber(pPath, key.pSection, key.pKey, &nValue)) return false;
    if (nValue < key.nMin || nValue > key.nMax) return false;
    *pValue = nValue;
    return true;
}

bool ReadLogConfig(const char* pPath, const char* pLevelKey, LogConfigValues* pValues) {
    *pValues = LogConfigValues();
    if (pPath == nullptr || access(pPath, F_OK) != 0) return false;
    long nValue = 0;
    if (ReadConfigValue(pPath, kCfgLogLevel, &nValue)) {
        pValues->bLevel = true;
        pValues->nLevel = static_cast<int32_t>(nValue);
    }
    if (pLevelKey != nullptr && pLevelKey[0] != '\0' &&
        ReadConfigValue(pPath,
                        {kCfgLogLevel.pSection, pLevelKey, kCfgLogLevel.nMin, kCfgLogLevel.nMax,
                         kCfgLogLevel.nDefault},
                        &nValue)) {
        pValues->bCustomLevel = true;
        pValues->nCustomLevel = static_cast<int32_t>(nValue);
    }
    if (ReadConfigValue(pPath, kCfgFileSize, &nValue)) {
        pValues->bFileSize = true;
        pValues->nFileSizeMiB = static_cast<uint32_t>(nValue);
    }
    if (ReadConfigValue(pPath, kCfgFileNum, &nValue)) {
        pValues->bFileNum = true;
        pValues->nFileNum = static_cast<uint32_t>(nValue);
    }
    if (ReadConfigValue(pPath, kCfgSyncMs, &nValue)) {
        pValues->bSyncMs = true;
        pValues->nSyncMs = static_cast<uint32_t>(nValue);
    }
    return true;
}
