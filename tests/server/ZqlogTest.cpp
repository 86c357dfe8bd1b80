// Tests of the command-line client zqlog, run as the real program. No daemon
// runs (the tests hold the daemon lock), so zqlog writes its own files into
// the directory given with -D, and the tests read them there.

#include "logmodule/LogModule.h"
#include "platform/WireContract.h"
#include "server/Stats.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace {

using zqtest::ReadFile;
using zqtest::SplitCrLf;
using zqtest::WriteFile;

constexpr const char* kZqlogPath = ZQ_ZQLOG_PATH;
constexpr const char* kManPage = ZQ_ZQLOG_MAN_PAGE;
constexpr int kExecFailed = 127;

struct Result {
    int nStatus = -1;
    std::string strOut;
    std::string strErr;
};

class ZqlogTest : public ::testing::Test {
protected:
    // Runs zqlog with the arguments, standard input strIn, its own files in
    // LogDir(); returns exit status and both outputs.
    Result Run(std::vector<std::string> vArgs, const std::string& strIn = "") {
        vArgs.insert(vArgs.begin(), {kZqlogPath, "-D", LogDir()});
        const std::vector<std::string> vCmd = zqtest::TargetCommand(vArgs, m_Dir.Path());
        std::vector<char*> vArgv;
        for (const std::string& s : vCmd) vArgv.push_back(const_cast<char*>(s.c_str()));
        vArgv.push_back(nullptr);
        const std::string strInFile = m_Dir.File("stdin");
        const std::string strOutFile = m_Dir.File("stdout");
        const std::string strErrFile = m_Dir.File("stderr");
        EXPECT_TRUE(WriteFile(strInFile, strIn));

        const pid_t nPid = fork();
        if (nPid == 0) {
            const int nIn = open(strInFile.c_str(), O_RDONLY);
            const int nOut = open(strOutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int nErr = open(strErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (nIn < 0 || nOut < 0 || nErr < 0 || dup2(nIn, 0) < 0 || dup2(nOut, 1) < 0 ||
                dup2(nErr, 2) < 0) {
                _exit(kExecFailed);
            }
            execve(vArgv[0], vArgv.data(), environ);
            _exit(kExecFailed);
        }
        Result stResult;
        int nWait = 0;
        EXPECT_EQ(nPid, waitpid(nPid, &nWait, 0));
        stResult.nStatus = WIFEXITED(nWait) ? WEXITSTATUS(nWait) : -1;
        stResult.strOut = ReadFile(strOutFile);
        stResult.strErr = ReadFile(strErrFile);
        return stResult;
    }

    std::string LogDir() const { return m_Dir.File("logs"); }
    std::vector<std::string> Records(const std::string& strPrefix = "zqlog") const {
        return SplitCrLf(ReadFile(LogDir() + "/" + strPrefix + "_00.log"));
    }
    void Reset() { zqtest::RemoveTree(LogDir()); }

    zqtest::TempDir m_Dir;
};

// The parts of one record that the options decide.
struct Expected {
    std::string strWord;    // level word
    std::string strModule;  // Source-Line field
    int nLine;              // zqlog's line number of the record
    std::string strText;    // message
};

// Whether strText starts at nPos with the shape of a time stamp,
// "YYYY-MM-DD HH:MM:SS:mmm" ('9' stands for any digit).
bool IsStamp(const std::string& strText, size_t nPos) {
    const std::string strShape = "9999-99-99 99:99:99:999";
    if (strText.size() < nPos + strShape.size()) return false;
    for (size_t i = 0; i < strShape.size(); ++i) {
        const char c = strText[nPos + i];
        if (strShape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(c)) : c != strShape[i]) {
            return false;
        }
    }
    return true;
}

// Checks one record (without its CR LF): level word in 8 columns, time stamp,
// the fields, process id strPid (any number when empty), then the text.
void ExpectRecord(const std::string& strRecord, const Expected& e, const std::string& strDev = "",
                  const std::string& strPid = "") {
    SCOPED_TRACE(strRecord);
    char szLine[16];
    std::snprintf(szLine, sizeof(szLine), "%04d", e.nLine);
    const std::string strWord = e.strWord + std::string(8 - e.strWord.size(), ' ');
    ASSERT_EQ(strWord, strRecord.substr(0, strWord.size()));
    ASSERT_TRUE(IsStamp(strRecord, strWord.size()));
    size_t nPos = strWord.size() + 23;
    const std::string strFields = "  DevID:" + strDev + "  Source-Line:" + e.strModule +
                                  "(zqlog-L" + szLine + ")  ProcessName:zqlog(";
    ASSERT_EQ(strFields, strRecord.substr(nPos, strFields.size()));
    nPos += strFields.size();
    const size_t nPidEnd = strRecord.find(')', nPos);
    ASSERT_NE(std::string::npos, nPidEnd);
    const std::string strRecordPid = strRecord.substr(nPos, nPidEnd - nPos);
    if (strPid.empty()) {
        ASSERT_FALSE(strRecordPid.empty());
        for (char c : strRecordPid) ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(c)));
    } else {
        ASSERT_EQ(strPid, strRecordPid);
    }
    EXPECT_EQ(")     Description:[]" + e.strText, strRecord.substr(nPidEnd));
}

