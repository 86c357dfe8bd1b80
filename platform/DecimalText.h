#pragma once

#include <cerrno>
#include <cstdlib>

// A whole decimal number in [nMin, nMax] (a sign allowed, nothing after it);
// false for anything else, a number beyond long's range included.
inline bool ParseDecimal(const char* pText, long nMin, long nMax, long* pValue) {
    char* pEnd = nullptr;
    errno = 0;
    const long nValue = std::strtol(pText, &pEnd, 10);
    if (errno != 0 || pEnd == pText || *pEnd != '\0' || nValue < nMin || nValue > nMax) {
        return false;
    }
    *pValue = nValue;
    return true;
}
