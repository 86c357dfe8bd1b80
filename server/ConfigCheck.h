#pragma once

#include <cstdint>
#include <cstdio>

// What the daemon makes of LogServer.ini where that is not what the file says:
//  - a section or a key it does not know (names match exactly, as they are
//    read): ignored;
//  - a section or a key written twice: only the first is read;
//  - a number that is empty, not a number (read as strtol reads it) or out of
//    its range: the value stays as it was (the default at the start);
//  - the problems of [Forward]'s values, as the sender reads them.
// Each finding is one line "[Section] Key=value: what; what is used instead".
// Checking changes nothing: every value is read as before, this only says so.

// Flags of CheckConfigFile.
constexpr uint32_t kCheckForwardValues = 1;  // also [Forward]'s values

// Hears each finding, a line without its line end.
using ConfigFindingFn = void (*)(void* pContext, const char* pFinding);

// Calls pfnFinding for each finding, in the order of the file ([Forward]'s
// values last), and returns their number; -1 when the file cannot be read as
// a configuration (missing, or not a regular file: the daemon then uses its
// defaults), or no memory for its lists.
int32_t CheckConfigFile(const char* pPath, uint32_t nFlags, ConfigFindingFn pfnFinding,
                        void* pContext);

// For the records of each reload (ConfigCheckFn): the findings without
// [Forward]'s values, which the sender notes itself, joined by "; ".
uint32_t CheckConfigForReload(const char* pPath, char* pOut, uint32_t nSize);

// Prints every finding of pPath (with [Forward]'s values) on pOut, one line
// each: "<pLead>: <pPath>: <finding>", or without the lead when it is null.
// Returns what CheckConfigFile does.
int32_t PrintConfigFindings(FILE* pOut, const char* pLead, const char* pPath);

// ZuVozAdavid --check-config: prints the findings of pPath, each after the
// path, on standard output; the exit status is kExitOk only when there is
// none and the file could be read.
int RunConfigCheck(const char* pPath);
