// zqlog: logs from shell scripts through the log module, with the options of
// logger where they mean something here. Its arguments, joined by spaces, are
// the message; without arguments every line of standard input (or of -f file)
// is one. A message holding line breaks becomes one record per line, each with
// its own header. The module runs in mode 2: when the log daemon runs the
// records are forwarded to it, otherwise zqlog writes files of its own and
// says so on standard error.
//
// zqlog formats each record itself, exactly as WriteLog does, and queues the
// finished line with WriteRawLog: so it knows when a message was cut to fit a
// record, and --id can print another process id. A record refused because
// the module's ring is full is submitted again once the writer has made room,
// so a long input is paced by the writer instead of losing lines.
// DestroyAsyncLog at the end writes or sends everything queued.

#include "asynclog/LogFileName.h"
#include "logmodule/LogModule.h"
#include "logmodule/LogModuleExt.h"
#include "logmodule/RecordFormat.h"
#include "platform/DecimalText.h"
#include "platform/DaemonPaths.h"
#include "platform/TextEscape.h"
#include "platform/UniqueFd.h"
#include "server/ExitCodes.h"
#include "server/InstanceLock.h"
#include "server/RetryWhileFull.h"
#include "server/Stats.h"

#include <fcntl.h>
#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

constexpr const char* kDefaultPrefix = "zqlog";
constexpr const char* kSourceName = "zqlog";  // the record's source file field

constexpr int32_t kMinLevel = 0;
constexpr int32_t kMaxLevel = 7;
constexpr long kRetryStepNs = 1000000L;  // 1 ms between submissions of a refused record
constexpr uint32_t kMaxRetries = 10000;  // about 10 s: the writer is stuck, give up
constexpr size_t kExePathLen = 260;      // as the module reads /proc/self/exe

// Long options without a short form.
enum LongOnly { kOptPrefix = 0x100, kOptId, kOptStats };

struct Options {
    int32_t nLevel = ZQ_LEVEL_INFO;
    const char* pDevId = "";
    const char* pModule = "";
    const char* pLogDir = kDefaultLogDir;
    const char* pPrefix = kDefaultPrefix;
    const char* pInputFile = nullptr;  // -f; null: standard input
    bool bStderr = false;              // -s
    bool bSkipEmpty = false;           // -e
    int32_t nPid = 0;                  // --id=ID; 0: zqlog's own
    bool bStats = false;               // --stats
};

void PrintHelp(FILE* pOut) {
    char szFirst[64];
    char szLast[64];
    (void)FormatLogFileName(szFirst, sizeof(szFirst), nullptr, "<prefix>", 0);
    (void)FormatLogFileName(szLast, sizeof(szLast), nullptr, "<prefix>", kMaxLogFiles - 1);
    std::fprintf(pOut,
                 "Usage: zqlog [options] [message ...]\n"
                 "\n"
                 "Logs records through the %s log module. The message arguments,\n"
                 "joined by spaces, make the message; without them every line of standard\n"
                 "input (or of -f FILE) makes one. Each line of a message is one record with\n"
                 "its own header. When the log daemon %s runs, the records are\n"
                 "forwarded to it and land in its files; otherwise zqlog writes them to its\n"
                 "own rotating files <dir>/%s .. %s and says so on\n"
                 "standard error.\n"
                 "\n"
                 "Options:\n"
                 "  -p, --priority [FACILITY.]LEVEL\n"
                 "                       the record's level by its syslog name (default\n"
                 "                       info); the facility is accepted and not recorded.\n"
                 "                       emerg, panic, alert, crit  -> 1 Fatal\n"
                 "                       err, error                 -> 2 Error\n"
                 "                       warning, warn              -> 3 Warning\n"
                 "                       notice, info               -> 4 Info\n"
                 "                       debug                      -> 5 Debug\n"
                 "                       a number is a syslog priority (facility * 8 + level)\n"
                 "  -l, --level LEVEL    the record's level by the module's word: fatal,\n"
                 "                       error, warning, info, debug, trace, or a number 0..7\n"
                 "  -t, --tag TAG        module name, the Source-Line field (default empty)\n"
                 "  -m, --module NAME    the same as --tag\n"
                 "  -d, --device ID      device id, the DevID field (default empty)\n"
                 "  -i                   log zqlog's process id (always done)\n"
                 "      --id[=ID]        log ID as the process id (default zqlog's own)\n"
                 "  -f, --file FILE      log the lines of FILE ('-': standard input)\n"
                 "  -e, --skip-empty     do not log empty lines\n"
                 "  -s, --stderr         also write each record to standard error\n"
                 "  -D, --dir DIR        directory of zqlog's own files when no daemon runs\n"
                 "                       (default %s)\n"
                 "      --prefix PREFIX  file name prefix of those files (default %s)\n"
                 "      --stats          show the daemon's statistics (records received,\n"
                 "                       written, dropped by cause; rotations) and exit; from\n"
                 "                       its run directory, or from DIR of -D when it keeps\n"
                 "                       them in its log directory\n"
                 "  -V, --version        show the version\n"
                 "  -h, --help           show this text\n"
                 "\n"
                 "A record is at most %u bytes including CR LF; a longer message is cut,\n"
                 "with a warning on standard error. Exit status: 0 when every record was\n"
                 "queued, 1 when logging could not start or a record could not be queued,\n"
                 "2 for a usage error.\n"
                 "\n"
                 "Example: df -h | zqlog -t disk -d cam0 -p user.debug\n",
                 kLogServerName, kLogServerName, szFirst, szLast, kDefaultLogDir, kDefaultPrefix,
                 kMaxRecordLen - 1);
}

