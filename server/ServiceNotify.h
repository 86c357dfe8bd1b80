#pragma once

#include <cstdint>

// Readiness notification for a service manager that starts the daemon in the
// foreground (systemd Type=notify): one datagram with a state text such as
// "READY=1" to the unix datagram socket that $NOTIFY_SOCKET names. A name that
// starts with '@' lies in the abstract namespace (the '@' stands for the
// leading NUL byte).

constexpr int32_t kNotifySent = 0;
constexpr int32_t kNotifyNoManager = 1;  // $NOTIFY_SOCKET is not set or empty
constexpr int32_t kNotifyFailed = -1;    // name too long, no socket, send failed (errno)

constexpr const char* kNotifyReady = "READY=1";
constexpr const char* kNotifyStopping = "STOPPING=1";

// Sends pState; kNotifySent, kNotifyNoManager or kNotifyFailed.
int32_t NotifyServiceManager(const char* pState);
