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

}  // namespace

void DefaultForwardConfig(ForwardConfig* pCfg) {
    std::memset(pCfg, 0, sizeof(*pCfg));
    pCfg->nPort = kDefaultTcpPort;
    pCfg->eProtocol = EForwardProtocol::kTcp;
    pCfg->nFacility = kDefaultFacility;
    pCfg->nWindow = kDefaultRelpWindow;
}

bool SameTarget(const ForwardConfig& a, const ForwardConfig& b) {
    return std::strcmp(a.szHost, b.szHost) == 0 && a.nPort == b.nPort && a.eProtocol == b.eProtocol;
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
    pCfg->nPort = pCfg->eProtocol == EForwardProtocol::kRelp ? kDefaultRelpPort : kDefaultTcpPort;

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
    (void)std::snprintf(pCfg->szHostname, sizeof(pCfg->szHostname), "%s", szValue);

    ReadValue(kKeyWindow, pPath, szValue, sizeof(szValue));
    if (szValue[0] != '\0') {
        if (ParseDecimal(szValue, 1, kMaxRelpWindow, &nNumber)) {
            pCfg->nWindow = static_cast<uint32_t>(nNumber);
        } else {
            AddProblem(pProblem, nProblemLen, kKeyWindow, szValue, "not 1..1024; default used");
        }
    }
}