TEST_F(ZqlogTest, LevelsTagsAndDevicesLandInTheRecordAsTheOptionsSay) {
    struct Case {
        std::vector<std::string> vArgs;
        Expected stRecord;
    };
    const Case kCases[] = {
        {{"-p", "user.err", "-t", "net", "hello", "world"}, {"Error", "net", 1, "hello world"}},
        {{"-p", "emerg", "x"}, {"Fatal", "", 1, "x"}},
        {{"-p", "panic", "x"}, {"Fatal", "", 1, "x"}},
        {{"-p", "alert", "x"}, {"Fatal", "", 1, "x"}},
        {{"-p", "crit", "x"}, {"Fatal", "", 1, "x"}},
        {{"-p", "err", "x"}, {"Error", "", 1, "x"}},
        {{"-p", "warning", "x"}, {"Warning", "", 1, "x"}},
        {{"-p", "local3.warn", "x"}, {"Warning", "", 1, "x"}},
        {{"-p", "notice", "x"}, {"Info", "", 1, "x"}},
        {{"-p", "daemon.info", "x"}, {"Info", "", 1, "x"}},
        {{"-p", "debug", "x"}, {"Debug", "", 1, "x"}},
        {{"-p", "LOCAL0.ERR", "x"}, {"Error", "", 1, "x"}},
        {{"-p", "11", "x"}, {"Error", "", 1, "x"}},       // user (1) * 8 + err (3)
        {{"-p", "ntp.err", "x"}, {"Error", "", 1, "x"}},  // every facility syslog names
        {{"-p", "191", "x"}, {"Debug", "", 1, "x"}},      // local7 (23) * 8 + debug (7)
        {{"x"}, {"Info", "", 1, "x"}},                    // the default
        {{"--priority", "kern.crit", "--tag", "k", "x"}, {"Fatal", "k", 1, "x"}},
        // The options zqlog had before -p meant a priority.
        {{"-l", "warning", "-m", "net", "x"}, {"Warning", "net", 1, "x"}},
        {{"--level", "7", "--module", "m", "x"}, {"Trace", "m", 1, "x"}},
        {{"-l", "trace", "x"}, {"Trace", "", 1, "x"}},
        // The last of -p and -l wins, as with any repeated option.
        {{"-l", "debug", "-p", "err", "x"}, {"Error", "", 1, "x"}},
    };
    for (const Case& c : kCases) {
        std::string strName;
        for (const std::string& s : c.vArgs) strName += s + " ";
        SCOPED_TRACE(strName);
        Reset();
        const Result r = Run(c.vArgs);
        ASSERT_EQ(0, r.nStatus) << r.strErr;
        const std::vector<std::string> vRecords = Records();
        ASSERT_EQ(1u, vRecords.size());
        ExpectRecord(vRecords[0], c.stRecord);
    }

    Reset();
    const Result r = Run({"-d", "cam0", "--prefix", "tool", "-t", "disk", "full"});
    ASSERT_EQ(0, r.nStatus) << r.strErr;
    const std::vector<std::string> vRecords = Records("tool");
    ASSERT_EQ(1u, vRecords.size());
    ExpectRecord(vRecords[0], {"Info", "disk", 1, "full"}, "cam0");
}

