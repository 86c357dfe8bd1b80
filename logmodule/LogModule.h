#pragma once

// The log module: one asynchronous log engine per process, its settings, and
// the formatting and queueing of log records.
//
//   SetLogPath("/var/log/myapp", "APP");   // files APP_00.log .. APP_09.log
//   SetModuleName("net");
//   CreateAsyncLog();
//   ZQ_LOG(ZQ_LEVEL_INFO, "cam0", "started after %d ms", ms);
//   DestroyAsyncLog();                     // drains the queue, closes the file
//
// By default (mode 2) the module forwards every record to the log daemon
// ZuVozAdavid on 127.0.0.1:12345 when the daemon runs at creation, and writes
// its own rotating files otherwise. A call never blocks on I/O: records are
// copied into a preallocated ring and written by a background thread; when the
// ring is full the record is dropped and counted (GetLostLogCount).
//
// Every operation returns one of the ZQ_* result codes below; each operation
// lists the ones it can return.
//
// The header is C99 and C++: the operations have C linkage, so C programs and
// other languages' foreign-function interfaces call them by their plain names.
// The shared library libzqlog.so exports these operations and nothing else.

#include "logmodule/ZqLogVersion.h"

#include <stdint.h>

// Marks an operation of the public interface: the library builds with hidden
// visibility, and only what carries ZQ_API is exported.
#define ZQ_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

// The constants are macros, so that C takes them in constant expressions too.

// Levels: a record is written when its level is <= the current level (default 4).
#define ZQ_LEVEL_FATAL 1
#define ZQ_LEVEL_ERROR 2
#define ZQ_LEVEL_WARNING 3
#define ZQ_LEVEL_INFO 4
#define ZQ_LEVEL_DEBUG 5
#define ZQ_LEVEL_TRACE 6

// Result codes.
#define ZQ_OK 0
#define ZQ_ERR_NOT_CREATED (-2)      // no log created (WriteLog, WriteRawLog)
#define ZQ_ERR_ALREADY_CREATED (-3)  // a setting that must precede CreateAsyncLog
#define ZQ_ERR_INVALID (-5)          // bad argument, out of range, missing file
#define ZQ_ERR_QUEUE_FULL (-6)       // WriteLog, WriteRawLog: try again later
#define ZQ_ERR_RESOURCE (-6)         // CreateAsyncLog: no memory, file or thread
#define ZQ_ERR_NAME_TOO_LONG (-7)    // CreateAsyncLog: file name over 127 chars

// The name of a result code as this header spells it ("ZQ_OK",
// "ZQ_ERR_INVALID", ...; -6 is both ZQ_ERR_QUEUE_FULL and ZQ_ERR_RESOURCE, and
// named so), for messages; "unknown" for a number that is none of them. The
// text is static.
ZQ_API const char* ZqResultName(int32_t nResult);

// Output modes for SetLogMode.
#define ZQ_MODE_FILES 1    // always write files
#define ZQ_MODE_FORWARD 2  // forward to the daemon when it runs

// Called on the writer thread when a reload of the configuration file sets the
// level through the custom key.
typedef void (*LogLevelCallback)(int32_t nLevel, char* pKeyName, int32_t nUserValue);

// Before CreateAsyncLog only: ZQ_OK, ZQ_ERR_ALREADY_CREATED afterwards,
// ZQ_ERR_INVALID for a null or over-long text or a count out of range.
ZQ_API int32_t SetLogPath(const char* pLogDir, const char* pPrefix);  // 1..256, 1..128 chars
ZQ_API int32_t SetLogMode(int32_t nMode);
ZQ_API int32_t SetModuleName(const char* pName);    // 0..128 chars
ZQ_API int32_t SetQueueSlotCount(uint32_t nCount);  // 10..1024
ZQ_API int32_t SetQueueSlotSize(int32_t nSize);     // recorded; slots stay 1024 bytes
// Crash flush, on by default (bOn 0 turns it off, any other value on): on
// SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (so also std::terminate and a
// failed assert) every record already queued reaches the files or the daemon
// within a second; then the actions these signals had at CreateAsyncLog (an
// application's own handlers) are put back and the signal takes its course
// again: the process still ends by it, with a core dump. Handlers installed
// after CreateAsyncLog replace it. DestroyAsyncLog puts the earlier actions
// back and turns it on again.
ZQ_API int32_t SetCrashFlush(int32_t bOn);

