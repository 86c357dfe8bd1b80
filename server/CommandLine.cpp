#include "server/CommandLine.h"

#include "logmodule/ZqLogVersion.h"
#include "platform/DaemonPaths.h"
#include "platform/WireContract.h"

#include <cstring>

namespace {

constexpr char kCheckConfig[] = "--check-config";
constexpr size_t kCheckConfigLen = sizeof(kCheckConfig) - 1;

bool Is(const char* pArg, const char* pShort, const char* pLong) {
    return std::strcmp(pArg, pShort) == 0 || std::strcmp(pArg, pLong) == 0;
}

}  // namespace

void PrintUsage(FILE* pOut) {
    std::fprintf(pOut,
                 "Usage: %s [-n] [-V] [-h]\n"
                 "       %s --check-config [FILE]\n"
                 "Receives log records as UDP datagrams on %u.%u.%u.%u:%u and appends them to\n"
                 "<base>/ZqSdkLog/SDK_00.log ..., rotated as <base>/ZqSdkLog/LogServer.ini says;\n"
                 "<base> is the first line of Path.ini in the working directory.\n"
                 "\n"
                 "  -n, --foreground  do not detach; tell $NOTIFY_SOCKET READY=1 once receiving\n"
                 "  -V, --version     print the version and exit\n"
                 "  --check-config [FILE]  check LogServer.ini (default: the one a start from\n"
                 "                    here follows): print every unknown section or key and\n"
                 "                    every value not used as written; exit 0 when there is none\n"
                 "  -h, --help        print this help and exit\n"
                 "\n"
                 "Signals: SIGTERM, SIGINT stop after writing what was received; SIGHUP reopens\n"
                 "the log file and reloads LogServer.ini; SIGUSR1 writes the statistics as a\n"
                 "record of the daemon's own; SIGUSR2 and SIGPIPE have no effect.\n"
                 "Exit status: 0 started or stopped in order (or a clean configuration), 1\n"
                 "start-up failed (or problems found), 2 usage.\n",
                 kLogServerName, kLogServerName, (kLoopbackIp >> 24) & 0xFFu,
                 (kLoopbackIp >> 16) & 0xFFu, (kLoopbackIp >> 8) & 0xFFu, kLoopbackIp & 0xFFu,
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
        } else if (std::strcmp(pArg, kCheckConfig) == 0) {
            pOptions->bCheckConfig = true;
            // An optional FILE: the next argument, unless it is an option.
            if (i + 1 < argc && argv[i + 1][0] != '-') pOptions->pCheckPath = argv[++i];
        } else if (std::strncmp(pArg, kCheckConfig, kCheckConfigLen) == 0 &&
                   pArg[kCheckConfigLen] == '=') {
            pOptions->bCheckConfig = true;
            pOptions->pCheckPath = pArg + kCheckConfigLen + 1;
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
