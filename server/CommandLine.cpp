#include "server/CommandLine.h"

#include "logmodule/ZqLogVersion.h"
#include "platform/DaemonPaths.h"
#include "platform/WireContract.h"

#include <cstring>

namespace {

bool Is(const char* pArg, const char* pShort, const char* pLong) {
    return std::strcmp(pArg, pShort) == 0 || std::strcmp(pArg, pLong) == 0;
}

}  // namespace

void PrintUsage(FILE* pOut) {
    std::fprintf(pOut,
                 "Usage: %s [-n] [-V] [-h]\n"
                 "Receives log records as UDP datagrams on %u.%u.%u.%u:%u and appends them to\n"
                 "<base>/ZqSdkLog/SDK_00.log ..., rotated as <base>/ZqSdkLog/LogServer.ini says;\n"
                 "<base> is the first line of Path.ini in the working directory.\n"
                 "\n"
                 "  -n, --foreground  do not detach; tell $NOTIFY_SOCKET READY=1 once receiving\n"
                 "  -V, --version     print the version and exit\n"
                 "  -h, --help        print this help and exit\n"
                 "\n"
                 "Signals: SIGTERM, SIGINT stop after writing what was received; SIGHUP reopens\n"
                 "the log file and reloads LogServer.ini; SIGUSR1 writes the statistics as a\n"
                 "record of the daemon's own; SIGUSR2 and SIGPIPE have no effect.\n"
                 "Exit status: 0 started or stopped in order, 1 start-up failed, 2 usage.\n",
                 kLogServerName, (kLoopbackIp >> 24) & 0xFFu, (kLoopbackIp >> 16) & 0xFFu,
                 (kLoopbackIp >> 8) & 0xFFu, kLoopbackIp & 0xFFu,
                 static_cast<unsigned>(kLogServerPort));
}

int ParseCommandLine(int argc, char** argv, DaemonOptions* pOptions) {
    for (int i = 1; i < argc; ++i) {
        const char* pArg = argv[i];
        if (Is(pArg, "-n", "--foreground")) {
            pOptions->bForeground = true;
        } else if (Is(pArg, "-V", "--version")) {
            std::printf("%s %s\n", kLogServerName, ZQ_VERSION_STRING);
            return kExitOk;
        } else if (Is(pArg, "-h", "--help")) {
            PrintUsage(stdout);
            return kExitOk;
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s'\n", kLogServerName, pArg);
            PrintUsage(stderr);
            return kExitUsage;
        }
    }
    return kStartDaemon;
}
