#pragma once

#include "asynclog/OriginJournal.h"
#include "reader/LineFilter.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// How zqread prints a line.
enum class EOutput : uint8_t {
    kShort,  // one line: time level device module process[pid] file:line function: message
    kRaw,    // the line as stored, with LF for its CR LF
    kJson,   // one JSON object per line
};

// Formats lines into a buffer of its own and writes it to a descriptor
// (standard output) when it fills and on Flush. In kShort, control
// characters and bytes from 0x80 come out escaped (TextEscape.h, kTerminal),
// so what others sent cannot act on the terminal; kRaw prints the bytes as
// they are; kJson escapes what JSON requires, and a byte that is not part of
// valid UTF-8 as \u00XX of its value, so every object is valid JSON.
//
//   short  2026-12-08T13:00:01.123 Error   cam0 net app[1234] main.cpp:42 Run: started
//   json   {"level":"Error","time":"2026-12-08T13:00:01.123","device":"cam0",
//           "module":"net","file":"main.cpp","line":42,"process":"app","pid":1234,
//           "function":"Run","message":"started"}
//
// An empty device, module, file, process or function is "-" in kShort; a
// line not in the record format is its (escaped) text alone, in kJson
// {"message":...}.
//
// With origins, each line begins with its sender as the daemon's origin
// journal has it, which no sender can write: "[uid 65534 pid 812 sh] " (the
// kernel's uid and pid, the name the process gave itself), "[origin
// unknown: udp] ", "[origin unknown] " (not recorded); in kJson the first
// member, "origin":{"uid":65534,"pid":812,"name":"sh"} or "origin":"unknown:
// udp". Used by one thread.
class CLineOutput {
public:
    CLineOutput(int nFd, EOutput eMode, bool bOrigins = false);
    CLineOutput(const CLineOutput&) = delete;
    CLineOutput& operator=(const CLineOutput&) = delete;

    void Print(CReadLine* pLine, const LineOrigin& origin);
    // Writes what is buffered; false when the descriptor took not all of it
    // (errno), as every later call then.
    bool Flush();

    static constexpr uint32_t kBufSize = 256 * 1024;

private:
    char* Room(uint32_t nLen);
    void Put(const char* p, uint32_t n);
    template <size_t N>
    void PutText(const char (&szText)[N]) {
        Put(szText, N - 1);
    }
    void PutChar(char c) {
        *Room(1) = c;
        ++m_nLen;
    }
    void PutEscaped(const char* p, uint32_t n);
    void PutField(TextSpan s);
    void PutTime(const RecordFields& stFields, char cSep);
    void PutJsonString(const char* p, uint32_t n);
    void PutJsonNumber(TextSpan s);
    void PrintShort(CReadLine* pLine);
    void PrintJson(CReadLine* pLine, const LineOrigin& origin);
    void PutOrigin(const LineOrigin& origin);

    int m_nFd;
    EOutput m_eMode;
    bool m_bOrigins;
    bool m_bFailed;
    std::unique_ptr<char[]> m_pBuf;  // kBufSize bytes, m_nLen of them in use
    uint32_t m_nLen;
};
