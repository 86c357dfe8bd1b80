#include "logmodule/MessageFormat.h"

#include "logmodule/TextPieces.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace {

constexpr long kNeedsLibrary = -1;
// Widths and precisions beyond this go to the library (which also handles
// the overflow of absurd ones); a record holds far fewer characters anyway.
constexpr int kMaxFieldWidth = 100000;
constexpr int kNoPrecision = -1;
using zqtext::kDigitBufSize;

// Appends to pOut, never beyond nRoom - 1 characters.
class CBoundedOut {
public:
    CBoundedOut(char* pOut, size_t nRoom) : m_pOut(pOut), m_nLen(0), m_nMax(nRoom - 1) {}
    // Going on from pAt within pOut[0, nRoom - 1).
    CBoundedOut(char* pOut, size_t nRoom, const char* pAt)
        : m_pOut(pOut), m_nLen(static_cast<size_t>(pAt - pOut)), m_nMax(nRoom - 1) {}

    ZQ_TEXT_INLINE void Put(const char* pText, size_t nLen) {
        const size_t nFree = m_nMax - m_nLen;
        if (nLen > nFree) nLen = nFree;
        zqtext::CopyShort(m_pOut + m_nLen, pText, nLen);
        m_nLen += nLen;
    }
    void Fill(char c, size_t nCount) {
        if (nCount == 0) return;  // most conversions pad nothing
        const size_t nFree = m_nMax - m_nLen;
        if (nCount > nFree) nCount = nFree;
        std::memset(m_pOut + m_nLen, c, nCount);
        m_nLen += nCount;
    }
    void PutChar(char c) {
        if (m_nLen < m_nMax) m_pOut[m_nLen++] = c;
    }
    size_t Length() const { return m_nLen; }

private:
    char* m_pOut;
    size_t m_nLen;
    size_t m_nMax;
};

// One conversion: %[flags][width][.precision][length]conversion.
struct Conversion {
    bool bLeft = false;   // '-'
    bool bPlus = false;   // '+'
    bool bSpace = false;  // ' '
    bool bZero = false;   // '0'
    int nWidth = 0;
    int nPrecision = kNoPrecision;
    char cLength = '\0';  // 'H' hh, 'h', 'l', 'L' ll, 'j', 'z', 't'
    char cConv = '\0';
};

// A decimal field of a conversion; false when it is too large for the hand path, or
// when it turns out to be a position ("%1$d").
bool ParseNumber(const char** ppText, int* pValue) {
    int nValue = 0;
    const char* p = *ppText;
    while (*p >= '0' && *p <= '9') {
        nValue = nValue * 10 + (*p - '0');
        if (nValue > kMaxFieldWidth) return false;
        ++p;
    }
    if (*p == '$') return false;
    *ppText = p;
    *pValue = nValue;
    return true;
}

