// zqread, the real binary on real file sets that the test writes and rotates
// as the engine does (names from FormatLogFileName; SDK_00 -> SDK_01 -> ...
// -> deleted, a new empty SDK_00): its filters, its outputs byte for byte,
// the last N records across files, following through rotations, and its exit
// statuses. The time forms of -S/-U are checked on ParseTimeSpec itself, in
// UTC, with a fixed now.

#include "asynclog/LogFileName.h"
#include "logmodule/RecordFormat.h"
#include "reader/TimeSpec.h"
#include "upstream/FileSetReader.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using zqtest::ReadFile;
using zqtest::TempDir;

constexpr const char* kZqreadPath = ZQ_ZQREAD_PATH;
constexpr int kExecFailed = 127;

// A record in the format of RecordFormat.h, without its CR LF.
std::string Rec(int32_t nLevel, const std::string& strTime, const std::string& strModule, int nPid,
                const std::string& strText, const std::string& strDev = "cam0") {
    return std::string(kLevelFields[nLevel]) + strTime + kLabelDevId + strDev + kLabelSource +
           strModule + "(main.cpp" + kLabelLine + "0042" + kLabelProcess + "app(" +
           std::to_string(nPid) + kLabelFunction + "Run" + kLabelMessage + strText;
}

// Writes a file set the way the engine does.
class SetWriter {
public:
    SetWriter(const std::string& strDir, uint32_t nFiles, const char* pPrefix = "SDK")
        : m_strDir(strDir), m_nFiles(nFiles), m_pPrefix(pPrefix) {}
    std::string Name(uint32_t i) const {
        char szName[512];
        (void)FormatLogFileName(szName, sizeof(szName), m_strDir.c_str(), m_pPrefix, i);
        return szName;
    }
    void Append(const std::string& strText) const {
        std::ofstream out(Name(0), std::ios::binary | std::ios::app);
        out << strText;
    }
    void AppendLines(const std::vector<std::string>& vLines) const {
        std::string strText;
        for (const std::string& s : vLines) strText += s + "\r\n";
        Append(strText);
    }
    void Rotate() const {
        (void)std::remove(Name(m_nFiles - 1).c_str());
        for (uint32_t i = m_nFiles - 1; i-- > 0;) {
            (void)std::rename(Name(i).c_str(), Name(i + 1).c_str());
        }
        std::ofstream out(Name(0), std::ios::binary | std::ios::trunc);
    }

private:
    std::string m_strDir;
    uint32_t m_nFiles;
    const char* m_pPrefix;
};

struct Result {
    int nStatus = -1;
    std::string strOut;
    std::string strErr;
};

