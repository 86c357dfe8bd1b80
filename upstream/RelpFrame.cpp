#include "upstream/RelpFrame.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A number of 1 to kRelpMaxDigits digits at p[*pAt, nAvail), ended by the
// byte after it. kFrame with *pValue and *pAt past the digits; kNeedMore
// when the input ends inside it; kMalformed otherwise.
ERelpParse ReadNumber(const char* p, uint32_t nAvail, uint32_t* pAt, uint32_t* pValue) {
    uint32_t nAt = *pAt;
    uint32_t nValue = 0;
    uint32_t nDigits = 0;
    while (nAt < nAvail && IsDigit(p[nAt])) {
        if (nDigits == kRelpMaxDigits) return ERelpParse::kMalformed;
        // At most 9 digits: below 10^9, no overflow.
        nValue = nValue * 10 + static_cast<uint32_t>(p[nAt] - '0');
        ++nDigits;
        ++nAt;
    }
    if (nAt == nAvail) return ERelpParse::kNeedMore;
    if (nDigits == 0) return ERelpParse::kMalformed;
    *pAt = nAt;
    *pValue = nValue;
    return ERelpParse::kFrame;
}

}  // namespace

ERelpParse ParseRelpFrame(const char* p, uint32_t nAvail, uint32_t nMaxFrame, RelpFrame* pFrame) {
    uint32_t nAt = 0;
    ERelpParse eRet = ReadNumber(p, nAvail, &nAt, &pFrame->nTxnr);
    if (eRet != ERelpParse::kFrame) return eRet;
    if (p[nAt] != ' ') return ERelpParse::kMalformed;
    ++nAt;

    const uint32_t nCommand = nAt;
    while (nAt < nAvail && IsAlpha(p[nAt])) {
        if (nAt - nCommand == kRelpMaxCommand) return ERelpParse::kMalformed;
        ++nAt;
    }
    if (nAt == nAvail) return ERelpParse::kNeedMore;
    if (nAt == nCommand || p[nAt] != ' ') return ERelpParse::kMalformed;
    pFrame->pCommand = p + nCommand;
    pFrame->nCommandLen = nAt - nCommand;
    ++nAt;

    eRet = ReadNumber(p, nAvail, &nAt, &pFrame->nDataLen);
    if (eRet != ERelpParse::kFrame) return eRet;
    const uint32_t nDataLen = pFrame->nDataLen;
    if (nDataLen > 0) {
        if (p[nAt] != ' ') return ERelpParse::kMalformed;
        ++nAt;
    }
    // nAt <= kRelpMaxHeader here; the frame needs nAt + nDataLen + 1 bytes,
    // compared without the sum overflowing.
    if (nMaxFrame <= nAt || nDataLen > nMaxFrame - nAt - 1) return ERelpParse::kTooLong;
    const uint32_t nEnd = nAt + nDataLen;
    if (nAvail <= nEnd) return ERelpParse::kNeedMore;
    if (p[nEnd] != '\n') return ERelpParse::kMalformed;
    pFrame->pData = p + nAt;
    pFrame->nFrameLen = nEnd + 1;
    return ERelpParse::kFrame;
}
