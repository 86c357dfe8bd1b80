// zqread: reads the rotating file set of the log daemon (or a client's own),
// oldest record first across its files, with filters, the last N records
// and following, in the manner of logread and journalctl. It only reads: it
// runs as a member of the group that may read the set and writes nothing to
// it (CFileSetReader's marks stay off).
//
// Reading forward is CFileSetReader's, which knows the files by inode, so a
// rotation while zqread reads loses and doubles nothing; -n finds its place
// from the end backwards (TailScan.h) and hands it to the same reader; -f
// waits on CSetWatch (inotify on the log directory, new data included, or a
// look every second without inotify) and reads on. SIGINT and SIGTERM are
// blocked and taken only while it waits (ppoll), so they end it between
// records, with what was read printed: exit status 0.

#include "asynclog/LogFileName.h"
#include "logmodule/ZqLogVersion.h"
#include "platform/DaemonPaths.h"
#include "platform/DecimalText.h"
#include "platform/ExitCodes.h"
#include "platform/TextEscape.h"
#include "reader/DaemonLogDir.h"
#include "reader/LineFilter.h"
#include "reader/LineOutput.h"
#include "reader/TailScan.h"
#include "reader/TimeSpec.h"
#include "upstream/FileSetReader.h"
#include "upstream/SetWatch.h"

#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The service's working directory, which holds Path.ini: from the build
// (packaging/Install.cmake), as the service file has it.
#ifndef ZQ_CONF_DIR
#error "ZQ_CONF_DIR: the service's configuration directory"
#endif

