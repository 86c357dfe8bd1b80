#pragma once

#include "asynclog/ZIdOrereDov.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace zqtest {

constexpr uint64_t kTenMiB = 10ull << 20;

// Pushes a text, waiting while the ring is full (the writer drains it): a
// refusal that is tried again is no loss. Fails the test on any other refusal.
inline void PushWaiting(ZIdOrereDov& engine, const std::string& text) {
    int32_t nRet = kLogErrResource;
    ASSERT_TRUE(PollUntil([&] {
        nRet = engine.TryPushLog(text.data(), static_cast<uint32_t>(text.size()));
        return nRet != kLogErrResource;
    })) << "ring stayed full";
    ASSERT_EQ(kLogOk, nRet);
}

// A record "seq=00000042 xxxx...\r\n" of exactly nLen bytes (nLen >= 16).
inline std::string SeqRecord(uint32_t nSeq, size_t nLen) {
    char head[24];
    std::snprintf(head, sizeof(head), "seq=%08u ", nSeq);
    std::string text(head);
    text.append(nLen - text.size() - 2, static_cast<char>('a' + nSeq % 26));
    text += "\r\n";
    return text;
}

// A file of exactly nSize bytes (content irrelevant, lines of 'p').
inline void MakeFileOfSize(const std::string& path, uint64_t nSize) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::string chunk(1 << 16, 'p');
    uint64_t left = nSize;
    while (left > 0) {
        const size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
        ASSERT_EQ(n, std::fwrite(chunk.data(), 1, n, f));
        left -= n;
    }
    ASSERT_EQ(0, std::fclose(f));
}

// Collects what a level callback reports, so a test can see each reload.
struct ReloadProbe {
    static inline std::atomic<int> s_nCalls{0};
    static inline std::atomic<int32_t> s_nLastLevel{-1};
    static inline std::atomic<int32_t> s_nLastUser{-1};
    static void Callback(int32_t nLevel, char* /*pKey*/, int32_t nUser) {
        s_nLastLevel.store(nLevel);
        s_nLastUser.store(nUser);
        s_nCalls.fetch_add(1);
    }
    static void Reset() {
        s_nCalls = 0;
        s_nLastLevel = -1;
        s_nLastUser = -1;
    }
};

}  // namespace zqtest