// Reads the conversion after a '%', taking '*' arguments from pArgs. The text after
// the conversion, or null when the library has to do the message.
const char* ParseConversion(const char* p, va_list* pArgs, Conversion* pConv) {
    for (;; ++p) {
        if (*p == '-') {
            pConv->bLeft = true;
        } else if (*p == '+') {
            pConv->bPlus = true;
        } else if (*p == ' ') {
            pConv->bSpace = true;
        } else if (*p == '0') {
            pConv->bZero = true;
        } else {
            break;
        }
    }
    if (*p == '*') {
        int nWidth = va_arg(*pArgs, int);
        // A negative width is the '-' flag with its absolute value.
        if (nWidth < 0) {
            pConv->bLeft = true;
            if (nWidth < -kMaxFieldWidth) return nullptr;
            nWidth = -nWidth;
        }
        if (nWidth > kMaxFieldWidth) return nullptr;
        pConv->nWidth = nWidth;
        ++p;
    } else if (!ParseNumber(&p, &pConv->nWidth)) {
        return nullptr;
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            const int nPrecision = va_arg(*pArgs, int);
            if (nPrecision > kMaxFieldWidth) return nullptr;
            // A negative precision counts as none.
            pConv->nPrecision = nPrecision < 0 ? kNoPrecision : nPrecision;
            ++p;
        } else if (!ParseNumber(&p, &pConv->nPrecision)) {
            return nullptr;
        }
    }
    switch (*p) {
        case 'h':
            ++p;
            pConv->cLength = 'h';
            if (*p == 'h') {
                pConv->cLength = 'H';
                ++p;
            }
            break;
        case 'l':
            ++p;
            pConv->cLength = 'l';
            if (*p == 'l') {
                pConv->cLength = 'L';
                ++p;
            }
            break;
        case 'j':
        case 'z':
        case 't':
            pConv->cLength = *p++;
            break;
        default:
            break;
    }
    pConv->cConv = *p;
    switch (*p) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
            return p + 1;
        case 'c':
        case 's':
            // Wide characters and strings are the library's.
            return pConv->cLength == '\0' ? p + 1 : nullptr;
        default:
            return nullptr;  // floating point, o, p, n, m, '%' with flags, the end, ...
    }
}

long long SignedArg(va_list* pArgs, char cLength) {
    switch (cLength) {
        case 'H':
            return static_cast<signed char>(va_arg(*pArgs, int));
        case 'h':
            return static_cast<short>(va_arg(*pArgs, int));
        case 'l':
            return va_arg(*pArgs, long);
        case 'L':
            return va_arg(*pArgs, long long);
        case 'j':
            return va_arg(*pArgs, intmax_t);
        case 'z':
            return va_arg(*pArgs, std::make_signed<size_t>::type);
        case 't':
            return va_arg(*pArgs, ptrdiff_t);
        default:
            return va_arg(*pArgs, int);
    }
}

unsigned long long UnsignedArg(va_list* pArgs, char cLength) {
    switch (cLength) {
        case 'H':
            return static_cast<unsigned char>(va_arg(*pArgs, unsigned));
        case 'h':
            return static_cast<unsigned short>(va_arg(*pArgs, unsigned));
        case 'l':
            return va_arg(*pArgs, unsigned long);
        case 'L':
            return va_arg(*pArgs, unsigned long long);
        case 'j':
            return va_arg(*pArgs, uintmax_t);
        case 'z':
            return va_arg(*pArgs, size_t);
        case 't':
            return static_cast<std::make_unsigned<ptrdiff_t>::type>(va_arg(*pArgs, ptrdiff_t));
        default:
            return va_arg(*pArgs, unsigned);
    }
}

// The digits of nValue at the end of the buffer; returns the first.
char* Digits(unsigned long long nValue, char cConv, char* pEnd) {
    char* p = pEnd;
    if (cConv == 'x' || cConv == 'X') {
        const char* pHex = cConv == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
        do {
            *--p = pHex[nValue & 0xF];
            nValue >>= 4;
        } while (nValue != 0);
        return p;
    }
    return zqtext::DecimalDigits(nValue, p);
}

// An integer conversion as C prints it: at least the precision in digits
// (none for the value 0 with precision 0), the sign or its stand-in, padded
// to the width with spaces, or with zeros after the sign when '0' is given
// without '-' and without a precision.
void PutInteger(CBoundedOut& out, const Conversion& conv, unsigned long long nMagnitude,
                char cSign) {
    char szDigits[kDigitBufSize];
    char* const pEnd = szDigits + kDigitBufSize;
    const char* pFirst = pEnd;
    if (!(conv.nPrecision == 0 && nMagnitude == 0)) pFirst = Digits(nMagnitude, conv.cConv, pEnd);
    const size_t nDigits = static_cast<size_t>(pEnd - pFirst);
    const size_t nPrecision = conv.nPrecision > 0 ? static_cast<size_t>(conv.nPrecision) : 0;
    size_t nZeros = nPrecision > nDigits ? nPrecision - nDigits : 0;
    const size_t nBody = (cSign != '\0' ? 1 : 0) + nZeros + nDigits;
    const size_t nWidth = static_cast<size_t>(conv.nWidth);
    size_t nPad = nWidth > nBody ? nWidth - nBody : 0;
    if (!conv.bLeft && conv.bZero && conv.nPrecision == kNoPrecision) {
        nZeros += nPad;
        nPad = 0;
    }
    if (!conv.bLeft) out.Fill(' ', nPad);
    if (cSign != '\0') out.PutChar(cSign);
    out.Fill('0', nZeros);
    out.Put(pFirst, nDigits);
    if (conv.bLeft) out.Fill(' ', nPad);
}

