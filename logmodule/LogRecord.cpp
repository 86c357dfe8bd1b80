// Record formatting and submission.
//
// A record line is
//   "%-7s %d-%02d-%02d %02d:%02d:%02d:%03ld  DevID:%s  Source-Line:%s(%s-L%04d)  "
//   "ProcessName:%s(%d)     Description:[%s]" + message + "\r\n"
// with the header cut at 511 characters and the whole line at 1023. The header
// is assembled by hand (byte-identical to that format): when the lengths of
// the caller's texts show that it fits, in one pass without a bound per
// piece, else piece by piece with the cut. The message is formatted as
// vsnprintf would (MessageFormat.h: by hand for the common conversions), so
// that a record costs one clock read and one copy into the engine's ring, and
// threads logging at once do not wait for each other:
//   - no lock: the thread holds its own gate (ProducerGate, a cache line of
//     its own) while it checks the level, formats and pushes, and the ring
//     takes records from any number of threads at once. The gate tells
//     whoever stops the engine to wait for the push; a thread that finds the
//     engine closed, or another one than it knew, catches up under the
//     module lock and pushes there, that once;
//   - the "YYYY-MM-DD HH:MM:SS:" text is cached per thread and per second, so
//     localtime_r runs at most once a second on each thread;
//   - the header parts made of module name, process name and pid are built
//     per thread, under the lock, only when the module was created or
//     destroyed since the thread's last record; formatting itself then reads
//     nothing shared.

#include "logmodule/LogModule.h"

