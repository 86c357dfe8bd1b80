#include "upstream/UpstreamNote.h"

#include <cstdarg>
#include <cstdio>

void SendNote(UpstreamNote pfnNote, int32_t nLevel, const char* pFormat, ...) {
    char szText[kNoteLen];
    va_list ap;
    va_start(ap, pFormat);
    (void)std::vsnprintf(szText, sizeof(szText), pFormat, ap);
    va_end(ap);
    pfnNote(nLevel, szText);
}