TEST_F(ZqlogTest, WrongOptionsAreUsageErrorsThatLogNothing) {
    ASSERT_TRUE(WriteFile(m_Dir.File("input"), "a\n"));
    const std::vector<std::vector<std::string>> kCases = {
        {"-p", "loud", "x"},       // no level
        {"-p", "tool", "x"},       // -p is no longer the file prefix
        {"-p", "user.loud", "x"},  // a facility without a level
        {"-p", "nofac.err", "x"},  // an unknown facility
        {"-p", "user.", "x"},
        {"-p", "192", "x"},  // beyond the highest facility
        {"-p", "-1", "x"},
        {"-l", "loud", "x"},
        {"-l", "8", "x"},
        {"--id=abc", "x"},
        {"--id=0", "x"},
        {"-f", m_Dir.File("input"), "x"},  // a file and a message
        {"-x", "x"},
        {"-t", std::string(129, 't'), "x"},
    };
    for (const std::vector<std::string>& vArgs : kCases) {
        SCOPED_TRACE(vArgs[0] + " " + vArgs[1]);
        Reset();
        const Result r = Run(vArgs);
        EXPECT_EQ(2, r.nStatus);
        EXPECT_FALSE(r.strErr.empty());
        EXPECT_FALSE(zqtest::FileExists(LogDir() + "/zqlog_00.log"));
    }
}

TEST_F(ZqlogTest, EachLineIsOneRecordWithItsHeader) {
    const std::string strFile = m_Dir.File("lines.txt");
    ASSERT_TRUE(WriteFile(strFile, "first\n\nthird\r\n"));
    struct Case {
        const char* pName;
        std::vector<std::string> vArgs;
        std::string strIn;
        std::vector<Expected> vRecords;
    };
    const std::vector<Case> kCases = {
        {"a message with line breaks",
         {"-t", "ml", "one\ntwo\r\n\nfour"},
         "",
         {{"Info", "ml", 1, "one"},
          {"Info", "ml", 2, "two"},
          {"Info", "ml", 3, ""},
          {"Info", "ml", 4, "four"}}},
        {"the same, empty lines skipped",
         {"-e", "-t", "ml", "one\ntwo\r\n\nfour"},
         "",
         {{"Info", "ml", 1, "one"}, {"Info", "ml", 2, "two"}, {"Info", "ml", 4, "four"}}},
        {"standard input", {}, "a\nb\n", {{"Info", "", 1, "a"}, {"Info", "", 2, "b"}}},
        {"-f file",
         {"-f", strFile},
         "ignored\n",
         {{"Info", "", 1, "first"}, {"Info", "", 2, ""}, {"Info", "", 3, "third"}}},
        {"-f file -e",
         {"--file", strFile, "--skip-empty"},
         "",
         {{"Info", "", 1, "first"}, {"Info", "", 3, "third"}}},
        {"-f - reads standard input", {"-f", "-", "-p", "err"}, "in\n", {{"Error", "", 1, "in"}}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pName);
        Reset();
        const Result r = Run(c.vArgs, c.strIn);
        ASSERT_EQ(0, r.nStatus) << r.strErr;
        const std::vector<std::string> vRecords = Records();
        ASSERT_EQ(c.vRecords.size(), vRecords.size());
        for (size_t i = 0; i < vRecords.size(); ++i) ExpectRecord(vRecords[i], c.vRecords[i]);
    }
}

