// Tests of the command-line client zqlog, run as the real program. No daemon
// runs (the tests hold the daemon lock), so zqlog writes its own files into
// the directory given with -D, and the tests read them there.

#include "logmodule/LogModule.h"
#include "logmodule/RecordFormat.h"
#include "platform/UniqueFd.h"
#include "platform/WireContract.h"
#include "server/Stats.h"
#include "tests/support/TestSupport.h"
#include "upstream/SyslogFormat.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
constexpr const char* kLoggerPath = "/usr/bin/logger";  // util-linux logger, the peer
constexpr const char* kSetprivPath = "/usr/bin/setpriv";

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
        return RunProgram(zqtest::TargetCommand(vArgs, m_Dir.Path()), strIn);
    }

    // Runs a program (vCmd[0] its path); *pPid is its process id.
    Result RunProgram(const std::vector<std::string>& vCmd, const std::string& strIn,
                      pid_t* pPid = nullptr) {
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
        if (pPid != nullptr) *pPid = nPid;
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
    const Result r = Run({"--device", "cam0", "--prefix", "tool", "-t", "disk", "full"});
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
        {"--sd-id", "zqlog@32473", "--sd-param", "seq=\"1\"", "x"},  // the forwarder's own
        {"--sd-id", "origin", "--sd-param", "ip=\"1.2.3.4\"", "x"},
        {"--sd-id", "a@1", "--sd-id", "a@1", "x"},  // twice
        {"--sd-param", "k=\"v\"", "x"},             // before any --sd-id
        {"--sd-id", "noat", "x"},                   // neither registered nor name@number
        {"--sd-id", "a b@1", "x"},
        {"--sd-id", "a@1", "--sd-param", "k=\"v]\"", "x"},   // ']' not escaped
        {"--sd-id", "a@1", "--sd-param", "k=\"v\\\"", "x"},  // a lone '\'
        {"--sd-id", "a@1", "--sd-param", "k=v", "x"},
        {"--sd-id", "a@1", "--sd-param", "k=\"" + std::string(1000, 'v') + "\"", "x"},
        {"--msgid", "two words", "x"},
        {"-S", "0", "x"},
        {"-S", "1X", "x"},
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
    // letter, up to the first character that is no letter, digit or '-'.
    std::set<std::string> vOptions;
    for (size_t i = 0; i + 1 < strHelp.size(); ++i) {
        const bool bWordStart = i == 0 || strHelp[i - 1] == ' ' || strHelp[i - 1] == ',';
        if (!bWordStart || strHelp[i] != '-') continue;
        size_t nEnd = i + 1;
        if (strHelp[nEnd] == '-') ++nEnd;
        if (!std::isalpha(static_cast<unsigned char>(strHelp[nEnd]))) continue;
        while (nEnd < strHelp.size() &&
               (std::isalnum(static_cast<unsigned char>(strHelp[nEnd])) || strHelp[nEnd] == '-')) {
            ++nEnd;
        }
        vOptions.insert(strHelp.substr(i, nEnd - i));
    }
    for (const char* pWanted : {"-p",
                                "--priority",
                                "-t",
                                "--tag",
                                "-s",
                                "--stderr",
                                "-f",
                                "--file",
                                "-i",
                                "--id",
                                "-e",
                                "--skip-empty",
                                "-V",
                                "--version",
                                "-l",
                                "--level",
                                "-m",
                                "--module",
                                "-d",
                                "--device",
                                "-D",
                                "--dir",
                                "--prefix",
                                "-h",
                                "--help",
                                "-n",
                                "--server",
                                "-P",
                                "--port",
                                "-T",
                                "--tcp",
                                "--udp",
                                "-u",
                                "--socket",
                                "-S",
                                "--size",
                                "--rfc5424",
                                "--rfc3164",
                                "--msgid",
                                "--sd-id",
                                "--sd-param",
                                "--prio-prefix",
                                "--no-act",
                                "--socket-errors",
                                "--octet-count",
                                "--journald",
                                "--stats"}) {
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

// A syslog server of the test: a UDP or TCP socket on a free loopback port,
// or a Unix datagram socket in the test's directory. Received() takes what a
// program that has ended sent it: the datagrams queued, or the bytes of each
// connection it made, in order.
class TestServer {
public:
    enum EKind { kUdp, kTcp, kUnix };
    TestServer(EKind eKind, const std::string& strUnixPath) : m_eKind(eKind) {
        if (eKind == kUnix) {
            sockaddr_un stAddr{};
            stAddr.sun_family = AF_UNIX;
            std::snprintf(stAddr.sun_path, sizeof(stAddr.sun_path), "%s", strUnixPath.c_str());
            (void)unlink(strUnixPath.c_str());
            m_Fd.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            EXPECT_EQ(0, bind(m_Fd.Get(), reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)));
            return;
        }
        m_Fd.Reset(socket(
            AF_INET, (eKind == kUdp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in stAddr{};
        stAddr.sin_family = AF_INET;
        stAddr.sin_addr.s_addr = htonl(kLoopbackIp);
        socklen_t nLen = sizeof(stAddr);
        EXPECT_EQ(0, bind(m_Fd.Get(), reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)));
        EXPECT_EQ(0, getsockname(m_Fd.Get(), reinterpret_cast<sockaddr*>(&stAddr), &nLen));
        m_nPort = ntohs(stAddr.sin_port);
        if (eKind == kTcp) {
            EXPECT_EQ(0, listen(m_Fd.Get(), 8));
        }
    }
    std::string Port() const { return std::to_string(m_nPort); }

    std::vector<std::string> Received() {
        std::vector<std::string> vGot;
        char szBuf[65536];
        if (m_eKind != kTcp) {
            ssize_t n = 0;
            while ((n = recv(m_Fd.Get(), szBuf, sizeof(szBuf), MSG_DONTWAIT)) >= 0) {
                vGot.emplace_back(szBuf, static_cast<size_t>(n));
            }
            return vGot;
        }
        // The client has closed: each connection reads to its end.
        while (true) {
            CUniqueFd conn(accept4(m_Fd.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!conn.Valid()) break;
            std::string strAll;
            ssize_t n = 0;
            while ((n = recv(conn.Get(), szBuf, sizeof(szBuf), 0)) > 0) {
                strAll.append(szBuf, static_cast<size_t>(n));
            }
            vGot.push_back(strAll);
        }
        return vGot;
    }

private:
    EKind m_eKind;
    CUniqueFd m_Fd;
    uint16_t m_nPort = 0;
};

// Whether strText holds at nPos the shape: '9' a digit, '_' a digit or a
// space, 'A' an upper-case and 'a' a lower-case letter, '~' '+' or '-'.
bool HasShape(const std::string& strText, size_t nPos, const char* pShape) {
    for (size_t i = 0; pShape[i] != '\0'; ++i, ++nPos) {
        if (nPos >= strText.size()) return false;
        const unsigned char c = static_cast<unsigned char>(strText[nPos]);
        const char s = pShape[i];
        const bool bFits = s == '9'   ? std::isdigit(c) != 0
                           : s == '_' ? (std::isdigit(c) != 0 || c == ' ')
                           : s == 'A' ? std::isupper(c) != 0
                           : s == 'a' ? std::islower(c) != 0
                           : s == '~' ? (c == '+' || c == '-')
                                      : c == static_cast<unsigned char>(s);
        if (!bFits) return false;
    }
    return true;
}

// A message with the sender's clock and pid masked: the RFC 5424 and RFC 3164
// time stamps become "TIME", the pid "PID".
std::string Masked(std::string strMsg, pid_t nPid) {
    static const char* const kStamps[] = {"9999-99-99T99:99:99.999999~99:99", "Aaa _9 99:99:99"};
    for (const char* pShape : kStamps) {
        const size_t nShape = std::strlen(pShape);
        for (size_t i = 0; i < strMsg.size(); ++i) {
            if (HasShape(strMsg, i, pShape)) strMsg.replace(i, nShape, "TIME");
        }
    }
    for (const std::string& strAround : {std::string("[]"), std::string("  ")}) {
        const std::string strPid = strAround[0] + std::to_string(nPid) + strAround[1];
        for (size_t n = strMsg.find(strPid); n != std::string::npos; n = strMsg.find(strPid)) {
            strMsg.replace(n + 1, strPid.size() - 2, "PID");
        }
    }
    return strMsg;
}

// The options that send to a syslog server: zqlog sends what logger sends,
// byte for byte but for the time and the pid. PORT and SOCK in the arguments
// stand for the test server's port and socket path.
TEST_F(ZqlogTest, ServerOptionsSendWhatLoggerSends) {
    if (access(kLoggerPath, X_OK) != 0) {
        GTEST_SKIP() << "no " << kLoggerPath << " to compare with";
    }
    using K = TestServer::EKind;
    const std::string strLong(150, 'x');
    const struct Case {
        K eKind;
        std::vector<std::string> vArgs;
        std::string strIn;
    } kCases[] = {
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "hello", "world"}, ""},
        {K::kUdp, {"--server", "localhost", "--port", "PORT", "--udp", "-t", "tg", "x"}, ""},
        {K::kUdp,
         {"-n", "127.0.0.1", "-P", "PORT", "-p", "local3.err", "--rfc3164", "-i", "x"},
         ""},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "-p", "kern.crit", "--id=4242", "x"}, ""},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "--rfc5424=notime", "x"}, ""},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "--rfc5424=notq,nohost", "-i", "x"}, ""},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "--octet-count", "x"}, ""},
        {K::kUdp,
         {"-n", "127.0.0.1", "-P", "PORT", "--msgid", "M1", "--sd-id", "a@1", "--sd-param",
          "k=\"v\\\"x\\]\"", "--sd-param", "n=\"\"", "--sd-id", "empty@2", "--sd-id", "meta",
          "--sd-param", "language=\"en\"", "x"},
         ""},
        {K::kUdp,
         {"-n", "127.0.0.1", "-P", "PORT", "--sd-id", "timeQuality", "--sd-param", "tzKnown=\"0\"",
          "--sd-id", "origin", "--sd-param", "ip=\"10.0.0.1\"", "x"},
         ""},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "", "a", "", "b"}, ""},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", ""}, ""},  // nothing
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "one\ntwo"}, ""},
        {K::kUdp,
         {"-n", "127.0.0.1", "-P", "PORT", "-S", "20", "aaaaaaaaaa", "bbbbbbbbbb", strLong, "c"},
         ""},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "--size", "64"}, strLong + "\n"},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "-t", "t"}, "a\n\nb"},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "-t", "t", "-e"}, "a\n\nb\n"},
        {K::kUdp,
         {"-n", "127.0.0.1", "-P", "PORT", "--prio-prefix", "-S", "40"},
         "<11>" + strLong + "\nkept\n<>zero\n<1999>big\n<3x\n<14>\n<12"},
        {K::kUdp, {"-n", "127.0.0.1", "-P", "PORT", "--no-act", "x"}, ""},  // nothing
        {K::kTcp, {"-n", "127.0.0.1", "-P", "PORT", "-T", "one", "two"}, ""},
        {K::kTcp, {"-n", "127.0.0.1", "-P", "PORT", "--tcp", "--octet-count"}, "a\nb\n"},
        {K::kTcp, {"-n", "127.0.0.1", "-P", "PORT", "-T", "--rfc3164", "-i"}, "a\nb\n"},
        {K::kUnix, {"-u", "SOCK", "hi"}, ""},
        {K::kUnix, {"--socket", "SOCK", "-i", "-t", "tag"}, "a\nb\n"},
        {K::kUnix, {"-u", "SOCK", "--rfc5424", "--msgid", "m", "x"}, ""},
        {K::kUnix, {"-u", "SOCK", "-d", "--rfc3164", "x"}, ""},
    };
    for (const Case& c : kCases) {
        std::string strName;
        for (const std::string& strArg : c.vArgs) strName += "'" + strArg + "' ";
        SCOPED_TRACE(strName);
        std::vector<std::string> vSent[2];
        std::string strErr[2];
        int nStatus[2] = {-1, -1};
        for (int nWho = 0; nWho < 2; ++nWho) {
            TestServer server(c.eKind, m_Dir.File("syslog.sock"));
            std::vector<std::string> vCmd = {nWho == 0 ? kLoggerPath : kZqlogPath};
            for (const std::string& strArg : c.vArgs) {
                vCmd.push_back(strArg == "PORT"   ? server.Port()
                               : strArg == "SOCK" ? m_Dir.File("syslog.sock")
                                                  : strArg);
            }
            pid_t nPid = 0;
            const Result r = RunProgram(
                nWho == 0 ? vCmd : zqtest::TargetCommand(vCmd, m_Dir.Path()), c.strIn, &nPid);
            nStatus[nWho] = r.nStatus;
            strErr[nWho] = r.strErr;
            for (const std::string& strMsg : server.Received()) {
                vSent[nWho].push_back(Masked(strMsg, nPid));
            }
        }
        EXPECT_EQ(nStatus[0], nStatus[1]) << strErr[1];
        EXPECT_EQ(0, nStatus[1]) << strErr[1];
        EXPECT_EQ(vSent[0], vSent[1]);
        const bool bNothing =
            c.vArgs.back().empty() || c.vArgs.back() == "--no-act" ||
            std::find(c.vArgs.begin(), c.vArgs.end(), "--no-act") != c.vArgs.end();
        EXPECT_EQ(bNothing, vSent[0].empty()) << "logger sent " << vSent[0].size();
    }
}

