#include "upstream/SyslogFormat.h"

#include "logmodule/RecordFormat.h"
#include "platform/TextEscape.h"
#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t kMaxAppName = 48;  // RFC 5424 field limits
constexpr uint32_t kMaxProcId = 128;
constexpr uint32_t kMaxMsgId = 32;
constexpr uint32_t kMaxHostname = 255;
constexpr const char* kBootIdPath = "/proc/sys/kernel/random/boot_id";
constexpr const char* kRegisteredSdIds[] = {"timeQuality", "origin", "meta"};
constexpr const char* kForwarderSdIds[] = {kSdId, kOriginSdId, "origin"};  // only the forwarder's
constexpr uint32_t kMaxCarriedSd = 64;  // more elements in one record: not taken as data

bool SpanIs(const char* p, uint32_t n, const char* pWord) {
    return std::strlen(pWord) == n && std::memcmp(p, pWord, n) == 0;
}

bool IsSdNameChar(char c) { return c > ' ' && c <= '~' && c != '=' && c != ']' && c != '"'; }

// The end of an SD-NAME at p: the first byte that cannot be in one.
const char* SdNameEnd(const char* p, const char* pEnd) {
    while (p < pEnd && IsSdNameChar(*p)) ++p;
    return p;
}

// The first '"' at p that is not escaped, or pEnd; null at a ']' not escaped
// or a '\' before anything but '"', '\' and ']'.
const char* SdValueEnd(const char* p, const char* pEnd) {
    for (; p < pEnd; ++p) {
        if (*p == '"') return p;
        if (*p == ']') return nullptr;
        if (*p == '\\') {
            if (++p == pEnd || (*p != '"' && *p != '\\' && *p != ']')) return nullptr;
        }
    }
    return pEnd;
}

// One SD-ELEMENT at p: '[' SD-ID *(' ' PARAM-NAME '="' PARAM-VALUE '"') ']'.
// Its end, *pId its SD-ID; null when it is not one.
const char* SdElementEnd(const char* p, const char* pEnd, TextSpan* pId) {
    if (p == pEnd || *p != '[') return nullptr;
    const char* pIdEnd = SdNameEnd(++p, pEnd);
    *pId = {p, static_cast<uint32_t>(pIdEnd - p)};
    if (!IsSdId(pId->p, pId->n)) return nullptr;
    p = pIdEnd;
    while (p < pEnd && *p == ' ') {
        const char* pName = p + 1;
        p = SdNameEnd(pName, pEnd);
        if (p == pName || static_cast<uint32_t>(p - pName) > kMaxSdName || pEnd - p < 2 ||
            p[0] != '=' || p[1] != '"') {
            return nullptr;
        }
        p = SdValueEnd(p + 2, pEnd);
        if (p == nullptr || p == pEnd) return nullptr;
        ++p;  // the closing '"'
    }
    return p < pEnd && *p == ']' ? p + 1 : nullptr;
}

