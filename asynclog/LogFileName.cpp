#include "asynclog/LogFileName.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kIndexLead[] = "_0";  // between the prefix and the index
constexpr char kSuffix[] = ".log";

}  // namespace

int FormatLogFileName(char* pOut, size_t nSize, const char* pDir, const char* pPrefix, uint32_t i) {
    return pDir != nullptr
               ? std::snprintf(pOut, nSize, "%s/%s%s%u%s", pDir, pPrefix, kIndexLead, i, kSuffix)
               : std::snprintf(pOut, nSize, "%s%s%u%s", pPrefix, kIndexLead, i, kSuffix);
}

bool ParseLogFileName(const char* pName, const char* pPrefix, uint32_t* pIndex) {
    const size_t nPrefix = std::strlen(pPrefix);
    if (std::strncmp(pName, pPrefix, nPrefix) != 0) return false;
    const char* p = pName + nPrefix;
    if (std::strncmp(p, kIndexLead, sizeof(kIndexLead) - 1) != 0) return false;
    p += sizeof(kIndexLead) - 1;
    if (*p < '0' || *p > '9' || static_cast<uint32_t>(*p - '0') >= kMaxLogFiles) return false;
    if (std::strcmp(p + 1, kSuffix) != 0) return false;
    *pIndex = static_cast<uint32_t>(*p - '0');
    return true;
}