// -l: a module level word or a number 0..7.
bool ParseLevel(const char* pText, int32_t* pLevel) {
    if (FindLevelWord(pText, pLevel)) return true;
    long nValue = 0;
    if (!ParseDecimal(pText, kMinLevel, kMaxLevel, &nValue)) return false;
    *pLevel = static_cast<int32_t>(nValue);
    return true;
}

// -p: [facility.]level by syslog names, or a numeric syslog priority. The
// facility is checked and then ignored: a record has no facility field.
bool ParsePriority(const char* pText, int32_t* pLevel) {
    long nPriority = 0;
    if (ParseDecimal(pText, 0, kSyslogFacilityCount * kSyslogSeverityCount - 1, &nPriority)) {
        *pLevel = LevelOfSyslogSeverity(static_cast<uint32_t>(nPriority) % kSyslogSeverityCount);
        return true;
    }
    const char* pDot = std::strchr(pText, '.');
    const char* pLevelName = pText;
    if (pDot != nullptr) {
        const std::string strFacility(pText, static_cast<size_t>(pDot - pText));
        uint32_t nFacility = 0;
        if (!FindSyslogFacility(strFacility.c_str(), &nFacility)) return false;
        pLevelName = pDot + 1;
    }
    uint32_t nSeverity = 0;
    if (!FindSyslogSeverity(pLevelName, &nSeverity)) return false;
    *pLevel = LevelOfSyslogSeverity(nSeverity);
    return true;
}

