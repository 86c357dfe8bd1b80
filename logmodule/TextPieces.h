#pragma once

// The small steps a record is made of, without a library call each: a record
// copies a dozen short texts and converts a few integers, and a call to
// memcpy or memset costs more than copying ten bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>

// Forced inline where the build optimises for speed; a build for size (the
// device's) lets the compiler choose, as a dozen inlined copies of each would
// cost it kilobytes.
#if defined(__OPTIMIZE_SIZE__)
#define ZQ_TEXT_INLINE inline
#else
#define ZQ_TEXT_INLINE __attribute__((always_inline)) inline
#endif

// Each file that uses them has its own copy: nothing here is a symbol of the
// library.
namespace zqtext {
namespace {

// "00" to "99".
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Room for the digits of any 64-bit value, in decimal or hexadecimal.
constexpr size_t kDigitBufSize = 24;

// Copies nLen bytes between buffers that do not overlap. Up to 64 bytes as a
// few fixed-size moves (the compiler makes each one or two loads and stores;
// the moves of a pair overlap, so every length in a range takes the same
// moves), longer texts with memcpy.
ZQ_TEXT_INLINE void CopyShort(char* pDst, const char* pSrc, size_t nLen) {
    if (nLen >= 16) {
        if (nLen > 64) {
            std::memcpy(pDst, pSrc, nLen);
        } else if (nLen > 32) {
            std::memcpy(pDst, pSrc, 32);
            std::memcpy(pDst + nLen - 32, pSrc + nLen - 32, 32);
        } else {
            std::memcpy(pDst, pSrc, 16);
            std::memcpy(pDst + nLen - 16, pSrc + nLen - 16, 16);
        }
    } else if (nLen >= 8) {
        std::memcpy(pDst, pSrc, 8);
        std::memcpy(pDst + nLen - 8, pSrc + nLen - 8, 8);
    } else if (nLen >= 4) {
        std::memcpy(pDst, pSrc, 4);
        std::memcpy(pDst + nLen - 4, pSrc + nLen - 4, 4);
    } else if (nLen != 0) {
        // 1 to 3 bytes: first, middle, last (some of them the same byte).
        pDst[0] = pSrc[0];
        pDst[nLen / 2] = pSrc[nLen / 2];
        pDst[nLen - 1] = pSrc[nLen - 1];
    }
}

// The decimal digits of nValue, written backwards so that they end just
// before pEnd; returns the first. Two digits a step; values that fit 32 bits
// (nearly all) take 32-bit arithmetic, which a 32-bit core does without a
// library call.
ZQ_TEXT_INLINE char* DecimalDigits(unsigned long long nValue, char* pEnd) {
    char* p = pEnd;
    while (nValue > UINT32_MAX) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * (nValue % 100), 2);
        nValue /= 100;
    }
    auto nRest = static_cast<uint32_t>(nValue);
    while (nRest >= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * (nRest % 100), 2);
        nRest /= 100;
    }
    if (nRest >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs + 2 * nRest, 2);
    } else {
        *--p = static_cast<char>('0' + nRest);
    }
    return p;
}

}  // namespace
}  // namespace zqtext