// Appends to a buffer whose room the caller has made sure of.
class CWriter {
public:
    explicit CWriter(char* p) : m_pStart(p), m_p(p) {}
    void Char(char c) { *m_p++ = c; }
    void Text(const char* p, size_t n) {
        std::memcpy(m_p, p, n);
        m_p += n;
    }
    void Text(const char* p) { Text(p, std::strlen(p)); }
    // Text with its control characters escaped (at most kEscapedLen bytes
    // for each).
    void EscapedText(const char* p, uint32_t n) {
        m_p += EscapeText(p, n, EEscape::kControls, m_p, n * kEscapedLen);
    }
    void Number(uint64_t n, int nMinDigits = 1) {
        char sz[24];
        int i = 0;
        do {
            sz[i++] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        while (i < nMinDigits) sz[i++] = '0';
        while (i > 0) *m_p++ = sz[--i];
    }
    // A header field: printable ASCII without space, '_' for anything else,
    // at most nMax bytes; "-" (NILVALUE) when empty.
    void Field(TextSpan s, uint32_t nMax) {
        if (s.n == 0) {
            Char('-');
            return;
        }
        const uint32_t n = s.n < nMax ? s.n : nMax;
        for (uint32_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(s.p[i]);
            Char(c >= 33 && c <= 126 ? static_cast<char>(c) : '_');
        }
    }
    // PARAM-VALUE: '"', '\' and ']' escaped; control characters as in the
    // message text.
    void Param(const char* pName, TextSpan s) {
        Char(' ');
        Text(pName);
        Text("=\"", 2);
        for (uint32_t i = 0; i < s.n; ++i) {
            const char c = s.p[i];
            if (c == '"' || c == '\\' || c == ']') {
                Char('\\');
                Char(c);
            } else if (NeedsEscape(&c, 1, EEscape::kControls)) {
                m_p += EscapeText(&c, 1, EEscape::kControls, m_p, kEscapedLen);
            } else {
                Char(c);
            }
        }
        Char('"');
    }
    // RFC 3339 with milliseconds and the UTC offset in seconds.
    void Time(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec, int nMs,
              long nOffset) {
        Number(static_cast<uint64_t>(nYear), 4);
        Char('-');
        Number(static_cast<uint64_t>(nMonth), 2);
        Char('-');
        Number(static_cast<uint64_t>(nDay), 2);
        Char('T');
        Number(static_cast<uint64_t>(nHour), 2);
        Char(':');
        Number(static_cast<uint64_t>(nMin), 2);
        Char(':');
        Number(static_cast<uint64_t>(nSec), 2);
        Char('.');
        Number(static_cast<uint64_t>(nMs), 3);
        if (nOffset == 0) {
            Char('Z');
            return;
        }
        Char(nOffset < 0 ? '-' : '+');
        const long nAbs = nOffset < 0 ? -nOffset : nOffset;
        Number(static_cast<uint64_t>(nAbs / 3600), 2);
        Char(':');
        Number(static_cast<uint64_t>((nAbs % 3600) / 60), 2);
    }
    uint32_t Length() const { return static_cast<uint32_t>(m_p - m_pStart); }

private:
    char* m_pStart;
    char* m_p;
};

// The current local time, for lines without a time of their own.
void WriteSendTime(CWriter* pOut) {
    struct timespec ts {};
    (void)clock_gettime(CLOCK_REALTIME, &ts);  // cannot fail for CLOCK_REALTIME
    struct tm tmLocal {};
    const time_t t = ts.tv_sec;
    if (localtime_r(&t, &tmLocal) == nullptr) {
        pOut->Char('-');  // NILVALUE: no time known
        return;
    }
    pOut->Time(tmLocal.tm_year + 1900, tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour,
               tmLocal.tm_min, tmLocal.tm_sec, static_cast<int>(ts.tv_nsec / 1000000),
               tmLocal.tm_gmtoff);
}

}  // namespace

bool IsSdName(const char* p, uint32_t n) {
    return n > 0 && n <= kMaxSdName && SdNameEnd(p, p + n) == p + n;
}

bool IsSdId(const char* p, uint32_t n) {
    if (!IsSdName(p, n)) return false;
    const char* pAt = static_cast<const char*>(std::memchr(p, '@', n));
    if (pAt == nullptr) {
        for (const char* pId : kRegisteredSdIds) {
            if (SpanIs(p, n, pId)) return true;
        }
        return false;
    }
    // name@number: digits, single dots between them.
    const char* const pEnd = p + n;
    if (pAt == p || pAt + 1 == pEnd) return false;
    bool bDigitBefore = false;
    for (const char* q = pAt + 1; q < pEnd; ++q) {
        if (*q >= '0' && *q <= '9') {
            bDigitBefore = true;
        } else if (*q != '.' || !bDigitBefore || q + 1 == pEnd) {
            return false;
        } else {
            bDigitBefore = false;
        }
    }
    return true;
}

bool IsCarriableSdId(const char* p, uint32_t n) {
    for (const char* pId : kForwarderSdIds) {
        if (SpanIs(p, n, pId)) return false;
    }
    return true;
}

bool IsSdParamValue(const char* p, uint32_t n) { return SdValueEnd(p, p + n) == p + n; }

