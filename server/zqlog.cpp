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
#include "platform/ExitCodes.h"
#include "server/InstanceLock.h"
#include "server/RetryWhileFull.h"
#include "server/Stats.h"
#include "server/SyslogClient.h"
#include "upstream/SyslogFormat.h"

#include <fcntl.h>
#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
constexpr uint32_t kSeverityMask = kSyslogSeverityCount - 1;  // of a syslog priority

// Long options without a short form.
enum LongOnly {
    kOptPrefix = 0x100,
    kOptId,
    kOptStats,
    kOptDevice,
    kOptMsgId,
    kOptSdId,
    kOptSdParam,
    kOptRfc5424,
    kOptRfc3164,
    kOptOctetCount,
    kOptPrioPrefix,
    kOptNoAct,
    kOptSocketErrors,
    kOptJournald,
};

enum class ESocketErrors : uint8_t { kOff, kOn, kAuto };

// What the options say. The settings logger has too live in stWire, for both
// ways out: the syslog server of -n and -u, and the log module.
struct Options {
    int32_t nLevel = ZQ_LEVEL_INFO;
    const char* pDevId = "";
    const char* pLogDir = kDefaultLogDir;
    const char* pPrefix = kDefaultPrefix;
    const char* pInputFile = nullptr;  // -f; null: standard input
    bool bStats = false;               // --stats
    ESocketErrors eSocketErrors = ESocketErrors::kAuto;
    bool bJournald = false;              // --journald
    const char* pJournalFile = nullptr;  // --journald=FILE; null: standard input
    SyslogClientConfig stWire;
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
                 "standard error, and when it can do neither, it writes them to standard\n"
                 "error. With -n or -u the messages go to that syslog server instead, as\n"
                 "logger(1) sends them. An empty message logs nothing.\n"
                 "\n"
                 "Options:\n"
                 "  -p, --priority [FACILITY.]LEVEL\n"
                 "                       the record's level by its syslog name (default\n"
                 "                       notice); the facility counts for -n and -u only.\n"
                 "                       emerg, panic, alert, crit  -> 1 Fatal\n"
                 "                       err, error                 -> 2 Error\n"
                 "                       warning, warn              -> 3 Warning\n"
                 "                       notice, info               -> 4 Info\n"
                 "                       debug                      -> 5 Debug\n"
                 "                       a number is a syslog priority (facility * 8 + level)\n"
                 "  -l, --level LEVEL    the record's level by the module's word: fatal,\n"
                 "                       error, warning, info, debug, trace, or a number 0..7\n"
                 "  -t, --tag TAG        module name, the Source-Line field (default empty);\n"
                 "                       with --msgid the process name; for -n and -u the\n"
                 "                       APP-NAME (default the login name)\n"
                 "  -m, --module NAME    the same as --tag\n"
                 "      --device ID      device id, the DevID field (default empty)\n"
                 "      --msgid MSGID    the module name (and MSGID of what is forwarded)\n"
                 "      --sd-id ID       begins an element of structured data (name@number,\n"
                 "                       or timeQuality, meta; origin only for -n and -u)\n"
                 "      --sd-param NAME=\"VALUE\"\n"
                 "                       a parameter of the last --sd-id; the records carry\n"
                 "                       the data, forwarded after the daemon's own element\n"
                 "  -i                   log zqlog's process id (the records always carry one)\n"
                 "      --id[=ID]        log ID as the process id (default zqlog's own)\n"
                 "  -f, --file FILE      log the lines of FILE ('-': standard input)\n"
                 "  -e, --skip-empty     do not log empty lines\n"
                 "      --prio-prefix    take a line's priority from a <N> at its start\n"
                 "                       (standard input and -f only)\n"
                 "  -S, --size SIZE      the largest message (default 1KiB; a record holds\n"
                 "                       at most %u bytes anyway); longer ones are cut\n"
                 "  -s, --stderr         also write each record to standard error\n"
                 "      --no-act         do everything but log (with -s: show what it would)\n"
                 "      --socket-errors on|off|auto\n"
                 "                       on: exit 1 when the records can only go to standard\n"
                 "                       error, or the socket of -u does not connect (auto:\n"
                 "                       as logger decides; default)\n"
                 "      --journald[=FILE]\n"
                 "                       log a journal entry (FIELD=VALUE lines): its MESSAGE\n"
                 "                       fields, at its PRIORITY, SYSLOG_IDENTIFIER as the tag\n"
                 "  -n, --server HOST    send to the syslog server HOST, not to %s\n"
                 "  -P, --port PORT      its port (default syslog, 514; syslog-conn for TCP)\n"
                 "  -d, --udp            UDP only (-n), or a datagram socket only (-u)\n"
                 "  -T, --tcp            TCP only (-n), or a stream socket only (-u)\n"
                 "  -u, --socket PATH    send to the local syslog socket PATH\n"
                 "      --rfc5424[=notime,notq,nohost]\n"
                 "                       RFC 5424 messages (the default for -n)\n"
                 "      --rfc3164        RFC 3164 messages\n"
                 "      --octet-count    frame each message by its length (RFC 6587)\n"
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
                 "queued (or, without --socket-errors=on, written to standard error), 1 when\n"
                 "logging could not start or a record could not be queued, 2 for a usage\n"
                 "error.\n"
                 "\n"
                 "Example: df -h | zqlog -t disk --device cam0 -p user.debug\n",
                 kLogServerName, kLogServerName, szFirst, szLast, kMaxRecordLen - 1, kLogServerName,
                 kDefaultLogDir, kDefaultPrefix, kMaxRecordLen - 1);
}

