// Diagnostic lines on standard output. Each call formats into its own stack
// buffer and takes no lock; a text that does not fit is cut.

#include "logmodule/LogModule.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kConsoleBufSize = 1024;  // at most 1023 characters per line
constexpr size_t kTraceBufSize = 512;     // at most 511 characters per text

}  // namespace

int ConsolePrint(const char* pFormat, ...) {
    if (pFormat == nullptr) return EOF;
    char szText[kConsoleBufSize];
    va_list args;
    va_start(args, pFormat);
    int nRet = vsnprintf(szText, sizeof(szText), pFormat, args);
    va_end(args);
    // An encoding error prints an empty line rather than a partial buffer.
    if (nRet < 0) szText[0] = '\0';
    return puts(szText);
}

int TracePrint(const char* pName, int32_t nLine, const char* pFormat, ...) {
    char szText[kTraceBufSize];
    int nRet =
        snprintf(szText, sizeof(szText), "[%-20s:(%04d)]", pName != nullptr ? pName : "", nLine);
    if (nRet < 0) szText[0] = '\0';
    size_t nLen = strlen(szText);
    if (pFormat != nullptr && nLen + 1 < sizeof(szText)) {
        va_list args;
        va_start(args, pFormat);
        nRet = vsnprintf(szText + nLen, sizeof(szText) - nLen, pFormat, args);
        va_end(args);
        if (nRet < 0) szText[nLen] = '\0';
        nLen = strlen(szText);
    }
    // No newline is added; the caller's format carries its own.
    return static_cast<int>(fwrite(szText, 1, nLen, stdout));
}