// Text padded to the width with spaces (the '0' flag pads text with spaces).
void PutPadded(CBoundedOut& out, const Conversion& conv, const char* pText, size_t nLen) {
    const size_t nWidth = static_cast<size_t>(conv.nWidth);
    const size_t nPad = nWidth > nLen ? nWidth - nLen : 0;
    if (!conv.bLeft) out.Fill(' ', nPad);
    out.Put(pText, nLen);
    if (conv.bLeft) out.Fill(' ', nPad);
}

// The plain steps of a message, on a cursor q that never passes qEnd (where
// the terminator goes). They work on the cursor alone, which the compiler
// keeps in a register; the conversions with flags, width or precision take
// a CBoundedOut for the rest of their way.
ZQ_TEXT_INLINE char* PutAt(char* q, const char* qEnd, const char* pText, size_t nLen) {
    const auto nFree = static_cast<size_t>(qEnd - q);
    if (nLen > nFree) nLen = nFree;
    zqtext::CopyShort(q, pText, nLen);
    return q + nLen;
}

// A decimal conversion without flags, width or precision. Written in place
// when any value fits and the value takes 32-bit arithmetic (nearly always);
// else made aside and copied with the cut.
ZQ_TEXT_INLINE char* PutDecimalAt(char* q, const char* qEnd, unsigned long long nMagnitude,
                                  bool bNegative) {
    if (static_cast<size_t>(qEnd - q) > kDigitBufSize && nMagnitude <= UINT32_MAX) {
        if (bNegative) *q++ = '-';
        auto nRest = static_cast<uint32_t>(nMagnitude);
        size_t nDigits = 1;
        for (; nRest >= 100; nRest /= 100) nDigits += 2;
        if (nRest >= 10) ++nDigits;
        zqtext::DecimalDigits(nMagnitude, q + nDigits);
        return q + nDigits;
    }
    char szDigits[kDigitBufSize + 1];
    char* const pEnd = szDigits + sizeof(szDigits);
    char* pFirst = zqtext::DecimalDigits(nMagnitude, pEnd);
    if (bNegative) *--pFirst = '-';
    return PutAt(q, qEnd, pFirst, static_cast<size_t>(pEnd - pFirst));
}

}  // namespace

