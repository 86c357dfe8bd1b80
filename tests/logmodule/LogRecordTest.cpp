#include "logmodule/LogModule.h"
#include "logmodule/LogModuleState.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Format(int32_t level, const char* src, int32_t line, const char* func,
                   const char* devid, const char* module, const char* process, int32_t pid,
                   const struct tm* t, long ms, const char* fmt, ...)
    __attribute__((format(printf, 11, 12)));

std::string Format(int32_t level, const char* src, int32_t line, const char* func,
                   const char* devid, const char* module, const char* process, int32_t pid,
                   const struct tm* t, long ms, const char* fmt, ...) {
    char buf[kRecordBufSize];
    va_list args;
    va_start(args, fmt);
    uint32_t len =
        FormatLogRecord(buf, level, src, line, func, devid, module, process, pid, t, ms, fmt, args);
    va_end(args);
    return std::string(buf, len);
}

struct tm MakeTime(int year, int mon, int mday, int hour, int min, int sec) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

// The record as the documented snprintf sequence produces it.
std::string Reference(int32_t level, const char* src, int32_t line, const char* func,
                      const char* devid, const char* module, const char* process, int32_t pid,
                      const struct tm* t, long ms, const std::string& msg) {
    static const char* const kWords[] = {"Fatal", "Error", "Warning", "Info", "Debug", "Trace"};
    const char* word = level >= 1 && level <= 6 ? kWords[level - 1] : "Trace";
    const char* base = std::strrchr(src, '/') != nullptr ? std::strrchr(src, '/') + 1 : src;
    const char* fn = func != nullptr ? func : "";
    for (const char* p = std::strstr(fn, "::"); p != nullptr; p = std::strstr(fn, "::")) fn = p + 2;
    char buf[1024] = {};
    std::snprintf(buf, 512,
                  "%-7s %d-%02d-%02d %02d:%02d:%02d:%03ld  DevID:%s  Source-Line:%s(%s-L%04d)  "
                  "ProcessName:%s(%d)     Description:[%s]",
                  word, t ? t->tm_year + 1900 : 0, t ? t->tm_mon + 1 : 0, t ? t->tm_mday : 0,
                  t ? t->tm_hour : 0, t ? t->tm_min : 0, t ? t->tm_sec : 0, ms, devid, module, base,
                  line, process, pid, fn);
    size_t h = std::strlen(buf);
    std::snprintf(buf + h, 1024 - h, "%s", msg.c_str());
    size_t len = std::strlen(buf);
    if (len <= 1021) {
        buf[len] = '\r';
        buf[len + 1] = '\n';
        len += 2;
    } else {
        buf[1021] = '\r';
        buf[1022] = '\n';
        len = 1023;
    }
    return std::string(buf, len);
}

