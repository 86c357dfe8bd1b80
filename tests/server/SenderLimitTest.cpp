// The fair share per sender, driven with its own clock: budgets per window,
// exempt users, the overflow entry beyond the fixed table, UDP's shared
// entry, and one note per window that suppressed anything.

#include "server/SenderLimit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

void Collect(void* pNotes, const char* pText) {
    static_cast<std::vector<std::string>*>(pNotes)->push_back(pText);
}

// A record of a sender at a time; kUdp: over UDP.
constexpr uint32_t kUdp = UINT32_MAX;
struct Send {
    uint32_t nUid;
    int64_t llAtMs;
    uint32_t nCount;
};

TEST(SenderLimitTest, EachSenderPassesItsBurstPerWindowAndIsNotedOnce) {
    struct Case {
        const char* pName;
        LimitSettings stSettings;
        std::vector<Send> vSends;
        uint32_t nPassed;
        int64_t llTickAtMs;
        std::vector<std::string> vNotes;
        bool bStop = false;  // the daemon stops at llTickAtMs
    };
    const Case kCases[] = {
        {"a flood is cut at its burst",
         {30, 100, 1000},
         {{65534, 0, 1234667}},
         100,
         30000,
         {"uid 65534: 1,234,567 records suppressed in 30 s"}},
        {"a window not yet over says nothing", {30, 100, 1000}, {{65534, 0, 150}}, 100, 29998, {}},
        {"a stop says what the open windows suppressed, in the time they were open",
         {30, 100, 1000},
         {{65534, 0, 150}, {kUdp, 500, 101}},
         200,
         11200,
         {"uid 65534: 50 records suppressed in 12 s",
          "udp (sender unknown): 1 records suppressed in 11 s"},
         true},
        {"root and system users are exempt",
         {30, 100, 1000},
         {{0, 0, 500}, {999, 0, 500}},
         1000,
         30000,
         {}},
        {"ExemptBelow=0 limits root too",
         {30, 100, 0},
         {{0, 0, 150}},
         100,
         30000,
         {"uid 0: 50 records suppressed in 30 s"}},
        {"Burst=0 passes everything",
         {30, 0, 1000},
         {{65534, 0, 5000}, {kUdp, 0, 5000}},
         10000,
         30000,
         {}},
        {"users have budgets of their own",
         {30, 100, 1000},
         {{1000, 0, 150}, {1001, 0, 100}},
         200,
         30000,
         {"uid 1000: 50 records suppressed in 30 s"}},
        {"UDP shares one budget",
         {30, 100, 1000},
         {{kUdp, 0, 101}, {65534, 0, 100}},
         200,
         30000,
         {"udp (sender unknown): 1 records suppressed in 30 s"}},
        {"a new window brings a new budget and the old one's note",
         {10, 100, 1000},
         {{65534, 0, 120}, {65534, 10000, 130}},
         200,
         20000,
         {"uid 65534: 20 records suppressed in 10 s", "uid 65534: 30 records suppressed in 10 s"}},
        {"users beyond the table share the overflow entry",
         {30, 1, 1000},
         [] {
             std::vector<Send> v;
             for (uint32_t i = 0; i < kLimitSlots + 3; ++i) v.push_back({2000 + i, 0, 2});
             return v;
         }(),
         kLimitSlots + 1,
         30000,
         [] {
             std::vector<std::string> v;
             for (uint32_t i = 0; i < kLimitSlots; ++i) {
                 v.push_back("uid " + std::to_string(2000 + i) + ": 1 records suppressed in 30 s");
             }
             v.push_back("uids beyond the first 64: 5 records suppressed in 30 s");
             return v;
         }()},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pName);
        std::vector<std::string> vNotes;
        CSenderLimit limit(&Collect, &vNotes);
        limit.Configure(c.stSettings);
        uint32_t nPassed = 0;
        for (const Send& s : c.vSends) {
            for (uint32_t i = 0; i < s.nCount; ++i) {
                const bool bPass =
                    s.nUid == kUdp ? limit.AdmitUdp(s.llAtMs) : limit.AdmitUid(s.nUid, s.llAtMs);
                nPassed += bPass ? 1 : 0;
            }
        }
        c.bStop ? limit.EndAll(c.llTickAtMs) : limit.Tick(c.llTickAtMs);
        EXPECT_EQ(c.nPassed, nPassed);
        EXPECT_EQ(c.vNotes, vNotes);
        // Said once: another look repeats nothing.
        limit.Tick(c.llTickAtMs + 1);
        EXPECT_EQ(c.vNotes.size(), vNotes.size());
    }
}

TEST(SenderLimitTest, FreedSlotsServeNewUsersInTheNextInterval) {
    std::vector<std::string> vNotes;
    CSenderLimit limit(&Collect, &vNotes);
    limit.Configure({1, 1, 1000});
    // The table fills; once the windows are over, other users get entries of
    // their own again instead of the overflow's one budget.
    for (uint32_t i = 0; i < kLimitSlots; ++i) EXPECT_TRUE(limit.AdmitUid(2000 + i, 0));
    limit.Tick(1000);
    uint32_t nPassed = 0;
    for (uint32_t i = 0; i < kLimitSlots; ++i) nPassed += limit.AdmitUid(5000 + i, 1000) ? 1 : 0;
    EXPECT_EQ(kLimitSlots, nPassed);
}

}  // namespace
