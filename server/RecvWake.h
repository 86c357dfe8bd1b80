#pragma once

// The receive loop's wake-up: a pipe that the loop waits on together with its
// socket, so that a request (a stop, a reopen) ends its wait at once although
// the loop waits long between datagrams. Signal handlers and other threads
// write one byte (WakeRecvLoop, async-signal-safe); the loop drains the pipe
// and then looks at the request flags (RecvLoop.h, Signals.h).
//
// The pipe is made once per process, by the first OpenRecvWake, and stays open
// to the end: a handler may write to it at any moment, so its descriptor is
// never closed or reused.

// Makes the pipe when there is none yet. Its read end, or -1 when it could not
// be made (no descriptors left): the loop then notices requests only at the end
// of each wait. Any thread; a second call returns the same descriptor.
int OpenRecvWake();

// Makes the loop's wait end. Does nothing before OpenRecvWake or without the
// pipe; a full pipe already holds a wake-up. Async-signal-safe; errno is kept.
void WakeRecvLoop();

// Takes every byte written so far, so that the next wait waits again.
void DrainRecvWake();