// "YYYY-MM-DD HH:MM:SS:mmm".
bool IsStamp(const std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd:ddd";
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool ok = shape[i] == 'd' ? text[i] >= '0' && text[i] <= '9' : text[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

// The base name of this test executable, as the module takes it.
std::string ExeName() {
    char path[260] = {};
    EXPECT_GT(readlink("/proc/self/exe", path, sizeof(path) - 1), 0);
    return std::string(std::strrchr(path, '/') + 1);
}

TEST(LogRecordFormat, WorkedExample) {
    struct tm t = MakeTime(2024, 3, 5, 7, 8, 9);
    EXPECT_EQ(Format(4, "/src/app/main.cpp", 42, "ns::CApp::Run", "cam0", "net", "app", 1234, &t,
                     45, "%s", "started"),
              "Info    2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)  "
              "ProcessName:app(1234)     Description:[Run]started\r\n");
}

TEST(LogRecordFormat, FieldsOneByOne) {
    struct tm t = MakeTime(2024, 3, 5, 7, 8, 9);
    auto fmt = [&](int32_t level, const char* src, int32_t line, const char* func) {
        return Format(level, src, line, func, "d", "m", "p", 1, &t, 0, "x");
    };
    const struct {
        int32_t level;
        const char* start;
    } kLevels[] = {{1, "Fatal   2024"}, {2, "Error   2024"}, {3, "Warning 2024"},
                   {4, "Info    2024"}, {5, "Debug   2024"}, {6, "Trace   2024"},
                   {0, "Trace   2024"}, {7, "Trace   2024"}, {-1, "Trace   2024"}};
    for (const auto& c : kLevels) {
        SCOPED_TRACE(c.level);
        EXPECT_EQ(fmt(c.level, "a.c", 1, "f").rfind(c.start, 0), 0u);
    }
    const struct {
        const char* func;
        const char* shown;
    } kFuncs[] = {{"A::B::C", "[C]x"}, {"Run", "[Run]x"},   {"X::", "[]x"},
                  {nullptr, "[]x"},    {"a:::b", "[:b]x"},  {"", "[]x"},
                  {"a:b", "[a:b]x"},   {"::Run", "[Run]x"}, {"a:b::c:d", "[c:d]x"}};
    for (const auto& c : kFuncs) {
        SCOPED_TRACE(c.shown);
        EXPECT_NE(fmt(4, "a.c", 1, c.func).find(std::string("Description:") + c.shown + "\r\n"),
                  std::string::npos);
    }
    const struct {
        const char* src;
        int32_t line;
        const char* shown;
    } kSources[] = {{"main.cpp", 7, "(main.cpp-L0007)"},
                    {"/a/b/c.cpp", 12345, "(c.cpp-L12345)"},
                    {"dir/", 0, "(-L0000)"},
                    {"x.c", -5, "(x.c-L-005)"},
                    {"x.c", INT_MIN, "(x.c-L-2147483648)"}};
    for (const auto& c : kSources) {
        SCOPED_TRACE(c.shown);
        EXPECT_NE(fmt(4, c.src, c.line, "f").find(c.shown), std::string::npos);
    }
    EXPECT_EQ(fmt(4, nullptr, 1, "f"), "");  // nothing to write without a source path
}

// A line end inside a record would make it look like several: it is written
// escaped, wherever the caller put it, and the record still ends in CR LF.
TEST(LogRecordFormat, LineEndsInsideARecordAreEscaped) {
    struct tm t = MakeTime(2024, 3, 5, 7, 8, 9);
    const struct {
        const char* devid;
        const char* func;
        std::string msg;
        const char* shown;  // found in the record
    } kCases[] = {
        {"d", "f", "two\r\nlines", "Description:[f]two#015#012lines\r\n"},
        {"cam\n0", "f", "x", "DevID:cam#0120  "},
        {"\rcam", "f", "x", "DevID:#015cam  "},  // right after the header's plain start
        {"d", "Run\r", "x", "[Run#015]x\r\n"},
        {"d", "f", "tab\tand ESC\x1b stay", "]tab\tand ESC\x1b stay\r\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.shown);
        const std::string rec =
            Format(4, "a.c", 1, c.func, c.devid, "m", "p", 1, &t, 0, "%s", c.msg.c_str());
        EXPECT_NE(rec.find(c.shown), std::string::npos) << rec;
        EXPECT_EQ(rec.find_first_of("\r\n"), rec.size() - 2) << rec;
    }
    // Escapes that would run past the longest line are left out whole.
    const std::string rec =
        Format(4, "a.c", 1, "f", "d", "m", "p", 1, &t, 0, "%s", std::string(400, '\n').c_str());
    EXPECT_LE(rec.size(), 1023u);
    EXPECT_EQ(rec.find_first_of("\r\n"), rec.size() - 2);
    const size_t nText = rec.find("]#") + 1;
    EXPECT_EQ((rec.size() - 2 - nText) % 4, 0u) << "an escape was cut";
}

TEST(LogRecordFormat, MatchesDocumentedSnprintfIncludingCuts) {
    struct tm t = MakeTime(1999, 12, 31, 23, 59, 58);
    struct tm odd = MakeTime(12345, 1, 2, 3, 4, 5);
    const std::string mod128(128, 'm'), proc259(259, 'p'), dev(200, 'd');
    // Names around the lengths at which the header's identity parts are
    // copied whole: "  Source-Line:" name "(" of 32 and 33 characters,
    // ")  ProcessName:" name "(42)     Description:[" of 64 and 65.
    const std::string mod17(17, 'm'), mod18(18, 'm'), proc27(27, 'p'), proc28(28, 'p');
    // Header length of the short cases, for the messages around the limit.
    const size_t h =
        Reference(3, "/x/y.cpp", 77, "N::F", "cam0", "net", "app", 42, &t, 1, "").size() - 2;
    // Device ids that make the header exactly 511 characters long, and one more.
    const std::string dev511(4 + 511 - h, 'd'), dev512(4 + 512 - h, 'd');
    const struct {
        const char* name;
        const char* devid;
        const char* module;
        const char* process;
        const struct tm* time;
        long ms;
        size_t msgLen;
    } kCases[] = {
        {"short", "cam0", "net", "app", &t, 999, 10},
        {"empty message", "cam0", "net", "app", &t, 7, 0},
        {"failed conversion", "cam0", "net", "app", nullptr, 45, 10},
        {"five-digit year", "cam0", "", "app", &odd, 0, 10},
        {"message fills exactly", "cam0", "net", "app", &t, 1, 1021 - h},
        {"message one over", "cam0", "net", "app", &t, 1, 1022 - h},
        {"message two over", "cam0", "net", "app", &t, 1, 1023 - h},
        {"message 2000", "cam0", "net", "app", &t, 1, 2000},
        {"source part of 32", "cam0", mod17.c_str(), "app", &t, 1, 10},
        {"source part of 33", "cam0", mod18.c_str(), "app", &t, 1, 10},
        {"process part of 64", "cam0", "net", proc27.c_str(), &t, 1, 10},
        {"process part of 65", "cam0", "net", proc28.c_str(), &t, 1, 10},
        {"header of 511", dev511.c_str(), "net", "app", &t, 1, 10},
        {"header of 512 cut", dev512.c_str(), "net", "app", &t, 1, 10},
        {"header cut at 511", dev.c_str(), mod128.c_str(), proc259.c_str(), &t, 1, 100},
        {"cut header, long message", dev.c_str(), mod128.c_str(), proc259.c_str(), &t, 1, 2000},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::string msg;
        for (size_t i = 0; i < c.msgLen; ++i) msg += static_cast<char>('a' + i % 26);
        std::string got = Format(3, "/x/y.cpp", 77, "N::F", c.devid, c.module, c.process, 42,
                                 c.time, c.ms, "%s", msg.c_str());
        EXPECT_EQ(got, Reference(3, "/x/y.cpp", 77, "N::F", c.devid, c.module, c.process, 42,
                                 c.time, c.ms, msg));
        EXPECT_LE(got.size(), 1023u);
        EXPECT_EQ(got.substr(got.size() - 2), "\r\n");
    }
    // A null device id prints as empty; a NUL from the message ends the line.
    EXPECT_EQ(Format(3, "/x/y.cpp", 77, "N::F", nullptr, "net", "app", 42, &t, 1, "ab%cde", 0),
              Reference(3, "/x/y.cpp", 77, "N::F", "", "net", "app", 42, &t, 1, "ab"));
    EXPECT_EQ(Format(3, "/x/y.cpp", 77, "N::F", "d", "net", "app", 42, &t, 1, "ab%cde%f", 0, 1.0),
              Reference(3, "/x/y.cpp", 77, "N::F", "d", "net", "app", 42, &t, 1, "ab"));
}

// Records made at random, with texts short enough for the header to be
// written in one pass and long enough for it to be cut, line numbers and
// milliseconds of every width: always the documented snprintf sequence.
TEST(LogRecordFormat, RandomRecordsMatchTheDocumentedSnprintf) {
    std::mt19937 rng(20261209);
    auto text = [&](size_t nMax, const char* pAlphabet) {
        // Mostly short, a quarter of them up to nMax.
        const size_t nLen = rng() % 4 == 0 ? rng() % (nMax + 1) : rng() % 24;
        std::string s;
        for (size_t i = 0; i < nLen; ++i) s += pAlphabet[rng() % std::strlen(pAlphabet)];
        return s;
    };
    int nWrong = 0;
    for (int i = 0; i < 20000 && nWrong < 3; ++i) {
        const std::string dev = text(300, "cam0"), mod = text(128, "net"), proc = text(259, "ap");
        const std::string path = text(200, "ab/c."), func = text(100, "Ab:"),
                          msg = text(1100, "m ");
        const bool bFunc = rng() % 5 != 0;
        const bool bDev = rng() % 7 != 0;
        struct tm t =
            MakeTime(1990 + static_cast<int>(rng() % 100), 1 + static_cast<int>(rng() % 12),
                     1 + static_cast<int>(rng() % 28), static_cast<int>(rng() % 24),
                     static_cast<int>(rng() % 60), static_cast<int>(rng() % 60));
        const long ms = static_cast<long>(rng() % 1000);
        const int32_t line = static_cast<int32_t>(rng() % 3 == 0 ? rng() % 200000 : rng() % 10000);
        const int32_t level = static_cast<int32_t>(rng() % 9) - 1;
        const int32_t pid = static_cast<int32_t>(rng() % 100000);
        const char* pFunc = bFunc ? func.c_str() : nullptr;
        const std::string got =
            Format(level, path.c_str(), line, pFunc, bDev ? dev.c_str() : nullptr, mod.c_str(),
                   proc.c_str(), pid, &t, ms, "%s", msg.c_str());
        const std::string want =
            Reference(level, path.c_str(), line, pFunc, bDev ? dev.c_str() : "", mod.c_str(),
                      proc.c_str(), pid, &t, ms, msg);
        if (got != want) {
            ++nWrong;
            ADD_FAILURE() << "got  " << got << "\nwant " << want;
        }
    }
}

// Every test of this fixture starts a real engine in file mode in a fresh
// directory and ends with DestroyAsyncLog, which drains the ring into the file.
class LogRecordEngine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SetLogPath(m_Dir.Path().c_str(), "SDK"), 0);
        ASSERT_EQ(SetLogMode(ZQ_MODE_FILES), 0);
    }
    void TearDown() override { DestroyAsyncLog(); }
    std::string LogText() const { return zqtest::ReadFile(m_Dir.File("SDK_00.log")); }

    zqtest::TempDir m_Dir;
};

