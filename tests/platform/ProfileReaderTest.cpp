#include "platform/ProfileReader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

constexpr uint32_t kGuard = 16;
constexpr char kGuardByte = '\x5a';

struct Result {
    int32_t nResult;
    std::string strOut;  // the value, or the raw list up to its final terminator
};

// Calls the reader with an out buffer of exactly nSize bytes followed by guard
// bytes, and checks that the result is in range, out is terminated within
// nSize and the guard is untouched.
class Reader {
public:
    explicit Reader(const std::string& path) : m_strPath(path) {}

    Result Call(const std::string& section, const std::string& key, const char* pDefault,
                uint32_t nSize) const {
        std::vector<char> buf(nSize + kGuard, kGuardByte);
        const int32_t n = ReadProfileString(section.c_str(), key.c_str(), pDefault, buf.data(),
                                            nSize, m_strPath.c_str());
        for (uint32_t i = nSize; i < nSize + kGuard; ++i) {
            EXPECT_EQ(buf[i], kGuardByte) << "byte " << i << " written past size " << nSize;
        }
        Result r{n, std::string()};
        if (nSize == 0) {
            EXPECT_EQ(n, 0);
            return r;
        }
        EXPECT_GE(n, 0);
        EXPECT_LT(static_cast<uint32_t>(n), nSize);
        EXPECT_NE(std::memchr(buf.data(), '\0', nSize), nullptr) << "out not terminated";
        const bool bList = section.empty() || key.empty();
        if (!bList) {
            r.strOut.assign(buf.data());
            EXPECT_EQ(r.strOut.size(), static_cast<size_t>(n));
        } else if (n >= 0 && static_cast<uint32_t>(n) + 1 < nSize) {
            // A list ends with the entry's terminator at n and one more after it.
            EXPECT_EQ(buf[static_cast<size_t>(n)], '\0');
            EXPECT_EQ(buf[static_cast<size_t>(n) + 1], '\0');
            r.strOut.assign(buf.data(), static_cast<size_t>(n) + 2);
        }
        return r;
    }

    Result Value(const std::string& section, const std::string& key, const char* pDefault = "",
                 uint32_t nSize = 64) const {
        return Call(section, key, pDefault, nSize);
    }

private:
    std::string m_strPath;
};

// One file in a fresh directory, and a reader on it.
struct IniFile {
    explicit IniFile(const std::string& content) : path(dir.File("LogServer.ini")), reader(path) {
        EXPECT_TRUE(zqtest::WriteFile(path, content));
    }
    zqtest::TempDir dir;
    std::string path;
    Reader reader;
};

TEST(ProfileReader, ValueLineForms) {
    struct Case {
        const char* pLine;  // follows "[File]\n"
        const char* pWant;
        int32_t nWant;
    };
    const Case cases[] = {
        {"FileSize = 30\n", "30", 2},
        {"FileSize==30\n", "30", 2},
        {"FileSize=  30\n", "30", 2},
        {"FileSize =\t30\n", "\t30", 3},
        {"FileSize=30  \n", "30  ", 4},
        {"FileSize=3 0\r\n", "3 0", 3},
        {"FileSize=30\r\n", "30", 2},
        {"FileSize=30", "30", 2},  // last line, no line end
        {"FileSize=\r\n", "", 0},
        {"FileSize=\n", "", 0},
        {"FileSize=  \n", "", 0},
        {"FileSize=", "dflt", 4},    // last line, no line end: no value
        {"FileSize=  ", "dflt", 4},  // the same with spaces
        {"FileSize\nFileSize 30\nFileSize\t=30\nFileSize=40\n", "40", 2},
        {"Filesize=30\nFileSize30\n", "dflt", 4},
        {"FileSize=a=b\n", "a=b", 3},
        {"FileSize=1\nFileSize=2\n", "1", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "line: " << testing::PrintToString(c.pLine));
        IniFile ini(std::string("[File]\n") + c.pLine);
        const Result r = ini.reader.Value("File", "FileSize", "dflt");
        EXPECT_EQ(r.strOut, c.pWant);
        EXPECT_EQ(r.nResult, c.nWant);
    }
}

