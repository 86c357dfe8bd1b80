#pragma once

#include "platform/UniqueFd.h"

// The client's end of the daemon's local intake (platform/LocalIntake.h): a
// datagram socket connected to kIntakeSocketPath, when the daemon offers it
// there and it may be trusted: a socket of root's (only root's daemon binds
// it) in a directory that only root may write, every level above it root's
// and writable by no one else (a level above it may be world-writable with
// the sticky bit). A client in another mount namespace, or of a daemon
// without the intake, finds none and sends over UDP.
//
// The descriptor is non-blocking: a full socket (the daemon is behind) says
// EAGAIN, a daemon that sealed or closed its intake EPIPE or ECONNREFUSED.
// Not Valid when there is no trusted intake to connect to.
CUniqueFd ConnectIntake();