TEST_F(LogRecordEngine, LevelFilterAndWholeLines) {
    ASSERT_EQ(CreateAsyncLog(), 0);
    for (int32_t level = 0; level <= 7; ++level) {
        EXPECT_EQ(ZQ_OK, WriteLog(level, __FILE__, 3, "T::F", "dev", "L%d", level));  // or filtered
    }
    EXPECT_EQ(ZQ_ERR_INVALID, WriteLog(1, nullptr, 3, "T::F", "dev", "no source"));
    const std::string exe = ExeName();
    ASSERT_EQ(DestroyAsyncLog(), 0);

    const std::string text = LogText();
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    std::vector<std::string> lines = zqtest::SplitCrLf(text);
    ASSERT_EQ(lines.size(), 5u);
    const char* kWords[] = {"Trace  ", "Fatal  ", "Error  ", "Warning", "Info   "};
    for (int32_t level = 0; level <= 4; ++level) {
        SCOPED_TRACE(level);
        const std::string& line = lines[static_cast<size_t>(level)];
        EXPECT_EQ(line.substr(0, 8), std::string(kWords[level]) + " ");
        EXPECT_TRUE(IsStamp(line.substr(8, 23))) << line;
        std::string tail =
            "  DevID:dev  Source-Line:(LogRecordTest.cpp-L0003)  ProcessName:" + exe + "(" +
            std::to_string(getpid()) + ")     Description:[F]L" + std::to_string(level);
        EXPECT_EQ(line.substr(31), tail);
    }
}

