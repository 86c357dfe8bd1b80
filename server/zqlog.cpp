// zqlog: logs from shell scripts through the log module. Its arguments, joined
// by spaces, become one record; without arguments every line of standard input
// becomes one record. The module runs in mode 2: when the log daemon runs the
// records are forwarded to it, otherwise zqlog writes files of its own.
//
// A record refused because the module's ring is full is submitted again once
// the writer has made room, so a long input is paced by the writer instead of
// losing lines. DestroyAsyncLog at the end writes or sends everything queued.

#include "logmodule/LogModule.h"

#include <getopt.h>
#include <strings.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // no log module, or records that could not be queued
constexpr int kExitUsage = 2;

constexpr const char* kDefaultLogDir = "/var/log/ZQS/ZqSdkLog";
constexpr const char* kDefaultPrefix = "zqlog";
constexpr const char* kSourceName = "zqlog";  // the record's source file field

constexpr int32_t kMinLevel = 0;
constexpr int32_t kMaxLevel = 7;
constexpr long kRetryStepNs = 1000000L;  // 1 ms between submissions of a refused record
constexpr int kMaxRetries = 10000;       // about 10 s: the writer is stuck, give up

struct Options {
    int32_t nLevel = ZQ_LEVEL_INFO;
    const char* pDevId = "";
    const char* pModule = "";
    const char* pLogDir = kDefaultLogDir;
    const char* pPrefix = kDefaultPrefix;
};

void PrintHelp(FILE* pOut) {
    std::fprintf(pOut,
                 "Usage: zqlog [options] [message ...]\n"
                 "\n"
                 "Logs a record through the ZuVozAdavid log module. The message arguments,\n"
                 "joined by spaces, make one record; without them every line of standard\n"
                 "input makes one record. When the log daemon ZuVozAdavid runs, the records\n"
                 "are forwarded to it and land in its files; otherwise zqlog writes them to\n"
                 "its own rotating files <dir>/<prefix>_00.log .. <prefix>_09.log.\n"
                 "\n"
                 "Options:\n"
                 "  -l, --level LEVEL    fatal, error, warning, info, debug, trace, or a\n"
                 "                       number 0..7 (default info)\n"
                 "  -d, --device ID      device id, the DevID field (default empty)\n"
                 "  -m, --module NAME    module name, the Source-Line field (default empty)\n"
                 "  -D, --dir DIR        directory of zqlog's own files when no daemon runs\n"
                 "                       (default %s)\n"
                 "  -p, --prefix PREFIX  file name prefix of those files (default %s)\n"
                 "  -h, --help           show this text\n"
                 "\n"
                 "Records are cut at 1023 bytes including CR LF. Exit status: 0 when every\n"
                 "record was queued, 1 when logging could not start or a record could not\n"
                 "be queued, 2 for a usage error.\n"
                 "\n"
                 "Example: df -h | zqlog -m disk -d cam0 -l debug\n",
                 kDefaultLogDir, kDefaultPrefix);
}

// A level word or a number 0..7; false for anything else.
bool ParseLevel(const char* pText, int32_t* pLevel) {
    static const struct {
        const char* pWord;
        int32_t nLevel;
    } kWords[] = {{"fatal", ZQ_LEVEL_FATAL},     {"error", ZQ_LEVEL_ERROR},
                  {"warning", ZQ_LEVEL_WARNING}, {"warn", ZQ_LEVEL_WARNING},
                  {"info", ZQ_LEVEL_INFO},       {"debug", ZQ_LEVEL_DEBUG},
                  {"trace", ZQ_LEVEL_TRACE}};
    for (const auto& stWord : kWords) {
        if (strcasecmp(pText, stWord.pWord) == 0) {
            *pLevel = stWord.nLevel;
            return true;
        }
    }
    char* pEnd = nullptr;
    errno = 0;
    const long nValue = std::strtol(pText, &pEnd, 10);
    if (errno != 0 || pEnd == pText || *pEnd != '\0' || nValue < kMinLevel || nValue > kMaxLevel) {
        return false;
    }
    *pLevel = static_cast<int32_t>(nValue);
    return true;
}