TEST(ProfileReader, KeysAreMatchedAsWrittenOnly) {
    IniFile ini(
        "FileNum=9\n"
        "[File]\n"
        "FileSize=20\n"
        ";x=1\n"
        " FileNum=8\n");
    // A key before the first header belongs to no section.
    EXPECT_EQ(ini.reader.Value("File", "FileNum", "d").strOut, "d");
    // "File" is a prefix of FileSize, but no '=' follows it at once.
    EXPECT_EQ(ini.reader.Value("File", "File", "d").strOut, "d");
    // No comment syntax: ;x is a key.
    EXPECT_EQ(ini.reader.Value("File", ";x", "d").strOut, "1");
    EXPECT_EQ(ini.reader.Value("File", " FileNum", "d").strOut, "8");
}

TEST(ProfileReader, HeaderMatching) {
    struct Case {
        const char* pHeader;
        bool bMatches;
    };
    const Case cases[] = {
        {"[File]", true},   {"[File] size settings", true},
        {"[File]]", true},  {"[ File ]", false},
        {"[file]", false},  {"[File", false},
        {"[Files]", false}, {" [File]", false},
        {"[Fil]", false},   {"[File ]", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pHeader);
        IniFile ini(std::string(c.pHeader) + "\r\nFileSize=30\r\n");
        const Result r = ini.reader.Value("File", "FileSize", "d");
        EXPECT_EQ(r.strOut, c.bMatches ? "30" : "d");
    }
}

TEST(ProfileReader, OnlyTheFirstMatchingSectionCounts) {
    IniFile ini(
        "[File]\n"
        "FileNum=3\n"
        "[Level]\n"
        "LogLevel=4\n"
        "[File]\n"
        "FileSize=50\n"
        "FileNum=7\n");
    EXPECT_EQ(ini.reader.Value("File", "FileNum").strOut, "3");
    EXPECT_EQ(ini.reader.Value("File", "FileSize", "none").strOut, "none");
    // The section ends at the next header: LogLevel is not in [File].
    EXPECT_EQ(ini.reader.Value("File", "LogLevel", "none").strOut, "none");
    EXPECT_EQ(ini.reader.Value("Level", "FileSize", "none").strOut, "none");
    EXPECT_EQ(ini.reader.Value("Level", "LogLevel").strOut, "4");
}

TEST(ProfileReader, DefaultsAndSmallBuffers) {
    IniFile ini("[File]\nFileSize=123456\n");
    Result r = ini.reader.Value("File", "Missing", "abcdef", 4);
    EXPECT_EQ(r.strOut, "abc");
    EXPECT_EQ(r.nResult, 3);
    r = ini.reader.Value("File", "FileSize", "", 4);
    EXPECT_EQ(r.strOut, "123");
    EXPECT_EQ(r.nResult, 3);
    r = ini.reader.Value("File", "FileSize", "abc", 1);
    EXPECT_EQ(r.strOut, "");
    EXPECT_EQ(r.nResult, 0);
    r = ini.reader.Value("File", "FileSize", "abc", 0);
    EXPECT_EQ(r.nResult, 0);
    r = ini.reader.Value("File", "FileSize", nullptr, 7);
    EXPECT_EQ(r.strOut, "123456");

    Reader missing(ini.dir.File("NoSuchFile.ini"));
    r = missing.Value("File", "FileSize", "7");
    EXPECT_EQ(r.strOut, "7");
    EXPECT_EQ(r.nResult, 1);
    // A directory opens but reads nothing: the default stands.
    Reader dir(ini.dir.Path());
    EXPECT_EQ(dir.Value("File", "FileSize", "7").strOut, "7");
    // Missing file in a list mode: the default, as a one-entry list.
    r = missing.Call("", "", "abcdef", 4);
    EXPECT_EQ(r.nResult, 2);
    EXPECT_EQ(r.strOut, std::string("ab\0\0", 4));
}

