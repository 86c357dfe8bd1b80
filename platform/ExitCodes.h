#pragma once

// Exit statuses of the programs: the daemon (and its starter, which passes
// the daemon's status on when it detaches), zqlog and zqread.
constexpr int kExitOk = 0;
// The daemon: start-up failed, or another daemon runs (--check-config:
// findings). zqlog: no log module, or records that could not be queued.
// zqread: no directory or no files.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;  // an unknown option or argument