// A running zqread, its standard output and error in files.
class Zqread {
public:
    Zqread(const TempDir& dir, const std::vector<std::string>& vArgs)
        : m_strOut(dir.File("stdout")), m_strErr(dir.File("stderr")) {
        std::vector<std::string> vFull{kZqreadPath};
        vFull.insert(vFull.end(), vArgs.begin(), vArgs.end());
        const std::vector<std::string> vCmd = zqtest::TargetCommand(vFull, dir.Path());
        std::vector<char*> vArgv;
        for (const std::string& s : vCmd) vArgv.push_back(const_cast<char*>(s.c_str()));
        vArgv.push_back(nullptr);
        m_nPid = fork();
        if (m_nPid == 0) {
            const int nOut = open(m_strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int nErr = open(m_strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (nOut < 0 || nErr < 0 || dup2(nOut, 1) < 0 || dup2(nErr, 2) < 0) _exit(kExecFailed);
            execve(vArgv[0], vArgv.data(), environ);
            _exit(kExecFailed);
        }
    }
    ~Zqread() {
        if (m_nPid > 0) {
            (void)kill(m_nPid, SIGKILL);
            (void)Wait();
        }
    }
    std::string Out() const { return ReadFile(m_strOut); }
    void Signal(int nSignal) const { (void)kill(m_nPid, nSignal); }
    Result Wait() {
        Result stResult;
        int nWait = 0;
        if (m_nPid > 0 && waitpid(m_nPid, &nWait, 0) == m_nPid && WIFEXITED(nWait)) {
            stResult.nStatus = WEXITSTATUS(nWait);
        }
        m_nPid = -1;
        stResult.strOut = ReadFile(m_strOut);
        stResult.strErr = ReadFile(m_strErr);
        return stResult;
    }

private:
    std::string m_strOut;
    std::string m_strErr;
    pid_t m_nPid = -1;
};

Result RunZqread(const TempDir& dir, const std::vector<std::string>& vArgs) {
    Zqread zqread(dir, vArgs);
    return zqread.Wait();
}

std::string Join(const std::vector<std::string>& vLines) {
    std::string strText;
    for (const std::string& s : vLines) strText += s + "\n";
    return strText;
}

// A set of two files with records of every level, several modules, pids and
// times, lines of other senders, and a record without local time.
struct MixedSet {
    std::vector<std::string> vLines{
        Rec(ZQ_LEVEL_INFO, "2026-12-08 12:59:59:999", "net", 10, "link up"),          // 0
        "<13>Dec  8 13:00:00 router: link timeout",                                   // 1
        Rec(ZQ_LEVEL_ERROR, "2026-12-08 13:00:00:000", "disk", 20, "write failed"),   // 2
        Rec(ZQ_LEVEL_WARNING, "2026-12-08 13:00:05:500", "net", 20, "slow timeout"),  // 3
        Rec(ZQ_LEVEL_FATAL, "2026-12-08 13:30:00:000", "disk", 10, "gone"),           // 4
        Rec(ZQ_LEVEL_DEBUG, "2026-12-09 08:00:00:000", "net", 10, "retry 3"),         // 5
        Rec(ZQ_LEVEL_ERROR, "0-00-00 00:00:00:000", "boot", 30, "no clock timeout"),  // 6
        Rec(ZQ_LEVEL_TRACE, "2026-12-09 09:00:00:000", "net", 30, "step"),            // 7
    };
    void Write(const std::string& strDir) const {
        SetWriter set(strDir, 3);
        set.AppendLines({vLines.begin(), vLines.begin() + 4});
        set.Rotate();
        set.AppendLines({vLines.begin() + 4, vLines.end()});
    }
    std::string Pick(const std::vector<size_t>& vWhich) const {
        std::vector<std::string> vOut;
        for (size_t i : vWhich) vOut.push_back(vLines[i]);
        return Join(vOut);
    }
};

// Every filter and combinations, on records and on lines of other senders.
TEST(ZqRead, FiltersRecordsAndOtherLines) {
    const struct {
        std::vector<std::string> vArgs;
        std::vector<size_t> vExpected;
    } kCases[] = {
        {{}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {{"-p", "err"}, {2, 4, 6}},
        {{"-p", "3"}, {2, 4, 6}},
        {{"-p", "error"}, {2, 4, 6}},
        {{"-p", "fatal"}, {4}},
        {{"-p", "crit"}, {4}},
        {{"-p", "warning"}, {2, 3, 4, 6}},
        {{"-p", "info"}, {0, 1, 2, 3, 4, 6}},  // the other sender's line counts as info
        {{"-p", "notice"}, {2, 3, 4, 6}},
        {{"-p", "debug"}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {{"-t", "net"}, {0, 3, 5, 7}},
        {{"-t", "ne"}, {}},
        {{"--pid", "10"}, {0, 4, 5}},
        {{"--pid", "1"}, {}},
        {{"-S", "2026-12-08 13:00"}, {2, 3, 4, 5, 7}},
        {{"-S", "2026-12-08 13:00:05"}, {3, 4, 5, 7}},
        {{"-U", "2026-12-08 13:00"}, {0, 2}},
        {{"-S", "2026-12-09"}, {5, 7}},
        {{"-S", "2026-12-08 13:00:01", "-U", "2026-12-08 13:30"}, {3, 4}},
        {{"-g", "timeout"}, {1, 3, 6}},
        {{"-g", "^link"}, {0}},  // on the message, not on the whole record
        {{"-g", "router"}, {1}},
        {{"-g", "retry [0-9]+$"}, {5}},
        {{"-p", "err", "-g", "timeout"}, {6}},
        {{"-p", "warning", "-t", "net", "--pid", "20"}, {3}},
        {{"-t", "disk", "-S", "2026-12-08 13:10"}, {4}},
        {{"-g", "timeout", "-S", "2026-12-01"}, {3}},  // no time: neither the line nor record 6
    };
    TempDir dir;
    const MixedSet set;
    set.Write(dir.Path());
    for (const auto& c : kCases) {
        std::string strTrace;
        for (const std::string& s : c.vArgs) strTrace += s + " ";
        SCOPED_TRACE(strTrace);
        std::vector<std::string> vArgs{"-D", dir.Path(), "-o", "raw"};
        vArgs.insert(vArgs.end(), c.vArgs.begin(), c.vArgs.end());
        const Result r = RunZqread(dir, vArgs);
        EXPECT_EQ(0, r.nStatus) << r.strErr;
        EXPECT_EQ(set.Pick(c.vExpected), r.strOut);
    }
}

// Each output form, byte for byte, with bytes that could act on a terminal
// and bytes that are not UTF-8.
TEST(ZqRead, OutputsEachFormExactly) {
    const std::string strHostile = "a\x1b[2J\x07\"q\\\x7f\xc3\xa9\xff\xe2\x82";
    const std::string strRecord =
        Rec(ZQ_LEVEL_WARNING, "2026-12-08 13:00:01:123", "net", 1234, strHostile, "");
    const std::string strOther = "from\x1b]0;x\x07 elsewhere\t\xc3";
    const struct {
        const char* szMode;
        std::string strExpected;
    } kCases[] = {
        {"short",
         "2026-12-08T13:00:01.123 Warning - net app[1234] main.cpp:42 Run: "
         "a#033[2J#007\"q\\#177#303#251#377#342#202\n"
         "from#033]0;x#007 elsewhere#011#303\n"},
        {"raw", strRecord + "\n" + strOther + "\n"},
        {"json",
         "{\"level\":\"Warning\",\"time\":\"2026-12-08T13:00:01.123\",\"device\":\"\","
         "\"module\":\"net\",\"file\":\"main.cpp\",\"line\":42,\"process\":\"app\",\"pid\":1234,"
         "\"function\":\"Run\",\"message\":\"a\\u001b[2J\\u0007\\\"q\\\\\\u007f\xc3\xa9"
         "\\u00ff\\u00e2\\u0082\"}\n"
         "{\"message\":\"from\\u001b]0;x\\u0007 elsewhere\\u0009\\u00c3\"}\n"},
    };
    TempDir dir;
    SetWriter(dir.Path(), 2).AppendLines({strRecord, strOther});
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szMode);
        const Result r = RunZqread(dir, {"-D", dir.Path(), "-o", c.szMode});
        EXPECT_EQ(0, r.nStatus) << r.strErr;
        EXPECT_EQ(c.strExpected, r.strOut);
    }
}

// -n N from the end backwards, across the files of the set, with and without
// a filter; the newest file ends in a record not yet finished, which does not
// count until its line end comes.
TEST(ZqRead, LastRecordsAcrossFiles) {
    TempDir dir;
    SetWriter set(dir.Path(), 4);
    std::vector<std::string> vAll;
    for (int nFile = 0; nFile < 3; ++nFile) {
        std::vector<std::string> vFile;
        for (int i = 0; i < 5; ++i) {
            const int n = nFile * 5 + i;
            vFile.push_back(Rec(n % 3 == 0 ? ZQ_LEVEL_ERROR : ZQ_LEVEL_INFO,
                                "2026-12-08 13:00:00:000", "m", n, "n" + std::to_string(n)));
        }
        set.AppendLines(vFile);
        vAll.insert(vAll.end(), vFile.begin(), vFile.end());
        if (nFile < 2) set.Rotate();
    }
    const std::string strUnfinished =
        Rec(ZQ_LEVEL_ERROR, "2026-12-08 13:00:00:000", "m", 99, "end");
    set.Append(strUnfinished);  // not yet a line: never printed
    auto Tail = [&](size_t nCount) {
        return Join({vAll.end() - static_cast<long>(std::min(nCount, vAll.size())), vAll.end()});
    };
    const struct {
        std::vector<std::string> vArgs;
        std::string strExpected;
    } kCases[] = {
        {{"-n", "1"}, Tail(1)},
        {{"-n", "5"}, Tail(5)},    // the whole newest file
        {{"-n", "6"}, Tail(6)},    // one into the file before
        {{"-n", "11"}, Tail(11)},  // into the oldest
        {{"-n", "15"}, Tail(15)},  // all
        {{"-n", "500"}, Tail(15)},
        {{"-n", "0"}, ""},
        {{"-n", "3", "-p", "err"},
         Join({vAll[6], vAll[9], vAll[12]})},  // 6 in the oldest, 9 the middle file
        {{"-n", "2", "--pid", "4"}, Join({vAll[4]})},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.vArgs[1] + (c.vArgs.size() > 2 ? " " + c.vArgs[2] : ""));
        std::vector<std::string> vArgs{"-D", dir.Path(), "-o", "raw"};
        vArgs.insert(vArgs.end(), c.vArgs.begin(), c.vArgs.end());
        const Result r = RunZqread(dir, vArgs);
        EXPECT_EQ(0, r.nStatus) << r.strErr;
        EXPECT_EQ(c.strExpected, r.strOut);
    }
}

// -f prints what is there (or the last N), then every record written after,
// through rotations that rename and delete files, each once and in order;
// SIGINT and SIGTERM end it with status 0.
TEST(ZqRead, FollowsThroughRotations) {
    const struct {
        const char* szName;
        std::vector<std::string> vArgs;
        int nSignal;
        size_t nFirst;  // of the records before the start, the first printed
    } kCases[] = {
        {"everything, SIGTERM", {"-f"}, SIGTERM, 0},
        {"the last 2, SIGINT", {"-n", "2", "-f"}, SIGINT, 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szName);
        TempDir dir;
        const std::string strLogs = dir.File("logs");
        ASSERT_EQ(0, mkdir(strLogs.c_str(), 0755));
        SetWriter set(strLogs, 3);
        std::vector<std::string> vAll;
        auto Write = [&](int n) {
            vAll.push_back(Rec(ZQ_LEVEL_INFO, "2026-12-08 13:00:00:000", "m", 1,
                               "record " + std::to_string(n)));
            set.AppendLines({vAll.back()});
        };
        for (int n = 0; n < 5; ++n) Write(n);
        std::vector<std::string> vArgs{"-D", strLogs, "-o", "raw"};
        vArgs.insert(vArgs.end(), c.vArgs.begin(), c.vArgs.end());
        Zqread zqread(dir, vArgs);
        auto Shown = [&] { return Join({vAll.begin() + static_cast<long>(c.nFirst), vAll.end()}); };
        ASSERT_TRUE(zqtest::PollUntil([&] { return zqread.Out() == Shown(); })) << zqread.Out();
        // Five rotations of a set of three files: every file it had open at
        // the start is deleted meanwhile; records land before and after each.
        int n = 5;
        for (int nRotation = 0; nRotation < 5; ++nRotation) {
            for (int i = 0; i < 3; ++i) Write(n++);
            if (nRotation == 1) {
                // A record written in two parts is printed once, whole.
                const std::string strParts =
                    Rec(ZQ_LEVEL_INFO, "2026-12-08 13:00:00:000", "m", 1, "in parts");
                set.Append(strParts.substr(0, 40));
                ASSERT_TRUE(zqtest::PollUntil([&] { return zqread.Out() == Shown(); }));
                set.Append(strParts.substr(40) + "\r\n");
                vAll.push_back(strParts);
            }
            if (nRotation % 2 == 0) {
                ASSERT_TRUE(zqtest::PollUntil([&] { return zqread.Out() == Shown(); }));
            }
            set.Rotate();
            Write(n++);
        }
        ASSERT_TRUE(zqtest::PollUntil([&] { return zqread.Out() == Shown(); })) << zqread.Out();
        zqread.Signal(c.nSignal);
        const Result r = zqread.Wait();
        EXPECT_EQ(0, r.nStatus) << r.strErr;
        EXPECT_EQ(Shown(), r.strOut);
    }
}

// zqread only reads: no file of the set gets the reader's mark, and a user
// who may only read the set reads it.
TEST(ZqRead, NeverWritesTheSet) {
    TempDir dir;
    const std::string strLogs = dir.File("logs");
    ASSERT_EQ(0, mkdir(strLogs.c_str(), 0755));
    SetWriter set(strLogs, 3);
    const std::string strRecord = Rec(ZQ_LEVEL_INFO, "2026-12-08 13:00:00:000", "m", 1, "x");
    set.AppendLines({strRecord});
    set.Rotate();
    set.AppendLines({strRecord});
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0755));
    for (uint32_t i = 0; i < 2; ++i) ASSERT_EQ(0, chmod(set.Name(i).c_str(), 0444));
    const Result r = RunZqread(dir, {"-D", strLogs, "-o", "raw"});
    EXPECT_EQ(0, r.nStatus) << r.strErr;
    EXPECT_EQ(Join({strRecord, strRecord}), r.strOut);
    for (uint32_t i = 0; i < 2; ++i) {
        char szValue[32];
        EXPECT_GT(0, getxattr(set.Name(i).c_str(), kFirstSeqAttr, szValue, sizeof(szValue)));
    }
    // As a user who may only read (through the emulator in a cross build).
    std::string strCmd;
    for (const std::string& strWord :
         zqtest::TargetCommand({kZqreadPath, "-D", strLogs}, dir.Path())) {
        strCmd += "'" + strWord + "' ";
    }
    EXPECT_EQ(0, zqtest::RunAsNobody(strCmd + ">/dev/null"));
}

