#pragma once

#include "logmodule/RecordFormat.h"

#include <regex.h>

#include <cstdint>
#include <string>

// One line of the set as zqread looks at it: its text (without CR LF) and,
// parsed once when first asked, its fields when it is a record. A line not
// in the record format is a datagram of another sender, stored as sent.
class CReadLine {
public:
    void Set(const char* pText, uint32_t nLen) {
        m_pText = pText;
        m_nLen = nLen;
        m_eParsed = EParsed::kNotYet;
    }
    const char* Text() const { return m_pText; }
    uint32_t Len() const { return m_nLen; }
    bool IsRecord() {
        if (m_eParsed == EParsed::kNotYet) {
            m_eParsed =
                ParseRecord(m_pText, m_nLen, &m_stFields) ? EParsed::kRecord : EParsed::kOther;
        }
        return m_eParsed == EParsed::kRecord;
    }
    // Only after IsRecord() was true.
    const RecordFields& Fields() const { return m_stFields; }

private:
    enum class EParsed : uint8_t { kNotYet, kRecord, kOther };
    const char* m_pText = nullptr;
    uint32_t m_nLen = 0;
    EParsed m_eParsed = EParsed::kNotYet;
    RecordFields m_stFields{};
};

// zqread's filters, all of which a line must pass: the level (a syslog
// severity or more severe), the module, the pid, the record's time from and
// up to a point (TimeSpec.h), and a regular expression (POSIX extended) on
// the message. A line not in the record format passes the level filter as
// a line of severity info (kSyslogInfo) and the pattern on its whole text;
// it fails the module, pid and time filters, which it has nothing for, as
// does a record whose writer had no local time for the time filters.
//
// Set up by one thread, then used by it alone; Pass changes nothing.
class CLineFilter {
public:
    CLineFilter() = default;
    ~CLineFilter();
    CLineFilter(const CLineFilter&) = delete;
    CLineFilter& operator=(const CLineFilter&) = delete;

    void SetMaxSeverity(uint32_t nSeverity) { m_nMaxSeverity = nSeverity; }
    void SetModule(const char* pModule) {
        m_strModule = pModule;
        m_bModule = true;
    }
    void SetPid(uint64_t nPid) {
        m_nPid = nPid;
        m_bPid = true;
    }
    void SetSince(uint64_t nKey) { m_nSince = nKey; }
    void SetUntil(uint64_t nKey) { m_nUntil = nKey; }
    // true; false for a pattern regcomp refuses, with its reason in *pWhy.
    bool SetPattern(const char* pPattern, std::string* pWhy);

    // Whether the line passes every filter set.
    bool Pass(CReadLine* pLine) const;

private:
    bool PassFields(const RecordFields& stFields) const;
    bool MatchText(const char* p, uint32_t n) const;

    uint32_t m_nMaxSeverity = kSyslogDebug;  // the least severe that passes
    std::string m_strModule;
    bool m_bModule = false;
    uint64_t m_nPid = 0;
    bool m_bPid = false;
    uint64_t m_nSince = 0;           // 0: from the start
    uint64_t m_nUntil = UINT64_MAX;  // UINT64_MAX: to the end
    regex_t m_stPattern{};
    bool m_bPattern = false;  // m_stPattern is compiled
    // A pattern without a character special to a regular expression is
    // searched for as the text it is: the same answer, several times faster.
    std::string m_strLiteral;
    bool m_bLiteral = false;
};
