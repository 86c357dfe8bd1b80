#include "server/SenderLimit.h"

#include "asynclog/LogConfig.h"
#include "platform/WireContract.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr int64_t kMsPerSecond = 1000;

uint32_t ValueOf(const ConfigKey& key) { return static_cast<uint32_t>(key.nDefault); }

// nValue in decimal with a comma between groups of three digits
// ("1,234,567"), as the notes show counts.
void GroupThousands(uint64_t nValue, char* pOut, size_t nSize) {
    char szDigits[24];
    const int nDigits = std::snprintf(szDigits, sizeof(szDigits), "%" PRIu64, nValue);
    size_t nAt = 0;
    for (int i = 0; i < nDigits && nAt + 1 < nSize; ++i) {
        if (i > 0 && (nDigits - i) % 3 == 0 && nAt + 2 < nSize) pOut[nAt++] = ',';
        pOut[nAt++] = szDigits[i];
    }
    pOut[nAt] = '\0';
}

}  // namespace

LimitSettings DefaultLimitSettings() {
    return {ValueOf(kCfgLimitInterval), ValueOf(kCfgLimitBurst), ValueOf(kCfgLimitExemptBelow)};
}

void ReadLimitSettings(const char* pPath, LimitSettings* pSettings) {
    long nValue = 0;
    if (ReadConfigValue(pPath, kCfgLimitInterval, &nValue)) {
        pSettings->nIntervalS = static_cast<uint32_t>(nValue);
    }
    if (ReadConfigValue(pPath, kCfgLimitBurst, &nValue)) {
        pSettings->nBurst = static_cast<uint32_t>(nValue);
    }
    if (ReadConfigValue(pPath, kCfgLimitExemptBelow, &nValue)) {
        pSettings->nExemptBelow = static_cast<uint32_t>(nValue);
    }
}

CSenderLimit::CSenderLimit(NoteFn pfnNote, void* pContext)
    : m_pfnNote(pfnNote),
      m_pContext(pContext),
      m_stSettings(DefaultLimitSettings()),
      m_aSlots{},
      m_stOverflow{},
      m_stUdp{},
      m_nLastSlot(0) {}

bool CSenderLimit::AdmitUid(uint32_t nUid, int64_t llNowMs) {
    if (nUid < m_stSettings.nExemptBelow) return true;
    Entry* pFree = nullptr;
    if (!(m_aSlots[m_nLastSlot].bUsed && m_aSlots[m_nLastSlot].nUid == nUid)) {
        uint32_t i = 0;
        for (; i < kLimitSlots; ++i) {
            if (m_aSlots[i].bUsed && m_aSlots[i].nUid == nUid) break;
            if (!m_aSlots[i].bUsed && pFree == nullptr) pFree = &m_aSlots[i];
        }
        if (i == kLimitSlots) {
            // A user without an entry: a free slot, else the shared overflow.
            if (pFree == nullptr) return Admit(m_stOverflow, llNowMs);
            pFree->nUid = nUid;
            i = static_cast<uint32_t>(pFree - m_aSlots);
        }
        m_nLastSlot = i;
    }
    return Admit(m_aSlots[m_nLastSlot], llNowMs);
}

bool CSenderLimit::WindowOver(const Entry& entry, int64_t llNowMs) const {
    return llNowMs - entry.llStartMs >=
           static_cast<int64_t>(m_stSettings.nIntervalS) * kMsPerSecond;
}

bool CSenderLimit::Admit(Entry& entry, int64_t llNowMs) {
    if (entry.bUsed && WindowOver(entry, llNowMs)) EndWindow(entry, m_stSettings.nIntervalS);
    if (!entry.bUsed) {
        entry.bUsed = true;
        entry.llStartMs = llNowMs;
        entry.nPassed = 0;
        entry.nSuppressed = 0;
    }
    if (m_stSettings.nBurst == 0 || entry.nPassed < m_stSettings.nBurst) {
        ++entry.nPassed;
        return true;
    }
    ++entry.nSuppressed;
    return false;
}

void CSenderLimit::Tick(int64_t llNowMs) {
    for (Entry& entry : m_aSlots) {
        if (entry.bUsed && WindowOver(entry, llNowMs)) EndWindow(entry, m_stSettings.nIntervalS);
    }
    for (Entry* pEntry : {&m_stOverflow, &m_stUdp}) {
        if (pEntry->bUsed && WindowOver(*pEntry, llNowMs)) {
            EndWindow(*pEntry, m_stSettings.nIntervalS);
        }
    }
}

void CSenderLimit::EndAll(int64_t llNowMs) {
    auto End = [&](Entry& entry) {
        if (!entry.bUsed) return;
        const int64_t llOpenMs = llNowMs - entry.llStartMs;
        EndWindow(entry, static_cast<uint32_t>((llOpenMs + kMsPerSecond - 1) / kMsPerSecond));
    };
    for (Entry& entry : m_aSlots) End(entry);
    End(m_stOverflow);
    End(m_stUdp);
}

// The window closes; what it suppressed is said once.
void CSenderLimit::EndWindow(Entry& entry, uint32_t nSeconds) {
    entry.bUsed = false;
    if (entry.nSuppressed == 0 || m_pfnNote == nullptr) return;
    char szWho[64];
    if (&entry == &m_stUdp) {
        (void)std::snprintf(szWho, sizeof(szWho), "udp (sender unknown)");
    } else if (&entry == &m_stOverflow) {
        (void)std::snprintf(szWho, sizeof(szWho), "uids beyond the first %u",
                            static_cast<unsigned>(kLimitSlots));
    } else {
        (void)std::snprintf(szWho, sizeof(szWho), "uid %u", static_cast<unsigned>(entry.nUid));
    }
    char szCount[32];
    GroupThousands(entry.nSuppressed, szCount, sizeof(szCount));
    char szNote[kMaxRecordLen];
    (void)std::snprintf(szNote, sizeof(szNote), "%s: %s records suppressed in %u s", szWho, szCount,
                        static_cast<unsigned>(nSeconds));
    m_pfnNote(m_pContext, szNote);
}
