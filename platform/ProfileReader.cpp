#include "platform/ProfileReader.h"

#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The file is read in pieces as fgets would cut them from a 256-byte buffer: a
// line longer than 255 characters arrives in several pieces, and every piece is
// examined as a line of its own. A piece is only ever used up to its first NUL:
// a NUL byte inside a line makes the piece look short, and the bytes behind it
// in the buffer are never looked at. No index below ever leaves the piece or
// pOut[0 .. nSize - 1].
//
// Only a regular file is read, and only its first kMaxFileBytes: the open never
// waits (a FIFO with no writer), and a device such as /dev/zero, a FIFO, a
// directory or a file that never ends cannot hold the caller, which may be the
// daemon's real-time writer. Anything else is treated like a missing file.

namespace {

constexpr int32_t kNothing = 0;
constexpr size_t kPieceBuf = 256;            // one piece: at most 255 characters and a NUL
constexpr size_t kChunkBuf = 1024;           // what one read() takes from the file
constexpr size_t kMaxFileBytes = 64 * 1024;  // more is never read
constexpr size_t kMaxNameLen = 255;          // longest section or key name accepted
constexpr uint32_t kMinValueSize = 1;        // room for the terminator
constexpr uint32_t kMinListSize = 2;         // room for an empty entry and the list's end
// Result counts are signed 32-bit: no more of pOut is ever used.
constexpr uint32_t kMaxSize = 0x7fffffffU;

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Opens pPath for reading when it is a regular file (a symbolic link to one
// counts); -1 otherwise.
int OpenRegular(const char* pPath) {
    // Looked at first, so that no device is ever opened: opening some has an
    // effect of its own (a watchdog starts, a tape rewinds).
    struct stat st {};
    if (stat(pPath, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    // O_NONBLOCK: should the name have become a FIFO meanwhile, the open does
    // not wait for a writer (it changes nothing for a regular file); O_NOCTTY:
    // nor does a terminal become the caller's. What was opened is checked again.
    CUniqueFd file(open(pPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.Valid() && fstat(file.Get(), &st) == 0 && S_ISREG(st.st_mode)) return file.Release();
    return -1;
}

// Reads the file piece by piece; owns the descriptor and closes it.
class CPieceReader {
public:
    explicit CPieceReader(const char* pPath)
        : m_File(OpenRegular(pPath)), m_nLeft(kMaxFileBytes), m_szChunk(), m_szPiece() {}
    CPieceReader(const CPieceReader&) = delete;
    CPieceReader& operator=(const CPieceReader&) = delete;

    bool IsOpen() const { return m_File.Valid(); }

    // The next piece, NUL-terminated inside the buffer: up to and including a
    // line end, at most 255 characters; null at the end of the file (or of
    // what is read of it) or on a read error.
    const char* Next() {
        size_t nLen = 0;
        while (nLen + 1 < kPieceBuf) {
            if (m_nPos == m_nFill && !Fill()) break;
            const char c = m_szChunk[m_nPos++];
            m_szPiece[nLen++] = c;
            if (c == '\n') break;
        }
        if (nLen == 0) return nullptr;
        m_szPiece[nLen] = '\0';
        return m_szPiece;
    }

private:
    // Reads the next chunk; false at the end, on an error, or once
    // kMaxFileBytes have been read.
    bool Fill() {
        if (m_bDone || m_nLeft == 0) return false;
        const size_t nWant = m_nLeft < kChunkBuf ? m_nLeft : kChunkBuf;
        ssize_t nGot = -1;
        do {
            nGot = read(m_File.Get(), m_szChunk, nWant);
        } while (nGot < 0 && errno == EINTR);
        if (nGot <= 0) {
            // A read error ends the file as fgets would: what came before stands.
            m_bDone = true;
            return false;
        }
        m_nPos = 0;
        m_nFill = static_cast<size_t>(nGot);
        m_nLeft -= m_nFill;
        return true;
    }

    CUniqueFd m_File;  // read-only: nothing is lost when its close fails
    size_t m_nLeft;    // bytes the file may still give
    size_t m_nPos = 0;
    size_t m_nFill = 0;
    bool m_bDone = false;
    char m_szChunk[kChunkBuf];
    char m_szPiece[kPieceBuf];
};

// True when pLine is the header of section pName: '[', the name, ']'. Text
// after the ']' does not matter. strncmp stops at the piece's NUL, so a short
// piece never matches and is never read past.
bool IsHeaderOf(const char* pLine, const char* pName, size_t nNameLen) {
    return pLine[0] == '[' && std::strncmp(pLine + 1, pName, nNameLen) == 0 &&
           pLine[1 + nNameLen] == ']';
}

// Moves the reader to the first line after the header of pSection. False when
// the file holds no such header.
bool SeekSection(CPieceReader& reader, const char* pSection, size_t nSectionLen) {
    for (const char* pLine = reader.Next(); pLine != nullptr; pLine = reader.Next()) {
        if (IsHeaderOf(pLine, pSection, nSectionLen)) return true;
    }
    return false;
}

// Copies the default: all of it when it fits with its terminator, else its first
// nSize - 1 characters. Returns the number of characters copied.
int32_t CopyDefault(const char* pDefault, char* pOut, uint32_t nSize) {
    uint32_t n = 0;
    while (n + 1 < nSize && pDefault[n] != '\0') {
        pOut[n] = pDefault[n];
        ++n;
    }
    pOut[n] = '\0';
    return static_cast<int32_t>(n);
}

// Start of the value when pLine assigns pKey, else null. The value may begin
// with CR or LF: that is the empty value.
const char* ValueOf(const char* pLine, const char* pKey, size_t nKeyLen) {
    if (std::strncmp(pLine, pKey, nKeyLen) != 0) return nullptr;
    const char* p = pLine + nKeyLen;
    bool bAssigned = false;
    while (*p == ' ' || *p == '=') {
        if (*p == '=') bAssigned = true;
        ++p;
    }
    // The end of the piece before any value (also "FileSize=" as the file's last
    // line without a line end), or a value without '=' ("FileSize 30", or the
    // key "File" against "FileSize=20"): no assignment.
    if (*p == '\0' || !bAssigned) return nullptr;
    return p;
}

int32_t LookupValue(CPieceReader& reader, const char* pSection, size_t nSectionLen,
                    const char* pKey, size_t nKeyLen, char* pOut, uint32_t nSize,
                    int32_t nDefaultLen) {
    if (!SeekSection(reader, pSection, nSectionLen)) return nDefaultLen;
    for (const char* pLine = reader.Next(); pLine != nullptr; pLine = reader.Next()) {
        // Only the first matching section counts: the next header ends it.
        if (pLine[0] == '[') break;
        const char* pValue = ValueOf(pLine, pKey, nKeyLen);
        if (pValue == nullptr) continue;
        // The value runs to the first CR, LF or the end of the piece; a value
        // that is a line end alone is the empty value.
        uint32_t n = 0;
        while (n + 1 < nSize && pValue[n] != '\0' && !IsLineEnd(pValue[n])) {
            pOut[n] = pValue[n];
            ++n;
        }
        pOut[n] = '\0';
        return static_cast<int32_t>(n);
    }
    return nDefaultLen;
}

// Builds a list of entries, each terminated, then one more terminator. Entries
// may use pOut[0 .. nSize - 2]; the list's last terminator then still fits.
class CListWriter {
public:
    CListWriter(char* pOut, uint32_t nSize) : m_pOut(pOut), m_nLimit(nSize - kMinListSize) {}

    bool Full() const { return m_nCount >= m_nLimit; }

    // Appends the characters of pText up to the first NUL or any of pStops, cut
    // when the count reaches the limit, and a terminator.
    void Add(const char* pText, const char* pStops) {
        for (const char* p = pText; *p != '\0' && std::strchr(pStops, *p) == nullptr; ++p) {
            if (Full()) break;
            m_pOut[m_nCount++] = *p;
        }
        m_pOut[m_nCount++] = '\0';
    }

    // Closes the list and returns the offset of the last entry's terminator, or
    // 0 for an empty list. An empty list is written as two terminators, so it
    // reads as the empty text and as an empty double-terminated list.
    int32_t Finish() {
        m_pOut[m_nCount] = '\0';
        if (m_nCount == 0) {
            m_pOut[1] = '\0';
            return kNothing;
        }
        return static_cast<int32_t>(m_nCount - 1);
    }

private:
    char* m_pOut;
    uint32_t m_nLimit;
    uint32_t m_nCount = 0;
};

int32_t ListKeys(CPieceReader& reader, const char* pSection, size_t nSectionLen, char* pOut,
                 uint32_t nSize) {
    CListWriter list(pOut, nSize);
    if (SeekSection(reader, pSection, nSectionLen)) {
        for (const char* pLine = reader.Next(); pLine != nullptr && !list.Full();
             pLine = reader.Next()) {
            if (pLine[0] == '[') break;
            // Every line of the section is an entry; a blank one gives an empty entry.
            list.Add(pLine, " =\r\n");
        }
    }
    return list.Finish();
}

int32_t ListSections(CPieceReader& reader, char* pOut, uint32_t nSize) {
    CListWriter list(pOut, nSize);
    for (const char* pLine = reader.Next(); pLine != nullptr && !list.Full();
         pLine = reader.Next()) {
        if (pLine[0] != '[') continue;
        list.Add(pLine + 1, "]\r\n");
    }
    return list.Finish();
}

// The empty text (and, given room, the empty list) in pOut and the result 0:
// the answer to arguments outside the reader's limits.
int32_t Refuse(char* pOut, uint32_t nSize) {
    pOut[0] = '\0';
    if (nSize >= kMinListSize) pOut[1] = '\0';
    return kNothing;
}

}  // namespace

int32_t ReadProfileString(const char* pSection, const char* pKey, const char* pDefault, char* pOut,
                          uint32_t nSize, const char* pPath) {
    if (pOut == nullptr || nSize < kMinValueSize) return kNothing;
    if (nSize > kMaxSize) nSize = kMaxSize;
    if (pSection == nullptr || pKey == nullptr || pPath == nullptr) return Refuse(pOut, nSize);
    const size_t nSectionLen = strnlen(pSection, kMaxNameLen + 1);
    const size_t nKeyLen = strnlen(pKey, kMaxNameLen + 1);
    if (nSectionLen > kMaxNameLen || nKeyLen > kMaxNameLen) return Refuse(pOut, nSize);
    const bool bList = nSectionLen == 0 || nKeyLen == 0;
    if (bList && nSize < kMinListSize) return Refuse(pOut, nSize);

    const char* pDef = pDefault != nullptr ? pDefault : "";
    int32_t nDefaultLen = 0;
    if (bList) {
        // A list that falls back to the default still ends in two terminators,
        // so the default is cut one character shorter than for a value.
        nDefaultLen = CopyDefault(pDef, pOut, nSize - 1);
        pOut[nDefaultLen + 1] = '\0';
    } else {
        nDefaultLen = CopyDefault(pDef, pOut, nSize);
    }
    CPieceReader reader(pPath);
    // A file that cannot be opened is no error: the default stands.
    if (!reader.IsOpen()) return nDefaultLen;

    if (nSectionLen == 0) return ListSections(reader, pOut, nSize);
    if (nKeyLen == 0) return ListKeys(reader, pSection, nSectionLen, pOut, nSize);
    return LookupValue(reader, pSection, nSectionLen, pKey, nKeyLen, pOut, nSize, nDefaultLen);
}
