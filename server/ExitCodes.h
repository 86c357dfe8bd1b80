#pragma once

// Exit statuses of the programs in server/: the daemon (and its starter, which
// passes the daemon's status on when it detaches) and zqlog.
constexpr int kExitOk = 0;
// The daemon: start-up failed, or another daemon runs. zqlog: no log module,
// or records that could not be queued.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;  // an unknown option or argument