bool SplitCarriedSd(TextSpan stText, TextSpan* pSd, TextSpan* pMessage) {
    const char* p = stText.p;
    const char* const pEnd = stText.p + stText.n;
    TextSpan aIds[kMaxCarriedSd];
    uint32_t nIds = 0;
    while (p < pEnd && *p == '[') {
        if (nIds == kMaxCarriedSd) return false;
        TextSpan& stId = aIds[nIds];
        p = SdElementEnd(p, pEnd, &stId);
        if (p == nullptr || !IsCarriableSdId(stId.p, stId.n)) return false;
        for (uint32_t i = 0; i < nIds; ++i) {
            if (aIds[i].n == stId.n && std::memcmp(aIds[i].p, stId.p, stId.n) == 0) return false;
        }
        ++nIds;
    }
    if (nIds == 0 || (p < pEnd && *p != ' ')) return false;
    *pSd = {stText.p, static_cast<uint32_t>(p - stText.p)};
    *pMessage = p < pEnd ? TextSpan{p + 1, static_cast<uint32_t>(pEnd - p - 1)} : TextSpan{p, 0};
    return true;
}

namespace {

void WriteOrigin(CWriter* pW, const LineOrigin& origin) {
    pW->Char('[');
    pW->Text(kOriginSdId);
    const RecordOrigin& from = origin.stFrom;
    if (from.eKind == OriginKind::kLocal || from.eKind == OriginKind::kOwn) {
        char szNumber[24];
        CWriter stNumber(szNumber);
        stNumber.Number(from.nUid);
        pW->Param("uid", {szNumber, stNumber.Length()});
        CWriter stPid(szNumber);
        stPid.Number(from.nPid);
        pW->Param("pid", {szNumber, stPid.Length()});
        const uint32_t nName = static_cast<uint32_t>(strnlen(origin.szName, kOriginNameLen));
        if (nName > 0) pW->Param("name", {origin.szName, nName});
    } else {
        const char* pWhy = from.eKind == OriginKind::kUdp ? "udp" : "unrecorded";
        pW->Param("unknown", {pWhy, static_cast<uint32_t>(std::strlen(pWhy))});
    }
    pW->Char(']');
}

}  // namespace

CSyslogFormatter::CSyslogFormatter()
    : m_szHostname{}, m_nFacility(1), m_szBootId{}, m_llCachedHourKey(-1), m_nCachedOffset(0) {
    SetIdentity("", 1, "");
}

void CSyslogFormatter::SetIdentity(const char* pHostname, uint8_t nFacility, const char* pBootId) {
    CWriter stHost(m_szHostname);
    stHost.Field({pHostname, static_cast<uint32_t>(std::strlen(pHostname))}, kMaxHostname);
    m_szHostname[stHost.Length()] = '\0';
    m_nFacility = nFacility < kSyslogFacilityCount ? nFacility : 1;
    (void)std::snprintf(m_szBootId, sizeof(m_szBootId), "%s", pBootId);
}

bool CSyslogFormatter::LocalOffset(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec,
                                   long* pOffset) {
    const int64_t llKey = ((static_cast<int64_t>(nYear) * 13 + nMonth) * 32 + nDay) * 24 + nHour;
    if (llKey == m_llCachedHourKey) {
        *pOffset = m_nCachedOffset;
        return true;
    }
    struct tm tmLocal {};
    tmLocal.tm_year = nYear - 1900;
    tmLocal.tm_mon = nMonth - 1;
    tmLocal.tm_mday = nDay;
    tmLocal.tm_hour = nHour;
    tmLocal.tm_min = nMin;
    tmLocal.tm_sec = nSec;
    tmLocal.tm_isdst = -1;  // as the clock said then: summer or winter time
    if (mktime(&tmLocal) == static_cast<time_t>(-1)) return false;  // then the send time is used
    m_llCachedHourKey = llKey;
    m_nCachedOffset = tmLocal.tm_gmtoff;
    *pOffset = m_nCachedOffset;
    return true;
}

