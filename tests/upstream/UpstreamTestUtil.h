#pragma once

// Helpers of the forwarding tests: records in the log module's format, the
// real log engine writing them into a file set, and [Forward] settings.

#include "asynclog/ZIdOrereDov.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#ifndef ZQ_LONG_S
#define ZQ_LONG_S 180
#endif

namespace zqtest {

// How long the forwarding tests wait for a collector: generous, for a loaded
// machine and an emulator.
constexpr auto kForwardWait = std::chrono::seconds(ZQ_LONG_S);

// A record as WriteLog formats it, carrying "n=<k>" and nPad bytes of text.
inline std::string RecordLine(uint64_t k, size_t nPad = 40, const char* pLevel = "Info   ") {
    char szHead[256];
    std::snprintf(szHead, sizeof(szHead),
                  "%s 2024-03-05 07:08:09:045  DevID:cam0  Source-Line:net(main.cpp-L0042)  "
                  "ProcessName:app(1234)     Description:[Run]n=%llu ",
                  pLevel, static_cast<unsigned long long>(k));
    return std::string(szHead) + std::string(nPad, 'x') + "\r\n";
}

// The k of "n=<k>" in a line; 0 when there is none.
inline uint64_t NumberOf(const std::string& strLine) {
    const size_t nAt = strLine.rfind("n=");
    return nAt == std::string::npos ? 0 : std::strtoull(strLine.c_str() + nAt + 2, nullptr, 10);
}

// The log engine in file mode, writing the set SDK_00.log .. in a directory.
class CEngine {
public:
    bool Start(const std::string& strDir, uint32_t nFiles = 10, uint32_t nSizeMiB = 10) {
        (void)m_Engine.SetMode(1);
        (void)m_Engine.SetFileNum(nFiles);
        (void)m_Engine.SetFileSize(nSizeMiB);
        return m_Engine.Start(strDir.c_str(), "SDK") == 0;
    }
    // Queues a text, waiting while the ring is full.
    void Push(const std::string& strText) {
        int32_t nRet = kLogErrResource;
        while ((nRet = m_Engine.PushLog(strText.data(), static_cast<uint32_t>(strText.size()))) ==
               kLogErrResource) {
            sched_yield();
        }
        EXPECT_EQ(kLogOk, nRet) << "a text of " << strText.size() << " bytes";
    }
    void Stop() { m_Engine.Stop(); }

private:
    ZIdOrereDov m_Engine;
};

// The sender's notes, collected from its thread by CollectNote.
inline std::mutex g_NotesLock;
inline std::vector<std::string> g_Notes;  // guarded by g_NotesLock

inline void CollectNote(int32_t, const char* pText) {
    std::lock_guard<std::mutex> guard(g_NotesLock);
    g_Notes.emplace_back(pText);
}

inline void ClearNotes() {
    std::lock_guard<std::mutex> guard(g_NotesLock);
    g_Notes.clear();
}

// How many notes hold strPart.
inline size_t TimesNoted(const std::string& strPart) {
    std::lock_guard<std::mutex> guard(g_NotesLock);
    return static_cast<size_t>(
        std::count_if(g_Notes.begin(), g_Notes.end(),
                      [&](const std::string& s) { return s.find(strPart) != std::string::npos; }));
}

inline std::string AllNotes() {
    std::lock_guard<std::mutex> guard(g_NotesLock);
    std::string strAll;
    for (const std::string& s : g_Notes) strAll += s + "\n";
    return strAll;
}

// LogServer.ini with a [Forward] section made of the given lines ("Host=..." ...).
inline std::string ForwardIni(const std::string& strForwardLines) {
    return "[Level]\r\nLogLevel=4\r\n[File]\r\nFileSize=10\r\nFileNum=10\r\n[Forward]\r\n" +
           strForwardLines;
}

}  // namespace zqtest