// At any time: ZQ_OK or ZQ_ERR_INVALID.
ZQ_API int32_t SetLevelCallback(LogLevelCallback pfnCallback, const char* pKey, int32_t nUserValue);
// Reads [Level] LogLevel, [File] FileSize (MiB) and FileNum from an INI file and
// remembers it: the engine reloads it whenever it changes.
ZQ_API int32_t LoadLogConfig(const char* pCfgPath);
ZQ_API int32_t SetLogFileSize(uint32_t nSizeMiB);  // 10..200
ZQ_API int32_t SetLogFileNum(uint32_t nNum);       // 2..10
ZQ_API int32_t SetLogLevel(int32_t nLevel);
ZQ_API int32_t GetLogLevel(int32_t* pLevel);  // untouched while no engine exists

// ZQ_OK; ZQ_ERR_ALREADY_CREATED; ZQ_ERR_INVALID (no log path, or one the
// engine refuses); ZQ_ERR_RESOURCE; ZQ_ERR_NAME_TOO_LONG.
ZQ_API int32_t CreateAsyncLog(void);
ZQ_API int32_t DestroyAsyncLog(void);  // ZQ_OK; restores every setting to its default
// Asks the writer to reopen its current file and reload the configuration at
// its next pass (after a log rotation tool moved the file aside). ZQ_OK, or
// ZQ_ERR_NOT_CREATED.
ZQ_API int32_t ReopenAsyncLog(void);

// Formats one record and queues it:
// "Info    2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)  "
// "ProcessName:app(1234)     Description:[Run]started\r\n"
// Returns ZQ_OK when the record was queued or its level filters it out,
// ZQ_ERR_NOT_CREATED, ZQ_ERR_INVALID (null source path) or ZQ_ERR_QUEUE_FULL.
ZQ_API int32_t WriteLog(int32_t nLevel, const char* pSrcFile, int32_t nLine, const char* pFunc,
                        const char* pDevId, const char* pFormat, ...)
    __attribute__((format(printf, 6, 7)));
// Queues a finished, terminated text unchanged (nLen is not consulted).
// Returns ZQ_OK, ZQ_ERR_NOT_CREATED, ZQ_ERR_INVALID (null, or longer than a
// queue slot) or ZQ_ERR_QUEUE_FULL (try again once the writer made room).
ZQ_API int32_t WriteRawLog(const char* pText, int32_t nLen);

// Records dropped since creation: refused by a full ring, or not writable.
ZQ_API uint64_t GetLostLogCount(void);

// printf to standard output followed by a newline (puts); cut at 1023 chars.
ZQ_API int ConsolePrint(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
// "[name                :(line)]" then the message, no newline added; cut at 511.
ZQ_API int TracePrint(const char* pName, int32_t nLine, const char* pFormat, ...)
    __attribute__((format(printf, 3, 4)));

// Reads FileSize and FileNum of <pSdkPath>/ZqSdkLog/LogServer.ini into the two
// in/out values; they stay as passed when the file or a key is missing.
ZQ_API void GetLogServerInfo(const char* pSdkPath, int32_t* pFileSize, int32_t* pFileNum);

#ifdef __cplusplus
}  // extern "C"
#endif

// One record with the caller's file, line and function.
#define ZQ_LOG(level, devid, ...) \
    WriteLog((level), __FILE__, __LINE__, __func__, (devid), __VA_ARGS__)