TEST_F(LogRecordEngine, LongMessageRawTextAndCallsOutsideTheEngine) {
    EXPECT_EQ(ZQ_ERR_NOT_CREATED, WriteLog(1, "a.c", 1, "f", "d", "before"));
    EXPECT_EQ(ZQ_ERR_NOT_CREATED, WriteRawLog("before\r\n", 8));
    ASSERT_EQ(CreateAsyncLog(), 0);
    EXPECT_EQ(ZQ_OK, WriteLog(1, "a.c", 1, "f", "d", "%s", std::string(2000, 'x').c_str()));
    EXPECT_EQ(ZQ_OK, WriteRawLog("abc", 99));
    EXPECT_EQ(ZQ_OK, WriteRawLog("", 5));  // queued with length 0: adds nothing
    EXPECT_EQ(ZQ_ERR_INVALID, WriteRawLog(nullptr, 5));
    EXPECT_EQ(ZQ_ERR_INVALID, WriteRawLog(std::string(1025, 'y').c_str(), 0));  // > one slot
    ASSERT_EQ(DestroyAsyncLog(), 0);
    EXPECT_EQ(ZQ_ERR_NOT_CREATED, WriteLog(1, "a.c", 1, "f", "d", "after"));
    EXPECT_EQ(ZQ_ERR_NOT_CREATED, WriteRawLog("after\r\n", 7));

    std::string text = LogText();
    ASSERT_EQ(text.size(), 1023u + 3u);
    EXPECT_EQ(text.substr(1021, 2), "\r\n");
    EXPECT_EQ(text.substr(1010, 11), std::string(11, 'x'));
    EXPECT_EQ(text.substr(1023), "abc");
}

