#include "server/ConfigCheck.h"

#include "asynclog/LogConfig.h"
#include "platform/DecimalText.h"
#include "platform/ProfileReader.h"
#include "platform/ExitCodes.h"
#include "upstream/UpstreamConfig.h"

#include <sys/stat.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The reader reads no more of a file than this, so no list is longer.
constexpr uint32_t kListSize = 64 * 1024 + 2;
constexpr uint32_t kValueShown = 64;  // a value is quoted up to this many characters
constexpr uint32_t kForwardProblemLen = 2048;

// The entries of a list of ReadProfileString: each terminated, then one more
// terminator.
std::vector<std::string> ReadList(const char* pPath, const char* pSection) {
    std::vector<char> buf(kListSize);
    (void)ReadProfileString(pSection, "", "", buf.data(), kListSize, pPath);
    std::vector<std::string> entries;
    for (const char* p = buf.data(); *p != '\0'; p += std::strlen(p) + 1) entries.emplace_back(p);
    return entries;
}

bool IsKnownSection(const std::string& name) {
    if (name == kForwardSection) return true;
    for (const ConfigKey* pKey : kNumericConfigKeys) {
        if (name == pKey->pSection) return true;
    }
    return false;
}

const ConfigKey* FindNumericKey(const std::string& section, const std::string& key) {
    for (const ConfigKey* pKey : kNumericConfigKeys) {
        if (section == pKey->pSection && key == pKey->pKey) return pKey;
    }
    return nullptr;
}

class CFindings {
public:
    explicit CFindings(std::string* pOut) : m_pOut(pOut) {}

    void Add(const std::string& section, const char* pKey, const char* pValue, const char* pFormat,
             ...) __attribute__((format(printf, 5, 6))) {
        char szWhat[256];
        va_list args;
        va_start(args, pFormat);
        (void)std::vsnprintf(szWhat, sizeof(szWhat), pFormat, args);
        va_end(args);
        *m_pOut += "[" + section + "]";
        if (pKey != nullptr) {
            *m_pOut += " ";
            *m_pOut += pKey;
        }
        if (pValue != nullptr) {
            *m_pOut += "=";
            m_pOut->append(pValue, strnlen(pValue, kValueShown));
        }
        *m_pOut += ": ";
        *m_pOut += szWhat;
        *m_pOut += "\n";
        ++m_nCount;
    }
    void AddLines(const char* pText) {
        for (const char* p = pText; *p != '\0'; ++p) {
            if (*p == '\n') ++m_nCount;
        }
        *m_pOut += pText;
    }
    int32_t Count() const { return m_nCount; }

private:
    std::string* m_pOut;
    int32_t m_nCount = 0;
};

// A numeric key: its value as ReadConfigNumber reads it, against what is
// written and the key's range.
void CheckNumber(const char* pPath, const ConfigKey& key, CFindings* pFindings) {
    char szText[kValueShown + 1] = {};
    (void)ReadProfileString(key.pSection, key.pKey, "", szText, sizeof(szText), pPath);
    const std::string section = key.pSection;
    long nRead = 0;
    if (!ReadConfigNumber(pPath, key.pSection, key.pKey, &nRead)) {
        pFindings->Add(section, key.pKey, nullptr,
                       "no value (write %s=<number>); the value stays as it was (default %ld)",
                       key.pKey, key.nDefault);
        return;
    }
    // What a reader of the file takes the text for: a whole number, spaces
    // after it allowed.
    std::string written = szText;
    while (!written.empty() && (written.back() == ' ' || written.back() == '\t'))
        written.pop_back();
    long nWritten = 0;
    const bool bNumber = ParseDecimal(written.c_str(), LONG_MIN, LONG_MAX, &nWritten);
    const bool bInRange = nRead >= key.nMin && nRead <= key.nMax;
    if (bNumber && nWritten == nRead && bInRange) return;
    char szRead[64] = "";
    if (!bNumber || nWritten != nRead) {
        (void)std::snprintf(szRead, sizeof(szRead), "%s; read as %ld",
                            bNumber ? "not read as written" : "not a number", nRead);
    }
    if (bInRange) {
        pFindings->Add(section, key.pKey, szText, "%s", szRead);
    } else {
        pFindings->Add(section, key.pKey, szText,
                       "%s%sout of range %ld..%ld; ignored, the value stays as it was "
                       "(default %ld)",
                       szRead, szRead[0] == '\0' ? "" : ", ", key.nMin, key.nMax, key.nDefault);
    }
}

