#pragma once

#include "platform/WireContract.h"
#include "platform/ZQMutex.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>

// Records of the log's own: what the writer notices (a file that does not
// open, a write that fails, a rotation that fails, a directory made again, a
// reload of the configuration) written into the log files themselves, in the
// record format, where the operator reads the rest. Off unless the owner turns
// it on (the daemon does; a client's files hold only its own records).
//
// Each kind of fault is rate-limited: at most one record per kind every kMinGapMs, and
// the next one says how many were held back, so a lasting fault cannot flood
// the files. A record waits in a small queue until the file set can write it
// (when no file opens, until one does).
//
// Threads: the owner configures it before the engine starts. Report and
// TakePending run on the writer thread; m_Lock covers the queue because Report
// may also come from the owner's thread (the engine's reload at its start).

enum class DiagKind : uint32_t {
    kOpenFailed,
    kWriteFailed,
    kRotateFailed,
    kDirMade,
    kReload,
    kTornTail,
};
constexpr uint32_t kDiagKinds = 6;

// Formats one record as the log module does (level word, time, identity, the
// text, CR LF) into pOut of nSize bytes; returns its length. The module gives
// each kind its level.
using DiagFormatFn = uint32_t (*)(const void* pContext, DiagKind eKind, const char* pText,
                                  char* pOut, uint32_t nSize);

class CDiagnostics {
public:
    CDiagnostics();
    CDiagnostics(const CDiagnostics&) = delete;
    CDiagnostics& operator=(const CDiagnostics&) = delete;

    // Turns the records on; bStderr also prints each text on standard error,
    // once the engine started (a start that fails reports by its result).
    void Enable(DiagFormatFn pfnFormat, const void* pContext, bool bStderr);
    void Started() { m_bStderr.store(m_bStderrWanted, std::memory_order_relaxed); }
    bool Enabled() const { return m_pfnFormat != nullptr; }

    void Report(DiagKind eKind, const char* pFormat, ...) __attribute__((format(printf, 3, 4)));
    // The oldest waiting record into pOut (nSize bytes, at least one record);
    // its length, 0 when none waits.
    uint32_t TakePending(char* pOut, uint32_t nSize) ZQ_EXCLUDES(m_Lock);
    // Records handed out by TakePending so far (any thread).
    uint64_t Taken() const { return m_nTaken.load(std::memory_order_relaxed); }

    static constexpr uint32_t kRecordSize = kMaxRecordLen;
    static constexpr int64_t kMinGapMs = 10000;

private:
    static constexpr uint32_t kQueue = 4;

    DiagFormatFn m_pfnFormat;
    const void* m_pContext;
    bool m_bStderrWanted;
    std::atomic<bool> m_bStderr;  // set by Started on the owner's thread, read by the writer
    CZQMutex m_Lock;
    int64_t m_llLastMs[kDiagKinds] ZQ_GUARDED_BY(m_Lock);  // when each kind was last written
    uint32_t m_nHeld[kDiagKinds] ZQ_GUARDED_BY(m_Lock);    // reports held back since
    char m_szQueue[kQueue][kRecordSize] ZQ_GUARDED_BY(m_Lock);
    uint32_t m_nLen[kQueue] ZQ_GUARDED_BY(m_Lock);
    uint32_t m_nHead ZQ_GUARDED_BY(m_Lock);
    uint32_t m_nCount ZQ_GUARDED_BY(m_Lock);
    std::atomic<uint64_t> m_nTaken;  // the writer adds; statistics read it (relaxed)
};