uint32_t CSyslogFormatter::Format(const char* pLine, uint32_t nLen, uint64_t nSeq, char* pOut,
                                  const LineOrigin* pOrigin) {
    if (nLen > kMaxLineText) nLen = kMaxLineText;
    RecordFields stRec{};
    const bool bRecord = ParseRecord(pLine, nLen, &stRec);
    const uint8_t nSeverity = bRecord ? SyslogSeverityOfLevel(stRec.nLevel) : kSyslogInfo;
    CWriter w(pOut);
    w.Char('<');
    w.Number(static_cast<uint64_t>(m_nFacility) * 8 + nSeverity);
    w.Text(">1 ", 3);
    long nOffset = 0;
    if (bRecord && stRec.bTime &&
        LocalOffset(stRec.nYear, stRec.nMonth, stRec.nDay, stRec.nHour, stRec.nMin, stRec.nSec,
                    &nOffset)) {
        w.Time(stRec.nYear, stRec.nMonth, stRec.nDay, stRec.nHour, stRec.nMin, stRec.nSec,
               stRec.nMs, nOffset);
    } else {
        WriteSendTime(&w);
    }
    w.Char(' ');
    w.Text(m_szHostname);
    w.Char(' ');
    const TextSpan stNone = {"", 0};
    w.Field(bRecord ? stRec.procName : stNone, kMaxAppName);
    w.Char(' ');
    w.Field(bRecord ? stRec.pid : stNone, kMaxProcId);
    w.Char(' ');
    w.Field(bRecord ? stRec.module : stNone, kMaxMsgId);
    w.Char(' ');
    TextSpan stText = bRecord ? stRec.text : TextSpan{pLine, nLen};
    TextSpan stFunc = bRecord ? stRec.func : stNone;
    TextSpan stCarried = stNone;
    if (bRecord && SpanIs(stFunc.p, stFunc.n, kCarriedSdFunction) &&
        SplitCarriedSd(stRec.text, &stCarried, &stText)) {
        stFunc = stNone;  // the mark of the data, not a function
    }
    w.Char('[');
    w.Text(kSdId);
    char szSeq[24];
    CWriter stSeq(szSeq);
    stSeq.Number(nSeq);
    w.Param("seq", {szSeq, stSeq.Length()});
    w.Param("boot", {m_szBootId, static_cast<uint32_t>(std::strlen(m_szBootId))});
    if (bRecord) {
        w.Param("dev", stRec.devId);
        w.Param("file", stRec.file);
        // The record writes the line with leading zeros (L0042).
        TextSpan stLineNo = stRec.lineNo;
        while (stLineNo.n > 1 && stLineNo.p[0] == '0') {
            ++stLineNo.p;
            --stLineNo.n;
        }
        w.Param("line", stLineNo);
        w.Param("func", stFunc);
    }
    w.Char(']');
    if (pOrigin != nullptr) WriteOrigin(&w, *pOrigin);
    // The sender's elements: their names are printable, their values get the
    // control characters escaped as in the forwarder's own.
    w.EscapedText(stCarried.p, stCarried.n);
    if (stText.n > 0) {
        w.Char(' ');
        // A terminal sequence in a record is text for the collector, not a
        // command to whoever reads its files.
        w.EscapedText(stText.p, stText.n);
    }
    return w.Length();
}

void CSyslogFormatter::ReadBootId(char* pOut, size_t nLen) {
    if (nLen == 0) return;
    pOut[0] = '\0';
    const CUniqueFd file(open(kBootIdPath, O_RDONLY | O_CLOEXEC));  // read-only: nothing to lose
    if (file.Valid()) {
        const ssize_t nRead = read(file.Get(), pOut, nLen - 1);
        size_t n = nRead > 0 ? static_cast<size_t>(nRead) : 0;
        while (n > 0 && (pOut[n - 1] == '\n' || pOut[n - 1] == ' ')) --n;
        pOut[n] = '\0';
    }
    if (pOut[0] == '\0') {
        struct timespec ts {};
        (void)clock_gettime(CLOCK_REALTIME, &ts);
        (void)std::snprintf(pOut, nLen, "%llx-%lx-%x", static_cast<unsigned long long>(ts.tv_sec),
                            static_cast<unsigned long>(ts.tv_nsec),
                            static_cast<unsigned>(getpid()));
    }
}
