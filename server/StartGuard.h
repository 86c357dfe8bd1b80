#pragma once

#include "server/InstanceLock.h"

#include <sys/types.h>

#include <cstdio>

// The daemon's file mode creation mask, set first thing (once its command
// line is read) whatever mask it was started with: its log files and
// LogServer.ini are created 0640 and its directories 0750 (its user writes,
// its group reads, others nothing).
constexpr mode_t kDaemonUmask = 027;
constexpr mode_t kDaemonDirMode = 0750;  // levels of the log directory it creates

// The checks of start-up that come before the daemon detaches, so that a
// refusal reaches the terminal and the exit status:
//  1. the single-instance lock in the run directory (InstanceLock.h);
//     then pfnAfterLock (when not null), which may refuse the start (it says
//     why itself), before anything is made;
//  2. the log directory pLogDir (relative: from "/"), made with its missing
//     levels; when the daemon runs as root it must be trusted (TrustedDir.h);
//  3. the lock in the log directory instead, when there was no run directory.
// Another daemon's lock is found before anything is made. Prints one line on
// standard error and returns false when the daemon must not start. A log
// directory that cannot be made is no refusal when the lock is in the run
// directory: the daemon then runs without files, as when its log module fails.
bool PrepareStart(CInstanceLock* pLock, const char* pLogDir, bool (*pfnAfterLock)(void*) = nullptr,
                  void* pContext = nullptr);

// Opens a file that the daemon reads at start-up (Path.ini) for reading, when
// it may be trusted: a regular file (also through a symbolic link), never
// waited on (a FIFO is refused at once); when the daemon runs as root only one
// that belongs to root or the daemon's user and that neither group nor others
// may write, as others could choose root's log directory with it. A file that
// exists but is refused is named on standard error in one line; the result is
// then null, as for a missing file.
FILE* OpenStartFile(const char* pPath);
