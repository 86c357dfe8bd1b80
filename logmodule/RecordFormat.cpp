#include "logmodule/RecordFormat.h"

#include <strings.h>

#include <cstring>

namespace {

struct NamedNumber {
    const char* pName;
    uint32_t nNumber;
};

constexpr NamedNumber kSeverityNames[] = {
    {"emerg", 0},   {"panic", 0}, {"alert", 1},  {"crit", 2}, {"err", 3},   {"error", 3},
    {"warning", 4}, {"warn", 4},  {"notice", 5}, {"info", 6}, {"debug", 7},
};
// Indexed by the severity.
constexpr int32_t kSeverityLevel[kSyslogSeverityCount] = {
    ZQ_LEVEL_FATAL,   ZQ_LEVEL_FATAL, ZQ_LEVEL_FATAL, ZQ_LEVEL_ERROR,
    ZQ_LEVEL_WARNING, ZQ_LEVEL_INFO,  ZQ_LEVEL_INFO,  ZQ_LEVEL_DEBUG,
};
// Indexed by LevelFieldIndex.
constexpr uint8_t kLevelSeverity[kLevelFieldCount] = {
    kSyslogDebug, kSyslogCrit, kSyslogErr, kSyslogWarning, kSyslogInfo, kSyslogDebug, kSyslogDebug,
};
constexpr NamedNumber kLevelWords[] = {
    {"fatal", ZQ_LEVEL_FATAL},  {"error", ZQ_LEVEL_ERROR}, {"warning", ZQ_LEVEL_WARNING},
    {"warn", ZQ_LEVEL_WARNING}, {"info", ZQ_LEVEL_INFO},   {"debug", ZQ_LEVEL_DEBUG},
    {"trace", ZQ_LEVEL_TRACE},
};
constexpr NamedNumber kFacilityNames[] = {
    {"kern", 0},     {"user", 1},      {"mail", 2},    {"daemon", 3},  {"auth", 4},
    {"security", 4}, {"syslog", 5},    {"lpr", 6},     {"news", 7},    {"uucp", 8},
    {"cron", 9},     {"authpriv", 10}, {"ftp", 11},    {"ntp", 12},    {"audit", 13},
    {"alert", 14},   {"clock", 15},    {"local0", 16}, {"local1", 17}, {"local2", 18},
    {"local3", 19},  {"local4", 20},   {"local5", 21}, {"local6", 22}, {"local7", 23},
};

template <size_t N>
bool FindName(const NamedNumber (&table)[N], const char* pName, uint32_t* pNumber) {
    if (pName == nullptr) return false;
    for (const NamedNumber& stEntry : table) {
        if (strcasecmp(stEntry.pName, pName) == 0) {
            *pNumber = stEntry.nNumber;
            return true;
        }
    }
    return false;
}

const char* Find(const char* p, const char* pEnd, const char* pNeedle, size_t nNeedle) {
    return static_cast<const char*>(memmem(p, static_cast<size_t>(pEnd - p), pNeedle, nNeedle));
}

template <size_t N>
bool StartsWith(const char* p, const char* pEnd, const char (&text)[N]) {
    return static_cast<size_t>(pEnd - p) >= N - 1 && std::memcmp(p, text, N - 1) == 0;
}

// nDigits decimal digits (0: one or more, at most 9) at *pp; advances *pp.
bool Digits(const char** pp, const char* pEnd, uint32_t nDigits, int* pValue) {
    const char* p = *pp;
    int nValue = 0;
    uint32_t nCount = 0;
    while (p < pEnd && *p >= '0' && *p <= '9' && (nDigits == 0 ? nCount < 9 : nCount < nDigits)) {
        nValue = nValue * 10 + (*p - '0');
        ++p;
        ++nCount;
    }
    if (nCount == 0 || (nDigits != 0 && nCount != nDigits)) return false;
    *pp = p;
    *pValue = nValue;
    return true;
}

bool Expect(const char** pp, const char* pEnd, char c) {
    if (*pp >= pEnd || **pp != c) return false;
    ++*pp;
    return true;
}

bool AllDigits(TextSpan s) {
    if (s.n == 0) return false;
    for (uint32_t i = 0; i < s.n; ++i) {
        if (s.p[i] < '0' || s.p[i] > '9') return false;
    }
    return true;
}

TextSpan MakeSpan(const char* p, const char* pEnd) { return {p, static_cast<uint32_t>(pEnd - p)}; }

}  // namespace

