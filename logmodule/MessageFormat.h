#pragma once

#include <cstdarg>
#include <cstddef>

// The message of a record: printf formatting, done by hand for what records
// mostly use and by vsnprintf for the rest, with vsnprintf's output either way.
//
// Handled by hand: literal text, "%%", and the conversions d i u x X c s with
// the flags '-', '+', ' ', '0', a width and a precision (digits or '*'), and
// the length modifiers hh h l ll j z t (none for c and s). Anything else (o,
// floating point, p, n, m, '#', '\'', positional arguments, wide characters,
// a null string) is left to vsnprintf for the whole message. The library's
// generic machinery costs more than a whole record header; this formats a
// typical message in a fraction of that.

// Formats like vsnprintf(pOut, nRoom, pFormat, args) and returns the number of
// characters written before the terminator (at most nRoom - 1; 0 for an
// empty result or an error of vsnprintf). nRoom is at least 1. args is used
// up, as by vsnprintf. *pNulPossible (when given) is false when the text is
// sure to hold no NUL before the count, true when it may ("%c" of 0).
size_t FormatMessageText(char* pOut, size_t nRoom, const char* pFormat, va_list args,
                         bool* pNulPossible = nullptr) __attribute__((format(printf, 3, 0)));

// The hand-made part alone (for tests): the count as above, or -1 when the
// format needs vsnprintf (nothing useful is in pOut then). pArgs is used up
// as far as the format was read.
long FormatMessageByHand(char* pOut, size_t nRoom, const char* pFormat, va_list* pArgs);