// Exit statuses and the one line on standard error.
TEST(ZqRead, ExitStatuses) {
    TempDir dir;
    const std::string strLogs = dir.File("logs");
    const std::string strEmpty = dir.File("empty");
    ASSERT_EQ(0, mkdir(strLogs.c_str(), 0755));
    ASSERT_EQ(0, mkdir(strEmpty.c_str(), 0755));
    SetWriter(strLogs, 2, "app").AppendLines({"x"});
    const struct {
        std::vector<std::string> vArgs;
        int nStatus;
        const char* szOutStart;  // of standard output
        bool bErrLine;           // one line on standard error
    } kCases[] = {
        {{"-D", strLogs, "--prefix", "app"}, 0, "x\n", false},
        {{"-D", strLogs}, 1, "", true},  // no SDK files there
        {{"-D", strEmpty}, 1, "", true},
        {{"-D", dir.File("missing")}, 1, "", true},
        {{"-D", strLogs + "/app_00.log"}, 1, "", true},
        {{"-D", strLogs, "--bogus"}, 2, "", true},
        {{"-D", strLogs, "-p", "loud"}, 2, "", true},
        {{"-D", strLogs, "-p", "8"}, 2, "", true},
        {{"-D", strLogs, "-n", "-1"}, 2, "", true},
        {{"-D", strLogs, "-n"}, 2, "", true},
        {{"-D", strLogs, "-o", "xml"}, 2, "", true},
        {{"-D", strLogs, "-S", "13:61"}, 2, "", true},
        {{"-D", strLogs, "-U", "2026-13-01"}, 2, "", true},
        {{"-D", strLogs, "-g", "(a"}, 2, "", true},
        {{"-D", strLogs, "--pid", "x"}, 2, "", true},
        {{"-D", strLogs, "extra"}, 2, "", true},
        {{"-h"}, 0, "Usage: zqread", false},
        {{"-V"}, 0, "zqread 1.", false},
    };
    for (const auto& c : kCases) {
        std::string strTrace;
        for (const std::string& s : c.vArgs) strTrace += s + " ";
        SCOPED_TRACE(strTrace);
        const Result r = RunZqread(dir, c.vArgs);
        EXPECT_EQ(c.nStatus, r.nStatus);
        EXPECT_EQ(0u, r.strOut.find(c.szOutStart)) << r.strOut;
        if (c.bErrLine) {
            EXPECT_EQ(0u, r.strErr.find("zqread: ")) << r.strErr;
            EXPECT_EQ(r.strErr.size() - 1, r.strErr.find('\n')) << r.strErr;
        } else {
            EXPECT_EQ("", r.strErr);
        }
    }
}

