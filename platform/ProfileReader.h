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
// pOut always receives pDefault first (cut to nSize - 1 characters, or to
// nSize - 2 and double terminated in the list modes); a missing file or key
// leaves it there and returns its length. pOut is always terminated and
// nothing is written past pOut[nSize - 1].
// Only a regular file is read (also through a symbolic link), and only its
// first 64 KiB: a FIFO, a device or a directory counts as a missing file, and
// the call never waits for a writer.
// Outside the limits (a section or key name longer than 255 characters, nSize
// below 1 for a value or below 2 for a list, a null pointer) the file is not
// read: pOut becomes the empty text (when nSize >= 1; nothing is written for
// nSize 0 or a null pOut) and the result is 0.
int32_t ReadProfileString(const char* pSection, const char* pKey, const char* pDefault, char* pOut,
                          uint32_t nSize, const char* pPath);
