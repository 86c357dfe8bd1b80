// The configuration check: what it says of each kind of mistake, and that it
// says nothing of a file the daemon reads as written.

#include "server/ConfigCheck.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The findings, each with a line end.
void Collect(void* pContext, const char* pFinding) {
    *static_cast<std::string*>(pContext) += std::string(pFinding) + "\n";
}

struct CheckCase {
    const char* pName;
    const char* pFile;      // LogServer.ini's text
    const char* pFindings;  // what CheckConfigFile says, line by line
};

const CheckCase kCases[] = {
    {"clean",
     "[Level]\r\nLogLevel=5\r\n; a comment\r\n[File]\r\nFileSize=30 \r\nFileNum=3\r\n"
     "[Daemon]\r\nOwnRecords=1\r\n[Forward]\r\nHost=a\r\nPort=601\r\n",
     ""},
    {"level out of range", "[Level]\nLogLevel=9\n",
     "[Level] LogLevel=9: out of range 0..7; ignored, the value stays as it was (default 4)\n"},
    {"negative level", "[Level]\nLogLevel=-1\n",
     "[Level] LogLevel=-1: out of range 0..7; ignored, the value stays as it was (default 4)\n"},
    // strtol reads "abc" as 0, which is a level: used, and said.
    {"level not a number", "[Level]\nLogLevel=abc\n",
     "[Level] LogLevel=abc: not a number; read as 0\n"},
    {"size not a number", "[File]\nFileSize=abc\n",
     "[File] FileSize=abc: not a number; read as 0, out of range 10..200; ignored, the value "
     "stays as it was (default 20)\n"},
    {"size with a unit", "[File]\nFileSize=20M\n",
     "[File] FileSize=20M: not a number; read as 20\n"},
    // Only 15 characters of a number are read.
    {"number cut", "[File]\nFileNum=0000000000000005\n",
     "[File] FileNum=0000000000000005: not read as written; read as 0, out of range 2..10; "
     "ignored, the value stays as it was (default 10)\n"},
    {"no value", "[File]\nFileNum 3\n",
     "[File] FileNum: no value (write FileNum=<number>); the value stays as it was (default "
     "10)\n"},
    {"misspelt key", "[File]\nFileSzie=30\n", "[File] FileSzie: unknown key; ignored\n"},
    {"after a blank line", "[File]\nFileNum=3\n\nFileSzie=30\n",
     "[File] FileSzie: unknown key; ignored\n"},
    {"empty file", "", ""},
    {"misspelt section", "[Forwrd]\nHost=a\n", "[Forwrd]: unknown section; its keys are ignored\n"},
    {"misspelt forward key", "[Forward]\nHots=a\n", "[Forward] Hots: unknown key; ignored\n"},
    {"repeated key", "[File]\nFileNum=3\nFileNum=4\n",
     "[File] FileNum: written again; only the first is read\n"},
    {"repeated section", "[File]\nFileNum=3\n[Level]\n[File]\nFileNum=4\n",
     "[File]: section written again; only the first is read\n"},
    {"forward value", "[Forward]\nHost=a\nWindow=0\n",
     "[Forward] Window=0: not 1..1024; default used\n"},
    {"limit keys", "[Limit]\nInterval=10\nBurst=0\nExemptBelow=500\n", ""},
    {"limit out of range", "[Limit]\nInterval=0\nBurst=-1\n",
     "[Limit] Interval=0: out of range 1..3600; ignored, the value stays as it was (default 30)\n"
     "[Limit] Burst=-1: out of range 0..100000000; ignored, the value stays as it was (default "
     "10000)\n"},
};

TEST(ConfigCheckTest, NamesEveryMistakeWithWhatIsUsed) {
    for (const CheckCase& c : kCases) {
        SCOPED_TRACE(c.pName);
        zqtest::TempDir dir;
        const std::string path = dir.File("LogServer.ini");
        ASSERT_TRUE(zqtest::WriteFile(path, c.pFile));
        std::string findings;
        const int32_t nFound =
            CheckConfigFile(path.c_str(), kCheckForwardValues, &Collect, &findings);
        EXPECT_EQ(findings, c.pFindings);
        size_t nLines = 0;
        for (const char ch : findings) nLines += ch == '\n' ? 1 : 0;
        EXPECT_EQ(nFound, static_cast<int32_t>(nLines));
    }
}

TEST(ConfigCheckTest, ReloadRecordLeavesForwardValuesToTheSender) {
    zqtest::TempDir dir;
    const std::string path = dir.File("LogServer.ini");
    ASSERT_TRUE(zqtest::WriteFile(path, "[File]\nFileSize=5\nFileSzie=1\n[Forward]\nPort=0\n"));
    char szOut[512];
    EXPECT_EQ(CheckConfigForReload(path.c_str(), szOut, sizeof(szOut)), 2u);
    EXPECT_STREQ(szOut,
                 "[File] FileSize=5: out of range 10..200; ignored, the value stays as it was "
                 "(default 20); [File] FileSzie: unknown key; ignored");
    // A file that is not there, or not a regular file, is not a configuration.
    std::string findings;
    EXPECT_EQ(CheckConfigFile(dir.File("missing").c_str(), 0, &Collect, &findings), -1);
    EXPECT_EQ(CheckConfigFile(dir.Path().c_str(), 0, &Collect, &findings), -1);
}

}  // namespace
