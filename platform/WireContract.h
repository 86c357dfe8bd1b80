#pragma once

#include <cstdint>

// The contract between the log module in client processes and the log daemon:
// where the daemon listens, where clients send from, and the largest record one datagram (and one
// ring slot) carries. Addresses and ports are in host order, as the net layer takes them.
//
// Each datagram holds one finished log line: no header, no terminating NUL.

constexpr uint32_t kLoopbackIp = 0x7f000001;  // 127.0.0.1
constexpr uint16_t kLogServerPort = 12345;    // the daemon receives here
constexpr uint16_t kForwardPort = 54321;      // forwarding clients send from here
constexpr uint32_t kMaxRecordLen = 1024;      // bytes of one record, one slot
