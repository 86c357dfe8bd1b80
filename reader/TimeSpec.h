#pragma once

#include "logmodule/RecordFormat.h"

#include <time.h>

#include <cstdint>

// Points in time as zqread's -S and -U take them, and the time of a record,
// both as one number that orders as the time does: the local date and time
// fields YYYYMMDDhhmmssmmm. The records carry their writer's local time, so
// comparing the fields compares the times without a time zone; no record's
// time is converted.
//
// Forms (local time): "2026-12-08 13:00", "2026-12-08 13:00:05" (also with
// 'T' between date and time), "2026-12-08" (its midnight), "13:00",
// "13:00:05" (today), "now", "today", "yesterday", "tomorrow" (midnights),
// and "-10min", "+2h": now and the distance in s/sec, min, h, d or w.

// The number of a record's time; 0 when the record has none (bTime false).
uint64_t RecordTimeKey(const RecordFields& stFields);

// The number of the time pText names, taken at llNow (seconds since the
// epoch); false for a text in none of the forms or a field out of range.
bool ParseTimeSpec(const char* pText, time_t llNow, uint64_t* pKey);