TEST(ProfileReader, ListsOfKeysAndSections) {
    IniFile ini(
        "top=1\n"
        "[Level]\r\n"
        "LogLevel=4\r\n"
        "Custom = 5\r\n"
        "\r\n"
        "=x\r\n"
        "[File]\r\n"
        "FileSize=20\r\n"
        "[]\r\n"
        "[Open\r\n");
    Result r = ini.reader.Call("Level", "", "d", 64);
    // A blank line and a line starting with '=' give empty entries.
    EXPECT_EQ(r.strOut, std::string("LogLevel\0Custom\0\0\0\0", 19));
    EXPECT_EQ(r.nResult, 17);
    r = ini.reader.Call("", "", "d", 64);
    EXPECT_EQ(r.strOut, std::string("Level\0File\0\0Open\0\0", 18));
    EXPECT_EQ(r.nResult, 16);

    // A section without lines, a missing section, a file without headers: the
    // empty list.
    IniFile empty("top=1\n[Empty]\n[Full]\nkey=1\n");
    IniFile none("top=1\n");
    for (const Result& e :
         {empty.reader.Call("Empty", "", "dflt", 64), empty.reader.Call("Nowhere", "", "dflt", 64),
          none.reader.Call("", "", "dflt", 64)}) {
        EXPECT_EQ(e.nResult, 0);
        EXPECT_EQ(e.strOut, std::string("\0\0", 2));
    }
}

TEST(ProfileReader, ListsAreCutToTheBuffer) {
    IniFile ini("[Level]\nLogLevel=4\n[File]\nFileSize=20\n");
    Result r = ini.reader.Call("", "", "", 64);
    EXPECT_EQ(r.strOut, std::string("Level\0File\0\0", 12));
    EXPECT_EQ(r.nResult, 10);
    struct Case {
        uint32_t nSize;
        int32_t nWant;
        const char* pWant;
    };
    const Case cases[] = {
        {11, 9, "Level\0Fil\0\0"},  // entries may fill size - 1 bytes
        {8, 5, "Level\0\0"},        //
        {5, 3, "Lev\0\0"},          //
        {3, 1, "L\0\0"},            //
        {2, 0, "\0\0"},             //
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nSize);
        r = ini.reader.Call("", "", "default", c.nSize);
        EXPECT_EQ(r.nResult, c.nWant);
        EXPECT_EQ(r.strOut, std::string(c.pWant, static_cast<size_t>(c.nWant) + 2));
    }
    r = ini.reader.Call("Level", "", "", 6);
    EXPECT_EQ(r.strOut, std::string("LogL\0\0", 6));
    // Below two bytes there is no room for a list: empty text, result 0.
    r = ini.reader.Call("", "", "abc", 1);
    EXPECT_EQ(r.nResult, 0);
    r = ini.reader.Call("File", "", "abc", 0);
    EXPECT_EQ(r.nResult, 0);
}

TEST(ProfileReader, OverlongNamesAreRefused) {
    const std::string longName(256, 'k');
    IniFile ini("[File]\n" + longName + "=1\n");
    for (const auto& names : {std::make_pair(std::string("File"), longName),
                              std::make_pair(longName, std::string("FileSize")),
                              std::make_pair(longName, std::string())}) {
        const Result r = ini.reader.Call(names.first, names.second, "default", 32);
        EXPECT_EQ(r.nResult, 0);
        EXPECT_EQ(r.strOut.c_str(), std::string());
    }
}

TEST(ProfileReader, LongLinesArriveInPieces) {
    const std::string longText(300, 'x');
    IniFile ini("[File]\n" + longText + "\nFileSize=" + std::string(400, 'v') +
                "\nFileNum=5\n[Level]\n" + std::string(1000, 'L') + "=1\n");
    EXPECT_EQ(ini.reader.Value("File", "FileNum", "d").strOut, "5");
    // The value ends with the 255-character piece that holds the key.
    Result r = ini.reader.Value("File", "FileSize", "d", 1024);
    EXPECT_EQ(r.nResult, 255 - 9);
    EXPECT_EQ(r.strOut, std::string(255 - 9, 'v'));
    r = ini.reader.Call("", "", "", 64);
    EXPECT_EQ(r.strOut, std::string("File\0Level\0\0", 12));
}

