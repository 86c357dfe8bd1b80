#include "platform/TextEscape.h"

#include <cstring>

namespace {

bool Escaped(unsigned char c, EEscape eWhat) {
    if (eWhat == EEscape::kLineEnds) return c == '\r' || c == '\n';
    if (eWhat == EEscape::kTerminal) return c != '\n' && (c < 0x20 || c >= 0x7f);
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

}  // namespace

bool NeedsEscape(const char* p, uint32_t nLen, EEscape eWhat) {
    if (eWhat == EEscape::kLineEnds) return HasLineEnd(p, nLen);
    for (uint32_t i = 0; i < nLen; ++i) {
        if (Escaped(static_cast<unsigned char>(p[i]), eWhat)) return true;
    }
    return false;
}

uint32_t EscapeText(const char* p, uint32_t nLen, EEscape eWhat, char* pOut, uint32_t nRoom,
                    uint32_t* pTaken) {
    uint32_t nIn = 0;
    uint32_t nOut = 0;
    for (; nIn < nLen; ++nIn) {
        const unsigned char c = static_cast<unsigned char>(p[nIn]);
        if (!Escaped(c, eWhat)) {
            if (nOut == nRoom) break;
            pOut[nOut++] = static_cast<char>(c);
            continue;
        }
        if (nRoom - nOut < kEscapedLen) break;
        pOut[nOut++] = kEscapeMark;
        pOut[nOut++] = static_cast<char>('0' + ((c >> 6) & 7));
        pOut[nOut++] = static_cast<char>('0' + ((c >> 3) & 7));
        pOut[nOut++] = static_cast<char>('0' + (c & 7));
    }
    if (pTaken != nullptr) *pTaken = nIn;
    return nOut;
}