// A thread that logged into one log and logs again after the log was made
// anew with another module name: its record carries the new name (the thread
// formats before it takes the lock, from what its last record found, and must
// make the record again), and a level filtered since is filtered at once.
TEST_F(LogRecordEngine, RecordAfterTheLogWasMadeAnewCarriesItsIdentityAndLevel) {
    ASSERT_EQ(SetModuleName("first"), 0);
    ASSERT_EQ(CreateAsyncLog(), 0);
    EXPECT_EQ(ZQ_OK, WriteLog(4, "a.c", 1, "f", "d", "one %d", 1));
    ASSERT_EQ(DestroyAsyncLog(), 0);
    const std::string first = LogText();
    ASSERT_EQ(SetLogPath(m_Dir.Path().c_str(), "SDK"), 0);
    ASSERT_EQ(SetLogMode(ZQ_MODE_FILES), 0);
    ASSERT_EQ(SetModuleName("second"), 0);
    ASSERT_EQ(SetLogLevel(3), 0);
    ASSERT_EQ(CreateAsyncLog(), 0);
    EXPECT_EQ(ZQ_OK, WriteLog(4, "a.c", 1, "f", "d", "filtered %d", 2));
    EXPECT_EQ(ZQ_OK, WriteLog(3, "a.c", 1, "f", "d", "two %d", 3));
    ASSERT_EQ(DestroyAsyncLog(), 0);
    const std::vector<std::string> lines = zqtest::SplitCrLf(LogText());
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("Source-Line:first(a.c-L0001)")) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find("]one 1")) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("Source-Line:second(a.c-L0001)")) << lines[1];
    EXPECT_NE(std::string::npos, lines[1].find("]two 3")) << lines[1];
    EXPECT_EQ(first + lines[1] + "\r\n", LogText());
}