TEST_F(ZqlogTest, ProcessIdStderrCopyLongMessagesAndItsOwnFilesAreSaid) {
    {
        SCOPED_TRACE("--id=ID prints ID; -i and --id print zqlog's own");
        const Result r = Run({"--id=4242", "x"});
        ASSERT_EQ(0, r.nStatus) << r.strErr;
        ASSERT_EQ(1u, Records().size());
        ExpectRecord(Records()[0], {"Info", "", 1, "x"}, "", "4242");
        for (const char* pOpt : {"-i", "--id"}) {
            Reset();
            ASSERT_EQ(0, Run({pOpt, "y"}).nStatus);
            ASSERT_EQ(1u, Records().size());
            ExpectRecord(Records()[0], {"Info", "", 1, "y"});
            EXPECT_EQ(std::string::npos, Records()[0].find("(4242)"));
        }
    }
    {
        SCOPED_TRACE("-s copies each record to standard error");
        Reset();
        const Result r = Run({"-s", "-t", "s", "one\ntwo"});
        ASSERT_EQ(0, r.nStatus) << r.strErr;
        const std::vector<std::string> vRecords = Records();
        ASSERT_EQ(2u, vRecords.size());
        for (const std::string& strRecord : vRecords) {
            EXPECT_NE(std::string::npos, r.strErr.find(strRecord + "\n")) << r.strErr;
        }
        Reset();
        EXPECT_EQ(std::string::npos, Run({"-t", "s", "one"}).strErr.find("Description:"));
    }
    {
        SCOPED_TRACE("a message longer than a record is cut with a warning");
        Reset();
        const Result r = Run({std::string(3000, 'x')});
        ASSERT_EQ(0, r.nStatus) << r.strErr;
        const std::string strFile = ReadFile(LogDir() + "/zqlog_00.log");
        EXPECT_EQ(kMaxRecordLen - 1, strFile.size());
        EXPECT_EQ("\r\n", strFile.substr(strFile.size() - 2));
        EXPECT_NE(std::string::npos, r.strErr.find("3000 bytes does not fit")) << r.strErr;

        Reset();
        const Result rFits = Run({std::string(500, 'x')});
        ASSERT_EQ(0, rFits.nStatus);
        EXPECT_EQ(std::string::npos, rFits.strErr.find("does not fit")) << rFits.strErr;
    }
    {
        SCOPED_TRACE("writing its own files is said on standard error");
        Reset();
        const Result r = Run({"x"});
        ASSERT_EQ(0, r.nStatus);
        EXPECT_NE(std::string::npos, r.strErr.find("ZuVozAdavid is not running; writing to " +
                                                   LogDir() + "/zqlog_00.log"))
            << r.strErr;
    }
}

// --stats shows the statistics file of the log directory (-D) as it is, but
// for the bytes a terminal would act on: each control character other than the
// line feed and each byte from 0x80 becomes '#' and three octal digits; then
// when the file was written and how long ago. A file in a directory that
// others may write is not shown at all.
TEST_F(ZqlogTest, StatisticsAreShownWithTheirControlCharactersEscaped) {
    const struct {
        const char* pName;
        std::string strFile;
        std::string strShown;
    } kCases[] = {
        {"plain figures", "received 5\nwritten 5\n", "received 5\nwritten 5\n"},
        {"an escape sequence", "received 5\033]0;title\007\n", "received 5#033]0;title#007\n"},
        {"CR, tab and DEL", "a\r\nb\tc\x7f\n", "a#015\nb#011c#177\n"},
        {"bytes from 0x80", "\xc3\xa9\x80\xff\n", "#303#251#200#377\n"},
        {"a NUL", std::string("nul\0after\n", 10), "nul#000after\n"},
    };
    ASSERT_EQ(0, mkdir(LogDir().c_str(), 0755));
    const std::string strFile = LogDir() + "/" + kStatsFileName;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pName);
        ASSERT_TRUE(WriteFile(strFile, c.strFile));
        // Written at the start of the hour before this one: over an hour ago.
        const long long llWritten = (time(nullptr) / 3600 - 1) * 3600;
        ASSERT_TRUE(zqtest::SetMTime(strFile, llWritten));
        const Result r = Run({"--stats"});
        EXPECT_EQ(0, r.nStatus) << r.strErr;
        ASSERT_EQ(0u, r.strOut.find(c.strShown)) << r.strOut;
        const std::string strAge = r.strOut.substr(c.strShown.size());
        char szTime[64];
        const time_t nWritten = static_cast<time_t>(llWritten);
        tm stTime{};
        ASSERT_NE(
            0u, strftime(szTime, sizeof(szTime), "stats_time %Y-%m-%dT%H:%M:%S.000\nstats_age_ms ",
                         localtime_r(&nWritten, &stTime)));
        ASSERT_EQ(0u, strAge.find(szTime)) << strAge;
        EXPECT_GE(std::atoll(strAge.c_str() + std::strlen(szTime)), 3600000) << strAge;
    }
    ASSERT_EQ(0, chmod(LogDir().c_str(), 0777));
    const Result r = Run({"--stats"});
    EXPECT_EQ(1, r.nStatus);
    EXPECT_EQ("", r.strOut);
    EXPECT_NE(std::string::npos, r.strErr.find(strFile + ": not trusted")) << r.strErr;
}

