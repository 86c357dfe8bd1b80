#pragma once

#include "platform/WireContract.h"

#include <cstdint>

// The log settings: their defaults, their ranges and the keys of LogServer.ini
// that carry them. Every reader of the configuration file (the module's
// LoadLogConfig and GetLogServerInfo, the engine's reload) goes through
// ReadConfigNumber or ReadLogConfig below, so a key or a range is written here
// only.

// One numeric key of the configuration file, the values it accepts and the
// one used without it.
struct ConfigKey {
    const char* pSection;
    const char* pKey;
    long nMin;
    long nMax;
    long nDefault;
};

constexpr ConfigKey kCfgLogLevel = {"Level", "LogLevel", 0, 7, 4};
constexpr ConfigKey kCfgFileSize = {"File", "FileSize", 10, 200, 20};  // MiB
constexpr ConfigKey kCfgFileNum = {"File", "FileNum", 2, 10, 10};
// Written records reach the disk at most this many milliseconds after they
// were written (fdatasync of the current file); 0 leaves it to the kernel.
constexpr ConfigKey kCfgSyncMs = {"File", "SyncMs", 0, 3600000, 1000};
// The daemon's records of its own in its files (read at its start): 1 on.
// Also on when it runs in the foreground.
constexpr ConfigKey kCfgOwnRecords = {"Daemon", "OwnRecords", 0, 1, 0};
// The daemon's fair share per sender (server/SenderLimit.h), followed while it
// runs: each sender (a user of the local intake; all of UDP together) passes
// at most Burst records per Interval seconds; Burst=0 turns the limit off.
// Users below ExemptBelow (root, system users) are never limited. The
// defaults: a user flooding both intakes at full speed for 60 s touches at
// most 3 windows of each, 2 x 3 x 10,000 records of at most 1 KiB = 59 MiB,
// well under the default set of 10 x 20 MiB, so a record written before the
// flood stays in the set.
constexpr ConfigKey kCfgLimitInterval = {"Limit", "Interval", 1, 3600, 30};
constexpr ConfigKey kCfgLimitBurst = {"Limit", "Burst", 0, 100000000, 10000};
constexpr ConfigKey kCfgLimitExemptBelow = {"Limit", "ExemptBelow", 0, 2147483647, 1000};
// Every numeric key above, for whoever checks a file for unknown keys.
constexpr const ConfigKey* kNumericConfigKeys[] = {
    &kCfgLogLevel,   &kCfgFileSize,      &kCfgFileNum,    &kCfgSyncMs,
    &kCfgOwnRecords, &kCfgLimitInterval, &kCfgLimitBurst, &kCfgLimitExemptBelow};

constexpr int32_t kDefaultLevel = static_cast<int32_t>(kCfgLogLevel.nDefault);
constexpr uint32_t kDefaultFileSizeMiB = static_cast<uint32_t>(kCfgFileSize.nDefault);
constexpr uint32_t kDefaultFileNum = static_cast<uint32_t>(kCfgFileNum.nDefault);
constexpr uint32_t kDefaultSyncMs = static_cast<uint32_t>(kCfgSyncMs.nDefault);
// Records the owner marks urgent (Error and Fatal) reach the disk within this.
constexpr uint32_t kUrgentSyncMs = 100;

constexpr uint32_t kMinFileSizeMiB = static_cast<uint32_t>(kCfgFileSize.nMin);
constexpr uint32_t kMaxFileSizeMiB = static_cast<uint32_t>(kCfgFileSize.nMax);
constexpr uint32_t kMinLogFiles = static_cast<uint32_t>(kCfgFileNum.nMin);
constexpr uint32_t kMaxLogFiles = static_cast<uint32_t>(kCfgFileNum.nMax);

// The ring: slot counts the module accepts, and the slot size, which is the
// largest record.
constexpr uint32_t kMinSlotCount = 10;
constexpr uint32_t kMaxSlotCount = 1024;
constexpr uint32_t kDefaultSlotCount = 1024;
constexpr uint32_t kSlotSize = kMaxRecordLen;

// Longest texts of the settings; arrays holding them have one more byte.
constexpr uint32_t kLogPathLen = 256;  // directory and configuration path
constexpr uint32_t kPrefixLen = 128;
constexpr uint32_t kLevelKeyLen = 64;

constexpr uint64_t FileSizeBytes(uint32_t nSizeMiB) {
    return static_cast<uint64_t>(nSizeMiB) << 20;
}

// Reads one key as strtol (base 10) reads it, without a range check. False when
// the file or the key is missing or its text is empty; a text that is not a
// number reads as 0.
bool ReadConfigNumber(const char* pPath, const char* pSection, const char* pKey, long* pValue);

// Reads one key of the table: true only when it is present and within its range.
bool ReadConfigValue(const char* pPath, const ConfigKey& key, long* pValue);

// What one reading of the configuration file found: each value only when its
// key is present and the value in range.
struct LogConfigValues {
    bool bLevel = false;
    int32_t nLevel = 0;
    bool bCustomLevel = false;  // the key named by the caller, in [Level]
    int32_t nCustomLevel = 0;
    bool bFileSize = false;
    uint32_t nFileSizeMiB = 0;
    bool bFileNum = false;
    uint32_t nFileNum = 0;
    bool bSyncMs = false;
    uint32_t nSyncMs = 0;
};

// Checks a configuration file for what the daemon would ignore or read
// otherwise than written, on behalf of a reload: its findings, one after the
// other, separated by "; ", into pOut (nSize bytes, always terminated);
// returns their number.
using ConfigCheckFn = uint32_t (*)(const char* pPath, char* pOut, uint32_t nSize);

// Reads the level, the custom level key (when pLevelKey is not empty; it takes
// the range of LogLevel), the file size, the file count and the sync delay. False, with nothing
// found, when the file does not exist.
bool ReadLogConfig(const char* pPath, const char* pLevelKey, LogConfigValues* pValues);