// Returns kExitOk to go on, -1 when done (--help, --version), or the exit status.
int ParseOptions(int argc, char** argv, Options* pOpt) {
    static const option kLongOptions[] = {{"priority", required_argument, nullptr, 'p'},
                                          {"level", required_argument, nullptr, 'l'},
                                          {"tag", required_argument, nullptr, 't'},
                                          {"module", required_argument, nullptr, 'm'},
                                          {"device", required_argument, nullptr, 'd'},
                                          {"id", optional_argument, nullptr, kOptId},
                                          {"file", required_argument, nullptr, 'f'},
                                          {"skip-empty", no_argument, nullptr, 'e'},
                                          {"stderr", no_argument, nullptr, 's'},
                                          {"dir", required_argument, nullptr, 'D'},
                                          {"prefix", required_argument, nullptr, kOptPrefix},
                                          {"stats", no_argument, nullptr, kOptStats},
                                          {"version", no_argument, nullptr, 'V'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    int nOpt = 0;
    while ((nOpt = getopt_long(argc, argv, "p:l:t:m:d:if:esD:Vh", kLongOptions, nullptr)) != -1) {
        switch (nOpt) {
            case 'p':
                if (!ParsePriority(optarg, &pOpt->nLevel)) {
                    std::fprintf(stderr, "zqlog: unknown priority '%s' (see --help)\n", optarg);
                    return kExitUsage;
                }
                break;
            case 'l':
                if (!ParseLevel(optarg, &pOpt->nLevel)) {
                    std::fprintf(stderr, "zqlog: unknown level '%s' (see --help)\n", optarg);
                    return kExitUsage;
                }
                break;
            case 't':
            case 'm':
                pOpt->pModule = optarg;
                break;
            case 'd':
                pOpt->pDevId = optarg;
                break;
            case 'i':
                break;  // the record always carries a process id
            case kOptId: {
                long nPid = 0;
                if (optarg != nullptr && !ParseDecimal(optarg, 1, INT32_MAX, &nPid)) {
                    std::fprintf(stderr, "zqlog: --id needs a process id, not '%s'\n", optarg);
                    return kExitUsage;
                }
                pOpt->nPid = static_cast<int32_t>(nPid);
                break;
            }
            case 'f':
                pOpt->pInputFile = optarg;
                break;
            case 'e':
                pOpt->bSkipEmpty = true;
                break;
            case 's':
                pOpt->bStderr = true;
                break;
            case 'D':
                pOpt->pLogDir = optarg;
                break;
            case kOptPrefix:
                pOpt->pPrefix = optarg;
                break;
            case kOptStats:
                pOpt->bStats = true;  // shown once -D is known
                break;
            case 'V':
                std::printf("zqlog (%s) %s\n", kLogServerName, ZQ_VERSION_STRING);
                return -1;
            case 'h':
                PrintHelp(stdout);
                return -1;
            default:
                std::fprintf(stderr, "Try 'zqlog --help'.\n");
                return kExitUsage;
        }
    }
    if (pOpt->pInputFile != nullptr && optind < argc) {
        std::fprintf(stderr, "zqlog: -f and a message exclude each other\n");
        return kExitUsage;
    }
    return kExitOk;
}

constexpr size_t kStatsReadMax = 4096;  // the daemon's file has a few hundred bytes
constexpr int kStatsNotTrusted = -1;    // ReadStatsIn: a directory or file refused

// True for root and for the user running zqlog.
bool TrustedOwner(uid_t nUid) { return nUid == 0 || nUid == geteuid(); }

// Reads the statistics file in pDir into *pText: only from a directory that
// belongs to root or the caller and that neither group nor others may write
// (elsewhere another user could have put the file there, or swapped it), and
// only a regular file of root or the caller, never through a link or waiting
// on a FIFO; *pWritten is when the daemon wrote it. 0, kStatsNotTrusted, or
// the errno value that says why not.
int ReadStatsIn(const char* pDir, std::string* pText, timespec* pWritten) {
    // Read-only descriptors: nothing to lose at close.
    CUniqueFd dir(open(pDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) return errno;
    struct stat st {};
    int nErr = fstat(dir.Get(), &st) != 0 ? errno : 0;
    if (nErr == 0 && (!TrustedOwner(st.st_uid) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        nErr = kStatsNotTrusted;
    }
    const CUniqueFd file(nErr == 0 ? openat(dir.Get(), kStatsFileName,
                                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                   : -1);
    if (nErr == 0 && !file.Valid()) nErr = errno;
    dir.Reset();
    if (!file.Valid()) return nErr;
    if (fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode) || !TrustedOwner(st.st_uid)) {
        nErr = kStatsNotTrusted;
    }
    char szText[kStatsReadMax];
    const ssize_t nGot = nErr == 0 ? read(file.Get(), szText, sizeof(szText)) : -1;
    if (nErr == 0 && nGot < 0) nErr = errno;
    if (nErr == 0) pText->assign(szText, static_cast<size_t>(nGot));
    *pWritten = st.st_mtim;
    return nErr;
}

// When the figures were written and how long ago, as two more lines of
// them: the daemon writes the file once a second.
void PrintStatsAge(const timespec& stWritten) {
    timespec stNow{};
    (void)clock_gettime(CLOCK_REALTIME, &stNow);
    const long long llAgeMs = (static_cast<long long>(stNow.tv_sec) - stWritten.tv_sec) * 1000 +
                              (stNow.tv_nsec - stWritten.tv_nsec) / 1000000;
    tm stTime{};
    char szTime[64] = "";
    if (localtime_r(&stWritten.tv_sec, &stTime) != nullptr) {
        (void)strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%S", &stTime);
    }
    std::printf("stats_time %s.%03ld\nstats_age_ms %lld\n", szTime,
                static_cast<long>(stWritten.tv_nsec / 1000000), llAgeMs > 0 ? llAgeMs : 0);
}

// The text as a terminal may show it: line feeds (the file's lines) stay,
// every other control character and every byte from 0x80 becomes '#' and
// three octal digits (ESC is #033, CR LF #015#012), so a file's bytes cannot
// act on the terminal.
std::string EscapeControls(const std::string& strText) {
    std::string strOut(strText.size() * kEscapedLen, '\0');
    strOut.resize(EscapeText(strText.data(), static_cast<uint32_t>(strText.size()),
                             EEscape::kTerminal, &strOut[0], static_cast<uint32_t>(strOut.size())));
    return strOut;
}

// --stats: the daemon's figures, as it wrote them last (about a second ago),
// from beside its pid file (InstanceLock.h): root's run directory, the
// caller's own run directory for a daemon of the caller's, or the log
// directory pLogDir where it had no run directory. The first that holds the
// file counts. Its exit status.
int ShowStats(const char* pLogDir) {
    char szUserRun[64] = "";
    if (geteuid() != 0) {
        (void)std::snprintf(szUserRun, sizeof(szUserRun), kUserRunDirFormat,
                            static_cast<unsigned>(geteuid()));
    }
    std::string strWhy;
    for (const char* pDir : {kRunDir, static_cast<const char*>(szUserRun), pLogDir}) {
        if (*pDir == '\0') continue;
        std::string strText;
        timespec stWritten{};
        const int nErr = ReadStatsIn(pDir, &strText, &stWritten);
        if (nErr == 0) {
            std::fputs(EscapeControls(strText).c_str(), stdout);
            PrintStatsAge(stWritten);
            return kExitOk;
        }
        // A refusal or a file that cannot be read is worth saying; a missing
        // one is the common case of the places not in use.
        if (nErr != ENOENT) {
            strWhy += std::string("; ") + pDir + "/" + kStatsFileName + ": " +
                      (nErr == kStatsNotTrusted ? "not trusted" : std::strerror(nErr));
        }
    }
    std::fprintf(stderr, "zqlog: no statistics in %s, %s%s%s: is %s running?%s\n", kRunDir,
                 szUserRun, *szUserRun != '\0' ? ", " : "", pLogDir, kLogServerName,
                 EscapeControls(strWhy).c_str());  // a -D path may hold anything
    return kExitFailed;
}

// Formats records as WriteLog does, with zqlog's identity.
class CRecordMaker {
public:
    explicit CRecordMaker(const Options& stOpt) : m_Opt(stOpt) {
        // The module takes the process name from the executable's path too.
        char szExe[kExePathLen] = {};
        const ssize_t nRead = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
        const char* pSlash = nRead > 0 ? std::strrchr(szExe, '/') : nullptr;
        m_strProcess = pSlash != nullptr ? pSlash + 1 : kSourceName;
        m_nPid = stOpt.nPid != 0 ? stOpt.nPid : static_cast<int32_t>(getpid());
    }

    // Formats the record of one line into pBuf (kMaxRecordLen bytes);
    // returns its length and sets *pCut when the text did not fit whole.
    uint32_t Make(char* pBuf, int32_t nLine, const char* pText, size_t nTextLen, bool* pCut) {
        const RecordSender stId{m_Opt.pModule, m_strProcess.c_str(), m_nPid};
        return FormatRecordAs(pBuf, stId, m_Opt.nLevel, kSourceName, nLine, m_Opt.pDevId, pText,
                              nTextLen, pCut);
    }

private:
    const Options& m_Opt;
    std::string m_strProcess;
    int32_t m_nPid;
};

// Logs the lines of one message or input and counts what went wrong.
class CLineLogger {
public:
    explicit CLineLogger(const Options& stOpt) : m_Opt(stOpt), m_Maker(stOpt) {}

    // Logs one line (without its line end) as record number nLine.
    void LogLine(int32_t nLine, const char* pText, size_t nLen) {
        if (nLen == 0 && m_Opt.bSkipEmpty) return;
        char szRecord[kMaxRecordLen];
        bool bCut = false;
        const uint32_t nRecordLen = m_Maker.Make(szRecord, nLine, pText, nLen, &bCut);
        if (bCut) {
            std::fprintf(stderr,
                         "zqlog: line %d: the message of %zu bytes does not fit a record of %u "
                         "bytes; it was cut\n",
                         nLine, nLen, kMaxRecordLen - 1);
        }
        if (m_Opt.bStderr) {
            // The record as logged, with the terminal's line end.
            std::fprintf(stderr, "%.*s\n", static_cast<int>(nRecordLen - 2), szRecord);
        }
        if (!Submit(szRecord)) m_bAllQueued = false;
    }

    // Logs each line of a text given as one message.
    void LogMessage(const std::string& strText) {
        size_t nStart = 0;
        int32_t nLine = 0;
        while (true) {
            const size_t nEnd = strText.find('\n', nStart);
            size_t nLen = (nEnd == std::string::npos ? strText.size() : nEnd) - nStart;
            if (nLen > 0 && strText[nStart + nLen - 1] == '\r') --nLen;
            LogLine(++nLine, strText.data() + nStart, nLen);
            if (nEnd == std::string::npos) break;
            nStart = nEnd + 1;
        }
    }

    // Logs each line of a stream.
    void LogStream(FILE* pIn, const char* pName) {
        char* pLine = nullptr;
        size_t nCap = 0;
        int32_t nLine = 0;
        ssize_t nRead = 0;
        while ((nRead = getline(&pLine, &nCap, pIn)) != -1) {
            size_t nLen = static_cast<size_t>(nRead);
            if (nLen > 0 && pLine[nLen - 1] == '\n') --nLen;
            if (nLen > 0 && pLine[nLen - 1] == '\r') --nLen;
            LogLine(++nLine, pLine, nLen);
        }
        if (std::ferror(pIn)) {
            std::fprintf(stderr, "zqlog: reading %s: %s\n", pName, std::strerror(errno));
            m_bAllQueued = false;
        }
        std::free(pLine);
    }

    bool AllQueued() const { return m_bAllQueued; }

private:
    // Queues one record; submits it again while a full queue refuses it.
    static bool Submit(const char* pRecord) {
        return RetryWhileFull([&] { return WriteRawLog(pRecord, 0); }, kRetryStepNs,
                              [](uint32_t nNaps) { return nNaps == kMaxRetries; }) == ZQ_OK;
    }

    const Options& m_Opt;
    CRecordMaker m_Maker;
    bool m_bAllQueued = true;
};

}  // namespace

int main(int argc, char** argv) {
    Options stOpt;
    const int nParsed = ParseOptions(argc, argv, &stOpt);
    if (nParsed < 0) return kExitOk;  // --help, --version
    if (nParsed != kExitOk) return nParsed;
    if (stOpt.bStats) return ShowStats(stOpt.pLogDir);

    FILE* pInput = stdin;
    const char* pInputName = "standard input";
    if (stOpt.pInputFile != nullptr && std::strcmp(stOpt.pInputFile, "-") != 0) {
        pInput = std::fopen(stOpt.pInputFile, "r");
        if (pInput == nullptr) {
            std::fprintf(stderr, "zqlog: cannot open %s: %s\n", stOpt.pInputFile,
                         std::strerror(errno));
            return kExitFailed;
        }
        pInputName = stOpt.pInputFile;
    }

    if (SetLogPath(stOpt.pLogDir, stOpt.pPrefix) != 0) {
        std::fprintf(stderr,
                     "zqlog: the directory must have 1..256 characters and the prefix "
                     "1..128\n");
        return kExitUsage;
    }
    if (SetModuleName(stOpt.pModule) != 0) {
        std::fprintf(stderr, "zqlog: the tag may have at most 128 characters\n");
        return kExitUsage;
    }
    (void)SetLogMode(ZQ_MODE_FORWARD);

    const int32_t nCreated = CreateAsyncLog();
    if (nCreated != 0) {
        std::fprintf(stderr, "zqlog: cannot start logging (code %d); is %s writable?\n", nCreated,
                     stOpt.pLogDir);
        (void)DestroyAsyncLog();
        return kExitFailed;
    }
    if (!IsLogForwarding()) {
        char szFile[kLogPathLen + kPrefixLen + 16];
        (void)FormatLogFileName(szFile, sizeof(szFile), stOpt.pLogDir, stOpt.pPrefix, 0);
        std::fprintf(stderr, "zqlog: %s is not running; writing to %s\n", kLogServerName, szFile);
    }

    CLineLogger logger(stOpt);
    if (optind < argc) {
        std::string strText = argv[optind];
        for (int i = optind + 1; i < argc; ++i) {
            strText += ' ';
            strText += argv[i];
        }
        logger.LogMessage(strText);
    } else {
        logger.LogStream(pInput, pInputName);
    }
    // Read-only input: closing it cannot lose anything.
    if (pInput != stdin) (void)std::fclose(pInput);

    // Writes or sends every queued record before the process ends.
    (void)DestroyAsyncLog();
    if (!logger.AllQueued()) {
        std::fprintf(stderr, "zqlog: some records could not be queued\n");
        return kExitFailed;
    }
    return kExitOk;
}