#include "logmodule/LogModuleState.h"
#include "logmodule/MessageFormat.h"
#include "logmodule/RecordFormat.h"
#include "logmodule/TextPieces.h"
#include "platform/TextEscape.h"

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Holds "%d-%02d-%02d %02d:%02d:%02d:" for any int fields (11 characters
// each at most) with room to spare.
constexpr size_t kStampBufSize = 96;
// Digits of a 64-bit value with its sign.
constexpr size_t kIntBufSize = zqtext::kDigitBufSize;
// The least digits of the milliseconds and the line number ("%03ld", "%04d").
constexpr size_t kMilliSecDigits = 3;
constexpr size_t kLineDigits = 4;

// The parts of the header that stay the same while the module is created,
// ready to copy: "  Source-Line:<module>(" and
// ")  ProcessName:<process>(<pid>)     Description:[".
constexpr size_t kSourcePartSize = 16 + kModuleNameLen;
constexpr size_t kProcessPartSize = 48 + kProcessNameLen;
struct RecordIdentity {
    uint32_t nSourceLen;
    uint32_t nProcessLen;
    char szSource[kSourcePartSize];
    char szProcess[kProcessPartSize];
};

// Per-thread caches. Plain data with a zero initial state, so each thread's
// copy needs neither a constructor nor a destructor.
struct ThreadCache {
    bool bStampValid;
    time_t nStampSec;  // the second szStamp was made for
    uint32_t nStampLen;
    char szStamp[kStampBufSize];

    // LogModule::m_nGeneration the identity and the engine were taken at;
    // 0: never.
    uint32_t nGeneration;
    RecordIdentity identity;
    ZIdOrereDov* pEngine;  // the engine of that generation

    ProducerGate gate;
};

thread_local ThreadCache t_Cache;

// Takes the thread's gate off the module's list when the thread ends; made at
// the gate's first link.
struct GateRelease {
    GateRelease() = default;
    GateRelease(const GateRelease&) = delete;
    GateRelease& operator=(const GateRelease&) = delete;
    ~GateRelease() { UnlinkGate(&t_Cache.gate); }
    void Arm() {}
};

thread_local GateRelease t_GateRelease;

// Holds the thread's gate for a push without the module lock. Open when the
// engine the thread caught up with still takes records: then it stays until
// the hold ends, whoever wants to stop it.
class CGateHold {
public:
    CGateHold(const LogModule& m, ThreadCache& cache)
        : m_Gate(cache.gate), m_nHeld(m_Gate.nHeld.load(std::memory_order_relaxed)) {
        // Both sequentially consistent, as CloseEngineLocked's store and load
        // are: either it sees this gate held or this sees the engine closed.
        (void)m_Gate.nHeld.exchange(m_nHeld + 1, std::memory_order_seq_cst);
        const uint32_t nOpen = m.m_nOpenGeneration.load(std::memory_order_seq_cst);
        m_bOpen = nOpen != 0 && nOpen == cache.nGeneration;
    }
    ~CGateHold() { m_Gate.nHeld.store(m_nHeld, std::memory_order_release); }
    CGateHold(const CGateHold&) = delete;
    CGateHold& operator=(const CGateHold&) = delete;
    bool Open() const { return m_bOpen; }

private:
    ProducerGate& m_Gate;
    const uint32_t m_nHeld;
    bool m_bOpen;
};

using zqtext::CopyShort;
using zqtext::kDigitPairs;

// Writes nValue as printf's "%0*lld" with width nWidth does (the sign counts
// towards the width, zeros go after it); returns the number of characters.
size_t FormatInt(char* pOut, long long nValue, size_t nWidth) {
    char szDigits[kIntBufSize];
    char* const pEnd = szDigits + kIntBufSize;
    // Negated in unsigned arithmetic so that the most negative value works.
    const char* pFirst =
        zqtext::DecimalDigits(nValue < 0 ? 0ULL - static_cast<unsigned long long>(nValue)
                                         : static_cast<unsigned long long>(nValue),
                              pEnd);
    const size_t nDigits = static_cast<size_t>(pEnd - pFirst);
    size_t nPos = 0;
    if (nValue < 0) pOut[nPos++] = '-';
    for (size_t nUsed = nDigits + nPos; nUsed < nWidth; ++nUsed) pOut[nPos++] = '0';
    memcpy(pOut + nPos, pFirst, nDigits);
    return nPos + nDigits;
}

// "%d-%02d-%02d %02d:%02d:%02d:" of a broken-down time; all fields 0 when
// there is none (a failed conversion). pOut holds kStampBufSize bytes.
uint32_t FormatStamp(char* pOut, const struct tm* pTime) {
    const int nYear = pTime != nullptr ? pTime->tm_year + 1900 : 0;
    const int nFields[] = {
        pTime != nullptr ? pTime->tm_mon + 1 : 0, pTime != nullptr ? pTime->tm_mday : 0,
        pTime != nullptr ? pTime->tm_hour : 0,    pTime != nullptr ? pTime->tm_min : 0,
        pTime != nullptr ? pTime->tm_sec : 0,
    };
    const char kSeparators[] = {'-', '-', ' ', ':', ':', ':'};
    size_t nLen = FormatInt(pOut, nYear, 0);
    pOut[nLen++] = kSeparators[0];
    for (size_t i = 0; i < sizeof(nFields) / sizeof(nFields[0]); ++i) {
        nLen += FormatInt(pOut + nLen, nFields[i], 2);
        pOut[nLen++] = kSeparators[i + 1];
    }
    return static_cast<uint32_t>(nLen);
}

// Appends to a buffer, never beyond nMax characters; the caller terminates.
// The short texts of a header are copied byte by byte in one pass: cheaper
// than a library call to measure each, then another to copy it.
class CLineWriter {
public:
    CLineWriter(char* pBuf, size_t nMax) : m_pBuf(pBuf), m_nLen(0), m_nMax(nMax) {}

    void Put(const char* pText, size_t nLen) {
        size_t nRoom = m_nMax - m_nLen;
        if (nLen > nRoom) nLen = nRoom;
        memcpy(m_pBuf + m_nLen, pText, nLen);
        m_nLen += nLen;
    }
    // A fixed-size piece: copied inline when it fits whole.
    template <size_t N>
    void PutLiteral(const char (&szText)[N]) {
        if (m_nMax - m_nLen >= N - 1) {
            memcpy(m_pBuf + m_nLen, szText, N - 1);
            m_nLen += N - 1;
        } else {
            Put(szText, N - 1);
        }
    }
    // A null text prints as empty.
    void PutText(const char* pText) {
        if (pText == nullptr) return;
        char* pOut = m_pBuf + m_nLen;
        char* const pEnd = m_pBuf + m_nMax;
        while (pOut < pEnd && *pText != '\0') *pOut++ = *pText++;
        m_nLen = static_cast<size_t>(pOut - m_pBuf);
    }
    // The part of a path after its last '/', or the whole path without one.
    void PutBaseName(const char* pPath) {
        char* const pStart = m_pBuf + m_nLen;
        char* const pEnd = m_pBuf + m_nMax;
        char* pOut = pStart;
        for (; *pPath != '\0'; ++pPath) {
            if (*pPath == '/') {
                pOut = pStart;
            } else if (pOut < pEnd) {
                *pOut++ = *pPath;
            }
        }
        m_nLen = static_cast<size_t>(pOut - m_pBuf);
    }
    // A function name after its last "::", searched from the front and
    // continued after each match, so "a:::b" gives ":b" and "X::" nothing.
    // A null name prints as empty.
    void PutFunctionName(const char* pFunc) {
        if (pFunc == nullptr) return;
        char* const pStart = m_pBuf + m_nLen;
        char* const pEnd = m_pBuf + m_nMax;
        char* pOut = pStart;
        while (*pFunc != '\0') {
            // pFunc[1] exists: pFunc[0] is not the terminator.
            if (pFunc[0] == ':' && pFunc[1] == ':') {
                pOut = pStart;
                pFunc += 2;
                continue;
            }
            if (pOut < pEnd) *pOut++ = *pFunc;
            ++pFunc;
        }
        m_nLen = static_cast<size_t>(pOut - m_pBuf);
    }
    void PutInt(long long nValue, size_t nWidth) {
        char szNum[kIntBufSize];
        Put(szNum, FormatInt(szNum, nValue, nWidth));
    }
    size_t Length() const { return m_nLen; }

private:
    char* m_pBuf;
    size_t m_nLen;
    size_t m_nMax;
};

// Builds the fixed header parts from the module's identity; a module or
// process name longer than the module accepts is cut to that length.
void BuildIdentity(RecordIdentity* pIdentity, const char* pModule, const char* pProcess,
                   int32_t nPid) {
    CLineWriter source(pIdentity->szSource, kSourcePartSize - 1);
    source.PutLiteral(kLabelSource);
    if (pModule != nullptr) source.Put(pModule, strnlen(pModule, kModuleNameLen));
    source.PutLiteral("(");
    pIdentity->nSourceLen = static_cast<uint32_t>(source.Length());

    CLineWriter process(pIdentity->szProcess, kProcessPartSize - 1);
    process.PutLiteral(kLabelProcess);
    if (pProcess != nullptr) process.Put(pProcess, strnlen(pProcess, kProcessNameLen));
    process.PutLiteral("(");
    process.PutInt(nPid, 0);
    process.PutLiteral(kLabelFunction);
    pIdentity->nProcessLen = static_cast<uint32_t>(process.Length());
}

// Copies a piece of the header that is kept in a buffer of at least N bytes
// (the date-time text, the identity's parts): when it has at most N
// characters, N bytes at once, with no test of its length; the bytes beyond
// it are written over by the rest of the line or lie beyond its end. A whole
// header starts each piece within kHeaderMaxLen, so the N bytes are inside
// the record's buffer.
constexpr size_t kPieceCopyLen = 32;
static_assert(kHeaderMaxLen + 2 * kPieceCopyLen <= kRecordBufSize,
              "a piece copy leaves the buffer");
static_assert(kStampBufSize >= kPieceCopyLen && kSourcePartSize >= kPieceCopyLen &&
                  kProcessPartSize >= 2 * kPieceCopyLen,
              "a piece copy reads beyond its buffer");
template <size_t N>
ZQ_TEXT_INLINE void CopyPiece(char* pDst, const char* pSrc, size_t nLen) {
    if (nLen <= N) {
        memcpy(pDst, pSrc, N);
    } else {
        CopyShort(pDst, pSrc, nLen);
    }
}

// A fixed piece of a header.
template <size_t N>
char* PutLabel(char* pOut, const char (&szText)[N]) {
    memcpy(pOut, szText, N - 1);
    return pOut + N - 1;
}

// The header written whole, without a bound for each piece, when it is sure
// to fit in kHeaderMaxLen: the usual case. 0 when it might not (very long
// texts, a line number or milliseconds with more digits than the least, or
// negative); the bounded writer then does it.
ZQ_TEXT_INLINE size_t PutWholeHeader(char* pBuf, int32_t nLevel, const char* pSrcFile,
                                     int32_t nLine, const char* pFunc, const char* pDevId,
                                     const RecordIdentity& identity, const char* pStamp,
                                     uint32_t nStampLen, long nMilliSec) {
    if (nMilliSec < 0 || nMilliSec > 999 || nLine < 0 || nLine > 9999) return 0;
    const size_t nDevLen = pDevId != nullptr ? strlen(pDevId) : 0;
    const size_t nPathLen = strlen(pSrcFile);
    const auto* pSlash = static_cast<const char*>(memrchr(pSrcFile, '/', nPathLen));
    const char* const pBase = pSlash != nullptr ? pSlash + 1 : pSrcFile;
    const auto nBaseLen = static_cast<size_t>(pSrcFile + nPathLen - pBase);
    // The function name after its last "::", searched from the front and
    // continued after each match, as the bounded writer does.
    const char* pName = pFunc;
    size_t nNameLen = 0;
    if (pFunc != nullptr) {
        // A name without ':' (any __func__) takes one search.
        const char* p = strchrnul(pFunc, ':');
        const char* const pEnd = *p == '\0' ? p : p + strlen(p);
        while (const auto* pColon =
                   static_cast<const char*>(memchr(p, ':', static_cast<size_t>(pEnd - p)))) {
            p = pColon + 1;
            if (p < pEnd && *p == ':') pName = ++p;
        }
        nNameLen = static_cast<size_t>(pEnd - pName);
    }
    constexpr size_t kFixedLen = kLevelFieldLen + kMilliSecDigits + kLineDigits +
                                 (sizeof(kLabelDevId) - 1) + (sizeof(kLabelLine) - 1) +
                                 (sizeof(kLabelMessage) - 1);
    if (kFixedLen + nStampLen + nDevLen + identity.nSourceLen + nBaseLen + identity.nProcessLen +
            nNameLen >
        kHeaderMaxLen) {
        return 0;
    }
    char* p = pBuf;
    memcpy(p, kLevelFields[LevelFieldIndex(nLevel)], kLevelFieldLen);
    p += kLevelFieldLen;
    CopyPiece<kPieceCopyLen>(p, pStamp, nStampLen);
    p += nStampLen;
    const auto nMs = static_cast<uint32_t>(nMilliSec);
    *p++ = static_cast<char>('0' + nMs / 100);
    memcpy(p, kDigitPairs + 2 * (nMs % 100), 2);
    p = PutLabel(p + 2, kLabelDevId);
    CopyShort(p, pDevId, nDevLen);
    p += nDevLen;
    CopyPiece<kPieceCopyLen>(p, identity.szSource, identity.nSourceLen);
    p += identity.nSourceLen;
    CopyShort(p, pBase, nBaseLen);
    p = PutLabel(p + nBaseLen, kLabelLine);
    const auto nLineNo = static_cast<uint32_t>(nLine);
    memcpy(p, kDigitPairs + 2 * (nLineNo / 100), 2);
    memcpy(p + 2, kDigitPairs + 2 * (nLineNo % 100), 2);
    p += 4;
    // The process part is longer: ")  ProcessName:" and "(pid)     Description:[".
    CopyPiece<2 * kPieceCopyLen>(p, identity.szProcess, identity.nProcessLen);
    p += identity.nProcessLen;
    CopyShort(p, pName, nNameLen);
    p = PutLabel(p + nNameLen, kLabelMessage);
    return static_cast<size_t>(p - pBuf);
}

// The header piece by piece, each cut where the header reaches kHeaderMaxLen.
size_t PutBoundedHeader(char* pBuf, int32_t nLevel, const char* pSrcFile, int32_t nLine,
                        const char* pFunc, const char* pDevId, const RecordIdentity& identity,
                        const char* pStamp, uint32_t nStampLen, long nMilliSec) {
    CLineWriter header(pBuf, kHeaderMaxLen);
    header.PutLiteral(kLevelFields[LevelFieldIndex(nLevel)]);
    header.Put(pStamp, nStampLen);
    header.PutInt(nMilliSec, kMilliSecDigits);
    header.PutLiteral(kLabelDevId);
    header.PutText(pDevId);
    header.Put(identity.szSource, identity.nSourceLen);
    header.PutBaseName(pSrcFile);
    header.PutLiteral(kLabelLine);
    header.PutInt(nLine, kLineDigits);
    header.Put(identity.szProcess, identity.nProcessLen);
    header.PutFunctionName(pFunc);
    header.PutLiteral(kLabelMessage);
    return header.Length();
}

// Writes the line pBuf[0, nLen) again with its line ends escaped, cut to
// nMax; returns its new length. Rare: kept out of the usual record's way
// (and its copy off that record's stack).
__attribute__((noinline, cold)) size_t EscapeLineEnds(char* pBuf, size_t nLen, size_t nMax) {
    char szPlain[kRecordBufSize];
    std::memcpy(szPlain, pBuf, nLen);
    return EscapeText(szPlain, static_cast<uint32_t>(nLen), EEscape::kLineEnds, pBuf,
                      static_cast<uint32_t>(nMax));
}

// The whole record with a ready date-time text and identity; see
// FormatLogRecord.
ZQ_TEXT_INLINE uint32_t FormatWithStamp(char* pBuf, int32_t nLevel, const char* pSrcFile,
                                        int32_t nLine, const char* pFunc, const char* pDevId,
                                        const RecordIdentity& identity, const char* pStamp,
                                        uint32_t nStampLen, long nMilliSec, const char* pFormat,
                                        va_list args) __attribute__((format(printf, 11, 0)));

ZQ_TEXT_INLINE uint32_t FormatWithStamp(char* pBuf, int32_t nLevel, const char* pSrcFile,
                                        int32_t nLine, const char* pFunc, const char* pDevId,
                                        const RecordIdentity& identity, const char* pStamp,
                                        uint32_t nStampLen, long nMilliSec, const char* pFormat,
                                        va_list args) {
    if (pSrcFile == nullptr) return 0;
    size_t nLen = PutWholeHeader(pBuf, nLevel, pSrcFile, nLine, pFunc, pDevId, identity, pStamp,
                                 nStampLen, nMilliSec);
    // What a whole header begins with holds no line end: the level, the
    // date and time and the label before the device id.
    size_t nPlainStart = kLevelFieldLen + nStampLen + kMilliSecDigits + (sizeof(kLabelDevId) - 1);
    if (nLen == 0) {
        nPlainStart = 0;
        nLen = PutBoundedHeader(pBuf, nLevel, pSrcFile, nLine, pFunc, pDevId, identity, pStamp,
                                nStampLen, nMilliSec);
    }

    // The message fills the rest of the buffer, terminator included.
    size_t nRoom = kRecordBufSize - nLen;
    size_t nMsgLen = 0;
    if (pFormat != nullptr) {
        bool bNulPossible = true;
        nMsgLen = FormatMessageText(pBuf + nLen, nRoom, pFormat, args, &bNulPossible);
        // A NUL produced by the message (a "%c" of 0) ends the line there:
        // the writer stores texts only up to their first NUL, and the line
        // must still end in CR LF.
        if (bNulPossible) nMsgLen = strnlen(pBuf + nLen, nMsgLen);
    }
    nLen += nMsgLen;

    // CR LF after the text, or over its last one or two characters when the
    // buffer is full, so that the line always ends in CR LF within 1023.
    constexpr size_t kLastTextLen = kRecordBufSize - 3;  // 1021
    if (nLen > kLastTextLen) nLen = kLastTextLen;
    // A line end inside the record (in the message, a device id, a function
    // name) would make it look like several records: it is written escaped,
    // as the daemon writes one inside a datagram.
    if (HasLineEnd(pBuf + nPlainStart, nLen - nPlainStart)) {
        nLen = EscapeLineEnds(pBuf, nLen, kLastTextLen);
    }
    pBuf[nLen++] = '\r';
    pBuf[nLen++] = '\n';
    pBuf[nLen] = '\0';
    return static_cast<uint32_t>(nLen);
}

// Brings the thread's copies of the identity and the engine up to date and
// its gate onto the module's list; m_Lock is held.
void CatchUpLocked(LogModule& m, ThreadCache& cache, ZIdOrereDov* pEngine) ZQ_REQUIRES(m.m_Lock) {
    if (cache.gate.nEpoch != m.m_nGateEpoch) {
        LinkGateLocked(m, &cache.gate);
        t_GateRelease.Arm();
    }
    if (cache.nGeneration != m.m_nGeneration) {
        BuildIdentity(&cache.identity, m.m_szModuleName, m.m_szProcessName, m.m_nPid);
    }
    cache.pEngine = pEngine;
    cache.nGeneration = m.m_nGeneration;
}

// Runs push(engine) through the thread's gate, or, when the engine is closed
// to it, under the module lock after catching up. ZQ_ERR_NOT_CREATED without
// an engine.
template <typename PushFn>
int32_t PushThroughGate(const PushFn& push) {
    LogModule& m = GetLogModule();
    ThreadCache& cache = t_Cache;
    {
        const CGateHold hold(m, cache);
        if (hold.Open()) return push(*cache.pEngine, cache);
    }
    CZQSpinningLockGuard guard(m.m_Lock);
    ZIdOrereDov* pEngine = CreatedEngineLocked(m);
    if (pEngine == nullptr) return ZQ_ERR_NOT_CREATED;
    CatchUpLocked(m, cache, pEngine);
    return push(*pEngine, cache);
}

}  // namespace