// A Unix socket that is not there: logger's exit status and messages by
// --socket-errors (auto: on with -s or --no-act, as no systemd runs here).
TEST_F(ZqlogTest, MissingUnixSocketFailsAsLoggerDoes) {
    if (access(kLoggerPath, X_OK) != 0) {
        GTEST_SKIP() << "no " << kLoggerPath << " to compare with";
    }
    const std::string strMissing = m_Dir.File("missing.sock");
    const std::vector<std::vector<std::string>> kCases = {
        {"-u", strMissing, "x"},
        {"-u", strMissing, "--socket-errors=on", "x"},
        {"-u", strMissing, "--socket-errors=off", "-s", "x"},
        {"-u", strMissing, "-s", "x"},
        {"-u", strMissing, "--no-act", "x"},
    };
    for (const std::vector<std::string>& vArgs : kCases) {
        SCOPED_TRACE(vArgs[2]);
        std::vector<std::string> vLogger = {kLoggerPath};
        std::vector<std::string> vZqlog = {kZqlogPath};
        vLogger.insert(vLogger.end(), vArgs.begin(), vArgs.end());
        vZqlog.insert(vZqlog.end(), vArgs.begin(), vArgs.end());
        const Result rLogger = RunProgram(vLogger, "");
        const Result rZqlog = RunProgram(zqtest::TargetCommand(vZqlog, m_Dir.Path()), "");
        EXPECT_EQ(rLogger.nStatus, rZqlog.nStatus) << rZqlog.strErr;
        EXPECT_EQ(rLogger.strErr.find("socket " + strMissing) != std::string::npos,
                  rZqlog.strErr.find("socket " + strMissing) != std::string::npos)
            << rLogger.strErr << rZqlog.strErr;
    }
}

