// The sender over TLS against real collectors (rsyslog's imtcp with the gtls
// and ossl stream drivers, imrelp with tls="on", syslog-ng's tls()), with
// certificates the openssl tool makes for each run: what a collector proves
// is forwarded, once; what a bad certificate stops never leaves.

#include "upstream/UpstreamSender.h"

#include "tests/support/TestSupport.h"
#include "tests/upstream/Collector.h"
#include "tests/upstream/UpstreamTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using zqtest::CCollector;
using zqtest::ECollector;
using zqtest::PollUntil;

constexpr auto kLong = zqtest::kForwardWait;
constexpr uint64_t kRecords = 3000;

using zqtest::AllNotes;
using zqtest::CollectNote;
using zqtest::TimesNoted;

enum class ECert { kGood, kExpired, kWrongName, kOtherCa };

struct TlsCase {
    const char* pName;
    ECollector eKind;
    const char* pDriver;   // rsyslog imtcp's stream driver
    ECert eCert;           // what the collector presents
    bool bClientCert;      // the collector demands one; the sender has one
    bool bBehindName;      // Host=zq-collector, whose first address (::1) refuses
    bool bRestart;         // the collector restarted mid-stream
    const char* pRefusal;  // nullptr: every record arrives; else the cause noted
};

void PrintTo(const TlsCase& tc, std::ostream* pOut) { *pOut << tc.pName; }

const TlsCase kCases[] = {
    {"tcp-gtls", ECollector::kRsyslogTcp, "gtls", ECert::kGood, false, false, false, nullptr},
    {"tcp-ossl-client-cert", ECollector::kRsyslogTcp, "ossl", ECert::kGood, true, false, false,
     nullptr},
    {"tcp-syslog-ng", ECollector::kSyslogNg, "", ECert::kGood, false, false, false, nullptr},
    {"relp-restarted", ECollector::kRsyslogRelp, "", ECert::kGood, true, false, true, nullptr},
    {"relp-behind-a-name", ECollector::kRsyslogRelp, "", ECert::kGood, true, true, false, nullptr},
    {"wrong-ca", ECollector::kRsyslogTcp, "gtls", ECert::kOtherCa, false, false, false,
     "certificate is refused: unable to get local issuer certificate"},
    {"expired", ECollector::kRsyslogRelp, "", ECert::kExpired, true, false, false,
     "certificate is refused: certificate has expired"},
    {"wrong-name", ECollector::kRsyslogTcp, "ossl", ECert::kWrongName, false, false, false,
     "certificate is refused: IP address mismatch"},
    // Plain text to a TLS port: its TCP acknowledges what it then throws away.
    {"plain-to-tls", ECollector::kRsyslogTcp, "gtls", ECert::kGood, false, false, false, ""},
};

class TlsForwardTest : public ::testing::TestWithParam<TlsCase> {
protected:
    static void SetUpTestSuite() {
        s_pDir = new zqtest::TempDir();
        s_strPkiError = zqtest::MakeTestPki(s_pDir->File("pki"), &s_Pki);
    }
    static void TearDownTestSuite() {
        delete s_pDir;
        s_pDir = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ("", s_strPkiError);
        zqtest::ClearNotes();
    }

    // The whole case; "" when it passed, "skip: ..." when it cannot run here.
    static std::string Run(const TlsCase& tc, const zqtest::TempDir& dir);

    static zqtest::TempDir* s_pDir;
    static zqtest::TestPki s_Pki;
    static std::string s_strPkiError;
};

zqtest::TempDir* TlsForwardTest::s_pDir = nullptr;
zqtest::TestPki TlsForwardTest::s_Pki;
std::string TlsForwardTest::s_strPkiError;