// -l: a module level word or a number 0..7.
bool ParseLevel(const char* pText, int32_t* pLevel) {
    if (FindLevelWord(pText, pLevel)) return true;
    long nValue = 0;
    if (!ParseDecimal(pText, kMinLevel, kMaxLevel, &nValue)) return false;
    *pLevel = static_cast<int32_t>(nValue);
    return true;
}

// -p: [facility.]level by syslog names, or a numeric syslog priority, into
// *pPri; the facility defaults to user, and kern becomes user (no program
// logs as the kernel).
bool ParsePriority(const char* pText, uint32_t* pPri) {
    long nPriority = 0;
    uint32_t nFacility = kLoggerFacilityUser;
    uint32_t nSeverity = 0;
    if (ParseDecimal(pText, 0, kSyslogFacilityCount * kSyslogSeverityCount - 1, &nPriority)) {
        nFacility = static_cast<uint32_t>(nPriority) / kSyslogSeverityCount;
        nSeverity = static_cast<uint32_t>(nPriority) % kSyslogSeverityCount;
    } else {
        const char* pDot = std::strchr(pText, '.');
        const char* pLevelName = pText;
        if (pDot != nullptr) {
            const std::string strFacility(pText, static_cast<size_t>(pDot - pText));
            if (!FindSyslogFacility(strFacility.c_str(), &nFacility)) return false;
            pLevelName = pDot + 1;
        }
        if (!FindSyslogSeverity(pLevelName, &nSeverity)) return false;
    }
    if (nFacility == 0) nFacility = kLoggerFacilityUser;
    *pPri = nFacility * kSyslogSeverityCount + nSeverity;
    return true;
}

// -S: a size with an optional suffix, K, M, G (KiB, MiB, GiB: powers of
// 1024) or KB, MB, GB (powers of 1000); at least 1.
bool ParseSize(const char* pText, size_t* pSize) {
    char* pEnd = nullptr;
    errno = 0;
    const unsigned long long llValue = std::strtoull(pText, &pEnd, 10);
    if (errno != 0 || pEnd == pText || *pText == '-' || llValue == 0) return false;
    static const struct {
        const char* pSuffix;
        unsigned long long llFactor;
    } kSuffixes[] = {{"", 1},
                     {"K", 1ull << 10},
                     {"KiB", 1ull << 10},
                     {"KB", 1000ull},
                     {"M", 1ull << 20},
                     {"MiB", 1ull << 20},
                     {"MB", 1000000ull},
                     {"G", 1ull << 30},
                     {"GiB", 1ull << 30},
                     {"GB", 1000000000ull}};
    for (const auto& stSuffix : kSuffixes) {
        if (strcasecmp(pEnd, stSuffix.pSuffix) != 0) continue;
        if (llValue > SIZE_MAX / stSuffix.llFactor) return false;
        *pSize = static_cast<size_t>(llValue * stSuffix.llFactor);
        return true;
    }
    return false;
}