TEST(ProfileReader, HostileContentStaysInBounds) {
    // NUL bytes inside lines: a piece ends at its first NUL.
    IniFile nul(std::string("[File]\nFile\0Size=9\nFileSize=1\0 23\n[Le\0vel]\n", 43));
    EXPECT_EQ(nul.reader.Value("File", "FileSize", "d").strOut, "1");
    EXPECT_EQ(nul.reader.Call("", "", "", 64).strOut, std::string("File\0Le\0\0", 9));

    // Ten megabytes without a line end inside a section.
    IniFile huge("[File]\nFileSize=" + std::string(10 * 1024 * 1024, '7'));
    const Result r = huge.reader.Value("File", "FileNum", "d");
    EXPECT_EQ(r.strOut, "d");

    // Random bytes, with a few header and key fragments mixed in, in every mode
    // and many sizes.
    std::mt19937 rng(12345);
    std::string bytes;
    const char* pieces[] = {"[File]", "FileSize=", "\r\n", "\n", "[", "]", "=", " "};
    for (int i = 0; i < 20000; ++i) {
        if (rng() % 8 == 0) {
            bytes += pieces[rng() % 8];
        } else {
            bytes += static_cast<char>(rng() % 256);
        }
    }
    IniFile random(bytes);
    for (uint32_t nSize : {0U, 1U, 2U, 3U, 5U, 16U, 255U, 256U, 4096U}) {
        SCOPED_TRACE(nSize);
        (void)random.reader.Call("File", "FileSize", "dflt", nSize);
        (void)random.reader.Call("File", "", "dflt", nSize);
        (void)random.reader.Call("", "", "dflt", nSize);
    }
}

// Runs one value lookup in a child process, so that a reader that blocks or
// spins cannot hold the test: the value, or "(did not return)" when the child
// had to be killed after the deadline.
std::string LookupInChild(const std::string& path, const char* pKey) {
    return zqtest::InChild([&] {
        char out[64];
        const int32_t n = ReadProfileString("File", pKey, "dflt", out, sizeof(out), path.c_str());
        return n >= 0 ? std::string(out) : std::string("(failed)");
    });
}

// What a user who could write the log directory might leave as LogServer.ini
// for root's daemon: none of it may hold the reader, and only a regular file
// is read, its first 64 KiB at most.
TEST(ProfileReader, OnlyTheStartOfRegularFilesIsRead) {
    zqtest::TempDir dir;
    ASSERT_EQ(0, chmod(dir.Path().c_str(), 0777));  // the user plants in it
    const std::string strIni = "[File]\r\nFileSize=30\r\n";
    ASSERT_TRUE(zqtest::WriteFile(dir.File("regular.ini"), strIni));
    std::string strBig = strIni;
    while (strBig.size() < 64 * 1024) strBig += "; padding line of a large file\r\n";
    strBig += "FileNum=5\r\n";  // beyond the first 64 KiB
    ASSERT_TRUE(zqtest::WriteFile(dir.File("big.ini"), strBig));
    const std::string strDir = dir.Path();
    const uid_t nUid = geteuid() == 0 ? zqtest::kNobody : geteuid();
    ASSERT_EQ(
        0, zqtest::RunAsUser(nUid, [&] {
            const bool bOk =
                mkfifo((strDir + "/fifo.ini").c_str(), 0666) == 0 &&
                symlink("/dev/zero", (strDir + "/zero.ini").c_str()) == 0 &&
                symlink((strDir + "/fifo.ini").c_str(), (strDir + "/fifolink.ini").c_str()) == 0 &&
                symlink((strDir + "/regular.ini").c_str(), (strDir + "/link.ini").c_str()) == 0;
            return bOk ? 0 : 1;
        }));
    const struct {
        const char* szFile;
        const char* szKey;
        const char* szWant;
    } kCases[] = {
        {"fifo.ini", "FileSize", "dflt"},      // no writer: an open that waits
        {"fifolink.ini", "FileSize", "dflt"},  // the same through a link
        {"zero.ini", "FileSize", "dflt"},      // a device without end
        {"link.ini", "FileSize", "30"},        // a link to a regular file is fine
        {"big.ini", "FileSize", "30"},        {"big.ini", "FileNum", "dflt"},  // not read
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.szFile) + " " + c.szKey);
        EXPECT_EQ(c.szWant, LookupInChild(dir.File(c.szFile), c.szKey));
    }
}

}  // namespace
