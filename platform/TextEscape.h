#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// How a byte that must not reach a log line as it is gets written instead:
// '#' and its three octal digits, so CR is "#015", LF "#012" and ESC "#033".
// One line of a log file is always one record: line ends inside a record,
// which would make one datagram or one message look like several records,
// are written this way by the log module and by the daemon alike, and control
// characters in what leaves the device or comes from a collector too.
constexpr char kEscapeMark = '#';
constexpr uint32_t kEscapedLen = 4;  // "#ooo"

enum class EEscape : uint8_t {
    kLineEnds,  // CR and LF
    kControls,  // every control character but TAB: 0x00-0x1f and 0x7f
    kTerminal,  // for a terminal: every byte but LF outside printable ASCII (0x20-0x7e)
};

// True when p[0, nLen) holds CR or LF: two vectorised library scans, no loop
// per byte. Inline, for the record path that asks for it on every record.
inline bool HasLineEnd(const char* p, size_t nLen) {
    return std::memchr(p, '\n', nLen) != nullptr || std::memchr(p, '\r', nLen) != nullptr;
}

// True when p[0, nLen) holds a byte that eWhat escapes.
bool NeedsEscape(const char* p, uint32_t nLen, EEscape eWhat);

// Copies p[0, nLen) to pOut, which has nRoom bytes, with the bytes eWhat names
// escaped. Stops before a byte whose copy would not fit, so an escape is never
// cut; *pTaken (when not null) is the number of input bytes copied. Returns
// the bytes written; pOut is not terminated. pOut must not overlap p.
uint32_t EscapeText(const char* p, uint32_t nLen, EEscape eWhat, char* pOut, uint32_t nRoom,
                    uint32_t* pTaken = nullptr);
