// The origin journal through the real engine: records pushed with their
// senders, read back by offset as a forwarder or reader does, also after the
// faults a device meets (a power cut that kept one file's end and not the
// other's, a torn journal, a file from before journals, rotation).

#include "asynclog/OriginJournal.h"
#include "asynclog/ZIdOrereDov.h"
#include "tests/asynclog/EngineHelpers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using zqtest::TempDir;

// Senders by letter: A and B over the local intake, U over UDP, O the
// process itself.
RecordOrigin Sender(char c) {
    switch (c) {
        case 'A':
            return {OriginKind::kLocal, 1000, static_cast<uint32_t>(getpid())};
        case 'B':
            return {OriginKind::kLocal, 65534, 4000000};  // no such process: no name
        case 'U':
            return kUdpOrigin;
        default:
            return kOwnOrigin;
    }
}

// What a reader should find for a record of that letter ('-': unrecorded).
char Letter(const LineOrigin& o) {
    switch (o.stFrom.eKind) {
        case OriginKind::kLocal:
            return o.stFrom.nUid == 1000 && o.stFrom.nPid == static_cast<uint32_t>(getpid()) ? 'A'
                   : o.stFrom.nUid == 65534 && o.stFrom.nPid == 4000000 && o.szName[0] == '\0'
                       ? 'B'
                       : '?';
        case OriginKind::kUdp:
            return 'U';
        case OriginKind::kOwn:
            return o.stFrom.nUid == geteuid() && o.stFrom.nPid == static_cast<uint32_t>(getpid())
                       ? 'O'
                       : '?';
        default:
            return '-';
    }
}

// Writes one record per letter of strSenders, then stops (everything written).
void RunEngine(const std::string& strDir, const std::string& strSenders, uint32_t nFileNum = 3,
               size_t nRecordLen = 64) {
    ZIdOrereDov engine;
    EngineSettings st;
    st.nMode = 1;
    st.nFileNum = nFileNum;
    st.nFileSizeMiB = kMinFileSizeMiB;
    st.bKeepOrigins = true;
    ASSERT_EQ(kLogOk, engine.Configure(st));
    ASSERT_EQ(kLogOk, engine.Start(strDir.c_str(), "SDK"));
    uint32_t nSeq = 0;
    for (const char c : strSenders) {
        const std::string strText = zqtest::SeqRecord(nSeq++, nRecordLen);
        ASSERT_TRUE(zqtest::PollUntil([&] {
            return engine.TryPushLog(strText.data(), static_cast<uint32_t>(strText.size()),
                                     Sender(c)) != kLogErrResource;
        }));
    }
    engine.Stop();
}

// The letter of each line of a log file, by its journal.
std::string LettersOf(const std::string& strDir, const std::string& strFile) {
    const std::string strText = zqtest::ReadFile(strDir + "/" + strFile);
    struct stat st {};
    if (stat((strDir + "/" + strFile).c_str(), &st) != 0) return "no file";
    const CUniqueFd journal(OpenOriginJournal(strDir.c_str(), "SDK", st.st_ino));
    COriginJournalReader reader;
    reader.Attach(journal.Get());
    std::string strLetters;
    for (size_t nAt = 0; nAt < strText.size();) {
        LineOrigin o{};
        reader.Find(nAt, strText.size(), &o);
        strLetters += Letter(o);
        const size_t nLf = strText.find('\n', nAt);
        nAt = nLf == std::string::npos ? strText.size() : nLf + 1;
    }
    return strLetters;
}

std::string JournalPath(const std::string& strDir) {
    struct stat st {};
    if (stat((strDir + "/SDK_00.log").c_str(), &st) != 0) return "";
    return strDir + "/" + kOriginDirName + "/SDK." + std::to_string(st.st_ino);
}

size_t JournalCount(const std::string& strDir) {
    size_t n = 0;
    DIR* pDir = opendir((strDir + "/" + kOriginDirName).c_str());
    if (pDir == nullptr) return 0;
    while (const dirent* pEnt = readdir(pDir)) n += pEnt->d_name[0] != '.';
    closedir(pDir);
    return n;
}

// Between two runs, what a power cut or an older version may leave.
enum class Between {
    kNothing,
    kFileLostItsEnd,  // the log file kept its first 3 records only; the journal all
    kTornJournal,     // the journal ends in a piece of an entry and zeros
    kNoJournal,       // the file is from before journals
};

TEST(OriginJournalTest, EachRecordReadsAsOfItsSenderAndNeverOfAnother) {
    constexpr size_t kLen = 64;
    struct Case {
        const char* pName;
        std::string strFirst;
        Between eBetween;
        std::string strSecond;
        std::string strExpect;
    };
    const std::string strMany = [] {
        std::string s;
        for (int i = 0; i < 300; ++i) s += "AB"[i % 2];  // more entries than a block
        return s;
    }();
    const Case kCases[] = {
        {"runs of senders", "AABUUOA", Between::kNothing, "", "AABUUOA"},
        {"an entry per record", strMany, Between::kNothing, "", strMany},
        {"a second run appends", "AB", Between::kNothing, "UA", "ABUA"},
        {"the file lost its end", "AAABAB", Between::kFileLostItsEnd, "UU", "AAAUU"},
        {"a torn journal", "AB", Between::kTornJournal, "BA", "ABBA"},
        {"a file from before journals", "AB", Between::kNoJournal, "UA", "--UA"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pName);
        TempDir dir;
        RunEngine(dir.Path(), c.strFirst, 3, kLen);
        const std::string strLog = dir.File("SDK_00.log");
        switch (c.eBetween) {
            case Between::kNothing:
                break;
            case Between::kFileLostItsEnd:
                ASSERT_EQ(0, truncate(strLog.c_str(), 3 * kLen));
                break;
            case Between::kTornJournal: {
                const std::string strJournal = JournalPath(dir.Path());
                const CUniqueFd file(open(strJournal.c_str(), O_WRONLY | O_APPEND));
                const char aTorn[kOriginEntrySize + 20] = {'Z', 'Q', 'O', '1', 1};
                ASSERT_EQ(static_cast<ssize_t>(sizeof(aTorn)),
                          write(file.Get(), aTorn, sizeof(aTorn)));
                break;
            }
            case Between::kNoJournal:
                ASSERT_EQ(0, unlink(JournalPath(dir.Path()).c_str()));
                break;
        }
        if (!c.strSecond.empty()) RunEngine(dir.Path(), c.strSecond, 3, kLen);
        EXPECT_EQ(c.strExpect, LettersOf(dir.Path(), "SDK_00.log"));
    }
}

// Rotation renames a file without its journal (it is known by the inode);
// the journal of a file that left the set goes with it.
TEST(OriginJournalTest, JournalsFollowTheirFilesThroughRotation) {
    TempDir dir;
    constexpr size_t kLen = 1024;
    constexpr uint32_t kPerFile = kMinFileSizeMiB * 1024;  // the size limit
    std::string strSenders;
    for (uint32_t i = 0; i < 3 * kPerFile + 10; ++i) strSenders += i < 2 * kPerFile ? 'A' : 'B';
    RunEngine(dir.Path(), strSenders, 2, kLen);
    EXPECT_EQ(2u, JournalCount(dir.Path()));
    const std::string strOlder = LettersOf(dir.Path(), "SDK_01.log");
    const std::string strCurrent = LettersOf(dir.Path(), "SDK_00.log");
    EXPECT_EQ(std::string(kPerFile, 'B'), strOlder);
    EXPECT_EQ(std::string(10, 'B'), strCurrent);
}

}  // namespace