// The engine reloads the watched file when its modification time moved by
// more than a second; the module's level check follows it at once.
TEST_F(LogRecordEngine, ReloadedLevelReachesModule) {
    const std::string ini = m_Dir.File("LogServer.ini");
    ASSERT_TRUE(zqtest::WriteFile(ini, "[Level]\nLogLevel=4\n"));
    ASSERT_EQ(LoadLogConfig(ini.c_str()), 0);
    ASSERT_EQ(CreateAsyncLog(), 0);
    ASSERT_TRUE(zqtest::WriteFile(ini, "[Level]\nLogLevel=6\n"));

    // The time moves on at every poll, so that it differs from whatever the
    // writer remembered, also if the writer only started after the rewrite.
    long long mtime = time(nullptr) + 100;
    EXPECT_TRUE(zqtest::PollUntil([&] {
        EXPECT_TRUE(zqtest::SetMTime(ini, mtime += 10));
        int32_t nLevel = 0;
        EXPECT_EQ(GetLogLevel(&nLevel), 0);
        WriteLog(ZQ_LEVEL_TRACE, "a.c", 1, "f", "d", "probe");  // dropped until the reload
        return nLevel == 6;
    }));
    WriteLog(ZQ_LEVEL_DEBUG, "a.c", 1, "f", "d", "debug passes");
    ASSERT_EQ(DestroyAsyncLog(), 0);
    std::string text = LogText();
    EXPECT_NE(text.find("debug passes\r\n"), std::string::npos);
    EXPECT_EQ(text.rfind("Trace   ", 0), 0u);  // the first probe after the reload was written
}

TEST_F(LogRecordEngine, ConcurrentWritersKeepLinesWhole) {
    constexpr int kThreads = 4;
    constexpr int kRecords = 120;  // 2 * 480 records never fill the 1024-slot ring
    ASSERT_EQ(SetModuleName("mt"), 0);
    ASSERT_EQ(CreateAsyncLog(), 0);
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &running] {
            for (int i = 0; i < kRecords; ++i) {
                WriteLog(ZQ_LEVEL_WARNING, "w.c", i, "W::Run", "dev", "T%d-%d %s", t, i,
                         std::string(static_cast<size_t>(i % 150), 'z').c_str());
                WriteLog(ZQ_LEVEL_TRACE, "w.c", i, "W::Run", "dev", "O%d-%d", t, i);
            }
            running.fetch_sub(1);
        });
    }
    // Every level used here lets the warnings pass; the trace records pass
    // only while the level is 6 or above.
    for (int i = 0; running.load() > 0; ++i) SetLogLevel(i % 2 == 0 ? 3 : 7);
    for (auto& th : threads) th.join();
    EXPECT_EQ(GetLostLogCount(), 0u);
    ASSERT_EQ(DestroyAsyncLog(), 0);

    const std::string text = LogText();
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    std::vector<std::string> lines = zqtest::SplitCrLf(text);
    // Each line is rebuilt from the message it carries and must match whole.
    const std::string identity =
        "  DevID:dev  Source-Line:mt(w.c-L%04d)  ProcessName:" + ExeName() + "(" +
        std::to_string(getpid()) + ")     Description:[Run]";
    std::set<std::string> required;
    for (const std::string& line : lines) {
        const size_t at = line.find("Description:[Run]");
        ASSERT_NE(at, std::string::npos) << line;
        char kind = 0;
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str() + at + 17, "%c%d-%d", &kind, &t, &i), 3) << line;
        ASSERT_TRUE(kind == 'T' || kind == 'O') << line;
        ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kRecords) << line;
        char middle[512];
        std::snprintf(middle, sizeof(middle), identity.c_str(), i);
        std::string message = std::string(1, kind) + std::to_string(t) + "-" + std::to_string(i);
        if (kind == 'T') message += " " + std::string(static_cast<size_t>(i % 150), 'z');
        EXPECT_TRUE(IsStamp(line.substr(8, 23))) << line;
        EXPECT_EQ(line,
                  (kind == 'T' ? "Warning " : "Trace   ") + line.substr(8, 23) + middle + message);
        if (kind == 'T') {
            EXPECT_TRUE(required.insert(message).second) << line;
        }
    }
    EXPECT_EQ(required.size(), static_cast<size_t>(kThreads * kRecords));
}