// Returns kExitOk to go on, or the exit status.
int ParseOptions(int argc, char** argv, Options* pOpt) {
    static const option kLongOptions[] = {{"level", required_argument, nullptr, 'l'},
                                          {"device", required_argument, nullptr, 'd'},
                                          {"module", required_argument, nullptr, 'm'},
                                          {"dir", required_argument, nullptr, 'D'},
                                          {"prefix", required_argument, nullptr, 'p'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    int nOpt = 0;
    while ((nOpt = getopt_long(argc, argv, "l:d:m:D:p:h", kLongOptions, nullptr)) != -1) {
        switch (nOpt) {
            case 'l':
                if (!ParseLevel(optarg, &pOpt->nLevel)) {
                    std::fprintf(stderr, "zqlog: unknown level '%s' (see --help)\n", optarg);
                    return kExitUsage;
                }
                break;
            case 'd':
                pOpt->pDevId = optarg;
                break;
            case 'm':
                pOpt->pModule = optarg;
                break;
            case 'D':
                pOpt->pLogDir = optarg;
                break;
            case 'p':
                pOpt->pPrefix = optarg;
                break;
            case 'h':
                PrintHelp(stdout);
                return -1;
            default:
                std::fprintf(stderr, "Try 'zqlog --help'.\n");
                return kExitUsage;
        }
    }
    return kExitOk;
}

// Queues one record; submits it again while a full queue refuses it.
bool Submit(const Options& stOpt, int32_t nLine, const char* pText) {
    for (int nTry = 0; nTry <= kMaxRetries; ++nTry) {
        const int32_t nRet =
            WriteLog(stOpt.nLevel, kSourceName, nLine, nullptr, stOpt.pDevId, "%s", pText);
        if (nRet != ZQ_ERR_QUEUE_FULL) return nRet == ZQ_OK;
        timespec stStep{0, kRetryStepNs};
        // An interrupted sleep only makes the next try come sooner.
        (void)nanosleep(&stStep, nullptr);
    }
    return false;
}

// Logs each line of standard input, without its line end; false when a record
// was given up.
bool LogInputLines(const Options& stOpt) {
    bool bAllQueued = true;
    char* pLine = nullptr;
    size_t nCap = 0;
    int32_t nLine = 0;
    ssize_t nLen = 0;
    while ((nLen = getline(&pLine, &nCap, stdin)) != -1) {
        ++nLine;
        if (nLen > 0 && pLine[nLen - 1] == '\n') pLine[--nLen] = '\0';
        if (nLen > 0 && pLine[nLen - 1] == '\r') pLine[--nLen] = '\0';
        if (!Submit(stOpt, nLine, pLine)) bAllQueued = false;
    }
    if (std::ferror(stdin)) {
        std::fprintf(stderr, "zqlog: reading standard input: %s\n", std::strerror(errno));
        bAllQueued = false;
    }
    std::free(pLine);
    return bAllQueued;
}

}  // namespace

int main(int argc, char** argv) {
    Options stOpt;
    const int nParsed = ParseOptions(argc, argv, &stOpt);
    if (nParsed < 0) return kExitOk;  // --help
    if (nParsed != kExitOk) return nParsed;

    if (SetLogPath(stOpt.pLogDir, stOpt.pPrefix) != 0) {
        std::fprintf(stderr,
                     "zqlog: the directory must have 1..256 characters and the prefix "
                     "1..128\n");
        return kExitUsage;
    }
    if (SetModuleName(stOpt.pModule) != 0) {
        std::fprintf(stderr, "zqlog: the module name may have at most 128 characters\n");
        return kExitUsage;
    }
    (void)SetLogMode(ZQ_MODE_FORWARD);
    // The level says what the record is, not what to filter: let it through.
    (void)SetLogLevel(stOpt.nLevel);

    const int32_t nCreated = CreateAsyncLog();
    if (nCreated != 0) {
        std::fprintf(stderr, "zqlog: cannot start logging (code %d); is %s writable?\n", nCreated,
                     stOpt.pLogDir);
        (void)DestroyAsyncLog();
        return kExitFailed;
    }

    bool bAllQueued = true;
    if (optind < argc) {
        std::string strText = argv[optind];
        for (int i = optind + 1; i < argc; ++i) {
            strText += ' ';
            strText += argv[i];
        }
        bAllQueued = Submit(stOpt, 1, strText.c_str());
    } else {
        bAllQueued = LogInputLines(stOpt);
    }

    // Writes or sends every queued record before the process ends.
    (void)DestroyAsyncLog();
    if (!bAllQueued) {
        std::fprintf(stderr, "zqlog: some records could not be queued\n");
        return kExitFailed;
    }
    return kExitOk;
}
