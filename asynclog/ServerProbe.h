#pragma once

#include "platform/WireContract.h"

#include <cstdint>

// The id of a running process whose name (as /proc/<pid>/comm shows it) is
// pName, or 0 when there is none. Reads /proc directly: no child process, no
// dependency on a pidof program. Names longer than the kernel's 15-character
// comm are compared by their first 15 characters.
int32_t FindProcessByName(const char* pName);
