#pragma once

#include <cstddef>
#include <cstring>

// Copies a text into a fixed array, which is cleared first: the copy is
// always terminated, and whatever the array held before is gone. A text too
// long for it is cut (callers check lengths first and report them).
template <size_t N>
void CopyText(char (&dst)[N], const char* pSrc, size_t nLen) {
    static_assert(N > 0, "room for the terminator");
    if (nLen > N - 1) nLen = N - 1;
    std::memset(dst, 0, N);
    std::memcpy(dst, pSrc, nLen);
}

template <size_t N>
void CopyText(char (&dst)[N], const char* pSrc) {
    CopyText(dst, pSrc, std::strlen(pSrc));
}
