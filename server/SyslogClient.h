#pragma once

#include "platform/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// zqlog's way to a syslog server of the user's choosing (-n host, -u socket),
// which bypasses the log module: messages go out on the wire exactly as
// logger(1) of util-linux 2.38 sends them for the same options (its header
// forms, framings, defaults and the way it cuts and splits long input), so a
// script that names a server can use either program.
//
// Header forms, by what the options choose:
//   local (-u, the default there):  <PRI>Mmm dd hh:mm:ss TAG[PID]: MSG
//   --rfc3164:                      <PRI>Mmm dd hh:mm:ss HOST TAG[PID]: MSG
//   --rfc5424 (the default for -n): <PRI>1 TIME HOST TAG PID MSGID SD MSG
// "[PID]" and PID only with -i or --id; TCP frames each message with a line
// feed, or, with --octet-count, with its length and a space in front.
//
// Used by zqlog's main thread alone.

// One element of structured data as --sd-id and --sd-param give it: the
// SD-ID and its parameters, each name="value" with the value as RFC 5424
// writes it ('"', '\' and ']' escaped).
struct SdElement {
    std::string strId;
    std::vector<std::string> vParams;
};
// The elements as a message carries them, "[id p1 p2][id2 p3]"; an element
// without parameters is left out (as logger does). Empty when none is left.
std::string JoinSd(const std::vector<SdElement>& vSd);

// The syslog prefix "<N>" that --prio-prefix takes from the start of p[0, n),
// read as logger reads it: digits while the number is at most 191, then '>'
// (so "<>" is 0). *pPri is the priority (kern turned into user), *pLen the
// bytes of the prefix; false (both untouched) when p does not start with one.
bool ReadPrioPrefix(const char* p, size_t n, uint32_t* pPri, size_t* pLen);

// Whether logger would print the errors of a Unix socket in its automatic
// mode: when nothing is sent anyway (--no-act) or a copy goes to standard
// error, or when systemd runs the system (its socket then exists early).
bool AutoSocketErrors(bool bNoAct, bool bStderr);

enum class EWireFormat : uint8_t { kLocal, kRfc3164, kRfc5424 };
constexpr uint32_t kSocketUdp = 1;         // datagrams: UDP, or a datagram Unix socket
constexpr uint32_t kSocketTcp = 2;         // a stream: TCP, or a stream Unix socket
constexpr uint32_t kLoggerMaxSize = 1024;  // logger's -S default
constexpr uint32_t kLoggerFacilityUser = 1;

struct SyslogClientConfig {
    const char* pServer = nullptr;              // -n; null: the Unix socket pSocket
    const char* pPort = nullptr;                // -P; null: syslog (UDP) or syslog-conn (TCP)
    const char* pSocket = nullptr;              // -u
    uint32_t nTypes = kSocketUdp | kSocketTcp;  // -d, -T: tried in this order
    bool bFormatSet = false;                    // --rfc3164 or --rfc5424 given
    EWireFormat eFormat = EWireFormat::kLocal;
    bool bTime = true;         // --rfc5424 without notime
    bool bTimeQuality = true;  // without notq (and no --sd-id timeQuality)
    bool bHost = true;         // without nohost
    bool bOctetCount = false;
    bool bNoAct = false;
    bool bStderr = false;
    bool bSocketErrors = false;  // --socket-errors as decided for this run
    bool bSkipEmpty = false;
    bool bPrioPrefix = false;
    uint32_t nPri = kLoggerFacilityUser * 8 + 5;  // user.notice
    const char* pTag = nullptr;                   // null: the user's login name
    const char* pMsgId = nullptr;
    int32_t nPid = 0;  // 0: none in the header
    size_t nMaxSize = kLoggerMaxSize;
    std::vector<SdElement> vSd;
};

class CSyslogClient {
public:
    explicit CSyslogClient(const SyslogClientConfig& stConfig);
    CSyslogClient(const CSyslogClient&) = delete;
    CSyslogClient& operator=(const CSyslogClient&) = delete;

    // Connects and makes the first header. False, with the reason said on
    // standard error, when the server cannot be resolved or reached, or the
    // Unix socket not (only when its errors are to be printed), or when the
    // tag or host name is too long for RFC 5424.
    bool Open();
    // The arguments joined by spaces, in messages of at most nMaxSize bytes
    // (a longer argument is cut); each message as one, line breaks and all.
    void LogArgs(int argc, char** argv);
    // One message per line of pIn; a line longer than what a message holds
    // after its header goes out in several.
    void LogStream(FILE* pIn);
    // False when a connection was lost for good on the way (the reason said).
    bool Ok() const { return m_bOk; }

private:
    bool Connect();
    bool ConnectInet();
    bool ConnectUnix();
    void MakeHeader();
    void Write(const char* pMsg);

    const SyslogClientConfig& m_Config;
    uint32_t m_nPri;
    std::string m_strTag;
    std::string m_strHeader;
    std::string m_strTimeQuality;  // made once, as logger does
    uint32_t m_nType = 0;          // the socket type in use
    CUniqueFd m_Fd;
    bool m_bOk = true;
};
