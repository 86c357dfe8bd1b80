#pragma once

#include "logmodule/LogModule.h"

#include <cstddef>
#include <cstdint>

// A diagnostic of the sender: a level of the log module and one line of text. Called on the
// sender's thread, with no lock held; the daemon writes it as a record of its own, so it reaches
// the collector too.
using UpstreamNote = void (*)(int32_t nLevel, const char* pText);
constexpr int32_t kNoteWarning = ZQ_LEVEL_WARNING;
constexpr int32_t kNoteInfo = ZQ_LEVEL_INFO;
constexpr size_t kNoteLen = 512;  // a note's bytes with its NUL; a longer one is cut

// Formats a note and hands it to pfnNote. The sender's parts note through it.
void SendNote(UpstreamNote pfnNote, int32_t nLevel, const char* pFormat, ...)
    __attribute__((format(printf, 3, 4)));
