#include "logmodule/MessageFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kBig = 512;
int s_nAnything = 0;

struct Result {
    std::string strOurs;
    std::string strLibrary;
    bool bByHand;
};

// The message as FormatMessageText and as vsnprintf make it into nRoom bytes,
// and whether the hand path took it.
Result Both(size_t nRoom, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
Result Both(size_t nRoom, const char* pFormat, ...) {
    std::vector<char> ours(nRoom + 8, '#');
    std::vector<char> library(nRoom + 8, '#');
    std::vector<char> byHand(nRoom + 8, '#');
    va_list args;
    va_start(args, pFormat);
    va_list copy;
    va_copy(copy, args);
    va_list hand;
    va_copy(hand, args);
    const size_t nOurs = FormatMessageText(ours.data(), nRoom, pFormat, args);
    const int nLibrary = vsnprintf(library.data(), nRoom, pFormat, copy);
    const long nHand = FormatMessageByHand(byHand.data(), nRoom, pFormat, &hand);
    va_end(hand);
    va_end(copy);
    va_end(args);
    Result r;
    r.strOurs.assign(ours.data(), nOurs);
    EXPECT_EQ('\0', ours[nOurs]) << "not terminated";
    EXPECT_EQ('#', ours[nRoom]) << "wrote past the room";
    const size_t nLibLen = nLibrary <= 0 ? 0 : std::min(static_cast<size_t>(nLibrary), nRoom - 1);
    r.strLibrary.assign(library.data(), nLibLen);
    r.bByHand = nHand >= 0;
    if (r.bByHand) {
        EXPECT_EQ(nOurs, static_cast<size_t>(nHand));
        EXPECT_EQ(r.strOurs, std::string(byHand.data(), static_cast<size_t>(nHand)));
    }
    return r;
}

#define EXPECT_AS_LIBRARY(bExpectByHand, nRoom, ...)               \
    do {                                                           \
        SCOPED_TRACE(#__VA_ARGS__);                                \
        const Result r = Both(nRoom, __VA_ARGS__);                 \
        EXPECT_EQ(r.strLibrary, r.strOurs);                        \
        EXPECT_EQ(bExpectByHand, r.bByHand) << "hand path taken?"; \
    } while (0)

TEST(MessageFormat, CommonConversionsByHandAsTheLibraryPrints) {
    EXPECT_AS_LIBRARY(true, kBig, "plain text");
    EXPECT_AS_LIBRARY(true, kBig, "%s", "");
    EXPECT_AS_LIBRARY(true, kBig, "request %06d handled %s", 42, "ok");
    EXPECT_AS_LIBRARY(true, kBig, "100%% done, %d%%", 7);
    EXPECT_AS_LIBRARY(true, kBig, "[%d][%i][%d][%d]", 0, -1, INT_MAX, INT_MIN);
    // Flags that others override (the compiler warns about them in literals).
    const std::string strOverridden = "[%+ d][% +d][%05.3d][%0-5d][%-05d][%08.3d][%+u][% u]";
    EXPECT_AS_LIBRARY(true, kBig, strOverridden.c_str(), 42, 42, -7, 3, 4, 5, 1u, 2u);
    const std::string strZeroText = "[%03c][%08s][%-03c|]";
    EXPECT_AS_LIBRARY(true, kBig, strZeroText.c_str(), 'd', "text", 'e');
    EXPECT_AS_LIBRARY(true, kBig, "[%5d][%-5d][%05d][%+d][% d]", -42, -42, -42, 42, 42);
    EXPECT_AS_LIBRARY(true, kBig, "[%.0d][%5.0d][%-5.0d][%.3d][%+.3d][%.0u][%.0x]", 0, 0, 0, -7, 7,
                      0u, 0u);
    EXPECT_AS_LIBRARY(true, kBig, "[%*d][%-*d][%*d][%.*d][%.*d][%*.*d]", 6, 1, 6, 2, -6, 3, 4, 5,
                      -1, 6, 8, 3, 9);
    EXPECT_AS_LIBRARY(true, kBig, "[%u][%x][%X][%08x][%-8X|][%.10u]", 4294967295u, 0xdeadbeefu,
                      0xdeadbeefu, 0xabcu, 0xabcu, 12345u);
    // Promoted values beyond the narrow type are cut to it (a literal format
    // would draw the compiler's warning).
    const std::string strNarrow = "[%hhd][%hhu][%hd][%hu][%hhx]";
    EXPECT_AS_LIBRARY(true, kBig, strNarrow.c_str(), 300, 300, 70000, 70000, -1);
    EXPECT_AS_LIBRARY(true, kBig, "[%ld][%lu][%lld][%llu][%llx][%lld]", LONG_MIN, ULONG_MAX,
                      LLONG_MIN, ULLONG_MAX, ULLONG_MAX, LLONG_MAX);
    EXPECT_AS_LIBRARY(true, kBig, "[%zd][%zu][%jd][%ju][%td][%zx]", static_cast<ssize_t>(-5),
                      static_cast<size_t>(-1), INTMAX_MIN, UINTMAX_MAX, static_cast<ptrdiff_t>(-9),
                      static_cast<size_t>(255));
    EXPECT_AS_LIBRARY(true, kBig, "[%c][%3c][%-3c]", 'a', 'b', 'c');
    EXPECT_AS_LIBRARY(true, kBig, "[%s][%8s][%-8s][%.2s][%8.2s][%-8.2s][%.0s]", "text", "text",
                      "text", "text", "text", "text", "text");
    EXPECT_AS_LIBRARY(true, kBig, "[%.*s][%*s]", 3, "abcdef", -5, "ab");
    // A NUL made by %c stays in the output (the record cuts there itself).
    EXPECT_AS_LIBRARY(true, kBig, "before%cafter", 0);
}

TEST(MessageFormat, EverythingElseGoesToTheLibrary) {
    const char* volatile pNull = nullptr;
    EXPECT_AS_LIBRARY(false, kBig, "[%f][%.2e][%g]", 1.5, 2.5, 3.5);
    EXPECT_AS_LIBRARY(false, kBig, "[%o][%#x][%#o]", 8u, 255u, 8u);
    EXPECT_AS_LIBRARY(false, kBig, "[%p]", static_cast<const void*>(&s_nAnything));
    EXPECT_AS_LIBRARY(false, kBig, "[%s]", pNull);
    EXPECT_AS_LIBRARY(false, kBig, "[%ls][%lc]", L"wide", static_cast<wint_t>(L'w'));
    EXPECT_AS_LIBRARY(false, kBig, "[%2$d %1$d]", 1, 2);
    EXPECT_AS_LIBRARY(false, kBig, "[%'d]", 1234567);
    EXPECT_AS_LIBRARY(false, kBig, "[%Lf]", 1.25L);
    EXPECT_AS_LIBRARY(false, kBig, "[%d] then %f", 1, 2.0);  // the whole message, from its start
}

TEST(MessageFormat, CutsWhereTheLibraryCutsForEveryRoom) {
    for (size_t nRoom = 1; nRoom < 48; ++nRoom) {
        SCOPED_TRACE("room " + std::to_string(nRoom));
        EXPECT_AS_LIBRARY(true, nRoom, "id %06d name %-10s|%5x|%c|%s", 42, "abc", 255u, 'z',
                          "tail text");
        EXPECT_AS_LIBRARY(true, nRoom, "%40d", -5);
        // The plain conversions, which take no parsing.
        EXPECT_AS_LIBRARY(true, nRoom, "n=%d l=%ld u=%lu i=%li %s%%", -12345, LONG_MIN, ULONG_MAX,
                          7L, "text");
        EXPECT_AS_LIBRARY(false, nRoom, "%d %f", 3, 1.0);
    }
}

// Conversions made at random from the grammar the hand path takes, with
// random values of the right type, widths, precisions and rooms: the output
// is always the library's.
TEST(MessageFormat, RandomConversionsMatchTheLibrary) {
    std::mt19937_64 rng(20261208);
    const char* const kFlags[] = {"", "-", "+", " ", "0", "-0", "+0", " 0", "-+", "0 +"};
    const char* const kLengths[] = {"", "hh", "h", "l", "ll", "j", "z", "t"};
    const char kConvs[] = {'d', 'i', 'u', 'x', 'X', 'c', 's'};
    const char* const kTexts[] = {"", "a", "hello", "a longer text of some length"};
    for (int nCase = 0; nCase < 20000; ++nCase) {
        const char cConv = kConvs[rng() % sizeof(kConvs)];
        const bool bText = cConv == 'c' || cConv == 's';
        const std::string strLength = bText ? "" : kLengths[rng() % 8];
        std::string strConv = std::string("<%") + kFlags[rng() % 10];
        const int nWidthKind = static_cast<int>(rng() % 3);  // none, digits, '*'
        const int nWidth = static_cast<int>(rng() % 30) - (nWidthKind == 2 ? 15 : 0);
        if (nWidthKind == 1) strConv += std::to_string(nWidth < 0 ? -nWidth : nWidth);
        if (nWidthKind == 2) strConv += "*";
        const int nPrecKind = static_cast<int>(rng() % 4);  // none, digits, '*', '.'
        const int nPrec = static_cast<int>(rng() % 25) - (nPrecKind == 2 ? 5 : 0);
        if (nPrecKind == 1) strConv += "." + std::to_string(nPrec < 0 ? -nPrec : nPrec);
        if (nPrecKind == 2) strConv += ".*";
        if (nPrecKind == 3) strConv += ".";
        strConv += strLength + cConv + ">";
        const size_t nRoom = 1 + rng() % 64;
        const uint64_t nBits = rng();
        const int nShift = static_cast<int>(rng() % 64);
        const uint64_t nValue = nBits >> nShift;  // small values too
        const char* pFormat = strConv.c_str();
        SCOPED_TRACE(strConv + " room " + std::to_string(nRoom) + " value " +
                     std::to_string(nValue));
        // The arguments as the conversion reads them: '*' ones first, then the value.
        std::vector<int> stars;
        if (nWidthKind == 2) stars.push_back(nWidth);
        if (nPrecKind == 2) stars.push_back(nPrec);
        auto run = [&](auto value) {
            Result r;
            if (stars.size() == 2) {
                r = Both(nRoom, pFormat, stars[0], stars[1], value);
            } else if (stars.size() == 1) {
                r = Both(nRoom, pFormat, stars[0], value);
            } else {
                r = Both(nRoom, pFormat, value);
            }
            EXPECT_EQ(r.strLibrary, r.strOurs);
            EXPECT_TRUE(r.bByHand);
        };
        if (cConv == 's') {
            run(kTexts[nValue % 4]);
        } else if (cConv == 'c') {
            run(static_cast<int>(nValue % 256));
        } else if (strLength == "" || strLength == "hh" || strLength == "h") {
            run(static_cast<int>(static_cast<uint32_t>(nValue)));
        } else if (strLength == "l") {
            run(static_cast<long>(nValue));
        } else if (strLength == "ll") {
            run(static_cast<long long>(nValue));
        } else if (strLength == "j") {
            run(static_cast<intmax_t>(nValue));
        } else if (strLength == "z") {
            run(static_cast<size_t>(nValue));
        } else {
            run(static_cast<ptrdiff_t>(nValue));
        }
        if (HasFailure()) break;
    }
}

}  // namespace
