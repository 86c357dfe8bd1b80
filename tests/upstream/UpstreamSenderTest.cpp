// The sender against real collectors (rsyslog over tcp and relp, syslog-ng's
// RFC 5424 parser), fed by the real log engine writing its file set. The
// collectors run as child processes on a free loopback port.

#include "upstream/UpstreamSender.h"

#include "tests/support/TestSupport.h"
#include "tests/upstream/Collector.h"
#include "tests/upstream/UpstreamTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zqtest::CCollector;
using zqtest::ECollector;
using zqtest::PollUntil;

constexpr auto kLong = zqtest::kForwardWait;

using zqtest::AllNotes;
using zqtest::CollectNote;
using zqtest::TimesNoted;

const char* ProtocolOf(ECollector e) { return e == ECollector::kRsyslogRelp ? "relp" : "tcp"; }

class UpstreamSenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        zqtest::ClearNotes();
        m_strLog = m_Dir.File("log");
        m_strCfg = m_strLog + "/LogServer.ini";
        ASSERT_EQ(0, mkdir(m_strLog.c_str(), 0755));
    }
    void TearDown() override {
        m_Sender.Stop();
        m_Engine.Stop();
    }

    void Configure(const std::string& strForward) {
        ASSERT_TRUE(zqtest::WriteFile(m_strCfg, zqtest::ForwardIni(strForward)));
    }
    void ConfigureFor(const CCollector& collector, ECollector eKind,
                      const std::string& strMore = "") {
        Configure("Host=127.0.0.1\r\nPort=" + std::to_string(collector.Port()) +
                  "\r\nProtocol=" + ProtocolOf(eKind) + "\r\n" + strMore);
    }
    void StartSender() {
        ASSERT_EQ(0, m_Sender.Start(m_strLog.c_str(), m_strCfg.c_str(), "SDK", CollectNote));
    }
    void Push(uint64_t nFrom, uint64_t nTo, size_t nPad = 40) {
        for (uint64_t k = nFrom; k <= nTo; ++k) m_Engine.Push(zqtest::RecordLine(k, nPad));
    }
    // Every sequence number 1..nCount has arrived.
    static bool AllArrived(const CCollector& collector, uint64_t nCount) {
        const std::map<uint64_t, int> mSeqs = collector.SeqCounts();
        if (mSeqs.size() < nCount) return false;
        for (uint64_t k = 1; k <= nCount; ++k) {
            if (mSeqs.count(k) == 0) return false;
        }
        return true;
    }
    // The numbers missing and those that came twice, as ranges.
    static std::string Missing(const CCollector& collector, uint64_t nCount) {
        const std::map<uint64_t, int> mSeqs = collector.SeqCounts();
        std::ostringstream missing, twice;
        auto Ranges = [&](std::ostringstream& out, auto bIn) {
            int nShown = 0;
            for (uint64_t k = 1; k <= nCount && nShown < 20; ++k) {
                if (!bIn(k)) continue;
                uint64_t nLast = k;
                while (nLast < nCount && bIn(nLast + 1)) ++nLast;
                out << k << "-" << nLast << " ";
                ++nShown;
                k = nLast;
            }
        };
        Ranges(missing, [&](uint64_t k) { return mSeqs.count(k) == 0; });
        Ranges(twice, [&](uint64_t k) {
            const auto it = mSeqs.find(k);
            return it != mSeqs.end() && it->second > 1;
        });
        return "received " + std::to_string(mSeqs.size()) + ", missing: " + missing.str() +
               ", twice: " + twice.str() + "\n";
    }
    std::string StateFile() const { return zqtest::ReadFile(m_strLog + "/SDK_forward.state"); }

    zqtest::TempDir m_Dir;
    std::string m_strLog;
    std::string m_strCfg;
    zqtest::CEngine m_Engine;
    CUpstreamSender m_Sender;
};

