#pragma once

#include <cstdint>

// Reads an INI-style file. Stateless: every call opens, scans and closes it.
//
// pSection and pKey select the mode:
//   both non-empty           value lookup: the value of pKey in [pSection];
//                            returns its length in characters
//   pSection set, pKey ""    key list: the keys of [pSection], each terminated,
//                            then one more terminator; returns the offset of the
//                            last entry's terminator (0 for an empty list)
//   pSection ""              section list, the same shape
// pOut always receives pDefault first (cut to nSize - 1 characters); a missing
// file or key leaves it there and returns its length. pOut is always
// terminated and nothing is written past pOut[nSize - 1].
int32_t ReadProfileString(const char* pSection, const char* pKey, const char* pDefault,
                          char* pOut, uint32_t nSize, const char* pPath);
