#pragma once

#include "platform/DaemonPaths.h"
#include "upstream/FileSetReader.h"

#include <cstddef>
#include <cstdint>

// The sender's state file in the log directory: where forwarding resumes (the
// first line the collector has not acknowledged) and the count of lines lost
// to rotation, kept across restarts. Text, one "key=value" a line, headhash
// in 16 hex digits, the others decimal:
//
//   inode=1837
//   offset=40960
//   seq=17342
//   headlen=64
//   headhash=9f3a0c5e71b2d846
//   lost=0
//
// Written whole to "<name>.tmp", fsync'ed, renamed over the old one and the
// directory fsync'ed: after a crash or a power cut the file holds either the
// old or the new state, never a mix.

struct CursorState {
    StreamPos stPos;
    uint64_t nLost;  // lines rotated away before they were sent, over all runs
};

// kCursorOk, kCursorNone (no file), kCursorDamaged (something under the name
// that is not a state file: start afresh), or kCursorIoError (errno) for Save.
constexpr int32_t kCursorOk = 0;
constexpr int32_t kCursorNone = 1;
constexpr int32_t kCursorDamaged = 2;
constexpr int32_t kCursorIoError = -1;

class CCursorFile {
public:
    CCursorFile();
    // "<dir>/<prefix>_forward.state". 0, or -5 when the path is too long.
    int32_t SetPath(const char* pLogDir, const char* pPrefix);
    const char* Path() const { return m_szPath; }

    int32_t Load(CursorState* pState) const;
    int32_t Save(const CursorState& state) const;

private:
    static constexpr size_t kPathLen = 512;
    char m_szPath[kPathLen];
    char m_szTmpPath[kPathLen];
    char m_szDir[kPathLen];
};
