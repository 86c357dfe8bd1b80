#include "reader/TimeSpec.h"

#include <cstring>

namespace {

constexpr uint64_t kMsPerSec = 1000;
constexpr int64_t kSecPerMin = 60;
constexpr int64_t kSecPerHour = 3600;
constexpr int64_t kSecPerDay = 86400;
constexpr int kTmYearBase = 1900;

struct Unit {
    const char* pName;
    int64_t llSeconds;
};
constexpr Unit kUnits[] = {{"s", 1},           {"sec", 1},        {"min", kSecPerMin},
                           {"h", kSecPerHour}, {"d", kSecPerDay}, {"w", 7 * kSecPerDay}};
constexpr int64_t kMaxDistance = 100000LL * kSecPerDay;  // far beyond any log's age

uint64_t FieldsKey(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec, int nMs) {
    uint64_t n = static_cast<uint64_t>(nYear);
    n = n * 100 + static_cast<uint64_t>(nMonth);
    n = n * 100 + static_cast<uint64_t>(nDay);
    n = n * 100 + static_cast<uint64_t>(nHour);
    n = n * 100 + static_cast<uint64_t>(nMin);
    n = n * 100 + static_cast<uint64_t>(nSec);
    return n * kMsPerSec + static_cast<uint64_t>(nMs);
}

uint64_t TmKey(const struct tm& stTm) {
    return FieldsKey(stTm.tm_year + kTmYearBase, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour,
                     stTm.tm_min, stTm.tm_sec, 0);
}

// Exactly nDigits digits at *pp; advances *pp.
bool Number(const char** pp, int nDigits, int* pValue) {
    int nValue = 0;
    for (int i = 0; i < nDigits; ++i) {
        const char c = (*pp)[i];
        if (c < '0' || c > '9') return false;
        nValue = nValue * 10 + (c - '0');
    }
    *pp += nDigits;
    *pValue = nValue;
    return true;
}

// "HH:MM" or "HH:MM:SS" and nothing after it.
bool ClockTime(const char* p, int* pHour, int* pMin, int* pSec) {
    *pSec = 0;
    if (!Number(&p, 2, pHour) || *p++ != ':' || !Number(&p, 2, pMin)) return false;
    if (*p == ':' && (++p, !Number(&p, 2, pSec))) return false;
    return *p == '\0' && *pHour <= 23 && *pMin <= 59 && *pSec <= 60;
}

// "-10min", "+2h": now and the distance.
bool Relative(const char* pText, time_t llNow, uint64_t* pKey) {
    const int64_t llSign = *pText == '-' ? -1 : 1;
    const char* p = pText + 1;
    int64_t llCount = 0;
    const char* pDigits = p;
    while (*p >= '0' && *p <= '9' && llCount <= kMaxDistance) llCount = llCount * 10 + (*p++ - '0');
    if (p == pDigits) return false;
    for (const Unit& stUnit : kUnits) {
        if (std::strcmp(p, stUnit.pName) != 0) continue;
        if (llCount > kMaxDistance / stUnit.llSeconds) return false;
        const time_t llAt = static_cast<time_t>(llNow + llSign * llCount * stUnit.llSeconds);
        struct tm stTm {};
        if (localtime_r(&llAt, &stTm) == nullptr) return false;
        *pKey = TmKey(stTm);
        return true;
    }
    return false;
}

// The midnight nDays from today's.
bool Midnight(time_t llNow, int nDays, uint64_t* pKey) {
    struct tm stTm {};
    if (localtime_r(&llNow, &stTm) == nullptr) return false;
    stTm.tm_mday += nDays;
    stTm.tm_hour = 12;  // mktime normalises the day; noon keeps a DST change out of it
    stTm.tm_isdst = -1;
    if (mktime(&stTm) == static_cast<time_t>(-1)) return false;
    stTm.tm_hour = stTm.tm_min = stTm.tm_sec = 0;
    *pKey = TmKey(stTm);
    return true;
}

}  // namespace

uint64_t RecordTimeKey(const RecordFields& stFields) {
    if (!stFields.bTime) return 0;
    return FieldsKey(stFields.nYear, stFields.nMonth, stFields.nDay, stFields.nHour, stFields.nMin,
                     stFields.nSec, stFields.nMs);
}

bool ParseTimeSpec(const char* pText, time_t llNow, uint64_t* pKey) {
    if (pText == nullptr) return false;
    if (std::strcmp(pText, "now") == 0) return Relative("+0s", llNow, pKey);
    if (std::strcmp(pText, "today") == 0) return Midnight(llNow, 0, pKey);
    if (std::strcmp(pText, "yesterday") == 0) return Midnight(llNow, -1, pKey);
    if (std::strcmp(pText, "tomorrow") == 0) return Midnight(llNow, 1, pKey);
    if (*pText == '-' || *pText == '+') return Relative(pText, llNow, pKey);
    int nHour = 0;
    int nMin = 0;
    int nSec = 0;
    if (ClockTime(pText, &nHour, &nMin, &nSec)) {
        struct tm stTm {};
        if (localtime_r(&llNow, &stTm) == nullptr) return false;
        *pKey = FieldsKey(stTm.tm_year + kTmYearBase, stTm.tm_mon + 1, stTm.tm_mday, nHour, nMin,
                          nSec, 0);
        return true;
    }
    nHour = nMin = nSec = 0;  // the date's midnight unless a time follows
    const char* p = pText;
    int nYear = 0;
    int nMonth = 0;
    int nDay = 0;
    if (!Number(&p, 4, &nYear) || *p++ != '-' || !Number(&p, 2, &nMonth) || *p++ != '-' ||
        !Number(&p, 2, &nDay) || nYear < 1 || nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31) {
        return false;
    }
    if (*p != '\0') {
        if ((*p != ' ' && *p != 'T') || !ClockTime(p + 1, &nHour, &nMin, &nSec)) return false;
    }
    *pKey = FieldsKey(nYear, nMonth, nDay, nHour, nMin, nSec, 0);
    return true;
}