// Every line arrives once, in order, each with its own number; the state
// file says where forwarding stands.
TEST_F(UpstreamSenderTest, EveryLineArrivesOnceInOrder) {
    for (ECollector eKind : {ECollector::kRsyslogTcp, ECollector::kRsyslogRelp}) {
        SCOPED_TRACE(ProtocolOf(eKind));
        zqtest::TempDir dir;
        m_strLog = dir.File("log");
        m_strCfg = m_strLog + "/LogServer.ini";
        ASSERT_EQ(0, mkdir(m_strLog.c_str(), 0755));
        CCollector collector(dir.File("collector"), eKind);
        ASSERT_TRUE(collector.Start()) << collector.Log();
        zqtest::CEngine engine;
        ASSERT_TRUE(engine.Start(m_strLog));
        constexpr uint64_t kCount = 5000;
        for (uint64_t k = 1; k <= kCount; ++k) engine.Push(zqtest::RecordLine(k));
        ConfigureFor(collector, eKind);
        CUpstreamSender sender;
        ASSERT_EQ(0, sender.Start(m_strLog.c_str(), m_strCfg.c_str(), "SDK", CollectNote));
        EXPECT_TRUE(PollUntil([&] { return AllArrived(collector, kCount); }, kLong))
            << Missing(collector, kCount) << AllNotes();
        EXPECT_TRUE(PollUntil([&] { return sender.GetStats().nForwarded >= kCount; }, kLong));
        sender.Stop();
        engine.Stop();
        const std::vector<std::string> vLines = collector.Lines();
        ASSERT_EQ(kCount, vLines.size());
        for (size_t i = 0; i < vLines.size(); ++i) {
            ASSERT_EQ(i + 1, zqtest::SeqOf(vLines[i])) << vLines[i];
            ASSERT_EQ(i + 1, zqtest::NumberOf(vLines[i])) << vLines[i];
        }
        EXPECT_NE(std::string::npos, zqtest::ReadFile(m_strLog + "/SDK_forward.state")
                                         .find("seq=" + std::to_string(kCount + 1) + "\n"));
        EXPECT_EQ(kCount, sender.GetStats().nForwarded);
        EXPECT_EQ(1u, sender.GetStats().nSessions);
    }
}

// syslog-ng's own RFC 5424 parser takes every field as it was sent: the
// record's time with its UTC offset, host, application, pid, module, every
// structured-data parameter (unescaped again) and the text.
TEST_F(UpstreamSenderTest, SyslogNgParsesEveryField) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // summer time; read by the sender's thread
    tzset();
    CCollector collector(m_Dir.File("collector"), ECollector::kSyslogNg);
    ASSERT_TRUE(collector.Start()) << collector.Log();
    ASSERT_TRUE(m_Engine.Start(m_strLog));
    const std::string strLong(kMaxLineText + 10, 'y');
    m_Engine.Push(zqtest::RecordLine(1));
    m_Engine.Push(
        "Error   2024-07-01 12:00:00:001  DevID:a\"b]c\\d  Source-Line:mod(x.cpp-L0100)  "
        "ProcessName:proc(42)     Description:[Fn]text \"q\" ] \\ end\r\n");
    m_Engine.Push("raw text, not a record\n");
    // One line longer than a message, from texts without a line end of their own.
    for (size_t nAt = 0; nAt < strLong.size(); nAt += 1000)
        m_Engine.Push(strLong.substr(nAt, 1000));
    m_Engine.Push("\r\n");
    Configure("Host=127.0.0.1\r\nPort=" + std::to_string(collector.Port()) +
              "\r\nHostname=dev-42\r\nFacility=local0\r\n");
    StartSender();
    ASSERT_TRUE(PollUntil([&] { return collector.Lines().size() >= 5; }, kLong))
        << collector.Log() << AllNotes();
    m_Sender.Stop();
    unsetenv("TZ");
    tzset();
    char szBoot[40];
    CSyslogFormatter::ReadBootId(szBoot, sizeof(szBoot));
    const std::string strBoot = szBoot;
    const std::vector<std::string> vLines = collector.Lines();
    ASSERT_EQ(5u, vLines.size());
    // ISODATE|HOST|PROGRAM|PID|MSGID|seq|boot|dev|file|line|func|MESSAGE
    EXPECT_EQ("2024-03-05T07:08:09.045+01:00|dev-42|app|1234|net|1|" + strBoot +
                  "|cam0|main.cpp|42|Run|n=1 " + std::string(40, 'x'),
              vLines[0]);
    EXPECT_EQ("2024-07-01T12:00:00.001+02:00|dev-42|proc|42|mod|2|" + strBoot +
                  "|a\"b]c\\d|x.cpp|100|Fn|text \"q\" ] \\ end",
              vLines[1]);
    // A line that is no record: its text, the time it was sent, no fields.
    const std::string strRawTail = "|dev-42||||3|" + strBoot + "|||||raw text, not a record";
    ASSERT_GT(vLines[2].size(), strRawTail.size());
    EXPECT_EQ(strRawTail, vLines[2].substr(vLines[2].size() - strRawTail.size())) << vLines[2];
    // A line too long for one message comes in two, numbered on.
    EXPECT_NE(std::string::npos, vLines[3].find("|4|" + strBoot + "|||||yyyy")) << vLines[3];
    EXPECT_NE(std::string::npos, vLines[4].find("|5|" + strBoot + "|||||yyyyyyyyyy")) << vLines[4];
    EXPECT_EQ(strLong, vLines[3].substr(vLines[3].size() - kMaxLineText) +
                           vLines[4].substr(vLines[4].size() - 10));
}

