#pragma once

#include "asynclog/LogConfig.h"

#include <cstddef>
#include <cstdint>

// The names of a rotating file set: entry i (0 the current file, the highest
// the oldest) of the set with a prefix is "<prefix>_0<i>.log". One digit, so
// the count has an upper bound of ten; the forwarding reader and zqlog name
// and recognise a set's files with these.
static_assert(kMaxLogFiles <= 10, "an entry's index is one digit");

// The name of entry i, after "<pDir>/" when pDir is not null; what snprintf
// returns.
int FormatLogFileName(char* pOut, size_t nSize, const char* pDir, const char* pPrefix, uint32_t i);
// Whether pName (a name without directory) is an entry of the set with this
// prefix, and which: *pIndex 0..kMaxLogFiles - 1.
bool ParseLogFileName(const char* pName, const char* pPrefix, uint32_t* pIndex);