TEST_F(ZqlogTest, VersionAndHelpAndTheManPageDocumentEveryOption) {
    const Result rVersion = Run({"-V"});
    EXPECT_EQ(0, rVersion.nStatus);
    EXPECT_EQ(std::string("zqlog (ZuVozAdavid) ") + ZQ_VERSION_STRING + "\n", rVersion.strOut);
    EXPECT_EQ(0, Run({"--version"}).nStatus);

    const Result rHelp = Run({"--help"});
    EXPECT_EQ(0, rHelp.nStatus);
    const std::string& strHelp = rHelp.strOut;
    EXPECT_FALSE(zqtest::FileExists(LogDir()));

    // Every option of the help text is in the man page (written with the
    // roff escapes "\-").
    std::string strMan = ReadFile(kManPage);
    ASSERT_FALSE(strMan.empty()) << kManPage;
    std::string strPlainMan;
    for (size_t i = 0; i < strMan.size(); ++i) {
        if (strMan.compare(i, 2, "\\-") == 0) continue;  // "\-" is a "-"
        strPlainMan += strMan[i];
    }
    // The options are the words of the help text that start with '-' and a
    // letter, up to the first character that is no letter and no '-'.
    std::set<std::string> vOptions;
    for (size_t i = 0; i + 1 < strHelp.size(); ++i) {
        const bool bWordStart = i == 0 || strHelp[i - 1] == ' ' || strHelp[i - 1] == ',';
        if (!bWordStart || strHelp[i] != '-') continue;
        size_t nEnd = i + 1;
        if (strHelp[nEnd] == '-') ++nEnd;
        if (!std::isalpha(static_cast<unsigned char>(strHelp[nEnd]))) continue;
        while (nEnd < strHelp.size() &&
               (std::isalpha(static_cast<unsigned char>(strHelp[nEnd])) || strHelp[nEnd] == '-')) {
            ++nEnd;
        }
        vOptions.insert(strHelp.substr(i, nEnd - i));
    }
    for (const char* pWanted :
         {"-p",     "--priority", "-t",   "--tag",    "-s",           "--stderr", "-f",
          "--file", "-i",         "--id", "-e",       "--skip-empty", "-V",       "--version",
          "-l",     "--level",    "-m",   "--module", "-d",           "--device", "-D",
          "--dir",  "--prefix",   "-h",   "--help"}) {
        EXPECT_EQ(1u, vOptions.count(pWanted)) << pWanted << " is not in --help";
    }
    for (const std::string& strOption : vOptions) {
        EXPECT_NE(std::string::npos, strPlainMan.find(strOption))
            << strOption << " not in the man page";
    }
    // The syslog names and what they become.
    for (const char* pName : {"emerg", "panic", "alert", "crit", "err", "error", "warning", "warn",
                              "notice", "info", "debug"}) {
        EXPECT_NE(std::string::npos, strHelp.find(pName)) << pName;
        EXPECT_NE(std::string::npos, strPlainMan.find(pName)) << pName;
    }
}

}  // namespace
