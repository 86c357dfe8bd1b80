#include "server/ConfigCheck.h"

#include "asynclog/LogConfig.h"
#include "platform/DecimalText.h"
#include "platform/ExitCodes.h"
#include "platform/ProfileReader.h"
#include "upstream/UpstreamConfig.h"

#include <sys/stat.h>

#include <climits>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The reader reads no more of a file than this, so no list is longer.
constexpr uint32_t kListSize = 64 * 1024 + 2;
constexpr uint32_t kValueShown = 64;  // a value is quoted up to this many characters
constexpr uint32_t kFindingLen = 512;
constexpr uint32_t kForwardProblemLen = 2048;

// A list of ReadProfileString: each entry terminated, then one more
// terminator. An entry may be empty (a blank line), so the list ends where
// the reader says its last entry ends. Walked in place:
//   for (p = list.First(); list.Has(p); p = CList::Next(p))
class CList {
public:
    bool Read(const char* pPath, const char* pSection) {
        m_pBuf.reset(new (std::nothrow) char[kListSize]);
        if (m_pBuf == nullptr) return false;
        m_nLast = ReadProfileString(pSection, "", "", m_pBuf.get(), kListSize, pPath);
        return true;
    }
    const char* First() const { return m_pBuf.get(); }
    bool Has(const char* p) const { return p <= m_pBuf.get() + m_nLast; }
    static const char* Next(const char* p) { return p + std::strlen(p) + 1; }
    // Whether an entry before pEntry is the same text.
    bool SeenBefore(const char* pEntry) const {
        for (const char* p = First(); p != pEntry; p = Next(p)) {
            if (std::strcmp(p, pEntry) == 0) return true;
        }
        return false;
    }

private:
    std::unique_ptr<char[]> m_pBuf;
    int32_t m_nLast = 0;  // the offset of the last entry's terminator
};

bool IsKnownSection(const char* pName) {
    if (std::strcmp(pName, kForwardSection) == 0) return true;
    for (const ConfigKey* pKey : kNumericConfigKeys) {
        if (std::strcmp(pName, pKey->pSection) == 0) return true;
    }
    return false;
}

const ConfigKey* FindNumericKey(const char* pSection, const char* pKey) {
    for (const ConfigKey* p : kNumericConfigKeys) {
        if (std::strcmp(pSection, p->pSection) == 0 && std::strcmp(pKey, p->pKey) == 0) return p;
    }
    return nullptr;
}

class CFindings {
public:
    CFindings(ConfigFindingFn pfnFinding, void* pContext)
        : m_pfnFinding(pfnFinding), m_pContext(pContext) {}

    // "[Section] Key=value: what"; the key and the value only when not null.
    void Add(const char* pSection, const char* pKey, const char* pValue, const char* pFormat, ...)
        __attribute__((format(printf, 5, 6))) {
        char szWhat[256];
        va_list args;
        va_start(args, pFormat);
        (void)std::vsnprintf(szWhat, sizeof(szWhat), pFormat, args);
        va_end(args);
        char szLine[kFindingLen];
        (void)std::snprintf(szLine, sizeof(szLine), "[%s]%s%s%s%.*s: %s", pSection,
                            pKey != nullptr ? " " : "", pKey != nullptr ? pKey : "",
                            pValue != nullptr ? "=" : "", static_cast<int>(kValueShown),
                            pValue != nullptr ? pValue : "", szWhat);
        Line(szLine);
    }
    // Lines as ReadForwardConfig describes its problems, each ended by LF.
    void AddLines(char* pText) {
        for (char* pLine = pText; *pLine != '\0';) {
            char* pEnd = std::strchr(pLine, '\n');
            if (pEnd != nullptr) *pEnd = '\0';
            Line(pLine);
            if (pEnd == nullptr) break;
            pLine = pEnd + 1;
        }
    }
    int32_t Count() const { return m_nCount; }

private:
    void Line(const char* pLine) {
        m_pfnFinding(m_pContext, pLine);
        ++m_nCount;
    }

    ConfigFindingFn m_pfnFinding;
    void* m_pContext;
    int32_t m_nCount = 0;
};

// A numeric key: its value as ReadConfigNumber reads it, against what is
// written and the key's range.
void CheckNumber(const char* pPath, const ConfigKey& key, CFindings* pFindings) {
    char szText[kValueShown + 1] = {};
    (void)ReadProfileString(key.pSection, key.pKey, "", szText, sizeof(szText), pPath);
    long nRead = 0;
    if (!ReadConfigNumber(pPath, key.pSection, key.pKey, &nRead)) {
        pFindings->Add(key.pSection, key.pKey, nullptr,
                       "no value (write %s=<number>); the value stays as it was (default %ld)",
                       key.pKey, key.nDefault);
        return;
    }
    // What a reader of the file takes the text for: a whole number, spaces
    // after it allowed.
    char szWritten[sizeof(szText)];
    std::memcpy(szWritten, szText, sizeof(szText));
    size_t nLen = std::strlen(szWritten);
    while (nLen > 0 && (szWritten[nLen - 1] == ' ' || szWritten[nLen - 1] == '\t')) {
        szWritten[--nLen] = '\0';
    }
    long nWritten = 0;
    const bool bNumber = ParseDecimal(szWritten, LONG_MIN, LONG_MAX, &nWritten);
    const bool bInRange = nRead >= key.nMin && nRead <= key.nMax;
    if (bNumber && nWritten == nRead && bInRange) return;
    char szRead[64] = "";
    if (!bNumber || nWritten != nRead) {
        (void)std::snprintf(szRead, sizeof(szRead), "%s; read as %ld",
                            bNumber ? "not read as written" : "not a number", nRead);
    }
    if (bInRange) {
        pFindings->Add(key.pSection, key.pKey, szText, "%s", szRead);
    } else {
        pFindings->Add(key.pSection, key.pKey, szText,
                       "%s%sout of range %ld..%ld; ignored, the value stays as it was "
                       "(default %ld)",
                       szRead, szRead[0] == '\0' ? "" : ", ", key.nMin, key.nMax, key.nDefault);
    }
}

