#include "reader/LineFilter.h"

#include "reader/TimeSpec.h"

#include <cstring>

namespace {

// Digits as a number; false for more than fit (a pid of the record format
// is digits only).
bool SpanNumber(TextSpan s, uint64_t* pValue) {
    uint64_t n = 0;
    for (uint32_t i = 0; i < s.n; ++i) {
        if (n > (UINT64_MAX - 9) / 10) return false;
        n = n * 10 + static_cast<uint64_t>(s.p[i] - '0');
    }
    *pValue = n;
    return true;
}

// The severity the level field at the start of a line names, as the record
// would have it; a line without one is a line of severity info.
uint32_t FieldSeverity(const char* p, uint32_t n) {
    if (n > kLevelFieldLen) {
        for (int32_t i = ZQ_LEVEL_FATAL; i <= ZQ_LEVEL_TRACE; ++i) {
            if (std::memcmp(p, kLevelFields[i], kLevelFieldLen) == 0) {
                return SyslogSeverityOfLevel(i);
            }
        }
    }
    return kSyslogInfo;
}

}  // namespace

CLineFilter::~CLineFilter() {
    if (m_bPattern) regfree(&m_stPattern);
}

bool CLineFilter::SetPattern(const char* pPattern, std::string* pWhy) {
    if (m_bPattern) regfree(&m_stPattern);
    m_bPattern = false;
    const int nErr = regcomp(&m_stPattern, pPattern, REG_EXTENDED | REG_NOSUB);
    if (nErr != 0) {
        char szWhy[256];
        (void)regerror(nErr, &m_stPattern, szWhy, sizeof(szWhy));
        *pWhy = szWhy;
        return false;
    }
    m_bPattern = true;
    m_bLiteral = std::strpbrk(pPattern, "\\.[]()*+?{}|^$") == nullptr;
    m_strLiteral = pPattern;
    return true;
}

// REG_STARTEND: the text is matched in place, without a terminating copy.
bool CLineFilter::MatchText(const char* p, uint32_t n) const {
    if (!m_bPattern) return true;
    if (m_bLiteral) return memmem(p, n, m_strLiteral.data(), m_strLiteral.size()) != nullptr;
    regmatch_t stRange{0, static_cast<regoff_t>(n)};
    return regexec(&m_stPattern, p, 1, &stRange, REG_STARTEND) == 0;
}

bool CLineFilter::PassFields(const RecordFields& stFields) const {
    if (SyslogSeverityOfLevel(stFields.nLevel) > m_nMaxSeverity) return false;
    if (m_bModule &&
        (stFields.module.n != m_strModule.size() ||
         std::memcmp(stFields.module.p, m_strModule.data(), m_strModule.size()) != 0)) {
        return false;
    }
    uint64_t nPid = 0;
    if (m_bPid && (!SpanNumber(stFields.pid, &nPid) || nPid != m_nPid)) return false;
    if (m_nSince != 0 || m_nUntil != UINT64_MAX) {
        const uint64_t nKey = RecordTimeKey(stFields);
        if (nKey == 0 || nKey < m_nSince || nKey > m_nUntil) return false;
    }
    return MatchText(stFields.text.p, stFields.text.n);
}

bool CLineFilter::Pass(CReadLine* pLine) const {
    // The level field decides most lines before they are parsed: a record has
    // the severity its field names, any other line info.
    if (FieldSeverity(pLine->Text(), pLine->Len()) > m_nMaxSeverity &&
        kSyslogInfo > m_nMaxSeverity) {
        return false;
    }
    if (pLine->IsRecord()) return PassFields(pLine->Fields());
    if (kSyslogInfo > m_nMaxSeverity || m_bModule || m_bPid || m_nSince != 0 ||
        m_nUntil != UINT64_MAX) {
        return false;
    }
    return MatchText(pLine->Text(), pLine->Len());
}
