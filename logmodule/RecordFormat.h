#pragma once

#include <cstddef>
#include <cstdint>

// The level field that begins every record: the level's word padded as
// "%-7s " prints it. Indexed by the level (ZQ_LEVEL_FATAL 1 .. ZQ_LEVEL_TRACE
// 6); kOtherLevelIndex for every level without a word of its own. Whoever
// reads records back (the forwarding sender) recognises them by this field.
constexpr size_t kLevelFieldLen = 8;
constexpr size_t kLevelFieldCount = 7;
constexpr char kLevelFields[kLevelFieldCount][kLevelFieldLen + 1] = {
    "Trace   ", "Fatal   ", "Error   ", "Warning ", "Info    ", "Debug   ", "Trace   ",
};
constexpr int32_t kOtherLevelIndex = 0;
