#include "reader/LineOutput.h"

#include "platform/TextEscape.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kJsonEscapeLen = 6;  // "\u00XX"
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kEmptyField[] = "-";
constexpr uint32_t kTimeLen = 23;  // 2026-12-08T13:00:01.123
constexpr uint32_t kLevelWidth = 7;

// The length of the valid UTF-8 sequence at p (at most n bytes), 0 when there
// is none: no overlong forms, no surrogates, nothing beyond U+10FFFF.
uint32_t Utf8Len(const unsigned char* p, uint32_t n) {
    const unsigned char c = p[0];
    uint32_t nLen = 0;
    unsigned char nLow = 0x80;
    unsigned char nHigh = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        nLen = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        nLen = 3;
        if (c == 0xe0) nLow = 0xa0;
        if (c == 0xed) nHigh = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        nLen = 4;
        if (c == 0xf0) nLow = 0x90;
        if (c == 0xf4) nHigh = 0x8f;
    } else {
        return 0;
    }
    if (nLen > n || p[1] < nLow || p[1] > nHigh) return 0;
    for (uint32_t i = 2; i < nLen; ++i) {
        if (p[i] < 0x80 || p[i] > 0xbf) return 0;
    }
    return nLen;
}

}  // namespace

CLineOutput::CLineOutput(int nFd, EOutput eMode, bool bOrigins)
    : m_nFd(nFd),
      m_eMode(eMode),
      m_bOrigins(bOrigins),
      m_bFailed(false),
      m_pBuf(new char[kBufSize]),
      m_nLen(0) {}

bool CLineOutput::Flush() {
    uint32_t nDone = 0;
    while (nDone < m_nLen && !m_bFailed) {
        const ssize_t nWritten = write(m_nFd, m_pBuf.get() + nDone, m_nLen - nDone);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) {
            m_bFailed = true;
            break;
        }
        nDone += static_cast<uint32_t>(nWritten);
    }
    m_nLen = 0;
    return !m_bFailed;
}

// Room for nLen more bytes: a line of the set is at most kMaxLineText bytes,
// so even escaped every piece of it fits the buffer.
char* CLineOutput::Room(uint32_t nLen) {
    if (kBufSize - m_nLen < nLen) (void)Flush();
    return m_pBuf.get() + m_nLen;
}

void CLineOutput::Put(const char* p, uint32_t n) {
    std::memcpy(Room(n), p, n);
    m_nLen += n;
}

void CLineOutput::PutEscaped(const char* p, uint32_t n) {
    m_nLen += EscapeText(p, n, EEscape::kTerminal, Room(n * kEscapedLen), n * kEscapedLen);
}

void CLineOutput::PutField(TextSpan s) {
    if (s.n == 0) {
        Put(kEmptyField, sizeof(kEmptyField) - 1);
    } else {
        PutEscaped(s.p, s.n);
    }
}

// Digits by hand: snprintf would cost a third of a short line's time.
void CLineOutput::PutTime(const RecordFields& f, char cSep) {
    char* const pStart = Room(kTimeLen);
    char* p = pStart;
    auto Digits = [&p](int nValue, int nWidth) {
        for (int i = nWidth; i-- > 0;) {
            p[i] = static_cast<char>('0' + nValue % 10);
            nValue /= 10;
        }
        p += nWidth;
    };
    Digits(f.nYear, 4);
    *p++ = '-';
    Digits(f.nMonth, 2);
    *p++ = '-';
    Digits(f.nDay, 2);
    *p++ = cSep;
    Digits(f.nHour, 2);
    *p++ = ':';
    Digits(f.nMin, 2);
    *p++ = ':';
    Digits(f.nSec, 2);
    *p++ = '.';
    Digits(f.nMs, 3);
    m_nLen += static_cast<uint32_t>(p - pStart);
}

void CLineOutput::PrintShort(CReadLine* pLine) {
    if (!pLine->IsRecord()) {
        PutEscaped(pLine->Text(), pLine->Len());
        PutChar('\n');
        return;
    }
    const RecordFields& f = pLine->Fields();
    PutTime(f, 'T');
    PutChar(' ');
    // The level field without its padding, padded to the longest word.
    const char* pLevel = kLevelFields[LevelFieldIndex(f.nLevel)];
    uint32_t nLevel = static_cast<uint32_t>(std::strcspn(pLevel, " "));
    Put(pLevel, nLevel);
    for (; nLevel <= kLevelWidth; ++nLevel) PutChar(' ');
    PutField(f.devId);
    PutChar(' ');
    PutField(f.module);
    PutChar(' ');
    PutField(f.procName);
    PutChar('[');
    PutEscaped(f.pid.p, f.pid.n);
    PutText("] ");
    PutField(f.file);
    PutChar(':');
    TextSpan stLine = f.lineNo;
    while (stLine.n > 1 && *stLine.p == '0') ++stLine.p, --stLine.n;
    Put(stLine.p, stLine.n);
    PutChar(' ');
    PutField(f.func);
    PutText(": ");
    PutEscaped(f.text.p, f.text.n);
    PutChar('\n');
}