// rsyslog stopped (SIGTERM) and started again in the middle of a relp
// stream: nothing is lost; what had no answer is sent again.
TEST_F(UpstreamSenderTest, RelpCollectorRestartMidStreamLosesNothing) {
    CCollector collector(m_Dir.File("collector"), ECollector::kRsyslogRelp);
    ASSERT_TRUE(collector.Start()) << collector.Log();
    ASSERT_TRUE(m_Engine.Start(m_strLog));
    ConfigureFor(collector, ECollector::kRsyslogRelp);
    StartSender();
    constexpr uint64_t kCount = 20000;
    std::thread writer([&] {
        for (uint64_t k = 1; k <= kCount; ++k) {
            m_Engine.Push(zqtest::RecordLine(k));
            if (k % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(PollUntil([&] { return collector.SeqCounts().size() >= 2000; }, kLong));
    EXPECT_TRUE(collector.Stop(SIGTERM));
    EXPECT_TRUE(PollUntil([&] { return m_Sender.GetStats().bConnected == 0; }, kLong));
    ASSERT_TRUE(collector.Start()) << collector.Log();
    writer.join();
    EXPECT_TRUE(PollUntil([&] { return AllArrived(collector, kCount); }, kLong))
        << Missing(collector, kCount) << AllNotes() << collector.Log();
    EXPECT_GE(m_Sender.GetStats().nSessions, 2u);
}

// rsyslog over tcp stopped and started again between two bursts: the sender
// notices the closed connection, comes back, and what was written while the
// collector was away arrives.
TEST_F(UpstreamSenderTest, TcpCollectorRestartLosesNothingItsTcpDidNotTake) {
    CCollector collector(m_Dir.File("collector"), ECollector::kRsyslogTcp);
    ASSERT_TRUE(collector.Start()) << collector.Log();
    ASSERT_TRUE(m_Engine.Start(m_strLog));
    ConfigureFor(collector, ECollector::kRsyslogTcp);
    StartSender();
    Push(1, 5000);
    EXPECT_TRUE(PollUntil([&] { return AllArrived(collector, 5000); }, kLong)) << AllNotes();
    EXPECT_TRUE(collector.Stop(SIGTERM));
    EXPECT_TRUE(PollUntil([&] { return m_Sender.GetStats().bConnected == 0; }, kLong));
    Push(5001, 10000);  // written while nothing listens
    ASSERT_TRUE(collector.Start()) << collector.Log();
    Push(10001, 15000);
    EXPECT_TRUE(PollUntil([&] { return AllArrived(collector, 15000); }, kLong))
        << Missing(collector, 15000) << AllNotes() << collector.Log();
    EXPECT_GE(m_Sender.GetStats().nSessions, 2u);
}

// rsyslog over tcp stopped in the middle of a stream as fast as it takes it:
// what its TCP took and it had not written goes with it. The sender keeps the
// tail of what was acknowledged and sends it again to the next instance:
// nothing is missing, nothing comes more than twice.
TEST_F(UpstreamSenderTest, TcpCollectorStoppedMidStreamLosesNothing) {
    CCollector collector(m_Dir.File("collector"), ECollector::kRsyslogTcp);
    ASSERT_TRUE(collector.Start()) << collector.Log();
    ASSERT_TRUE(m_Engine.Start(m_strLog));
    ConfigureFor(collector, ECollector::kRsyslogTcp);
    StartSender();
    constexpr uint64_t kCount = 200000;
    std::thread writer([&] {
        for (uint64_t k = 1; k <= kCount; ++k) m_Engine.Push(zqtest::RecordLine(k));
    });
    EXPECT_TRUE(PollUntil([&] { return collector.SeqCounts().size() >= 5000; }, kLong));
    EXPECT_TRUE(collector.Stop(SIGTERM));
    EXPECT_TRUE(PollUntil([&] { return m_Sender.GetStats().bConnected == 0; }, kLong));
    ASSERT_TRUE(collector.Start()) << collector.Log();
    writer.join();
    EXPECT_TRUE(PollUntil([&] { return AllArrived(collector, kCount); }, kLong))
        << Missing(collector, kCount) << AllNotes();
    for (const auto& seq : collector.SeqCounts()) EXPECT_LE(seq.second, 2) << "seq " << seq.first;
}

// rsyslog killed in the middle of a relp stream: nothing is lost, and what
// comes twice is at most one window.
TEST_F(UpstreamSenderTest, RelpCollectorKilledLosesNothing) {
    constexpr uint64_t kWindow = 64;
    CCollector collector(m_Dir.File("collector"), ECollector::kRsyslogRelp);
    ASSERT_TRUE(collector.Start()) << collector.Log();
    ASSERT_TRUE(m_Engine.Start(m_strLog));
    ConfigureFor(collector, ECollector::kRsyslogRelp, "Window=" + std::to_string(kWindow) + "\r\n");
    StartSender();
    constexpr uint64_t kCount = 20000;
    std::thread writer([&] {
        for (uint64_t k = 1; k <= kCount; ++k) {
            m_Engine.Push(zqtest::RecordLine(k));
            if (k % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(PollUntil([&] { return collector.SeqCounts().size() >= 2000; }, kLong));
    EXPECT_TRUE(collector.Stop(SIGKILL));
    EXPECT_TRUE(PollUntil([&] { return m_Sender.GetStats().bConnected == 0; }, kLong));
    ASSERT_TRUE(collector.Start()) << collector.Log();
    writer.join();
    EXPECT_TRUE(PollUntil([&] { return AllArrived(collector, kCount); }, kLong))
        << Missing(collector, kCount) << AllNotes();
    uint64_t nTwice = 0;
    for (const auto& seq : collector.SeqCounts()) {
        EXPECT_LE(seq.second, 2) << "seq " << seq.first;
        nTwice += static_cast<uint64_t>(seq.second - 1);
    }
    EXPECT_LE(nTwice, kWindow);
}

// Edits of [Forward] while the sender runs: a Host starts forwarding, another
// target redirects it, an empty Host stops it; the lines written meanwhile
// wait in the files and go out when it starts again.
TEST_F(UpstreamSenderTest, EditsStartRedirectAndStopForwarding) {
    CCollector first(m_Dir.File("first"), ECollector::kRsyslogTcp);
    CCollector second(m_Dir.File("second"), ECollector::kRsyslogRelp);
    ASSERT_TRUE(first.Start()) << first.Log();
    ASSERT_TRUE(second.Start()) << second.Log();
    ASSERT_TRUE(m_Engine.Start(m_strLog));
    Configure("");
    StartSender();
    Push(1, 100);
    ConfigureFor(first, ECollector::kRsyslogTcp);
    EXPECT_TRUE(PollUntil([&] { return AllArrived(first, 100); }, kLong)) << AllNotes();

    ConfigureFor(second, ECollector::kRsyslogRelp);
    ASSERT_TRUE(PollUntil([&] { return m_Sender.GetStats().nSessions == 2; }, kLong)) << AllNotes();
    Push(101, 200);
    EXPECT_TRUE(PollUntil([&] { return second.SeqCounts().size() == 100; }, kLong)) << AllNotes();
    EXPECT_EQ(1, second.SeqCounts()[101]);
    EXPECT_EQ(1, second.SeqCounts()[200]);
    EXPECT_EQ(0u, first.SeqCounts().count(101));

    Configure("Host=\r\n");
    ASSERT_TRUE(PollUntil([&] { return m_Sender.GetStats().bConnected == 0; }, kLong));
    Push(201, 300);
    ConfigureFor(second, ECollector::kRsyslogRelp);
    EXPECT_TRUE(PollUntil([&] { return second.SeqCounts().size() == 200; }, kLong)) << AllNotes();
    EXPECT_EQ(1, second.SeqCounts()[201]);
    EXPECT_EQ(1, second.SeqCounts()[300]);
    EXPECT_EQ(100u, first.SeqCounts().size());
}

// A name that does not resolve and a port where nothing listens are noted and
// tried again later; once the collector is there, the waiting lines go out.
TEST_F(UpstreamSenderTest, UnreachableCollectorIsNotedAndTriedAgain) {
    ASSERT_TRUE(m_Engine.Start(m_strLog));
    Push(1, 50);
    Configure("Host=no-such-host.invalid\r\nFacility=99\r\nWindow=0\r\n");
    StartSender();
    EXPECT_TRUE(
        PollUntil([] { return TimesNoted("cannot resolve no-such-host.invalid") > 0; }, kLong))
        << AllNotes();
    // Each problem of the section is a note, and a record, of its own.
    EXPECT_EQ(1u, TimesNoted("forwarding: [Forward] Facility=99: ")) << AllNotes();
    EXPECT_EQ(1u, TimesNoted("forwarding: [Forward] Window=0: ")) << AllNotes();
    EXPECT_EQ(0u, TimesNoted("\n")) << AllNotes();
    CCollector collector(m_Dir.File("collector"), ECollector::kRsyslogTcp);
    ConfigureFor(collector, ECollector::kRsyslogTcp);
    EXPECT_TRUE(PollUntil([] { return TimesNoted("cannot connect to 127.0.0.1") > 0; }, kLong))
        << AllNotes();
    EXPECT_EQ(0u, m_Sender.GetStats().nSessions);
    ASSERT_TRUE(collector.Start()) << collector.Log();
    EXPECT_TRUE(PollUntil([&] { return AllArrived(collector, 50); }, kLong)) << AllNotes();
    // Plain tcp counts as connected at the collector's first acknowledgement,
    // which the sender may see after the lines have arrived.
    EXPECT_TRUE(PollUntil([] { return TimesNoted("connected to 127.0.0.1") > 0; }, kLong))
        << AllNotes();
}

// The collector is away while the engine writes more than its file set holds:
// the lines rotation deleted unsent are counted, and every line after them
// arrives with the number it had, so the gap shows at the collector.
TEST_F(UpstreamSenderTest, LinesRotatedAwayAreCountedTheRestArrives) {
    ASSERT_TRUE(m_Engine.Start(m_strLog, 2, 10));
    CCollector collector(m_Dir.File("collector"), ECollector::kRsyslogRelp);
    ConfigureFor(collector, ECollector::kRsyslogRelp);
    StartSender();
    // Written once the sender holds the set: it tried the collector already.
    ASSERT_TRUE(PollUntil([] { return TimesNoted("cannot connect to 127.0.0.1") > 0; }, kLong))
        << AllNotes();
    constexpr uint64_t kCount = 26000;  // 1 KB lines: about 2.5 files of 10 MiB
    Push(1, kCount, 800);
    m_Engine.Stop();
    ASSERT_TRUE(PollUntil([&] { return m_Sender.GetStats().nRotatedAway > 0; }, kLong))
        << AllNotes();
    const uint64_t nLost = m_Sender.GetStats().nRotatedAway;
    ASSERT_TRUE(collector.Start()) << collector.Log();
    EXPECT_TRUE(PollUntil([&] { return collector.SeqCounts().size() == kCount - nLost; }, kLong))
        << "lost " << nLost << ", " << collector.SeqCounts().size() << " arrived";
    EXPECT_EQ(nLost, m_Sender.GetStats().nRotatedAway);
    const std::vector<std::string> vLines = collector.Lines();
    ASSERT_EQ(kCount - nLost, vLines.size());
    for (size_t i = 0; i < vLines.size(); ++i) {
        ASSERT_EQ(nLost + 1 + i, zqtest::NumberOf(vLines[i])) << "the oldest lines are the lost";
        ASSERT_EQ(nLost + 1 + i, zqtest::SeqOf(vLines[i])) << "numbers count the lost lines";
    }
    EXPECT_GT(TimesNoted(std::to_string(nLost) + " lines were deleted by rotation"), 0u)
        << AllNotes();
    m_Sender.Stop();
    EXPECT_NE(std::string::npos, StateFile().find("lost=" + std::to_string(nLost) + "\n"))
        << StateFile();
}

}  // namespace
