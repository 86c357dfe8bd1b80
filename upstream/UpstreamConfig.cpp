#include "upstream/UpstreamConfig.h"

#include "logmodule/RecordFormat.h"
#include "platform/DecimalText.h"
#include "platform/ProfileReader.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kKeyHost = "Host";
constexpr const char* kKeyPort = "Port";
constexpr const char* kKeyProtocol = "Protocol";
constexpr const char* kKeyFacility = "Facility";
constexpr const char* kKeyHostname = "Hostname";
constexpr const char* kKeyWindow = "Window";
constexpr const char* kKeyTls = "TLS";
constexpr const char* kKeyCaFile = "CAFile";
constexpr const char* kKeyServerName = "ServerName";
constexpr const char* kKeyCertFile = "CertFile";
constexpr const char* kKeyKeyFile = "KeyFile";
constexpr const char* kKeyMinTls = "MinTLS";
constexpr size_t kValueLen = 260;  // one value of the file; longer values are cut
constexpr long kMaxPort = 65535;

// The value of a key with its trailing spaces removed (ReadProfileString keeps
// them; no key of this section has a meaningful trailing space).
void ReadValue(const char* pKey, const char* pPath, char* pOut, size_t nOut) {
    (void)ReadProfileString(kForwardSection, pKey, "", pOut, static_cast<uint32_t>(nOut), pPath);
    size_t nLen = std::strlen(pOut);
    while (nLen > 0 && (pOut[nLen - 1] == ' ' || pOut[nLen - 1] == '\t')) pOut[--nLen] = '\0';
}

void AddProblem(char* pProblem, size_t nLen, const char* pKey, const char* pValue,
                const char* pWhat) {
    if (pProblem == nullptr || nLen == 0) return;
    const size_t nUsed = std::strlen(pProblem);
    if (nUsed + 1 >= nLen) return;
    (void)std::snprintf(pProblem + nUsed, nLen - nUsed, "[%s] %s=%s: %s\n", kForwardSection, pKey,
                        pValue, pWhat);
}

// A path key: a value longer than the field is a problem (a cut path would
// name another file) and leaves the field empty; *pOk false then.
void ReadPath(const char* pKey, const char* pPath, char* pOut, size_t nOut, char* pProblem,
              size_t nProblemLen, bool* pOk) {
    char szValue[kValueLen];
    ReadValue(pKey, pPath, szValue, sizeof(szValue));
    if (std::strlen(szValue) >= nOut) {
        AddProblem(pProblem, nProblemLen, pKey, szValue, "too long; forwarding is off");
        *pOk = false;
        szValue[0] = '\0';
    }
    std::memcpy(pOut, szValue, std::strlen(szValue) + 1);  // fits: checked above
}

// TLS=: 1/0 and their usual spellings; *pKnown false for anything else.
bool ParseSwitch(const char* pValue, bool* pKnown) {
    static const char* const kOn[] = {"1", "yes", "on", "true"};
    static const char* const kOff[] = {"", "0", "no", "off", "false"};
    *pKnown = true;
    for (const char* p : kOn) {
        if (strcasecmp(pValue, p) == 0) return true;
    }
    for (const char* p : kOff) {
        if (strcasecmp(pValue, p) == 0) return false;
    }
    *pKnown = false;
    return false;
}

}  // namespace

bool IsForwardKey(const char* pKey) {
    static const char* const kKeys[] = {
        kKeyHost, kKeyPort,       kKeyProtocol, kKeyFacility, kKeyHostname, kKeyWindow,
        kKeyTls,  kKeyServerName, kKeyCaFile,   kKeyCertFile, kKeyKeyFile,  kKeyMinTls,
    };
    for (const char* p : kKeys) {
        if (std::strcmp(p, pKey) == 0) return true;
    }
    return false;
}

const char* TlsServerName(const ForwardConfig& cfg) {
    return cfg.szServerName[0] != '\0' ? cfg.szServerName : cfg.szHost;
}

void DefaultForwardConfig(ForwardConfig* pCfg) {
    std::memset(pCfg, 0, sizeof(*pCfg));
    pCfg->nPort = kDefaultTcpPort;
    pCfg->eProtocol = EForwardProtocol::kTcp;
    pCfg->nFacility = kDefaultFacility;
    pCfg->nWindow = kDefaultRelpWindow;
}

bool SameTarget(const ForwardConfig& a, const ForwardConfig& b) {
    return std::strcmp(a.szHost, b.szHost) == 0 && a.nPort == b.nPort &&
           a.eProtocol == b.eProtocol && SameTls(a, b);
}

bool SameConfig(const ForwardConfig& a, const ForwardConfig& b) {
    return SameTarget(a, b) && a.nFacility == b.nFacility &&
           std::strcmp(a.szHostname, b.szHostname) == 0 && a.nWindow == b.nWindow;
}

const char* ProtocolName(EForwardProtocol eProtocol) {
    return eProtocol == EForwardProtocol::kRelp ? "relp" : "tcp";
}