bool CheckSection(const char* pPath, const char* pSection, CFindings* pFindings) {
    CList keys;
    if (!keys.Read(pPath, pSection)) return false;
    for (const char* pKey = keys.First(); keys.Has(pKey); pKey = CList::Next(pKey)) {
        // Comments assign nothing; nor do blank lines and lines that begin
        // with a space or '=', which give empty entries.
        if (pKey[0] == '\0' || pKey[0] == ';' || pKey[0] == '#') continue;
        if (keys.SeenBefore(pKey)) {
            pFindings->Add(pSection, pKey, nullptr, "written again; only the first is read");
            continue;
        }
        const ConfigKey* pNumeric = FindNumericKey(pSection, pKey);
        if (pNumeric != nullptr) {
            CheckNumber(pPath, *pNumeric, pFindings);
        } else if (std::strcmp(pSection, kForwardSection) != 0 || !IsForwardKey(pKey)) {
            pFindings->Add(pSection, pKey, nullptr, "unknown key; ignored");
        }
    }
    return true;
}

// ConfigFindingFn onto a stream, after a lead and the path.
struct PrintTarget {
    FILE* pOut;
    const char* pLead;
    const char* pPath;
};
void PrintFinding(void* pContext, const char* pFinding) {
    const PrintTarget& t = *static_cast<const PrintTarget*>(pContext);
    std::fprintf(t.pOut, "%s%s%s: %s\n", t.pLead != nullptr ? t.pLead : "",
                 t.pLead != nullptr ? ": " : "", t.pPath, pFinding);
}

// ConfigFindingFn into a bounded text, joined by "; ".
struct JoinTarget {
    char* pOut;
    uint32_t nSize;
    uint32_t nLen;
};
void JoinFinding(void* pContext, const char* pFinding) {
    JoinTarget& t = *static_cast<JoinTarget*>(pContext);
    if (t.nLen + 1 >= t.nSize) return;
    const int n =
        std::snprintf(t.pOut + t.nLen, t.nSize - t.nLen, "%s%s", t.nLen == 0 ? "" : "; ", pFinding);
    if (n <= 0) return;
    const uint32_t nRoom = t.nSize - t.nLen - 1;  // what is left before the terminator
    t.nLen += static_cast<uint32_t>(n) < nRoom ? static_cast<uint32_t>(n) : nRoom;
}

}  // namespace

int32_t CheckConfigFile(const char* pPath, uint32_t nFlags, ConfigFindingFn pfnFinding,
                        void* pContext) {
    struct stat st {};
    if (pPath == nullptr || stat(pPath, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    CFindings findings(pfnFinding, pContext);
    CList sections;
    if (!sections.Read(pPath, "")) return -1;
    for (const char* p = sections.First(); sections.Has(p); p = CList::Next(p)) {
        if (p[0] == '\0') continue;  // no section at all (or a "[]" line: nothing to name)
        if (sections.SeenBefore(p)) {
            findings.Add(p, nullptr, nullptr, "section written again; only the first is read");
        } else if (!IsKnownSection(p)) {
            findings.Add(p, nullptr, nullptr, "unknown section; its keys are ignored");
        } else if (!CheckSection(pPath, p, &findings)) {
            return -1;
        }
    }
    if ((nFlags & kCheckForwardValues) != 0) {
        ForwardConfig stForward;
        std::unique_ptr<char[]> pProblems(new (std::nothrow) char[kForwardProblemLen]);
        if (pProblems == nullptr) return -1;
        ReadForwardConfig(pPath, &stForward, pProblems.get(), kForwardProblemLen);
        findings.AddLines(pProblems.get());
    }
    return findings.Count();
}

uint32_t CheckConfigForReload(const char* pPath, char* pOut, uint32_t nSize) {
    if (pOut == nullptr || nSize == 0) return 0;
    pOut[0] = '\0';
    JoinTarget stTarget{pOut, nSize, 0};
    const int32_t nFound = CheckConfigFile(pPath, 0, &JoinFinding, &stTarget);
    return nFound > 0 ? static_cast<uint32_t>(nFound) : 0;
}

int32_t PrintConfigFindings(FILE* pOut, const char* pLead, const char* pPath) {
    PrintTarget stTarget{pOut, pLead, pPath};
    return CheckConfigFile(pPath, kCheckForwardValues, &PrintFinding, &stTarget);
}

int RunConfigCheck(const char* pPath) {
    const int32_t nFound = PrintConfigFindings(stdout, nullptr, pPath);
    if (nFound < 0) {
        std::printf("%s: cannot be read (missing or not a regular file); the defaults are used\n",
                    pPath);
        return kExitFailed;
    }
    if (nFound > 0) return kExitFailed;
    std::printf("%s: no problems found\n", pPath);
    return kExitOk;
}