std::string TlsForwardTest::Run(const TlsCase& tc, const zqtest::TempDir& dir) {
    zqtest::CollectorTls tls;
    tls.strCa = s_Pki.strCa;
    tls.strKey = s_Pki.strServerKey;
    tls.strCert = tc.eCert == ECert::kGood        ? s_Pki.strServerCert
                  : tc.eCert == ECert::kExpired   ? s_Pki.strExpiredCert
                  : tc.eCert == ECert::kWrongName ? s_Pki.strWrongNameCert
                                                  : s_Pki.strOtherCaCert;
    if (*tc.pDriver != '\0') tls.strDriver = tc.pDriver;
    tls.bClientCert = tc.bClientCert;
    const std::string strMissing = CCollector::TlsMissing(tc.eKind, tls);
    if (!strMissing.empty()) return "skip: " + strMissing;

    CCollector collector(dir.File("collector"), tc.eKind, &tls);
    if (!collector.Start()) return "the collector did not start: " + collector.Log();
    const std::string strLog = dir.File("log");
    const std::string strCfg = strLog + "/LogServer.ini";
    if (mkdir(strLog.c_str(), 0755) != 0) return "mkdir";
    std::string strForward =
        std::string("Host=") + (tc.bBehindName ? "zq-collector" : "127.0.0.1") +
        "\r\nPort=" + std::to_string(collector.Port()) +
        "\r\nProtocol=" + (tc.eKind == ECollector::kRsyslogRelp ? "relp" : "tcp") +
        "\r\nTLS=" + (tc.pRefusal != nullptr && *tc.pRefusal == '\0' ? "0" : "1") +
        "\r\nCAFile=" + s_Pki.strCa + "\r\n";
    if (tc.bClientCert) {
        strForward +=
            "CertFile=" + s_Pki.strClientCert + "\r\nKeyFile=" + s_Pki.strClientKey + "\r\n";
    }
    if (!zqtest::WriteFile(strCfg, zqtest::ForwardIni(strForward))) return "cannot configure";

    zqtest::CEngine engine;
    CUpstreamSender sender;
    if (!engine.Start(strLog)) return "the engine did not start";
    if (sender.Start(strLog.c_str(), strCfg.c_str(), "SDK", CollectNote) != 0) {
        return "the sender did not start";
    }
    auto Push = [&](uint64_t nFrom, uint64_t nTo) {
        for (uint64_t k = nFrom; k <= nTo; ++k) engine.Push(zqtest::RecordLine(k));
    };
    std::string strFault;
    if (tc.pRefusal != nullptr) {
        Push(1, kRecords);
        // Tried again, with the cause said once and nothing sent.
        if (!PollUntil([&] { return sender.GetStats().nFailedAttempts >= 3; }, kLong)) {
            strFault = "not retried";
        }
        const UpstreamStats st = sender.GetStats();
        const bool bPlain = *tc.pRefusal == '\0';
        if (st.nForwarded != 0 || (!bPlain && (st.bConnected != 0 || st.nSessions != 0))) {
            strFault += " forwarded " + std::to_string(st.nForwarded) + ", connected " +
                        std::to_string(st.bConnected) + ", sessions " +
                        std::to_string(st.nSessions);
        }
        if (std::string(st.szLastFailure).find(tc.pRefusal) == std::string::npos) {
            strFault += " last failure: " + std::string(st.szLastFailure);
        }
        if (!bPlain && TimesNoted(tc.pRefusal) != 1) strFault += " noted not once";
        if (!collector.Lines().empty()) strFault += " the collector got lines";
    } else {
        Push(1, kRecords / 2);
        if (tc.bRestart) {
            // Some taken, then the collector goes and comes back.
            if (!PollUntil([&] { return sender.GetStats().nForwarded > 100; }, kLong)) {
                strFault = "nothing forwarded before the restart";
            }
            (void)collector.Stop();
            if (!collector.Start()) strFault += " no restart: " + collector.Log();
        }
        Push(kRecords / 2 + 1, kRecords);
        const bool bAll = PollUntil(
            [&] {
                const std::map<uint64_t, int> mSeqs = collector.SeqCounts();
                return mSeqs.size() == kRecords && mSeqs.rbegin()->first == kRecords &&
                       sender.GetStats().nForwarded >= kRecords;
            },
            kLong);
        if (!bAll) strFault += " not all arrived";
        // Once each and in order; after a restart RELP may send a message
        // the old collector wrote but did not answer.
        uint64_t nLast = 0;
        for (const std::string& strLine : collector.Lines()) {
            const uint64_t nSeq = zqtest::SeqOf(tc.eKind, strLine);
            if (nSeq != nLast + 1 && !tc.bRestart) {
                strFault += " after " + std::to_string(nLast) + ": " + strLine;
                break;
            }
            nLast = nSeq;
        }
        const UpstreamStats st = sender.GetStats();
        if (!tc.bRestart && st.nForwarded != kRecords) {
            strFault += " forwarded " + std::to_string(st.nForwarded);
        }
        if (st.bConnected != 1 || TimesNoted("and TLSv1.") == 0) strFault += " not connected";
    }
    sender.Stop();
    engine.Stop();
    if (strFault.empty()) return "";
    // Short enough for the pipe of a case run in a child.
    return (strFault + "\nnotes:\n" + AllNotes() + "collector:\n" + collector.Log())
        .substr(0, 16000);
}

TEST_P(TlsForwardTest, Forwards) {
    const TlsCase& tc = GetParam();
    zqtest::TempDir dir;
    std::string strGot;
    if (tc.bBehindName) {
        ASSERT_TRUE(
            zqtest::WriteFile(dir.File("hosts"), "::1 zq-collector\n127.0.0.1 zq-collector\n"));
        strGot = zqtest::WithHosts(
            dir, dir.File("hosts"), [&] { return Run(tc, dir); }, 3 * kLong);
    } else {
        strGot = Run(tc, dir);
    }
    if (strGot.rfind("skip: ", 0) == 0) GTEST_SKIP() << strGot;
    EXPECT_EQ("", strGot);
}

INSTANTIATE_TEST_SUITE_P(Collectors, TlsForwardTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TlsCase>& param) {
                             std::string strName = param.param.pName;
                             std::replace(strName.begin(), strName.end(), '-', '_');
                             return strName;
                         });

}  // namespace
