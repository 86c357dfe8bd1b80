#include "asynclog/Diagnostics.h"

#include "platform/MonotonicClock.h"

#include <cstdio>
#include <cstring>

CDiagnostics::CDiagnostics()
    : m_pfnFormat(nullptr),
      m_pContext(nullptr),
      m_bStderrWanted(false),
      m_bStderr(false),
      m_llLastMs(),
      m_nHeld(),
      m_szQueue(),
      m_nLen(),
      m_nHead(0),
      m_nCount(0),
      m_nTaken(0) {}

void CDiagnostics::Enable(DiagFormatFn pfnFormat, const void* pContext, bool bStderr) {
    m_pfnFormat = pfnFormat;
    m_pContext = pContext;
    m_bStderrWanted = bStderr;
}

void CDiagnostics::Report(DiagKind eKind, const char* pFormat, ...) {
    if (m_pfnFormat == nullptr) return;
    const uint32_t nKind = static_cast<uint32_t>(eKind);
    const int64_t llNow = MonotonicMs();
    CZQLockGuard guard(m_Lock);
    // Faults are rate-limited; reloads come at most once a second anyway.
    if (eKind != DiagKind::kReload && m_llLastMs[nKind] != 0 &&
        llNow - m_llLastMs[nKind] < kMinGapMs) {
        ++m_nHeld[nKind];
        return;
    }
    char szText[kRecordSize];
    va_list args;
    va_start(args, pFormat);
    int nLen = std::vsnprintf(szText, sizeof(szText), pFormat, args);
    va_end(args);
    if (nLen < 0) return;
    if (m_nHeld[nKind] > 0 && static_cast<size_t>(nLen) < sizeof(szText)) {
        (void)std::snprintf(szText + nLen, sizeof(szText) - static_cast<size_t>(nLen),
                            " (%u like it held back before)", m_nHeld[nKind]);
    }
    m_llLastMs[nKind] = llNow;
    m_nHeld[nKind] = 0;
    if (m_bStderr.load(std::memory_order_relaxed)) std::fprintf(stderr, "%s\n", szText);
    if (m_nCount == kQueue) return;  // the queue holds the first ones of a burst
    const uint32_t nSlot = (m_nHead + m_nCount) % kQueue;
    m_nLen[nSlot] = m_pfnFormat(m_pContext, eKind, szText, m_szQueue[nSlot], kRecordSize);
    ++m_nCount;
}

uint32_t CDiagnostics::TakePending(char* pOut, uint32_t nSize) {
    if (m_pfnFormat == nullptr) return 0;
    CZQLockGuard guard(m_Lock);
    if (m_nCount == 0) return 0;
    uint32_t nLen = m_nLen[m_nHead];
    if (nLen > nSize) nLen = nSize;
    std::memcpy(pOut, m_szQueue[m_nHead], nLen);
    m_nHead = (m_nHead + 1) % kQueue;
    --m_nCount;
    m_nTaken.fetch_add(1, std::memory_order_relaxed);
    return nLen;
}