void CheckSection(const char* pPath, const std::string& section, CFindings* pFindings) {
    std::vector<std::string> seen;
    for (const std::string& key : ReadList(pPath, section.c_str())) {
        // Blank lines, comments and lines that begin with a space or '='
        // assign nothing.
        if (key.empty() || key[0] == ';' || key[0] == '#') continue;
        bool bRepeated = false;
        for (const std::string& s : seen) bRepeated = bRepeated || s == key;
        if (bRepeated) {
            pFindings->Add(section, key.c_str(), nullptr, "written again; only the first is read");
            continue;
        }
        seen.push_back(key);
        const ConfigKey* pNumeric = FindNumericKey(section, key);
        if (pNumeric != nullptr) {
            CheckNumber(pPath, *pNumeric, pFindings);
        } else if (section != kForwardSection || !IsForwardKey(key.c_str())) {
            pFindings->Add(section, key.c_str(), nullptr, "unknown key; ignored");
        }
    }
}

}  // namespace

int32_t CheckConfigFile(const char* pPath, uint32_t nFlags, std::string* pOut) {
    struct stat st {};
    if (pPath == nullptr || stat(pPath, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    CFindings findings(pOut);
    std::vector<std::string> seen;
    for (const std::string& section : ReadList(pPath, "")) {
        bool bRepeated = false;
        for (const std::string& s : seen) bRepeated = bRepeated || s == section;
        if (bRepeated) {
            findings.Add(section, nullptr, nullptr,
                         "section written again; only the first is read");
        } else if (!IsKnownSection(section)) {
            findings.Add(section, nullptr, nullptr, "unknown section; its keys are ignored");
        } else {
            CheckSection(pPath, section, &findings);
        }
        seen.push_back(section);
    }
    if ((nFlags & kCheckForwardValues) != 0) {
        ForwardConfig stForward;
        std::vector<char> problems(kForwardProblemLen);
        ReadForwardConfig(pPath, &stForward, problems.data(), problems.size());
        findings.AddLines(problems.data());
    }
    return findings.Count();
}

uint32_t CheckConfigForReload(const char* pPath, char* pOut, uint32_t nSize) {
    if (pOut == nullptr || nSize == 0) return 0;
    std::string text;
    const int32_t nFound = CheckConfigFile(pPath, 0, &text);
    if (nFound <= 0) {
        pOut[0] = '\0';
        return 0;
    }
    text.pop_back();  // the last line end
    std::string joined;
    for (const char c : text) {
        if (c == '\n') {
            joined += "; ";
        } else {
            joined += c;
        }
    }
    (void)std::snprintf(pOut, nSize, "%s", joined.c_str());
    return static_cast<uint32_t>(nFound);
}

int32_t PrintConfigFindings(FILE* pOut, const char* pLead, const char* pPath) {
    std::string text;
    const int32_t nFound = CheckConfigFile(pPath, kCheckForwardValues, &text);
    for (size_t nAt = 0; nAt < text.size();) {
        const size_t nEnd = text.find('\n', nAt);
        std::fprintf(pOut, "%s%s%s: %s\n", pLead != nullptr ? pLead : "",
                     pLead != nullptr ? ": " : "", pPath, text.substr(nAt, nEnd - nAt).c_str());
        nAt = nEnd + 1;
    }
    return nFound;
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
