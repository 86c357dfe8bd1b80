#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The [Forward] section of LogServer.ini: where the daemon sends a copy of its
// records, and how. Every key, its default and its range is defined here and
// read by ReadForwardConfig alone.
//
//   [Forward]
//   Host=collector.example.net   name, IPv4 or IPv6 address ([::1] or ::1); empty: off
//   Port=514                     1..65535; default 514 for tcp, 2514 for relp
//   Protocol=tcp                 tcp (RFC 6587 octet counting) or relp
//   Facility=user                0..23 or a name (kern, user, ..., local7)
//   Hostname=cam-0042            HOSTNAME of the messages; default: the system's
//   Window=128                   relp: messages sent and not yet acknowledged, 1..1024
//   TLS=0                        1: over TLS (RFC 5425 for tcp; relp as imrelp's tls="on")
//   CAFile=/etc/ssl/certs/ca.pem the certificates trusted; default: the system's bundle
//   ServerName=logs.example.net  SNI and the name the collector's certificate carries; default Host
//   CertFile=, KeyFile=          a client certificate (PEM chain) and its key, both or neither
//   MinTLS=1.2                   the lowest version allowed: 1.2 or 1.3

constexpr const char* kForwardSection = "Forward";
constexpr uint32_t kForwardHostLen = 255;      // a DNS name is at most 253 characters
constexpr uint32_t kForwardHostnameLen = 255;  // RFC 5424 HOSTNAME: 1*255 PRINTUSASCII
constexpr uint16_t kDefaultTcpPort = 514;
constexpr uint16_t kDefaultRelpPort = 2514;
constexpr uint16_t kDefaultTlsPort = 6514;  // syslog over TLS (RFC 5425); relp keeps its own
constexpr uint32_t kForwardPathLen = 255;
constexpr uint8_t kDefaultFacility = 1;  // user
constexpr uint32_t kDefaultRelpWindow = 128;
constexpr uint32_t kMaxRelpWindow = 1024;

enum class EForwardProtocol : uint8_t { kTcp, kRelp };
enum class ETlsVersion : uint8_t { k12, k13 };

struct ForwardConfig {
    char szHost[kForwardHostLen + 1];  // empty: forwarding off
    uint16_t nPort;                    // never 0 once read
    EForwardProtocol eProtocol;
    uint8_t nFacility;                         // 0..23
    char szHostname[kForwardHostnameLen + 1];  // empty: the system's host name
    uint32_t nWindow;                          // 1..kMaxRelpWindow
    bool bTls;
    ETlsVersion eMinTls;
    char szCaFile[kForwardPathLen + 1];      // empty: the system's bundle
    char szServerName[kForwardHostLen + 1];  // empty: szHost
    char szCertFile[kForwardPathLen + 1];    // empty: no client certificate
    char szKeyFile[kForwardPathLen + 1];
};

// The name the collector's certificate must carry: ServerName, else Host.
const char* TlsServerName(const ForwardConfig& cfg);
// TLS on, and every key of it the same.
inline bool SameTls(const ForwardConfig& a, const ForwardConfig& b) {
    return a.bTls == b.bTls && a.eMinTls == b.eMinTls && std::strcmp(a.szCaFile, b.szCaFile) == 0 &&
           std::strcmp(a.szServerName, b.szServerName) == 0 &&
           std::strcmp(a.szCertFile, b.szCertFile) == 0 &&
           std::strcmp(a.szKeyFile, b.szKeyFile) == 0;
}

// Forwarding off, every other key at its default.
void DefaultForwardConfig(ForwardConfig* pCfg);

// Where to connect: host, port, protocol and TLS. A change of any of them ends the
// current connection.
bool SameTarget(const ForwardConfig& a, const ForwardConfig& b);
bool SameConfig(const ForwardConfig& a, const ForwardConfig& b);

// Reads [Forward] of the INI file at pPath into *pCfg (a missing file or
// section: forwarding off). A value out of range falls back to its default; an
// unknown Protocol turns forwarding off, since frames of the wrong protocol
// would be garbage to the collector. Each such problem is described in
// pProblem (one line each, empty when none; cut to nProblemLen).
void ReadForwardConfig(const char* pPath, ForwardConfig* pCfg, char* pProblem, size_t nProblemLen);

// Whether pKey is one of the keys above (names are matched exactly, as the
// file is read).
bool IsForwardKey(const char* pKey);

// The name of a protocol as Protocol= writes it ("tcp", "relp").
const char* ProtocolName(EForwardProtocol eProtocol);