// The forms of -S and -U, taken in UTC at a fixed now.
TEST(ZqRead, TimeForms) {
    ASSERT_EQ(0, setenv("TZ", "UTC", 1));
    tzset();
    const time_t llNow = 1796821205;  // 2026-12-09 13:00:05 UTC
    const struct {
        const char* szText;
        uint64_t nKey;  // 0: refused
    } kCases[] = {
        {"2026-12-08 13:00", 20261208130000000ULL},
        {"2026-12-08 13:00:05", 20261208130005000ULL},
        {"2026-12-08T13:00:05", 20261208130005000ULL},
        {"2026-12-08", 20261208000000000ULL},
        {"13:00", 20261209130000000ULL},
        {"07:30:15", 20261209073015000ULL},
        {"now", 20261209130005000ULL},
        {"today", 20261209000000000ULL},
        {"yesterday", 20261208000000000ULL},
        {"tomorrow", 20261210000000000ULL},
        {"-10min", 20261209125005000ULL},
        {"-2h", 20261209110005000ULL},
        {"-1d", 20261208130005000ULL},
        {"-30s", 20261209125935000ULL},
        {"+1w", 20261216130005000ULL},
        {"2026-12-08 13", 0},
        {"2026-00-08", 0},
        {"24:00", 0},
        {"-10", 0},
        {"-min", 0},
        {"-5years", 0},
        {"", 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.szText);
        uint64_t nKey = 0;
        EXPECT_EQ(c.nKey != 0, ParseTimeSpec(c.szText, llNow, &nKey));
        if (c.nKey != 0) {
            EXPECT_EQ(c.nKey, nKey);
        }
    }
}

}  // namespace
