#pragma once

#include <cstddef>

// The daemon's socket from the service manager (socket activation, the
// protocol of sd_listen_fds): a socket unit binds 127.0.0.1:12345 and keeps it
// bound while the daemon restarts or is upgraded, so the port is never free in
// between; each daemon it starts receives the socket as descriptor 3, with
// LISTEN_FDS=1 and LISTEN_PID=<its pid> in its environment. Used by the
// daemon (Daemon.h) on the main thread before it detaches.

constexpr int kListenFdsStart = 3;        // the first descriptor passed
constexpr int kNoListenSocket = -1;       // none was passed: bind the port as always
constexpr int kListenSocketRefused = -2;  // one was passed and refused (pWhy says why)

// Takes the socket passed when it is the daemon's: an AF_INET SOCK_DGRAM socket
// bound to 127.0.0.1:kLogServerPort, and the only socket on that port. It is
// taken over: address and port reuse are cleared on it, so no other socket can
// bind beside it from now on (the service manager binds with SO_REUSEADDR),
// which is why a socket that another bound beside it meanwhile is refused. The
// LISTEN_* variables are removed in any case, so they do not pass on.
//
// Returns the descriptor (the caller owns it); kNoListenSocket when
// LISTEN_FDS is not set; kListenSocketRefused, with a short text in pWhy
// (nWhyLen bytes), when the variables do not name a socket for this process or
// the socket is not the daemon's (the descriptors passed are closed then).
int TakeListenSocket(char* pWhy, size_t nWhyLen);