uint32_t FormatLogRecord(char* pBuf, int32_t nLevel, const char* pSrcFile, int32_t nLine,
                         const char* pFunc, const char* pDevId, const char* pModule,
                         const char* pProcess, int32_t nPid, const struct tm* pTime, long nMilliSec,
                         const char* pFormat, va_list args) {
    if (pBuf == nullptr) return 0;
    char szStamp[kStampBufSize];
    uint32_t nStampLen = FormatStamp(szStamp, pTime);
    RecordIdentity identity;
    BuildIdentity(&identity, pModule, pProcess, nPid);
    return FormatWithStamp(pBuf, nLevel, pSrcFile, nLine, pFunc, pDevId, identity, szStamp,
                           nStampLen, nMilliSec, pFormat, args);
}

namespace {

// Brings the thread's date-time text up to this second (localtime_r at most
// once a second) and returns the milliseconds of the same clock reading.
long TakeStamp(ThreadCache& cache) {
    // Seconds and milliseconds from one reading, so they cannot straddle a
    // second boundary.
    struct timespec now = {};
    bool bClockOk = clock_gettime(CLOCK_REALTIME, &now) == 0;
    if (!bClockOk || !cache.bStampValid || cache.nStampSec != now.tv_sec) {
        struct tm local = {};
        // localtime_r: records are formatted on several threads at once.
        bool bLocalOk = bClockOk && localtime_r(&now.tv_sec, &local) != nullptr;
        cache.nStampLen = FormatStamp(cache.szStamp, bLocalOk ? &local : nullptr);
        // Without a clock reading there is no second to cache the text for.
        cache.bStampValid = bClockOk;
        cache.nStampSec = now.tv_sec;
    }
    return bClockOk ? now.tv_nsec / 1000000L : 0L;
}

}  // namespace