// With neither a daemon nor a file it may write (as uid 65534 in a directory
// of root's), the records go to standard error with a warning; the exit
// status is 0, or 1 with --socket-errors=on.
TEST_F(ZqlogTest, WithoutDaemonOrFilesTheRecordsGoToStandardError) {
    if (access(kSetprivPath, X_OK) != 0) {
        GTEST_SKIP() << "no " << kSetprivPath;
    }
    ASSERT_EQ(0, chmod(m_Dir.Path().c_str(), 0755));
    const struct {
        std::vector<std::string> vArgs;
        int nStatus;
        size_t nRecords;
    } kCases[] = {
        {{"-t", "t", "hello"}, 0, 1},
        {{"--socket-errors=off", "-t", "t", "hello"}, 0, 1},
        {{"--socket-errors=auto", "-t", "t", "hello"}, 0, 1},
        {{"--socket-errors=on", "-t", "t", "hello"}, 1, 1},
        {{"-s", "-t", "t", "hello"}, 0, 1},  // once, not twice
        {{"-t", "t", "hello\nworld"}, 0, 2},
        {{"-t", "t", ""}, 0, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.vArgs[0]);
        std::vector<std::string> vCmd = {kSetprivPath, "--reuid=65534", "--regid=65534",
                                         "--clear-groups"};
        for (const std::string& strWord :
             zqtest::TargetCommand({kZqlogPath, "-D", LogDir()}, m_Dir.Path())) {
            vCmd.push_back(strWord);
        }
        vCmd.insert(vCmd.end(), c.vArgs.begin(), c.vArgs.end());
        const Result r = RunProgram(vCmd, "");
        if (r.nStatus == kExecFailed) {
            GTEST_SKIP() << "uid 65534 cannot run " << kZqlogPath;
        }
        EXPECT_EQ(c.nStatus, r.nStatus) << r.strErr;
        EXPECT_FALSE(zqtest::FileExists(LogDir()));
        size_t nRecords = 0;
        for (size_t n = r.strErr.find("Description:[]"); n != std::string::npos;
             n = r.strErr.find("Description:[]", n + 1)) {
            ++nRecords;
        }
        EXPECT_EQ(c.nRecords, nRecords) << r.strErr;
        if (c.nRecords > 0) {
            EXPECT_NE(std::string::npos, r.strErr.find("the records follow on standard error"))
                << r.strErr;
            EXPECT_NE(std::string::npos, r.strErr.find("Source-Line:t(zqlog-L0001)  ProcessName:"))
                << r.strErr;
        }
    }
}

