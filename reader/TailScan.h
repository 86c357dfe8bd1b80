#pragma once

#include "reader/LineFilter.h"
#include "upstream/FileSetReader.h"

#include <cstdint>

// Where the last nCount lines of a set that pass a filter begin, found from
// the end of the newest file backwards, so that `zqread -n` reads a few
// blocks instead of the whole set. The files are those pReader holds after
// Seek(nullptr) (CFileSetReader knows the set, its order and its files by
// inode); the place found is one its Seek takes, and reading on from there
// with Next gives those lines, then what came meanwhile.
//
// Lines are split as the forward reader splits them, at each LF, without the
// CR before it; the unfinished end of the newest file is no line yet, as
// for the forward reader.

// Results of FindTail.
constexpr int32_t kTailFound = 0;   // *pPos is the place of the first of them
constexpr int32_t kTailWhole = 1;   // fewer pass in the whole set: read it from its start
constexpr int32_t kTailError = -1;  // a read failed (errno)

int32_t FindTail(const CFileSetReader& reader, const CLineFilter& filter, uint64_t nCount,
                 StreamPos* pPos);
