#pragma once

#include <cstddef>
#include <cstdio>

// Path.ini names the daemon's base directory in its first line. The daemon
// reads it from the directory it starts in (the service's is /etc/zqlog);
// zqread reads the installed one to find the daemon's files.

// Reads at most kPathIniReadMax bytes of pFile into pOut (nSize bytes, more
// than kPathIniReadMax) and leaves there the text up to its first CR or LF,
// with backslashes turned into slashes. No other trimming: spaces and
// trailing slashes stay.
constexpr size_t kPathIniReadMax = 255;
void ReadPathIni(FILE* pFile, char* pOut, size_t nSize);