int32_t WriteLog(int32_t nLevel, const char* pSrcFile, int32_t nLine, const char* pFunc,
                 const char* pDevId, const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    const int32_t nRet = PushThroughGate([&](ZIdOrereDov& engine, ThreadCache& cache) {
        // The engine's level, which follows its configuration file: a
        // filtered record costs no formatting.
        if (nLevel > engine.GetLevel()) return ZQ_OK;
        if (pSrcFile == nullptr) return ZQ_ERR_INVALID;
        const long nMilliSec = TakeStamp(cache);
        char szRecord[kRecordBufSize];
        const uint32_t nLen =
            FormatWithStamp(szRecord, nLevel, pSrcFile, nLine, pFunc, pDevId, cache.identity,
                            cache.szStamp, cache.nStampLen, nMilliSec, pFormat, args);
        // A refused record (ring full) is counted by the engine.
        return ToPublicResult(engine.PushLog(szRecord, nLen));
    });
    va_end(args);
    return nRet;
}

namespace {

uint32_t FormatAs(char* pBuf, const RecordSender& id, int32_t nLevel, const char* pSrcFile,
                  int32_t nLine, const char* pFunc, const char* pDevId, const struct tm* pTime,
                  long nMilliSec, const char* pFormat, ...) __attribute__((format(printf, 10, 11)));
uint32_t FormatAs(char* pBuf, const RecordSender& id, int32_t nLevel, const char* pSrcFile,
                  int32_t nLine, const char* pFunc, const char* pDevId, const struct tm* pTime,
                  long nMilliSec, const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    const uint32_t nLen = FormatLogRecord(pBuf, nLevel, pSrcFile, nLine, pFunc, pDevId, id.pModule,
                                          id.pProcess, id.nPid, pTime, nMilliSec, pFormat, args);
    va_end(args);
    return nLen;
}

}  // namespace

