#pragma once

#include "platform/ExitCodes.h"

#include <cstdio>

// The daemon's command line:
//   ZuVozAdavid [-n|--foreground] [-V|--version] [-h|--help]
//   ZuVozAdavid --check-config [FILE]
// Without arguments it detaches and runs as a daemon.

struct DaemonOptions {
    bool bForeground = false;          // -n: no detaching, READY=1 to a service manager
    bool bCheckConfig = false;         // --check-config: check, say what is found, exit
    const char* pCheckPath = nullptr;  // its FILE; null: the one a start would follow
};

// ParseCommandLine's answer when the daemon is to start.
constexpr int kStartDaemon = -1;

// Reads the arguments into *pOptions. Returns kStartDaemon; or, after the usage
// (-h) or the version (-V) on standard output, kExitOk; or, after the usage on
// standard error for anything else, kExitUsage.
int ParseCommandLine(int argc, char** argv, DaemonOptions* pOptions);

// The usage text.
void PrintUsage(FILE* pOut);