// The options of logger that shape the records: structured data leads the
// text behind the function mark, and the forwarder sends it after its own
// element; --msgid names the module (MSGID) and the tag the process.
TEST_F(ZqlogTest, LoggerOptionsShapeTheRecordAndWhatIsForwarded) {
    const std::string kSd = "[a@1 k=\"v\\\"q\\]\" n=\"2\"][meta language=\"en\"]";
    const std::vector<std::string> vSdArgs = {
        "--sd-id",    "a@1",     "--sd-param", "k=\"v\\\"q\\]\"",
        "--sd-param", "n=\"2\"", "--sd-id",    "none@3",
        "--sd-id",    "meta",    "--sd-param", "language=\"en\""};
    struct Case {
        const char* pName;
        std::vector<std::string> vArgs;
        std::string strIn;
        std::vector<std::string> vTexts;  // each record's text after "Description:["
        std::string strForwarded;         // the end of the first record's RFC 5424 form
    };
    std::vector<std::string> vWithSd = vSdArgs;
    vWithSd.insert(vWithSd.end(), {"--msgid", "disk", "-t", "app", "full"});
    const std::vector<Case> kCases = {
        {"structured data and --msgid",
         vWithSd,
         "",
         {"@sd]" + kSd + " full"},
         " disk [zqlog@32473 seq=\"9\" boot=\"b\" dev=\"\" file=\"zqlog\" line=\"1\" "
         "func=\"\"]" +
             kSd + " full"},
        {"structured data on an empty line",
         {"--sd-id", "a@1", "--sd-param", "k=\"v\""},
         "\n",
         {"@sd][a@1 k=\"v\"]"},
         " func=\"\"][a@1 k=\"v\"]"},
        {"an element without parameters is left out",
         {"--sd-id", "a@1", "x"},
         "",
         {"]x"},
         " func=\"\"] x"},
        {"no structured data: as before",
         {"-t", "m", "[a@1 k=\"v\"] x"},
         "",
         {"][a@1 k=\"v\"] x"},
         " func=\"\"] [a@1 k=\"v\"] x"},
        {"--prio-prefix on input lines",
         {"--prio-prefix", "-p", "debug"},
         "<11>err\n<>emerg\nplain\n<x>text\n",
         {"]err", "]emerg", "]plain", "]<x>text"},
         ""},
        {"-S cuts", {"-S", "4", "abcdefgh"}, "", {"]abcd"}, ""},
        {"--journald",
         {"--journald"},
         "MESSAGE=first\nPRIORITY=3\nSYSLOG_IDENTIFIER=jt\nOTHER=x\nMESSAGE=second\n\nMESSAGE=no\n",
         {"]first", "]second"},
         ":jt(zqlog-L0001)"},
    };
    const std::vector<std::string> vLevels = {"Error", "Fatal", "Debug", "Debug"};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pName);
        Reset();
        const Result r = Run(c.vArgs, c.strIn);
        ASSERT_EQ(0, r.nStatus) << r.strErr;
        const std::vector<std::string> vRecords = Records();
        ASSERT_EQ(c.vTexts.size(), vRecords.size());
        for (size_t i = 0; i < vRecords.size(); ++i) {
            const std::string& strRecord = vRecords[i];
            RecordFields stFields{};
            ASSERT_TRUE(
                ParseRecord(strRecord.data(), static_cast<uint32_t>(strRecord.size()), &stFields))
                << strRecord;
            const size_t nText = strRecord.find("Description:[") + 13;
            EXPECT_EQ(c.vTexts[i], strRecord.substr(nText)) << strRecord;
            if (std::strcmp(c.pName, "structured data and --msgid") == 0) {
                EXPECT_NE(std::string::npos, strRecord.find("Source-Line:disk(zqlog-L0001)  "
                                                            "ProcessName:app("))
                    << strRecord;
            }
            if (c.vArgs[0] == "--prio-prefix") {
                EXPECT_EQ(0u, strRecord.find(vLevels[i])) << strRecord;
            }
        }
        if (c.strForwarded.empty()) continue;
        CSyslogFormatter formatter;
        formatter.SetIdentity("h", 1, "b");
        std::vector<char> vOut(kMaxSyslogMessage);
        const uint32_t nLen = formatter.Format(
            vRecords[0].data(), static_cast<uint32_t>(vRecords[0].size()), 9, vOut.data());
        const std::string strOut(vOut.data(), nLen);
        if (c.vArgs[0] == "--journald") {
            EXPECT_NE(std::string::npos, vRecords[0].find(c.strForwarded)) << vRecords[0];
            EXPECT_EQ(0u, vRecords[0].find("Error")) << vRecords[0];
            continue;
        }
        ASSERT_GE(strOut.size(), c.strForwarded.size());
        EXPECT_EQ(c.strForwarded, strOut.substr(strOut.size() - c.strForwarded.size())) << strOut;
    }
    {
        SCOPED_TRACE("an empty message logs nothing; --no-act writes nothing and shows with -s");
        Reset();
        const Result rEmpty = Run({""});
        EXPECT_EQ(0, rEmpty.nStatus);
        EXPECT_TRUE(Records().empty());
        Reset();
        const Result rNoAct = Run({"--no-act", "-s", "-t", "n", "shown"});
        EXPECT_EQ(0, rNoAct.nStatus);
        EXPECT_FALSE(zqtest::FileExists(LogDir()));
        EXPECT_NE(std::string::npos, rNoAct.strErr.find("Source-Line:n(zqlog-L0001)"))
            << rNoAct.strErr;
        EXPECT_NE(std::string::npos, rNoAct.strErr.find("Description:[]shown\n"));
    }
}

}  // namespace