uint32_t FormatRecordAs(char* pBuf, const RecordSender& id, int32_t nLevel, const char* pSrcFile,
                        int32_t nLine, const char* pDevId, const char* pText, size_t nTextLen,
                        bool* pCut, const char* pFunc) {
    struct timespec now = {};
    struct tm local = {};
    const bool bClockOk = clock_gettime(CLOCK_REALTIME, &now) == 0;
    const bool bLocalOk = bClockOk && localtime_r(&now.tv_sec, &local) != nullptr;
    const long nMilliSec = bClockOk ? now.tv_nsec / 1000000L : 0L;
    const struct tm* pTime = bLocalOk ? &local : nullptr;
    // The header alone (without its CR LF) tells how much room the text had.
    const uint32_t nHeaderLen =
        FormatAs(pBuf, id, nLevel, pSrcFile, nLine, pFunc, pDevId, pTime, nMilliSec, "%s", "") - 2;
    const int nTextPrec = nTextLen > INT32_MAX ? INT32_MAX : static_cast<int>(nTextLen);
    const uint32_t nLen = FormatAs(pBuf, id, nLevel, pSrcFile, nLine, pFunc, pDevId, pTime,
                                   nMilliSec, "%.*s", nTextPrec, pText);
    *pCut = nLen - nHeaderLen - 2 < nTextLen;
    return nLen;
}

