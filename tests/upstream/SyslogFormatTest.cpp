// The RFC 5424 form of the daemon's lines: every header field from the
// record, the structured data, the time with the device's UTC offset.

#include "upstream/SyslogFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Runs with a time zone that has summer time (Central Europe, as a POSIX rule:
// no zone files needed), and restores the old one.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* pZone) {
        const char* pOld = std::getenv("TZ");
        m_bHad = pOld != nullptr;
        if (m_bHad) m_strOld = pOld;
        setenv("TZ", pZone, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (m_bHad) {
            setenv("TZ", m_strOld.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_bHad = false;
    std::string m_strOld;
};

std::string Format(CSyslogFormatter* pFormatter, const std::string& strLine, uint64_t nSeq) {
    std::vector<char> vOut(kMaxSyslogMessage);
    const uint32_t nLen = pFormatter->Format(strLine.data(), static_cast<uint32_t>(strLine.size()),
                                             nSeq, vOut.data());
    EXPECT_LE(nLen, kMaxSyslogMessage);
    return std::string(vOut.data(), nLen);
}

struct FormatCase {
    const char* pName;
    const char* pLine;
    const char* pExpected;
};

TEST(SyslogFormat, RecordsBecomeRfc5424Messages) {
    ZoneGuard zone("CET-1CEST,M3.5.0,M10.5.0/3");
    CSyslogFormatter formatter;
    formatter.SetIdentity("cam-0042", 16, "b00t");  // local0
    const FormatCase aCases[] = {
        {"info in winter: +01:00",
         "Info    2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)  "
         "ProcessName:app(1234)     Description:[Run]started",
         "<134>1 2024-03-05T07:08:09.045+01:00 cam-0042 app 1234 net [zqlog@32473 seq=\"17\" "
         "boot=\"b00t\" dev=\"cam0\" file=\"main.cpp\" line=\"42\" func=\"Run\"] started"},
        {"fatal in summer: crit, +02:00",
         "Fatal   2024-07-01 23:59:59:999  DevID:d  Source-Line:m(a.cpp-L12345)  "
         "ProcessName:p(7)     Description:[f]boom",
         "<130>1 2024-07-01T23:59:59.999+02:00 cam-0042 p 7 m [zqlog@32473 seq=\"17\" "
         "boot=\"b00t\" dev=\"d\" file=\"a.cpp\" line=\"12345\" func=\"f\"] boom"},
        {"error is err",
         "Error   2024-01-02 03:04:05:006  DevID:d  Source-Line:m(a.cpp-L0001)  "
         "ProcessName:p(7)     Description:[f]x",
         "<131>1 2024-01-02T03:04:05.006+01:00 cam-0042 p 7 m [zqlog@32473 seq=\"17\" "
         "boot=\"b00t\" dev=\"d\" file=\"a.cpp\" line=\"1\" func=\"f\"] x"},
        {"warning, empty module and function, no text",
         "Warning 2024-01-02 03:04:05:006  DevID:  Source-Line:(a.cpp-L0007)  "
         "ProcessName:p(7)     Description:[]",
         "<132>1 2024-01-02T03:04:05.006+01:00 cam-0042 p 7 - [zqlog@32473 seq=\"17\" "
         "boot=\"b00t\" dev=\"\" file=\"a.cpp\" line=\"7\" func=\"\"]"},
        {"debug and trace are debug",
         "Trace   2024-01-02 03:04:05:006  DevID:d  Source-Line:m(a.cpp-L0001)  "
         "ProcessName:p(7)     Description:[f]t",
         "<135>1 2024-01-02T03:04:05.006+01:00 cam-0042 p 7 m [zqlog@32473 seq=\"17\" "
         "boot=\"b00t\" dev=\"d\" file=\"a.cpp\" line=\"1\" func=\"f\"] t"},
        {"structured data escaped, header fields cleaned",
         "Info    2024-01-02 03:04:05:006  DevID:a\"b]c\\d  Source-Line:my mod(a.cpp-L0001)  "
         "ProcessName:my app(7)     Description:[f]text with \"quotes\" ] and \\",
         "<134>1 2024-01-02T03:04:05.006+01:00 cam-0042 my_app 7 my_mod [zqlog@32473 "
         "seq=\"17\" boot=\"b00t\" dev=\"a\\\"b\\]c\\\\d\" file=\"a.cpp\" line=\"1\" func=\"f\"] "
         "text with \"quotes\" ] and \\"},
        {"control characters escaped in data and text, tabs kept",
         "Info    2024-01-02 03:04:05:006  DevID:a\x1b[2Jb  Source-Line:m(a.cpp-L0001)  "
         "ProcessName:p(7)     Description:[f]red \x1b[31m\ttext\x7f",
         "<134>1 2024-01-02T03:04:05.006+01:00 cam-0042 p 7 m [zqlog@32473 seq=\"17\" "
         "boot=\"b00t\" dev=\"a#033[2Jb\" file=\"a.cpp\" line=\"1\" func=\"f\"] "
         "red #033[31m\ttext#177"},
    };
    for (const FormatCase& c : aCases) {
        SCOPED_TRACE(c.pName);
        EXPECT_EQ(c.pExpected, Format(&formatter, c.pLine, 17));
    }
}

// Lines outside the record format go out whole, with the time of sending.
TEST(SyslogFormat, OtherLinesGoOutAsTheirText) {
    ZoneGuard zone("UTC0");
    CSyslogFormatter formatter;
    formatter.SetIdentity("", 1, "b");
    const char* aLines[] = {
        "plain text from a raw datagram",
        "Info    not a date",
        "Info    2024-03-05 07:08:09:045  DevID:x  no source part",
        ("Banana  2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)  "
         "ProcessName:app(1234)     Description:[Run]started"),
    };
    for (const char* pLine : aLines) {
        SCOPED_TRACE(pLine);
        const std::string strMsg = Format(&formatter, pLine, 5);
        // <14>1 <now> - - - - [zqlog@32473 seq="5" boot="b"] <line>
        ASSERT_EQ(0u, strMsg.rfind("<14>1 ", 0)) << strMsg;
        const std::string strTail =
            std::string(" - - - - [zqlog@32473 seq=\"5\" boot=\"b\"] ") + pLine;
        ASSERT_GT(strMsg.size(), strTail.size());
        EXPECT_EQ(strTail, strMsg.substr(strMsg.size() - strTail.size())) << strMsg;
        const std::string strTime = strMsg.substr(6, strMsg.size() - 6 - strTail.size());
        EXPECT_EQ(24u, strTime.size()) << strTime;  // 2026-12-08T07:46:08.781Z
        EXPECT_EQ('Z', strTime.back());
        EXPECT_EQ('T', strTime[10]);
    }
    // A record whose writer had no local time (0-00-00) gets the send time too.
    const std::string strNoTime =
        Format(&formatter,
               "Info    0-00-00 00:00:00:000  DevID:d  Source-Line:m(a-L0001)  "
               "ProcessName:p(7)     Description:[f]x",
               1);
    EXPECT_EQ(std::string::npos, strNoTime.find(" 0-00-00")) << strNoTime;
    EXPECT_NE(std::string::npos, strNoTime.find(" p 7 m [zqlog@32473")) << strNoTime;
}

// A line at the longest still fits the buffer when every byte of it needs
// escaping.
TEST(SyslogFormat, WorstCaseLineFitsTheBuffer) {
    CSyslogFormatter formatter;
    formatter.SetIdentity(std::string(300, 'h').c_str(), 1, "b");
    const std::string strHead = "Info    2024-01-02 03:04:05:006  DevID:";
    const std::string strTail =
        "  Source-Line:m(a.cpp-L0001)  ProcessName:p(7)     Description:[f]";
    const std::string strLine =
        strHead + std::string(kMaxLineText - strHead.size() - strTail.size(), '"') + strTail;
    ASSERT_EQ(kMaxLineText, strLine.size());
    const std::string strMsg = Format(&formatter, strLine, UINT64_MAX);
    EXPECT_NE(std::string::npos, strMsg.find(" hhhh")) << "hostname kept";
    EXPECT_EQ(std::string::npos, strMsg.find(std::string(256, 'h'))) << "hostname cut at 255";
    EXPECT_NE(std::string::npos, strMsg.find("seq=\"18446744073709551615\""));
}

// A record of zqlog --sd-id carries structured data behind the function mark:
// the forwarder sends it after its own element, with func empty. Whatever is
// not well formed, repeats an SD-ID or names the forwarder's own (or origin)
// goes out as any record does, the text whole.
TEST(SyslogFormat, CarriedStructuredDataFollowsTheForwardersElement) {
    ZoneGuard zone("UTC0");
    CSyslogFormatter formatter;
    formatter.SetIdentity("h", 1, "b");
    const std::string strHead =
        "Info    2024-01-02 03:04:05:006  DevID:d  Source-Line:m(zqlog-L0001)  "
        "ProcessName:p(7)     Description:[";
    const std::string strOwn =
        "<14>1 2024-01-02T03:04:05.006Z h p 7 m [zqlog@32473 seq=\"3\" boot=\"b\" dev=\"d\" "
        "file=\"zqlog\" line=\"1\" func=\"";
    const FormatCase aCases[] = {
        {"two elements and a message", "@sd][a@1 k=\"v\\\"\\]\\\\\" n=\"\"][meta x=\"y\"] text",
         "\"][a@1 k=\"v\\\"\\]\\\\\" n=\"\"][meta x=\"y\"] text"},
        {"no message", "@sd][a@1.2.3 k=\"v\"]", "\"][a@1.2.3 k=\"v\"]"},
        {"an element without parameters", "@sd][a@1] x", "\"][a@1] x"},
        {"control characters in a value", "@sd][a@1 k=\"\x1b[2J\"] x", "\"][a@1 k=\"#033[2J\"] x"},
        {"the forwarder's own SD-ID", "@sd][zqlog@32473 seq=\"1\"] x",
         "@sd\"] [zqlog@32473 seq=\"1\"] x"},
        {"origin", "@sd][origin ip=\"1.2.3.4\"] x", "@sd\"] [origin ip=\"1.2.3.4\"] x"},
        {"an SD-ID twice", "@sd][a@1 k=\"1\"][a@1 k=\"2\"] x",
         "@sd\"] [a@1 k=\"1\"][a@1 k=\"2\"] x"},
        {"']' not escaped", "@sd][a@1 k=\"v]\"] x", "@sd\"] [a@1 k=\"v]\"] x"},
        {"no space before the message", "@sd][a@1 k=\"v\"]x", "@sd\"] [a@1 k=\"v\"]x"},
        {"an unregistered name", "@sd][abc k=\"v\"] x", "@sd\"] [abc k=\"v\"] x"},
        {"a parameter name too long", "@sd][a@1 aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa=\"v\"] x",
         "@sd\"] [a@1 aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa=\"v\"] x"},
        {"not the mark: a function's text", "Run][a@1 k=\"v\"] x", "Run\"] [a@1 k=\"v\"] x"},
        {"no mark", "][a@1 k=\"v\"] x", "\"] [a@1 k=\"v\"] x"},
    };
    for (const FormatCase& c : aCases) {
        SCOPED_TRACE(c.pName);
        EXPECT_EQ(strOwn + c.pExpected, Format(&formatter, strHead + c.pLine, 3));
    }
}

}  // namespace
