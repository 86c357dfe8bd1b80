#pragma once

// Operations of the log module beyond its C interface, for the programs built
// with it (the daemon and zqlog): C++ only, not exported by libzqlog.so.

#include "asynclog/LogConfig.h"
#include "asynclog/LossCounters.h"
#include "asynclog/OriginJournal.h"
#include "logmodule/LogModule.h"

#include <cstddef>
#include <cstdint>

// For the daemon's receive loop, which waits for room when the ring is full:
// queues the first nLen bytes of pText, which the caller has cut at its first
// NUL (as WriteRawLog cuts a text), but a refusal for a full ring is not
// counted; from is its sender, as the daemon's origin journal keeps it.
// Results of WriteRawLog.
int32_t TryWriteRawLog(const char* pText, uint32_t nLen, const RecordOrigin& from);
// Before CreateAsyncLog (ZQ_ERR_ALREADY_CREATED after): the log's file set
// keeps an origin journal of each record's sender (asynclog/OriginJournal.h).
// Cleared by DestroyAsyncLog.
int32_t KeepRecordOrigins();
// Counts a record the caller gave up (no log created: nothing to count in).
void CountLostLog(LossCause eCause, uint64_t nRecords = 1);
// Records given up for one cause since creation; 0 without a log.
uint64_t GetLostLogCountBy(LossCause eCause);

// Before CreateAsyncLog (ZQ_ERR_ALREADY_CREATED after): the engine writes
// records of its own (a file that does not open, a failed write or rotation,
// a directory made again, each reload of the configuration) into the log
// files, in the record format with the module's name; bStderr prints their
// texts on standard error too; pfnCheck, when given, adds to each reload
// record what it finds in the configuration file. Cleared by DestroyAsyncLog.
int32_t EnableOwnRecords(bool bStderr, ConfigCheckFn pfnCheck = nullptr);

// What the log did since creation.
struct LogStats {
    uint64_t nWritten;            // records that reached a file, the log's own included
    uint64_t nOwn;                // records of the engine's own (EnableOwnRecords)
    uint64_t nRotations;          // rotations of the file set
    uint64_t nSyncs;              // syncs of the current file to the disk
    uint64_t nTornBytes;          // bytes cut from a torn end of the current file
    uint64_t nLost[kLossCauses];  // records given up, by LossCause
};
// False (and *pStats untouched) without a log.
bool GetLogStats(LogStats* pStats);

// Whether the created log forwards its records to the daemon (decided at
// creation); false without a log.
bool IsLogForwarding();
// The file size (MiB) and count the created log rotates by now; false (and
// both untouched) without a log.
bool GetLogFileSettings(uint32_t* pSizeMiB, uint32_t* pNum);

// Who a record says it comes from, for a program that logs on another's
// behalf (zqlog --id, -t): the module, the process name and its pid.
struct RecordSender {
    const char* pModule;
    const char* pProcess;
    int32_t nPid;
};
// Formats one record as WriteLog does, with the time now and the identity
// given, into pBuf of kMaxRecordLen bytes, and returns its length; the message
// is the nTextLen bytes of pText, and *pCut says whether they had to be cut to
// fit; pFunc is the function field (null: empty). Queue it with WriteRawLog.
uint32_t FormatRecordAs(char* pBuf, const RecordSender& id, int32_t nLevel, const char* pSrcFile,
                        int32_t nLine, const char* pDevId, const char* pText, size_t nTextLen,
                        bool* pCut, const char* pFunc = nullptr);