int32_t TryWriteRawLog(const char* pText, uint32_t nLen, const RecordOrigin& from) {
    if (pText == nullptr) return ZQ_ERR_INVALID;
    return PushThroughGate([&](ZIdOrereDov& engine, ThreadCache&) {
        return ToPublicResult(engine.TryPushLog(pText, nLen, from));
    });
}

uint64_t GetLostLogCountBy(LossCause eCause) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    return m.m_pAsyncLog != nullptr ? m.m_pAsyncLog->Lost().Get(eCause) : 0;
}

void CountLostLog(LossCause eCause, uint64_t nRecords) {
    LogModule& m = GetLogModule();
    CZQLockGuard guard(m.m_Lock);
    if (m.m_pAsyncLog != nullptr) m.m_pAsyncLog->CountLost(eCause, nRecords);
}

int32_t WriteRawLog(const char* pText, int32_t nLen) {
    (void)nLen;  // the text is terminated; its own length is queued
    if (pText == nullptr) return ZQ_ERR_INVALID;
    size_t nTextLen = strlen(pText);
    // A length beyond 32 bits stays beyond any slot and is refused.
    if (nTextLen > UINT32_MAX) nTextLen = UINT32_MAX;
    // A text longer than a slot is refused (and counted) by the engine.
    return PushThroughGate([&](ZIdOrereDov& engine, ThreadCache&) {
        return ToPublicResult(engine.PushLog(pText, static_cast<uint32_t>(nTextLen)));
    });
}