void CLineOutput::PutJsonString(const char* p, uint32_t n) {
    char* pOut = Room(n * kJsonEscapeLen + 2);
    char* const pStart = pOut;
    *pOut++ = '"';
    const unsigned char* q = reinterpret_cast<const unsigned char*>(p);
    for (uint32_t i = 0; i < n;) {
        const unsigned char c = q[i];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            *pOut++ = static_cast<char>(c);
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            *pOut++ = '\\';
            *pOut++ = static_cast<char>(c);
            ++i;
            continue;
        }
        const uint32_t nSeq = c >= 0x80 ? Utf8Len(q + i, n - i) : 0;
        if (nSeq > 0) {
            std::memcpy(pOut, q + i, nSeq);
            pOut += nSeq;
            i += nSeq;
            continue;
        }
        // A control character, DEL, or a byte outside valid UTF-8: its value.
        std::memcpy(pOut, "\\u00", 4);
        pOut[4] = kHexDigits[c >> 4];
        pOut[5] = kHexDigits[c & 0xf];
        pOut += kJsonEscapeLen;
        ++i;
    }
    *pOut++ = '"';
    m_nLen += static_cast<uint32_t>(pOut - pStart);
}

// The digits of the record format without leading zeros: a JSON number.
void CLineOutput::PutJsonNumber(TextSpan s) {
    while (s.n > 1 && *s.p == '0') ++s.p, --s.n;
    Put(s.p, s.n);
}

void CLineOutput::PrintJson(CReadLine* pLine, const LineOrigin& origin) {
    PutChar('{');
    if (m_bOrigins) PutOrigin(origin);
    if (!pLine->IsRecord()) {
        PutText("\"message\":");
        PutJsonString(pLine->Text(), pLine->Len());
        PutText("}\n");
        return;
    }
    const RecordFields& f = pLine->Fields();
    const char* pLevel = kLevelFields[LevelFieldIndex(f.nLevel)];
    PutText("\"level\":");
    PutJsonString(pLevel, static_cast<uint32_t>(std::strcspn(pLevel, " ")));
    PutText(",\"time\":\"");
    PutTime(f, 'T');
    PutText("\",\"device\":");
    PutJsonString(f.devId.p, f.devId.n);
    PutText(",\"module\":");
    PutJsonString(f.module.p, f.module.n);
    PutText(",\"file\":");
    PutJsonString(f.file.p, f.file.n);
    PutText(",\"line\":");
    PutJsonNumber(f.lineNo);
    PutText(",\"process\":");
    PutJsonString(f.procName.p, f.procName.n);
    PutText(",\"pid\":");
    PutJsonNumber(f.pid);
    PutText(",\"function\":");
    PutJsonString(f.func.p, f.func.n);
    PutText(",\"message\":");
    PutJsonString(f.text.p, f.text.n);
    PutText("}\n");
}

void CLineOutput::PutOrigin(const LineOrigin& origin) {
    const RecordOrigin& from = origin.stFrom;
    const bool bJson = m_eMode == EOutput::kJson;
    if (from.eKind != OriginKind::kLocal && from.eKind != OriginKind::kOwn) {
        if (from.eKind == OriginKind::kUdp) {
            bJson ? PutText("\"origin\":\"unknown: udp\",") : PutText("[origin unknown: udp] ");
        } else {
            bJson ? PutText("\"origin\":\"unknown\",") : PutText("[origin unknown] ");
        }
        return;
    }
    char szIds[48];
    const int nIds =
        std::snprintf(szIds, sizeof(szIds), bJson ? "{\"uid\":%u,\"pid\":%u" : "[uid %u pid %u",
                      from.nUid, from.nPid);
    if (bJson) PutText("\"origin\":");
    Put(szIds, static_cast<uint32_t>(nIds));
    const uint32_t nName = static_cast<uint32_t>(strnlen(origin.szName, kOriginNameLen));
    if (bJson) {
        if (nName > 0) {
            PutText(",\"name\":");
            PutJsonString(origin.szName, nName);
        }
        PutText("},");
    } else {
        if (nName > 0) {
            PutChar(' ');
            PutEscaped(origin.szName, nName);
        }
        PutText("] ");
    }
}

void CLineOutput::Print(CReadLine* pLine, const LineOrigin& origin) {
    if (m_bOrigins && m_eMode != EOutput::kJson) PutOrigin(origin);
    switch (m_eMode) {
        case EOutput::kShort:
            PrintShort(pLine);
            break;
        case EOutput::kRaw:
            Put(pLine->Text(), pLine->Len());
            PutChar('\n');
            break;
        case EOutput::kJson:
            PrintJson(pLine, origin);
            break;
    }
}
