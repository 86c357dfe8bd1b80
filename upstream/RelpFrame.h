#pragma once

#include <cstdint>

// The frame of RELP, both ways:
//
//   TXNR SP COMMAND SP DATALEN [SP DATA] LF
//
// TXNR and DATALEN are 1 to 9 digits, COMMAND 1 to 32 letters ("rsp",
// "syslog", "serverclose", ...); DATA is DATALEN bytes and present only when
// DATALEN > 0. Every number comes from the peer: the parser works in offsets
// from the frame's start, all uint32_t, and checks each bound before it adds.

constexpr uint32_t kRelpMaxDigits = 9;
constexpr uint32_t kRelpMaxCommand = 32;
// The longest head: "999999999 <32 letters> 999999999 ".
constexpr uint32_t kRelpMaxHeader = kRelpMaxDigits + 1 + kRelpMaxCommand + 1 + kRelpMaxDigits + 1;

enum class ERelpParse : uint8_t {
    kFrame,      // *pFrame is a whole frame
    kNeedMore,   // what is there is a valid beginning of a frame
    kMalformed,  // not a frame
    kTooLong,    // a frame longer than the caller can hold
};

struct RelpFrame {
    uint32_t nTxnr;
    const char* pCommand;
    uint32_t nCommandLen;
    const char* pData;
    uint32_t nDataLen;
    uint32_t nFrameLen;  // every byte of the frame, its LF too
};

// Parses the frame at the start of p[0, nAvail). nMaxFrame: the longest frame
// the caller's buffer holds; a frame that announces more is kTooLong, whatever
// has arrived of it.
ERelpParse ParseRelpFrame(const char* p, uint32_t nAvail, uint32_t nMaxFrame, RelpFrame* pFrame);