// --sd-param: NAME="VALUE", the value written as RFC 5424 has it.
bool IsSdParam(const char* pText) {
    const char* pEq = std::strchr(pText, '=');
    const size_t nLen = std::strlen(pText);
    if (pEq == nullptr || pEq[1] != '"' || nLen < static_cast<size_t>(pEq - pText) + 3 ||
        pText[nLen - 1] != '"') {
        return false;
    }
    const char* pValue = pEq + 2;
    return IsSdName(pText, static_cast<uint32_t>(pEq - pText)) &&
           IsSdParamValue(pValue, static_cast<uint32_t>(pText + nLen - 1 - pValue));
}

int UsageError(const char* pFormat, const char* pArg) __attribute__((format(printf, 1, 0)));
int UsageError(const char* pFormat, const char* pArg) {
    std::fputs("zqlog: ", stderr);
    std::fprintf(stderr, pFormat, pArg);
    std::fputs(" (see --help)\n", stderr);
    return kExitUsage;
}

// Returns kExitOk to go on, -1 when done (--help, --version), or the exit status.
int ParseOptions(int argc, char** argv, Options* pOpt) {
    static const option kLongOptions[] = {
        {"priority", required_argument, nullptr, 'p'},
        {"level", required_argument, nullptr, 'l'},
        {"tag", required_argument, nullptr, 't'},
        {"module", required_argument, nullptr, 'm'},
        {"device", required_argument, nullptr, kOptDevice},
        {"id", optional_argument, nullptr, kOptId},
        {"file", required_argument, nullptr, 'f'},
        {"skip-empty", no_argument, nullptr, 'e'},
        {"stderr", no_argument, nullptr, 's'},
        {"dir", required_argument, nullptr, 'D'},
        {"prefix", required_argument, nullptr, kOptPrefix},
        {"stats", no_argument, nullptr, kOptStats},
        {"msgid", required_argument, nullptr, kOptMsgId},
        {"sd-id", required_argument, nullptr, kOptSdId},
        {"sd-param", required_argument, nullptr, kOptSdParam},
        {"server", required_argument, nullptr, 'n'},
        {"port", required_argument, nullptr, 'P'},
        {"udp", no_argument, nullptr, 'd'},
        {"tcp", no_argument, nullptr, 'T'},
        {"socket", required_argument, nullptr, 'u'},
        {"rfc5424", optional_argument, nullptr, kOptRfc5424},
        {"rfc3164", no_argument, nullptr, kOptRfc3164},
        {"octet-count", no_argument, nullptr, kOptOctetCount},
        {"prio-prefix", no_argument, nullptr, kOptPrioPrefix},
        {"size", required_argument, nullptr, 'S'},
        {"no-act", no_argument, nullptr, kOptNoAct},
        // logger 2.38 takes the mode as required
        {"socket-errors", required_argument, nullptr, kOptSocketErrors},
        {"journald", optional_argument, nullptr, kOptJournald},
        {"version", no_argument, nullptr, 'V'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    SyslogClientConfig& stWire = pOpt->stWire;
    int nOpt = 0;
    while ((nOpt = getopt_long(argc, argv, "p:l:t:m:if:esD:S:n:P:dTu:Vh", kLongOptions, nullptr)) !=
           -1) {
        switch (nOpt) {
            case 'p':
                if (!ParsePriority(optarg, &stWire.nPri)) {
                    return UsageError("unknown priority '%s'", optarg);
                }
                pOpt->nLevel = LevelOfSyslogSeverity(stWire.nPri & kSeverityMask);
                break;
            case 'l':
                if (!ParseLevel(optarg, &pOpt->nLevel)) {
                    return UsageError("unknown level '%s'", optarg);
                }
                stWire.nPri = (stWire.nPri & ~kSeverityMask) | SyslogSeverityOfLevel(pOpt->nLevel);
                break;
            case 't':
            case 'm':
                stWire.pTag = optarg;
                break;
            case kOptDevice:
                pOpt->pDevId = optarg;
                break;
            case 'i':
                stWire.nPid = static_cast<int32_t>(getpid());
                break;
            case kOptId: {
                long nPid = getpid();
                if (optarg != nullptr && !ParseDecimal(optarg, 1, INT32_MAX, &nPid)) {
                    return UsageError("--id needs a process id, not '%s'", optarg);
                }
                stWire.nPid = static_cast<int32_t>(nPid);
                break;
            }
            case 'f':
                pOpt->pInputFile = optarg;
                break;
            case 'e':
                stWire.bSkipEmpty = true;
                break;
            case 's':
                stWire.bStderr = true;
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
            case kOptMsgId:
                if (*optarg == '\0' || std::strchr(optarg, ' ') != nullptr) {
                    return UsageError("--msgid '%s' must be a word", optarg);
                }
                stWire.pMsgId = optarg;
                break;
            case kOptSdId:
                if (!IsSdId(optarg, static_cast<uint32_t>(std::strlen(optarg)))) {
                    return UsageError("invalid structured data ID '%s'", optarg);
                }
                for (const SdElement& stElement : stWire.vSd) {
                    if (stElement.strId == optarg) {
                        return UsageError("structured data ID '%s' is not unique", optarg);
                    }
                }
                stWire.vSd.push_back({optarg, {}});
                break;
            case kOptSdParam:
                if (stWire.vSd.empty())
                    return UsageError("--sd-param %s before any --sd-id", optarg);
                if (!IsSdParam(optarg)) {
                    return UsageError("invalid structured data parameter '%s'", optarg);
                }
                stWire.vSd.back().vParams.push_back(optarg);
                break;
            case 'n':
                stWire.pServer = optarg;
                break;
            case 'P':
                stWire.pPort = optarg;
                break;
            case 'd':
                stWire.nTypes = kSocketUdp;
                break;
            case 'T':
                stWire.nTypes = kSocketTcp;
                break;
            case 'u':
                stWire.pSocket = optarg;
                break;
            case kOptRfc5424: {
                stWire.bFormatSet = true;
                stWire.eFormat = EWireFormat::kRfc5424;
                std::string strFlags = optarg != nullptr ? optarg : "";
                for (size_t nPos = 0; nPos <= strFlags.size();) {
                    const size_t nComma = std::min(strFlags.find(',', nPos), strFlags.size());
                    const std::string strFlag = strFlags.substr(nPos, nComma - nPos);
                    nPos = nComma + 1;
                    if (strFlag == "notime") {
                        stWire.bTime = false;
                        stWire.bTimeQuality = false;
                    } else if (strFlag == "notq") {
                        stWire.bTimeQuality = false;
                    } else if (strFlag == "nohost") {
                        stWire.bHost = false;
                    } else if (!strFlag.empty()) {
                        std::fprintf(stderr, "zqlog: ignoring unknown option argument: %s\n",
                                     strFlag.c_str());
                    }
                }
                break;
            }
            case kOptRfc3164:
                stWire.bFormatSet = true;
                stWire.eFormat = EWireFormat::kRfc3164;
                break;
            case kOptOctetCount:
                stWire.bOctetCount = true;
                break;
            case kOptPrioPrefix:
                stWire.bPrioPrefix = true;
                break;
            case 'S':
                if (!ParseSize(optarg, &stWire.nMaxSize)) {
                    return UsageError("failed to parse message size '%s'", optarg);
                }
                break;
            case kOptNoAct:
                stWire.bNoAct = true;
                break;
            case kOptSocketErrors:
                if (std::strcmp(optarg, "on") == 0) {
                    pOpt->eSocketErrors = ESocketErrors::kOn;
                } else if (std::strcmp(optarg, "off") == 0) {
                    pOpt->eSocketErrors = ESocketErrors::kOff;
                } else {
                    if (std::strcmp(optarg, "auto") != 0) {
                        std::fprintf(stderr,
                                     "zqlog: invalid argument: %s: using automatic errors\n",
                                     optarg);
                    }
                    pOpt->eSocketErrors = ESocketErrors::kAuto;
                }
                break;
            case kOptJournald:
                pOpt->bJournald = true;
                pOpt->pJournalFile = optarg;
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
    stWire.bSocketErrors = pOpt->eSocketErrors == ESocketErrors::kOn ||
                           (pOpt->eSocketErrors == ESocketErrors::kAuto &&
                            AutoSocketErrors(stWire.bNoAct, stWire.bStderr));
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

// Formats records as WriteLog does, with zqlog's identity: the module is
// --msgid, or else the tag; the process name is the tag when --msgid names
// the module, or else the executable's name. The structured data of --sd-id
// leads the text of every record, behind the function mark the forwarder
// knows it by (upstream/SyslogFormat.h).
class CRecordMaker {
public:
    explicit CRecordMaker(const Options& stOpt) : m_Opt(stOpt), m_strSd(JoinSd(stOpt.stWire.vSd)) {
        const SyslogClientConfig& stWire = stOpt.stWire;
        const char* pTag = stWire.pTag != nullptr ? stWire.pTag : "";
        m_strModule = stWire.pMsgId != nullptr ? stWire.pMsgId : pTag;
        if (stWire.pMsgId != nullptr && *pTag != '\0') {
            m_strProcess = pTag;
        } else {
            // The module takes the process name from the executable's path too.
            char szExe[kExePathLen] = {};
            const ssize_t nRead = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
            const char* pSlash = nRead > 0 ? std::strrchr(szExe, '/') : nullptr;
            m_strProcess = pSlash != nullptr ? pSlash + 1 : kSourceName;
        }
        m_nPid = stWire.nPid != 0 ? stWire.nPid : static_cast<int32_t>(getpid());
    }

    const std::string& Module() const { return m_strModule; }

    // Whether a record has room for the structured data and some text.
    bool SdFits() {
        char szRecord[kMaxRecordLen];
        bool bCut = false;
        (void)Make(szRecord, 1, ZQ_LEVEL_INFO, "", 0, &bCut);
        return !bCut;
    }

    // Formats the record of one line into pBuf (kMaxRecordLen bytes);
    // returns its length and sets *pCut when the text did not fit whole.
    uint32_t Make(char* pBuf, int32_t nLine, int32_t nLevel, const char* pText, size_t nTextLen,
                  bool* pCut) {
        const RecordSender stId{m_strModule.c_str(), m_strProcess.c_str(), m_nPid};
        if (m_strSd.empty()) {
            return FormatRecordAs(pBuf, stId, nLevel, kSourceName, nLine, m_Opt.pDevId, pText,
                                  nTextLen, pCut);
        }
        std::string strText = m_strSd;
        if (nTextLen > 0) strText.append(1, ' ').append(pText, nTextLen);
        const uint32_t nLen =
            FormatRecordAs(pBuf, stId, nLevel, kSourceName, nLine, m_Opt.pDevId, strText.data(),
                           strText.size(), pCut, kCarriedSdFunction);
        return nLen;
    }

private:
    const Options& m_Opt;
    std::string m_strSd;  // the elements, or empty
    std::string m_strModule;
    std::string m_strProcess;
    int32_t m_nPid;
};

// Where the records go: into the module's queue, to standard error in place
// of a log that could not start, or nowhere (--no-act).
enum class ERecordSink : uint8_t { kLog, kStderr, kNone };

// Logs the lines of one message or input and counts what went wrong.
class CLineLogger {
public:
    CLineLogger(const Options& stOpt, ERecordSink eSink)
        : m_Opt(stOpt), m_Maker(stOpt), m_eSink(eSink) {}

    // Logs one line (without its line end) as record number nLine.
    void LogLine(int32_t nLine, int32_t nLevel, const char* pText, size_t nLen) {
        const SyslogClientConfig& stWire = m_Opt.stWire;
        if (nLen == 0 && stWire.bSkipEmpty) return;
        char szRecord[kMaxRecordLen];
        bool bCut = nLen > stWire.nMaxSize;  // -S
        const size_t nTake = bCut ? stWire.nMaxSize : nLen;
        const uint32_t nRecordLen = m_Maker.Make(szRecord, nLine, nLevel, pText, nTake, &bCut);
        if (bCut || nTake < nLen) {
            std::fprintf(stderr,
                         "zqlog: line %d: the message of %zu bytes does not fit a record of %u "
                         "bytes; it was cut\n",
                         nLine, nLen,
                         nTake < nLen ? static_cast<unsigned>(stWire.nMaxSize) : kMaxRecordLen - 1);
        }
        if (stWire.bStderr || m_eSink == ERecordSink::kStderr) {
            // The record as logged, with the terminal's line end.
            std::fprintf(stderr, "%.*s\n", static_cast<int>(nRecordLen - 2), szRecord);
        }
        if (m_eSink == ERecordSink::kLog && !Submit(szRecord)) m_bAllQueued = false;
    }

    // Logs each line of a text given as one message.
    void LogMessage(const std::string& strText, int32_t nLevel) {
        size_t nStart = 0;
        int32_t nLine = 0;
        while (true) {
            const size_t nEnd = strText.find('\n', nStart);
            size_t nLen = (nEnd == std::string::npos ? strText.size() : nEnd) - nStart;
            if (nLen > 0 && strText[nStart + nLen - 1] == '\r') --nLen;
            LogLine(++nLine, nLevel, strText.data() + nStart, nLen);
            if (nEnd == std::string::npos) break;
            nStart = nEnd + 1;
        }
    }

    // Logs each line of a stream; with --prio-prefix a line's "<N>" sets its level.
    void LogStream(FILE* pIn, const char* pName) {
        char* pLine = nullptr;
        size_t nCap = 0;
        int32_t nLine = 0;
        ssize_t nRead = 0;
        while ((nRead = getline(&pLine, &nCap, pIn)) != -1) {
            size_t nLen = static_cast<size_t>(nRead);
            if (nLen > 0 && pLine[nLen - 1] == '\n') --nLen;
            if (nLen > 0 && pLine[nLen - 1] == '\r') --nLen;
            uint32_t nPri = 0;
            size_t nPrefix = 0;
            int32_t nLevel = m_Opt.nLevel;
            if (m_Opt.stWire.bPrioPrefix && ReadPrioPrefix(pLine, nLen, &nPri, &nPrefix)) {
                nLevel = LevelOfSyslogSeverity(nPri & kSeverityMask);
            }
            LogLine(++nLine, nLevel, pLine + nPrefix, nLen - nPrefix);
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
    ERecordSink m_eSink;
    bool m_bAllQueued = true;
};

// A journal entry (--journald): FIELD=VALUE lines up to an empty one. The
// message is its MESSAGE fields (several: one line each), the level that of
// PRIORITY, the tag SYSLOG_IDENTIFIER; other fields have no place in a record.
struct JournalEntry {
    std::string strMessage;
    bool bHasMessage = false;
    int32_t nLevel = ZQ_LEVEL_INFO;
    std::string strIdentifier;
};

bool ReadJournalEntry(FILE* pIn, int32_t nDefaultLevel, JournalEntry* pEntry) {
    static constexpr char kMessage[] = "MESSAGE=";
    static constexpr char kPriority[] = "PRIORITY=";
    static constexpr char kIdentifier[] = "SYSLOG_IDENTIFIER=";
    pEntry->nLevel = nDefaultLevel;
    char* pLine = nullptr;
    size_t nCap = 0;
    ssize_t nRead = 0;
    while ((nRead = getline(&pLine, &nCap, pIn)) != -1) {
        std::string strLine(pLine, static_cast<size_t>(nRead));
        while (!strLine.empty() && std::isspace(static_cast<unsigned char>(strLine.back()))) {
            strLine.pop_back();
        }
        if (strLine.empty()) break;
        if (strLine.compare(0, sizeof(kMessage) - 1, kMessage) == 0) {
            if (pEntry->bHasMessage) pEntry->strMessage += '\n';
            pEntry->strMessage += strLine.substr(sizeof(kMessage) - 1);
            pEntry->bHasMessage = true;
        } else if (strLine.compare(0, sizeof(kPriority) - 1, kPriority) == 0) {
            long nSeverity = 0;
            if (ParseDecimal(strLine.c_str() + sizeof(kPriority) - 1, 0, kSyslogSeverityCount - 1,
                             &nSeverity)) {
                pEntry->nLevel = LevelOfSyslogSeverity(static_cast<uint32_t>(nSeverity));
            }
        } else if (strLine.compare(0, sizeof(kIdentifier) - 1, kIdentifier) == 0) {
            pEntry->strIdentifier = strLine.substr(sizeof(kIdentifier) - 1);
        }
    }
    std::free(pLine);
    return !std::ferror(pIn);
}

// -n and -u: the messages go to that syslog server as logger sends them.
int SendToServer(const Options& stOpt, int argc, char** argv, FILE* pInput) {
    CSyslogClient client(stOpt.stWire);
    if (!client.Open()) return kExitFailed;
    if (optind < argc) {
        client.LogArgs(argc - optind, argv + optind);
    } else {
        client.LogStream(pInput);
    }
    return client.Ok() ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options stOpt;
    const int nParsed = ParseOptions(argc, argv, &stOpt);
    if (nParsed < 0) return kExitOk;  // --help, --version
    if (nParsed != kExitOk) return nParsed;
    if (stOpt.bStats) return ShowStats(stOpt.pLogDir);

    FILE* pInput = stdin;
    const char* pInputName = "standard input";
    const char* pOpenName = stOpt.bJournald ? stOpt.pJournalFile : stOpt.pInputFile;
    if (pOpenName != nullptr && std::strcmp(pOpenName, "-") != 0) {
        pInput = std::fopen(pOpenName, "r");
        if (pInput == nullptr) {
            std::fprintf(stderr, "zqlog: cannot open %s: %s\n", pOpenName, std::strerror(errno));
            return kExitFailed;
        }
        pInputName = pOpenName;
    }
    // Read-only input: closing it cannot lose anything.
    struct InputCloser {
        FILE* p;
        ~InputCloser() {
            if (p != stdin) (void)std::fclose(p);
        }
    } stCloser{pInput};

    const bool bToServer = stOpt.stWire.pServer != nullptr || stOpt.stWire.pSocket != nullptr;
    if (bToServer && !stOpt.bJournald) return SendToServer(stOpt, argc, argv, pInput);

    JournalEntry stEntry;
    if (stOpt.bJournald) {
        if (!ReadJournalEntry(pInput, stOpt.nLevel, &stEntry)) {
            std::fprintf(stderr, "zqlog: reading %s: %s\n", pInputName, std::strerror(errno));
            return kExitFailed;
        }
        if (stOpt.stWire.pTag == nullptr && !stEntry.strIdentifier.empty()) {
            stOpt.stWire.pTag = stEntry.strIdentifier.c_str();
        }
    }
    for (const SdElement& stElement : stOpt.stWire.vSd) {
        if (!IsCarriableSdId(stElement.strId.data(),
                             static_cast<uint32_t>(stElement.strId.size()))) {
            return UsageError("structured data ID '%s' is the forwarder's own",
                              stElement.strId.c_str());
        }
    }
    {
        CRecordMaker maker(stOpt);
        if (SetModuleName(maker.Module().c_str()) != 0) {
            std::fprintf(stderr, "zqlog: the tag may have at most 128 characters\n");
            return kExitUsage;
        }
        if (!maker.SdFits()) {
            std::fprintf(stderr, "zqlog: the structured data does not fit a record\n");
            return kExitUsage;
        }
    }
    if (SetLogPath(stOpt.pLogDir, stOpt.pPrefix) != 0) {
        std::fprintf(stderr,
                     "zqlog: the directory must have 1..256 characters and the prefix "
                     "1..128\n");
        return kExitUsage;
    }
    (void)SetLogMode(ZQ_MODE_FORWARD);

    ERecordSink eSink = ERecordSink::kNone;
    if (!stOpt.stWire.bNoAct) {
        const int32_t nCreated = CreateAsyncLog();
        if (nCreated == 0) {
            eSink = ERecordSink::kLog;
        } else {
            // Neither the daemon nor the files take them: rather than lose
            // the records, the user gets them, as logger would have lost them
            // quietly with no syslog socket.
            (void)DestroyAsyncLog();
            std::fprintf(stderr,
                         "zqlog: cannot start logging (code %d): %s is not running and %s is not "
                         "writable; the records follow on standard error\n",
                         nCreated, kLogServerName, stOpt.pLogDir);
            eSink = ERecordSink::kStderr;
        }
    }
    if (eSink == ERecordSink::kLog && !IsLogForwarding()) {
        char szFile[kLogPathLen + kPrefixLen + 16];
        (void)FormatLogFileName(szFile, sizeof(szFile), stOpt.pLogDir, stOpt.pPrefix, 0);
        std::fprintf(stderr, "zqlog: %s is not running; writing to %s\n", kLogServerName, szFile);
    }

    CLineLogger logger(stOpt, eSink);
    if (stOpt.bJournald) {
        if (stEntry.bHasMessage) logger.LogMessage(stEntry.strMessage, stEntry.nLevel);
    } else if (optind < argc) {
        // Joined as logger joins them: a space only after something; an
        // empty message logs nothing.
        std::string strText;
        for (int i = optind; i < argc; ++i) {
            if (!strText.empty()) strText += ' ';
            strText += argv[i];
        }
        if (!strText.empty()) logger.LogMessage(strText, stOpt.nLevel);
    } else {
        logger.LogStream(pInput, pInputName);
    }

    if (eSink == ERecordSink::kStderr) {
        return stOpt.eSocketErrors == ESocketErrors::kOn ? kExitFailed : kExitOk;
    }
    // Writes or sends every queued record before the process ends.
    if (eSink == ERecordSink::kLog) (void)DestroyAsyncLog();
    if (!logger.AllQueued()) {
        std::fprintf(stderr, "zqlog: some records could not be queued\n");
        return kExitFailed;
    }
    return kExitOk;
}
