// [Forward] of LogServer.ini: every key with its default, range and fallback.

#include "upstream/UpstreamConfig.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ConfigCase {
    const char* pName;
    const char* pSection;  // lines after [Forward]
    const char* pHost;
    uint16_t nPort;
    EForwardProtocol eProtocol;
    uint8_t nFacility;
    uint32_t nWindow;
    bool bProblem;  // a problem is described
};

TEST(UpstreamConfig, KeysDefaultsAndRanges) {
    const EForwardProtocol kTcp = EForwardProtocol::kTcp;
    const EForwardProtocol kRelp = EForwardProtocol::kRelp;
    const ConfigCase aCases[] = {
        {"no section: off", nullptr, "", 514, kTcp, 1, 128, false},
        {"host only: tcp on 514", "Host=collector.example\r\n", "collector.example", 514, kTcp, 1,
         128, false},
        {"relp defaults to 2514", "Host=10.0.0.1\r\nProtocol=relp\r\n", "10.0.0.1", 2514, kRelp, 1,
         128, false},
        {"protocol is case-blind", "Host=h\r\nProtocol=RELP\r\n", "h", 2514, kRelp, 1, 128, false},
        {"ipv6 in brackets", "Host=[::1]\r\nPort=6514\r\n", "::1", 6514, kTcp, 1, 128, false},
        {"bare ipv6", "Host=fe80::1\r\n", "fe80::1", 514, kTcp, 1, 128, false},
        {"trailing spaces go", "Host=h  \r\nPort=20514 \r\n", "h", 20514, kTcp, 1, 128, false},
        {"port 0 falls back", "Host=h\r\nPort=0\r\n", "h", 514, kTcp, 1, 128, true},
        {"port 65536 falls back", "Host=h\r\nProtocol=relp\r\nPort=65536\r\n", "h", 2514, kRelp, 1,
         128, true},
        {"port text falls back", "Host=h\r\nPort=abc\r\n", "h", 514, kTcp, 1, 128, true},
        {"unknown protocol: off", "Host=h\r\nProtocol=udp\r\n", "", 514, kTcp, 1, 128, true},
        {"facility by name", "Host=h\r\nFacility=local3\r\n", "h", 514, kTcp, 19, 128, false},
        {"facility by number", "Host=h\r\nFacility=16\r\n", "h", 514, kTcp, 16, 128, false},
        {"facility 24 falls back", "Host=h\r\nFacility=24\r\n", "h", 514, kTcp, 1, 128, true},
        {"facility unknown falls back", "Host=h\r\nFacility=kernel\r\n", "h", 514, kTcp, 1, 128,
         true},
        {"window in range", "Host=h\r\nWindow=1024\r\n", "h", 514, kTcp, 1, 1024, false},
        {"window 0 falls back", "Host=h\r\nWindow=0\r\n", "h", 514, kTcp, 1, 128, true},
        {"empty host: off", "Host=\r\nPort=600\r\n", "", 600, kTcp, 1, 128, false},
    };
    zqtest::TempDir dir;
    const std::string strPath = dir.File("LogServer.ini");
    for (const ConfigCase& c : aCases) {
        SCOPED_TRACE(c.pName);
        std::string strText = "[File]\r\nFileNum=3\r\n";
        if (c.pSection != nullptr) strText += std::string("[Forward]\r\n") + c.pSection;
        ASSERT_TRUE(zqtest::WriteFile(strPath, strText));
        ForwardConfig stCfg;
        char szProblem[512];
        ReadForwardConfig(strPath.c_str(), &stCfg, szProblem, sizeof(szProblem));
        EXPECT_STREQ(c.pHost, stCfg.szHost);
        EXPECT_EQ(c.nPort, stCfg.nPort);
        EXPECT_EQ(c.eProtocol, stCfg.eProtocol);
        EXPECT_EQ(c.nFacility, stCfg.nFacility);
        EXPECT_EQ(c.nWindow, stCfg.nWindow);
        EXPECT_EQ(c.bProblem, szProblem[0] != '\0') << szProblem;
    }
    ForwardConfig stMissing;
    ReadForwardConfig(dir.File("absent.ini").c_str(), &stMissing, nullptr, 0);
    EXPECT_STREQ("", stMissing.szHost);
}

struct TlsConfigCase {
    const char* pSection;
    const char* pHost;  // "": forwarding off
    uint16_t nPort;
    bool bTls;
    ETlsVersion eMin;
    const char* pServerName;
    const char* pKeyFile;
    bool bProblem;
};

TEST(UpstreamConfig, TlsKeys) {
    const ETlsVersion k12 = ETlsVersion::k12;
    const TlsConfigCase aCases[] = {
        {"Host=h\r\n", "h", 514, false, k12, "h", "", false},
        {"Host=h\r\nTLS=1\r\n", "h", 6514, true, k12, "h", "", false},
        {"Host=h\r\nTLS=yes\r\nProtocol=relp\r\n", "h", 2514, true, k12, "h", "", false},
        {"Host=h\r\nTLS=off\r\n", "h", 514, false, k12, "h", "", false},
        // A typing error never sends in clear text.
        {"Host=h\r\nTLS=ture\r\n", "", 514, false, k12, "", "", true},
        {"Host=10.0.0.9\r\nTLS=1\r\nServerName=logs.example\r\nMinTLS=1.3\r\n", "10.0.0.9", 6514,
         true, ETlsVersion::k13, "logs.example", "", false},
        {"Host=h\r\nTLS=1\r\nMinTLS=1.1\r\n", "h", 6514, true, k12, "h", "", true},
        {"Host=h\r\nTLS=1\r\nCertFile=/etc/d.pem\r\n", "h", 6514, true, k12, "h", "/etc/d.pem",
         false},
        {"Host=h\r\nTLS=1\r\nCertFile=/etc/d.pem\r\nKeyFile=/etc/d.key\r\n", "h", 6514, true, k12,
         "h", "/etc/d.key", false},
    };
    zqtest::TempDir dir;
    const std::string strPath = dir.File("LogServer.ini");
    for (const TlsConfigCase& c : aCases) {
        SCOPED_TRACE(c.pSection);
        ASSERT_TRUE(zqtest::WriteFile(strPath, std::string("[Forward]\r\n") + c.pSection));
        ForwardConfig stCfg;
        char szProblem[512];
        ReadForwardConfig(strPath.c_str(), &stCfg, szProblem, sizeof(szProblem));
        EXPECT_STREQ(c.pHost, stCfg.szHost);
        EXPECT_EQ(c.nPort, stCfg.nPort);
        EXPECT_EQ(c.bTls, stCfg.bTls);
        EXPECT_EQ(c.eMin, stCfg.eMinTls);
        if (c.pHost[0] != '\0') {
            EXPECT_STREQ(c.pServerName, TlsServerName(stCfg));
        }
        EXPECT_STREQ(c.pKeyFile, stCfg.szKeyFile);
        EXPECT_EQ(c.bProblem, szProblem[0] != '\0') << szProblem;
    }
}

}  // namespace
