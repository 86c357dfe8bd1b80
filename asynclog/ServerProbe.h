#pragma once

#include "platform/WireContract.h"

#include <cstdint>

// Whether the log daemon runs, for a client in mode 2 deciding to forward.
//
// The id of the running log daemon named pName, or 0 when there is none. A
// process counts only when all of these hold:
//  - its name, as /proc/<pid>/comm shows it, is pName (names longer than the
//    kernel's 15-character comm are compared by their first 15 characters);
//  - it is alive, not a zombie;
//  - its real and effective user are root or the caller's effective user;
//  - it holds the socket bound to 127.0.0.1:kLogServerPort: the socket's inode,
//    from /proc/net/udp, is among its descriptors (/proc/<pid>/fd). A caller
//    that may not list the descriptors of a root process accepts a root
//    process when that socket belongs to root too: no other user can own it.
// A socket on that port (on 127.0.0.1 or the wildcard address) that belongs to
// another user makes the answer 0: what is sent there could reach that user.
// So any process can be named like the daemon, and any user can take the port
// while the daemon is down, without making a client send its records away.
// Reads /proc directly: no child process, no dependency on a pidof program.
int32_t FindProcessByName(const char* pName);

// How many sockets are bound to 127.0.0.1:kLogServerPort or to the wildcard
// address on that port, whoever holds them (one while only the daemon's is
// there; more only where sockets share the port with address reuse); -1 when
// the table cannot be read.
int32_t CountPortSockets();
