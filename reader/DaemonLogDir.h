#pragma once

#include <cstddef>

// The daemon's log directory as its service finds it: <base>/ZqSdkLog, where
// <base> is the first line of Path.ini in the service's working directory
// pConfDir (backslashes taken as slashes, a relative base from "/"), or the
// default base when that file cannot be read. Written to pOut (nSize bytes);
// false when it does not fit.
bool DaemonLogDir(const char* pConfDir, char* pOut, size_t nSize);