bool ParseRecord(const char* pLine, uint32_t nLen, RecordFields* pOut) {
    const char* p = pLine;
    const char* const pEnd = pLine + nLen;
    pOut->nLevel = 0;
    for (int32_t i = ZQ_LEVEL_FATAL; i <= ZQ_LEVEL_TRACE && pOut->nLevel == 0; ++i) {
        if (nLen > kLevelFieldLen && std::memcmp(p, kLevelFields[i], kLevelFieldLen) == 0) {
            pOut->nLevel = i;
            p += kLevelFieldLen;
        }
    }
    if (pOut->nLevel == 0) return false;
    while (p < pEnd && *p == ' ') ++p;
    if (!Digits(&p, pEnd, 0, &pOut->nYear) || !Expect(&p, pEnd, '-') ||
        !Digits(&p, pEnd, 2, &pOut->nMonth) || !Expect(&p, pEnd, '-') ||
        !Digits(&p, pEnd, 2, &pOut->nDay) || !Expect(&p, pEnd, ' ') ||
        !Digits(&p, pEnd, 2, &pOut->nHour) || !Expect(&p, pEnd, ':') ||
        !Digits(&p, pEnd, 2, &pOut->nMin) || !Expect(&p, pEnd, ':') ||
        !Digits(&p, pEnd, 2, &pOut->nSec) || !Expect(&p, pEnd, ':') ||
        !Digits(&p, pEnd, 3, &pOut->nMs)) {
        return false;
    }
    pOut->bTime = pOut->nYear >= 1 && pOut->nYear <= 9999 && pOut->nMonth >= 1 &&
                  pOut->nMonth <= 12 && pOut->nDay >= 1 && pOut->nDay <= 31 && pOut->nHour <= 23 &&
                  pOut->nMin <= 59 && pOut->nSec <= 60;

    if (!StartsWith(p, pEnd, kLabelDevId)) return false;
    p += sizeof(kLabelDevId) - 1;
    const char* pSource = Find(p, pEnd, kLabelSource, sizeof(kLabelSource) - 1);
    if (pSource == nullptr) return false;
    pOut->devId = MakeSpan(p, pSource);
    p = pSource + sizeof(kLabelSource) - 1;

    // module(file-L0042): the module up to the first '(', the line after the last "-L".
    const char* pProcess = Find(p, pEnd, kLabelProcess, sizeof(kLabelProcess) - 1);
    if (pProcess == nullptr) return false;
    const char* pParen =
        static_cast<const char*>(std::memchr(p, '(', static_cast<size_t>(pProcess - p)));
    if (pParen == nullptr) return false;
    const char* pDashL = nullptr;
    for (const char* q = pProcess - 1; q > pParen; --q) {
        if (q + 1 < pProcess && std::memcmp(q, kLabelLine, sizeof(kLabelLine) - 1) == 0) {
            pDashL = q;
            break;
        }
    }
    if (pDashL == nullptr) return false;
    pOut->module = MakeSpan(p, pParen);
    pOut->file = MakeSpan(pParen + 1, pDashL);
    pOut->lineNo = MakeSpan(pDashL + sizeof(kLabelLine) - 1, pProcess);
    if (!AllDigits(pOut->lineNo)) return false;
    p = pProcess + sizeof(kLabelProcess) - 1;

    // name(pid): the pid inside the last parentheses.
    const char* pFunction = Find(p, pEnd, kLabelFunction, sizeof(kLabelFunction) - 1);
    if (pFunction == nullptr) return false;
    const char* pPidOpen = nullptr;
    for (const char* q = pFunction - 1; q >= p; --q) {
        if (*q == '(') {
            pPidOpen = q;
            break;
        }
    }
    if (pPidOpen == nullptr) return false;
    pOut->procName = MakeSpan(p, pPidOpen);
    pOut->pid = MakeSpan(pPidOpen + 1, pFunction);
    if (!AllDigits(pOut->pid)) return false;
    p = pFunction + sizeof(kLabelFunction) - 1;

    const char* pClose = Find(p, pEnd, kLabelMessage, sizeof(kLabelMessage) - 1);
    if (pClose == nullptr) return false;
    pOut->func = MakeSpan(p, pClose);
    pOut->text = MakeSpan(pClose + sizeof(kLabelMessage) - 1, pEnd);
    return true;
}

bool IsUrgentRecord(const uint8_t* pLine, uint32_t nLen) {
    return nLen > kLevelFieldLen &&
           (std::memcmp(pLine, kLevelFields[ZQ_LEVEL_ERROR], kLevelFieldLen) == 0 ||
            std::memcmp(pLine, kLevelFields[ZQ_LEVEL_FATAL], kLevelFieldLen) == 0);
}

uint8_t SyslogSeverityOfLevel(int32_t nLevel) { return kLevelSeverity[LevelFieldIndex(nLevel)]; }

int32_t LevelOfSyslogSeverity(uint32_t nSeverity) {
    return nSeverity < kSyslogSeverityCount ? kSeverityLevel[nSeverity] : ZQ_LEVEL_INFO;
}

bool FindSyslogSeverity(const char* pName, uint32_t* pSeverity) {
    return FindName(kSeverityNames, pName, pSeverity);
}

bool FindLevelWord(const char* pName, int32_t* pLevel) {
    uint32_t nLevel = 0;
    if (!FindName(kLevelWords, pName, &nLevel)) return false;
    *pLevel = static_cast<int32_t>(nLevel);
    return true;
}

bool FindSyslogFacility(const char* pName, uint32_t* pFacility) {
    return FindName(kFacilityNames, pName, pFacility);
}