void ReadForwardConfig(const char* pPath, ForwardConfig* pCfg, char* pProblem, size_t nProblemLen) {
    DefaultForwardConfig(pCfg);
    if (pProblem != nullptr && nProblemLen > 0) pProblem[0] = '\0';
    if (pPath == nullptr) return;
    char szValue[kValueLen];

    ReadValue(kKeyProtocol, pPath, szValue, sizeof(szValue));
    bool bProtocolOk = true;
    if (szValue[0] == '\0' || strcasecmp(szValue, ProtocolName(EForwardProtocol::kTcp)) == 0) {
        pCfg->eProtocol = EForwardProtocol::kTcp;
    } else if (strcasecmp(szValue, ProtocolName(EForwardProtocol::kRelp)) == 0) {
        pCfg->eProtocol = EForwardProtocol::kRelp;
    } else {
        bProtocolOk = false;
        AddProblem(pProblem, nProblemLen, kKeyProtocol, szValue,
                   "not tcp or relp; forwarding is off");
    }

    // TLS before the port, whose default it changes. A value that is neither
    // on nor off turns forwarding off: guessing "off" would send in the clear
    // what the operator meant to protect.
    ReadValue(kKeyTls, pPath, szValue, sizeof(szValue));
    bool bTlsKnown = true;
    pCfg->bTls = ParseSwitch(szValue, &bTlsKnown);
    if (!bTlsKnown) {
        bProtocolOk = false;
        AddProblem(pProblem, nProblemLen, kKeyTls, szValue, "not 0 or 1; forwarding is off");
    }
    if (pCfg->eProtocol == EForwardProtocol::kRelp) {
        pCfg->nPort = kDefaultRelpPort;
    } else {
        pCfg->nPort = pCfg->bTls ? kDefaultTlsPort : kDefaultTcpPort;
    }
    ReadValue(kKeyMinTls, pPath, szValue, sizeof(szValue));
    if (std::strcmp(szValue, "1.3") == 0) {
        pCfg->eMinTls = ETlsVersion::k13;
    } else if (szValue[0] != '\0' && std::strcmp(szValue, "1.2") != 0) {
        AddProblem(pProblem, nProblemLen, kKeyMinTls, szValue, "not 1.2 or 1.3; 1.2 used");
    }
    ReadPath(kKeyCaFile, pPath, pCfg->szCaFile, sizeof(pCfg->szCaFile), pProblem, nProblemLen,
             &bProtocolOk);
    ReadPath(kKeyServerName, pPath, pCfg->szServerName, sizeof(pCfg->szServerName), pProblem,
             nProblemLen, &bProtocolOk);
    ReadPath(kKeyCertFile, pPath, pCfg->szCertFile, sizeof(pCfg->szCertFile), pProblem, nProblemLen,
             &bProtocolOk);
    ReadPath(kKeyKeyFile, pPath, pCfg->szKeyFile, sizeof(pCfg->szKeyFile), pProblem, nProblemLen,
             &bProtocolOk);
    // One PEM file may hold both the certificate and its key.
    if (pCfg->szKeyFile[0] == '\0') {
        (void)std::snprintf(pCfg->szKeyFile, sizeof(pCfg->szKeyFile), "%s", pCfg->szCertFile);
    }

    ReadValue(kKeyHost, pPath, szValue, sizeof(szValue));
    // An IPv6 address may be written in brackets, as in URLs.
    const char* pHost = szValue;
    size_t nHostLen = std::strlen(szValue);
    if (nHostLen >= 2 && szValue[0] == '[' && szValue[nHostLen - 1] == ']') {
        ++pHost;
        nHostLen -= 2;
    }
    if (nHostLen > kForwardHostLen) {
        AddProblem(pProblem, nProblemLen, kKeyHost, szValue, "too long; forwarding is off");
        nHostLen = 0;
    }
    if (bProtocolOk) {
        std::memcpy(pCfg->szHost, pHost, nHostLen);
        pCfg->szHost[nHostLen] = '\0';
    }

    long nNumber = 0;
    ReadValue(kKeyPort, pPath, szValue, sizeof(szValue));
    if (szValue[0] != '\0') {
        if (ParseDecimal(szValue, 1, kMaxPort, &nNumber)) {
            pCfg->nPort = static_cast<uint16_t>(nNumber);
        } else {
            AddProblem(pProblem, nProblemLen, kKeyPort, szValue, "not 1..65535; default used");
        }
    }

    ReadValue(kKeyFacility, pPath, szValue, sizeof(szValue));
    if (szValue[0] != '\0') {
        uint32_t nFacility = 0;
        bool bFound = FindSyslogFacility(szValue, &nFacility);
        if (!bFound && ParseDecimal(szValue, 0, kSyslogFacilityCount - 1, &nNumber)) {
            nFacility = static_cast<uint32_t>(nNumber);
            bFound = true;
        }
        if (bFound) pCfg->nFacility = static_cast<uint8_t>(nFacility);
        if (!bFound) {
            AddProblem(pProblem, nProblemLen, kKeyFacility, szValue,
                       "not a facility (0..23, kern .. local7); user used");
        }
    }

    ReadValue(kKeyHostname, pPath, szValue, sizeof(szValue));
    // HOSTNAME has at most kForwardHostnameLen characters: a longer one is cut.
    const size_t nHostname = strnlen(szValue, kForwardHostnameLen);
    std::memcpy(pCfg->szHostname, szValue, nHostname);
    pCfg->szHostname[nHostname] = '\0';

    ReadValue(kKeyWindow, pPath, szValue, sizeof(szValue));
    if (szValue[0] != '\0') {
        if (ParseDecimal(szValue, 1, kMaxRelpWindow, &nNumber)) {
            pCfg->nWindow = static_cast<uint32_t>(nNumber);
        } else {
            AddProblem(pProblem, nProblemLen, kKeyWindow, szValue, "not 1..1024; default used");
        }
    }
}