namespace {

constexpr int kFollowMaxWaitMs = 1000;  // -f looks at the set at least this often
constexpr int kTailTries = 3;           // -n: a rotation took the place found; look again

enum LongOnly { kOptPrefix = 0x100, kOptPid, kOptOrigin };

struct Options {
    const char* pLogDir = nullptr;  // null: the daemon's, from Path.ini
    const char* pPrefix = kDaemonFilePrefix;
    bool bLast = false;  // -n
    uint64_t nLast = 0;
    bool bFollow = false;
    EOutput eOutput = EOutput::kShort;
    bool bOrigins = false;
};

volatile sig_atomic_t g_bStop = 0;  // set by the handler of SIGINT and SIGTERM

void OnStopSignal(int) { g_bStop = 1; }

void PrintHelp() {
    char szFirst[64];
    char szLast[64];
    (void)FormatLogFileName(szFirst, sizeof(szFirst), nullptr, "<prefix>", 0);
    (void)FormatLogFileName(szLast, sizeof(szLast), nullptr, "<prefix>", kMaxLogFiles - 1);
    std::printf(
        "Usage: zqread [options]\n"
        "\n"
        "Prints the records of the log files <dir>/%s (newest) .. %s,\n"
        "oldest first across the rotated files.\n"
        "\n"
        "Options:\n"
        "  -D, --dir DIR          the set's directory (default: the log directory of\n"
        "                         %s, from %s/%s)\n"
        "      --prefix PREFIX    the set's file name prefix (default %s)\n"
        "  -p, --priority LEVEL   that level and more severe: a syslog name (emerg ..\n"
        "                         debug), a level word (fatal .. trace) or 0..7\n"
        "  -t, --module MODULE    records of this module\n"
        "      --pid PID          records of this process id\n"
        "  -S, --since TIME       records from TIME on (their own local time)\n"
        "  -U, --until TIME       records up to TIME\n"
        "                         TIME: '2026-12-08 13:00[:05]', 2026-12-08, 13:00[:05],\n"
        "                         now, today, yesterday, tomorrow, -10min, -2h, -1d\n"
        "  -g, --grep PATTERN     messages matching PATTERN (POSIX extended regex)\n"
        "  -n, --lines N          only the last N records that pass the filters\n"
        "  -f, --follow           then print new records as they come, until SIGINT\n"
        "  -o, --output MODE      short (default), raw or json\n"
        "      --origin           begin each record with its sender as the daemon saw\n"
        "                         it: [uid U pid P name] or [origin unknown: udp]\n"
        "  -V, --version          show the version\n"
        "  -h, --help             show this text\n"
        "\n"
        "Exit status: 0 done, 1 no directory or no files, 2 a usage error.\n",
        szFirst, szLast, kLogServerName, ZQ_CONF_DIR, kPathIni, kDaemonFilePrefix);
}

int Usage(const char* pWhat, const char* pArg) {
    // The argument may hold anything: escaped for the terminal.
    char szArg[256];
    const uint32_t nArg = static_cast<uint32_t>(std::strlen(pArg));
    const uint32_t nOut = EscapeText(pArg, nArg, EEscape::kTerminal, szArg, sizeof(szArg) - 1);
    szArg[nOut] = '\0';
    std::fprintf(stderr, "zqread: %s '%s' (see --help)\n", pWhat, szArg);
    return kExitUsage;
}

// -p: a syslog severity by name, a level word, or a severity 0..7.
bool ParsePriority(const char* pText, uint32_t* pSeverity) {
    if (FindSyslogSeverity(pText, pSeverity)) return true;
    int32_t nLevel = 0;
    if (FindLevelWord(pText, &nLevel)) {
        *pSeverity = SyslogSeverityOfLevel(nLevel);
        return true;
    }
    long nValue = 0;
    if (!ParseDecimal(pText, 0, kSyslogSeverityCount - 1, &nValue)) return false;
    *pSeverity = static_cast<uint32_t>(nValue);
    return true;
}

// Returns -1 to go on, else the exit status (also after --help, --version).
int ParseOptions(int argc, char** argv, Options* pOpt, CLineFilter* pFilter) {
    static const option kLongOptions[] = {{"dir", required_argument, nullptr, 'D'},
                                          {"prefix", required_argument, nullptr, kOptPrefix},
                                          {"priority", required_argument, nullptr, 'p'},
                                          {"module", required_argument, nullptr, 't'},
                                          {"pid", required_argument, nullptr, kOptPid},
                                          {"since", required_argument, nullptr, 'S'},
                                          {"until", required_argument, nullptr, 'U'},
                                          {"grep", required_argument, nullptr, 'g'},
                                          {"lines", required_argument, nullptr, 'n'},
                                          {"follow", no_argument, nullptr, 'f'},
                                          {"output", required_argument, nullptr, 'o'},
                                          {"origin", no_argument, nullptr, kOptOrigin},
                                          {"version", no_argument, nullptr, 'V'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    const time_t llNow = time(nullptr);
    opterr = 0;  // the one line about it is zqread's own
    int nOpt = 0;
    while ((nOpt = getopt_long(argc, argv, ":D:p:t:S:U:g:n:fo:Vh", kLongOptions, nullptr)) != -1) {
        uint32_t nSeverity = 0;
        uint64_t nKey = 0;
        long nValue = 0;
        std::string strWhy;
        switch (nOpt) {
            case 'D':
                pOpt->pLogDir = optarg;
                break;
            case kOptPrefix:
                if (*optarg == '\0' || std::strlen(optarg) > kPrefixLen) {
                    return Usage("bad prefix", optarg);
                }
                pOpt->pPrefix = optarg;
                break;
            case 'p':
                if (!ParsePriority(optarg, &nSeverity)) return Usage("unknown priority", optarg);
                pFilter->SetMaxSeverity(nSeverity);
                break;
            case 't':
                pFilter->SetModule(optarg);
                break;
            case kOptPid:
                if (!ParseDecimal(optarg, 0, LONG_MAX, &nValue)) return Usage("bad pid", optarg);
                pFilter->SetPid(static_cast<uint64_t>(nValue));
                break;
            case 'S':
            case 'U':
                if (!ParseTimeSpec(optarg, llNow, &nKey)) return Usage("bad time", optarg);
                if (nOpt == 'S') {
                    pFilter->SetSince(nKey);
                } else {
                    pFilter->SetUntil(nKey);
                }
                break;
            case 'g':
                if (!pFilter->SetPattern(optarg, &strWhy)) {
                    return Usage(("bad pattern: " + strWhy + ":").c_str(), optarg);
                }
                break;
            case 'n':
                if (!ParseDecimal(optarg, 0, LONG_MAX, &nValue)) return Usage("bad count", optarg);
                pOpt->bLast = true;
                pOpt->nLast = static_cast<uint64_t>(nValue);
                break;
            case 'f':
                pOpt->bFollow = true;
                break;
            case 'o':
                if (std::strcmp(optarg, "short") == 0) {
                    pOpt->eOutput = EOutput::kShort;
                } else if (std::strcmp(optarg, "raw") == 0) {
                    pOpt->eOutput = EOutput::kRaw;
                } else if (std::strcmp(optarg, "json") == 0) {
                    pOpt->eOutput = EOutput::kJson;
                } else {
                    return Usage("unknown output mode", optarg);
                }
                break;
            case kOptOrigin:
                pOpt->bOrigins = true;
                break;
            case 'V':
                std::printf("zqread %s\n", ZQ_VERSION_STRING);
                return kExitOk;
            case 'h':
                PrintHelp();
                return kExitOk;
            case ':':
                return Usage("option needs an argument:", argv[optind - 1]);
            default:
                return Usage("unknown option", argv[optind - 1]);
        }
    }
    if (optind < argc) return Usage("unexpected argument", argv[optind]);
    return -1;
}

// Prints the lines from the reader's place until it has caught up. False
// when a read failed.
bool PrintAvailable(CFileSetReader* pReader, const CLineFilter& filter, CLineOutput* pOut) {
    StreamLine stLine{};
    CReadLine line;
    for (;;) {
        const int32_t nResult = pReader->Next(&stLine);
        if (nResult == kReadCaughtUp) return true;
        if (nResult == kReadError) return false;
        line.Set(stLine.pText, stLine.nLen);
        if (filter.Pass(&line)) pOut->Print(&line, stLine.stOrigin);
    }
}

// -n: the reader placed at the first of the last nCount lines that pass.
bool PlaceAtTail(CFileSetReader* pReader, const CLineFilter& filter, uint64_t nCount) {
    for (int nTry = 0; nTry < kTailTries; ++nTry) {
        StreamPos stPos{};
        const int32_t nFound = FindTail(*pReader, filter, nCount, &stPos);
        if (nFound == kTailError) return false;
        if (nFound == kTailWhole) return true;  // Seek(nullptr) put it at the start
        if (pReader->Seek(&stPos) == kSeekExact) return true;
        (void)pReader->Seek(nullptr);  // its file left the set meanwhile: look again
    }
    return true;
}

int64_t NowMs() {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// -f: waits for the set to change and prints what comes, until SIGINT or
// SIGTERM; those are blocked (so they cannot end it mid-record) and taken
// only in ppoll.
void Follow(const char* pLogDir, const char* pPrefix, CFileSetReader* pReader,
            const CLineFilter& filter, CLineOutput* pOut) {
    std::string strCfg = std::string(pLogDir) + "/" + kConfigFile;
    CSetWatch watch;
    watch.Init(pLogDir, strCfg.c_str(), pPrefix);
    watch.Open();
    watch.Watch(true);
    while (g_bStop == 0) {
        // A failed read leaves the reader where it was: the next look reads on.
        (void)PrintAvailable(pReader, filter, pOut);
        if (!pOut->Flush()) return;  // nobody reads any more
        const int64_t llWait = watch.WaitMs(NowMs());
        const int nWaitMs =
            llWait < 0 || llWait > kFollowMaxWaitMs ? kFollowMaxWaitMs : static_cast<int>(llWait);
        pollfd stPoll{watch.Fd(), POLLIN, 0};
        const timespec stWait{nWaitMs / 1000, static_cast<long>(nWaitMs % 1000) * 1000000L};
        sigset_t stOpen;
        (void)sigemptyset(&stOpen);
        const int nReady = ppoll(&stPoll, watch.Fd() >= 0 ? 1 : 0, &stWait, &stOpen);
        if (nReady < 0 && errno == EINTR) continue;
        const SetChanges stChanges = watch.Take(nReady > 0, NowMs());
        if (stChanges.bSet) pReader->Rescan();
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options stOpt;
    CLineFilter filter;
    const int nParsed = ParseOptions(argc, argv, &stOpt, &filter);
    if (nParsed >= 0) return nParsed;

    char szDaemonDir[kLogPathLen + 1];
    if (stOpt.pLogDir == nullptr) {
        if (!DaemonLogDir(ZQ_CONF_DIR, szDaemonDir, sizeof(szDaemonDir))) {
            std::fprintf(stderr, "zqread: the log directory named in %s/%s is too long\n",
                         ZQ_CONF_DIR, kPathIni);
            return kExitFailed;
        }
        stOpt.pLogDir = szDaemonDir;
    }
    char szShownDir[kLogPathLen * kEscapedLen + 1];
    const uint32_t nDirLen = static_cast<uint32_t>(std::strlen(stOpt.pLogDir));
    szShownDir[EscapeText(stOpt.pLogDir, nDirLen, EEscape::kTerminal, szShownDir,
                          sizeof(szShownDir) - 1)] = '\0';
    struct stat st {};
    errno = 0;
    if (stat(stOpt.pLogDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        const bool bMissing = errno != 0 && st.st_mode == 0;
        std::fprintf(stderr, "zqread: %s: %s\n", szShownDir,
                     bMissing ? std::strerror(errno) : "not a directory");
        return kExitFailed;
    }
    CFileSetReader reader;
    if (reader.Open(stOpt.pLogDir, stOpt.pPrefix, false) != 0) {
        std::fprintf(stderr, "zqread: %s: the path is too long\n", szShownDir);
        return kExitFailed;
    }
    (void)reader.Seek(nullptr);
    if (reader.HeldCount() == 0) {
        char szName[64];
        (void)FormatLogFileName(szName, sizeof(szName), nullptr, stOpt.pPrefix, 0);
        std::fprintf(stderr, "zqread: no log files in %s (%s ..)\n", szShownDir, szName);
        return kExitFailed;
    }

    // Blocked from here, so that they end zqread only where Follow waits.
    sigset_t stStop;
    (void)sigemptyset(&stStop);
    (void)sigaddset(&stStop, SIGINT);
    (void)sigaddset(&stStop, SIGTERM);
    if (stOpt.bFollow) {
        struct sigaction stAction {};
        stAction.sa_handler = OnStopSignal;
        (void)sigemptyset(&stAction.sa_mask);
        (void)sigaction(SIGINT, &stAction, nullptr);
        (void)sigaction(SIGTERM, &stAction, nullptr);
        (void)sigprocmask(SIG_BLOCK, &stStop, nullptr);
    }

    CLineOutput out(STDOUT_FILENO, stOpt.eOutput, stOpt.bOrigins);
    if (stOpt.bLast && !PlaceAtTail(&reader, filter, stOpt.nLast)) {
        std::fprintf(stderr, "zqread: %s: %s\n", szShownDir, std::strerror(errno));
        return kExitFailed;
    }
    if (stOpt.bFollow) {
        Follow(stOpt.pLogDir, stOpt.pPrefix, &reader, filter, &out);
        (void)out.Flush();
        return kExitOk;
    }
    const bool bRead = PrintAvailable(&reader, filter, &out);
    const int nErr = errno;
    if (!out.Flush() || !bRead) {
        std::fprintf(stderr, "zqread: %s\n", std::strerror(bRead ? errno : nErr));
        return kExitFailed;
    }
    return kExitOk;
}