// Threads that log at once push without a lock: whatever the threads do,
// every record a call reported as queued is in the file once, each thread's
// in the order of its calls, and no other. Rows: threads that outlive the log
// and keep logging until it is destroyed under them; rounds of short-lived
// threads, each ending right after its records (its gate leaves the list that
// the destroy waits on); a ring too small for the burst, so that refused
// records are only those the calls reported.
TEST_F(LogRecordEngine, ThreadsLoggingAtOnceLoseNothingAndKeepTheirOrder) {
    const struct {
        const char* pName;
        int nThreads;  // at once
        int nRounds;   // of threads, one after the other
        int nRecords;  // per thread; 0: until the log is destroyed
        uint32_t nSlots;
    } cases[] = {
        {"destroyed under logging threads", 4, 1, 0, 1024},
        {"short-lived threads", 8, 40, 5, 1024},
        {"full ring", 4, 1, 400, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        zqtest::TempDir dir;
        ASSERT_EQ(SetLogPath(dir.Path().c_str(), "SDK"), 0);
        ASSERT_EQ(SetLogMode(ZQ_MODE_FILES), 0);
        ASSERT_EQ(SetQueueSlotCount(c.nSlots), 0);
        ASSERT_EQ(CreateAsyncLog(), 0);
        const int nWriters = c.nThreads * c.nRounds;
        std::vector<std::vector<int>> queued(static_cast<size_t>(nWriters));
        std::atomic<uint64_t> nRefused{0};
        std::atomic<uint64_t> nQueued{0};
        auto writer = [&](int w) {
            for (int i = 0; c.nRecords == 0 || i < c.nRecords; ++i) {
                const int32_t nRet = WriteLog(ZQ_LEVEL_ERROR, "t.c", 1, "T", "d", "w%d r%d", w, i);
                if (nRet == ZQ_OK) queued[static_cast<size_t>(w)].push_back(i);
                if (nRet == ZQ_OK) nQueued.fetch_add(1);
                if (nRet == ZQ_ERR_QUEUE_FULL) nRefused.fetch_add(1);
                if (nRet == ZQ_ERR_NOT_CREATED) return;
            }
        };
        for (int r = 0; r < c.nRounds; ++r) {
            std::vector<std::thread> threads;
            for (int t = 0; t < c.nThreads; ++t) threads.emplace_back(writer, r * c.nThreads + t);
            if (c.nRecords == 0) {
                ASSERT_TRUE(zqtest::PollUntil([&] { return nQueued.load() >= 8000; }));
                ASSERT_EQ(DestroyAsyncLog(), 0);
            }
            for (auto& th : threads) th.join();
        }
        EXPECT_EQ(GetLostLogCountBy(LossCause::kRingFull), c.nRecords == 0 ? 0 : nRefused.load());
        if (c.nRecords != 0) {
            ASSERT_EQ(DestroyAsyncLog(), 0);
        }

        std::vector<std::vector<int>> written(static_cast<size_t>(nWriters));
        for (const std::string& line :
             zqtest::SplitCrLf(zqtest::ReadFile(dir.File("SDK_00.log")))) {
            int w = -1, i = -1;
            const size_t at = line.find("Description:[T]");
            ASSERT_NE(at, std::string::npos) << line;
            ASSERT_EQ(std::sscanf(line.c_str() + at + 15, "w%d r%d", &w, &i), 2) << line;
            ASSERT_TRUE(w >= 0 && w < nWriters) << line;
            written[static_cast<size_t>(w)].push_back(i);
        }
        for (int w = 0; w < nWriters; ++w) {
            EXPECT_EQ(written[static_cast<size_t>(w)], queued[static_cast<size_t>(w)])
                << "writer " << w;
        }
    }
}

}  // namespace
