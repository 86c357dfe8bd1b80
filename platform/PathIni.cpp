#include "platform/PathIni.h"

#include <cstring>

void ReadPathIni(FILE* pFile, char* pOut, size_t nSize) {
    const size_t nWant = nSize - 1 < kPathIniReadMax ? nSize - 1 : kPathIniReadMax;
    const size_t nRead = std::fread(pOut, 1, nWant, pFile);
    pOut[nRead] = '\0';
    const size_t nLen = std::strlen(pOut);
    for (size_t i = 0; i < nLen; ++i) {
        if (pOut[i] == '\\') {
            pOut[i] = '/';
        } else if (pOut[i] == '\r' || pOut[i] == '\n') {
            pOut[i] = '\0';
        }
    }
}
