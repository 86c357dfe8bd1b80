#pragma once

// The record format, written by the log module and read back by whoever
// reads its files (the forwarding sender, zqlog): one line
//
//   "Info    2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)  "
//   "ProcessName:app(1234)     Description:[Run]started\r\n"
//
// that is the level field, the local date and time with milliseconds, the
// labels below with the device id, module, source file and line, process name
// and pid, and function, then the message. Here too: how the module's levels
// map onto syslog's severities, and syslog's facility names.

#include "logmodule/LogModule.h"

#include <cstddef>
#include <cstdint>

// The level field that begins every record: the level's word padded as
// "%-7s " prints it. Indexed by the level (ZQ_LEVEL_FATAL 1 .. ZQ_LEVEL_TRACE
// 6); kOtherLevelIndex for every level without a word of its own.
constexpr size_t kLevelFieldLen = 8;
constexpr size_t kLevelFieldCount = 7;
constexpr char kLevelFields[kLevelFieldCount][kLevelFieldLen + 1] = {
    "Trace   ", "Fatal   ", "Error   ", "Warning ", "Info    ", "Debug   ", "Trace   ",
};
constexpr int32_t kOtherLevelIndex = 0;
constexpr int32_t LevelFieldIndex(int32_t nLevel) {
    return nLevel >= ZQ_LEVEL_FATAL && nLevel <= ZQ_LEVEL_TRACE ? nLevel : kOtherLevelIndex;
}

// Whether a line is a record of Error or Fatal level, which the writer gets
// to the disk sooner.
bool IsUrgentRecord(const uint8_t* pLine, uint32_t nLen);

// The labels between the fields, in the order they appear.
constexpr char kLabelDevId[] = "  DevID:";
constexpr char kLabelSource[] = "  Source-Line:";  // module(file-Lline)
constexpr char kLabelLine[] = "-L";
constexpr char kLabelProcess[] = ")  ProcessName:";       // name(pid)
constexpr char kLabelFunction[] = ")     Description:[";  // function]message
constexpr char kLabelMessage[] = "]";

// A piece of a line; points into it.
struct TextSpan {
    const char* p;
    uint32_t n;
};

// The fields of a line in the record format.
struct RecordFields {
    int32_t nLevel;  // ZQ_LEVEL_FATAL .. ZQ_LEVEL_TRACE
    bool bTime;      // false when the record says 0-00-00 (its writer had no local time)
    int nYear, nMonth, nDay, nHour, nMin, nSec, nMs;
    TextSpan devId, module, file, lineNo, procName, pid, func, text;
};
// Reads one line (without its line end) in the record format; false for a
// line that is not in it (*pOut then undefined).
bool ParseRecord(const char* pLine, uint32_t nLen, RecordFields* pOut);

// Syslog's severities (RFC 5424): emerg 0 .. debug 7.
constexpr uint32_t kSyslogSeverityCount = 8;
constexpr uint8_t kSyslogCrit = 2;
constexpr uint8_t kSyslogErr = 3;
constexpr uint8_t kSyslogWarning = 4;
constexpr uint8_t kSyslogInfo = 6;  // also of a line not in the record format
constexpr uint8_t kSyslogDebug = 7;
// The severity of a record of this level: Fatal crit, Error err, Warning
// warning, Info info, Debug, Trace and any other debug.
uint8_t SyslogSeverityOfLevel(int32_t nLevel);
// The level for a severity (0..7): the three most severe are Fatal, notice is
// Info like info.
int32_t LevelOfSyslogSeverity(uint32_t nSeverity);
// Names are found in any case. A severity by its name as logger takes it
// (emerg, panic, alert, crit, err, error, warning, warn, notice, info, debug);
// false for another name.
bool FindSyslogSeverity(const char* pName, uint32_t* pSeverity);
// A level by its word (fatal .. trace, and warn); false else.
bool FindLevelWord(const char* pName, int32_t* pLevel);

// Syslog's facilities: kern 0 .. local7 23, by name (security is auth's
// other name); false for another name.
constexpr uint32_t kSyslogFacilityCount = 24;
bool FindSyslogFacility(const char* pName, uint32_t* pFacility);
