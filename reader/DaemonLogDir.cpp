#include "reader/DaemonLogDir.h"

#include "platform/DaemonPaths.h"
#include "platform/PathIni.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kBaseLen = 256;

}  // namespace

bool DaemonLogDir(const char* pConfDir, char* pOut, size_t nSize) {
    char szPath[kBaseLen + 32];
    char szBase[kBaseLen] = "";
    const int nPath = std::snprintf(szPath, sizeof(szPath), "%s/%s", pConfDir, kPathIni);
    FILE* pFile = nPath > 0 && static_cast<size_t>(nPath) < sizeof(szPath)
                      ? std::fopen(szPath, "re")
                      : nullptr;
    if (pFile != nullptr) {
        ReadPathIni(pFile, szBase, sizeof(szBase));
        (void)std::fclose(pFile);  // opened for reading: a failing close loses nothing
    }
    const char* pBase = pFile != nullptr ? szBase : kDefaultBaseDir;
    const int nLen =
        std::snprintf(pOut, nSize, "%s%s/%s", *pBase == '/' ? "" : "/", pBase, kLogSubDir);
    return nLen > 0 && static_cast<size_t>(nLen) < nSize;
}