namespace {

// FormatMessageByHand; *pNulPossible is set when a "%c" was printed (the
// only conversion done here that can put a NUL into the text). Inlined into
// the caller that matters, FormatMessageText, so that a record makes one
// call for its message.
ZQ_TEXT_INLINE long FormatByHand(char* pOut, size_t nRoom, const char* pFormat, va_list* pArgs,
                                 bool* pNulPossible) {
    char* q = pOut;
    const char* const qEnd = pOut + nRoom - 1;
    const char* p = pFormat;
    for (;;) {
        const char* pPercent = strchrnul(p, '%');
        q = PutAt(q, qEnd, p, static_cast<size_t>(pPercent - p));
        if (*pPercent == '\0') break;
        p = pPercent + 1;
        // The plain conversions that most messages are made of, without
        // flags, width or precision, take no parsing.
        const bool bLong = p[0] == 'l' && (p[1] == 'd' || p[1] == 'i' || p[1] == 'u');
        switch (p[bLong ? 1 : 0]) {
            case 'd':
            case 'i': {
                const long long nValue = bLong ? va_arg(*pArgs, long) : va_arg(*pArgs, int);
                q = PutDecimalAt(q, qEnd,
                                 nValue < 0 ? 0ULL - static_cast<unsigned long long>(nValue)
                                            : static_cast<unsigned long long>(nValue),
                                 nValue < 0);
                p += bLong ? 2 : 1;
                continue;
            }
            case 'u':
                q = PutDecimalAt(q, qEnd,
                                 bLong ? va_arg(*pArgs, unsigned long) : va_arg(*pArgs, unsigned),
                                 false);
                p += bLong ? 2 : 1;
                continue;
            case 's': {
                const char* pText = va_arg(*pArgs, const char*);
                if (pText == nullptr) return kNeedsLibrary;  // "(null)" is the library's
                q = PutAt(q, qEnd, pText, std::strlen(pText));
                ++p;
                continue;
            }
            case '%':
                if (q != qEnd) *q++ = '%';
                ++p;
                continue;
            default:
                break;
        }
        CBoundedOut out(pOut, nRoom, q);
        Conversion conv;
        p = ParseConversion(p, pArgs, &conv);
        if (p == nullptr) return kNeedsLibrary;
        switch (conv.cConv) {
            case 'd':
            case 'i': {
                const long long nValue = SignedArg(pArgs, conv.cLength);
                // Negated in unsigned arithmetic, so that the most negative value works.
                const unsigned long long nMagnitude =
                    nValue < 0 ? 0ULL - static_cast<unsigned long long>(nValue)
                               : static_cast<unsigned long long>(nValue);
                const char cSign = nValue < 0 ? '-' : conv.bPlus ? '+' : conv.bSpace ? ' ' : '\0';
                PutInteger(out, conv, nMagnitude, cSign);
                break;
            }
            case 'c': {
                const char c = static_cast<char>(static_cast<unsigned char>(va_arg(*pArgs, int)));
                PutPadded(out, conv, &c, 1);
                *pNulPossible = true;
                break;
            }
            case 's': {
                const char* pText = va_arg(*pArgs, const char*);
                if (pText == nullptr) return kNeedsLibrary;  // "(null)" is the library's
                const size_t nLen = conv.nPrecision >= 0
                                        ? strnlen(pText, static_cast<size_t>(conv.nPrecision))
                                        : std::strlen(pText);
                PutPadded(out, conv, pText, nLen);
                break;
            }
            default:  // u, x, X: the sign flags do not apply
                PutInteger(out, conv, UnsignedArg(pArgs, conv.cLength), '\0');
                break;
        }
        q = pOut + out.Length();
    }
    *q = '\0';
    return static_cast<long>(q - pOut);
}

}  // namespace

long FormatMessageByHand(char* pOut, size_t nRoom, const char* pFormat, va_list* pArgs) {
    bool bNulPossible = false;
    return FormatByHand(pOut, nRoom, pFormat, pArgs, &bNulPossible);
}

size_t FormatMessageText(char* pOut, size_t nRoom, const char* pFormat, va_list args,
                         bool* pNulPossible) {
    bool bNulPossible = false;
    va_list byHand;
    va_copy(byHand, args);
    const long nByHand = FormatByHand(pOut, nRoom, pFormat, &byHand, &bNulPossible);
    va_end(byHand);
    if (nByHand >= 0) {
        if (pNulPossible != nullptr) *pNulPossible = bNulPossible;
        return static_cast<size_t>(nByHand);
    }
    if (pNulPossible != nullptr) *pNulPossible = true;
    const int nRet = vsnprintf(pOut, nRoom, pFormat, args);
    if (nRet <= 0) return 0;
    return static_cast<size_t>(nRet) < nRoom ? static_cast<size_t>(nRet) : nRoom - 1;
}
