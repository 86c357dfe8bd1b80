#pragma once

// The daemon's name and every path and file name that the daemon, its tools
// (zqlog), the log module (which looks for the daemon and reads its
// configuration) and the packaging agree on. The build reads ZQ_DEFAULT_BASE_DIR
// and kPidFilePath from here for the service files.
//
// Literals as macros, so that the paths below are their concatenations.
#define ZQ_DAEMON_NAME "ZuVozAdavid"
#define ZQ_DEFAULT_BASE_DIR "/var/log/ZQS"
#define ZQ_LOG_SUBDIR "ZqSdkLog"
#define ZQ_RUN_DIR "/run/" ZQ_DAEMON_NAME
#define ZQ_INTAKE_SOCKET_PATH ZQ_RUN_DIR "/" ZQ_DAEMON_NAME ".sock"
// The group whose members may read the daemon's files, where the system has
// it: Debian's group of /var/log's readers.
#define ZQ_LOG_READERS_GROUP "adm"

constexpr const char* kLogServerName = ZQ_DAEMON_NAME;  // the daemon's process name

// The daemon keeps its files in <base>/ZqSdkLog, configured by
// <base>/ZqSdkLog/LogServer.ini; <base> is the first line of Path.ini in the
// directory it starts from, else kDefaultBaseDir.
constexpr const char* kDefaultBaseDir = ZQ_DEFAULT_BASE_DIR;
constexpr const char* kLogSubDir = ZQ_LOG_SUBDIR;
constexpr const char* kDefaultLogDir = ZQ_DEFAULT_BASE_DIR "/" ZQ_LOG_SUBDIR;
constexpr const char* kConfigFile = "LogServer.ini";
constexpr const char* kPathIni = "Path.ini";
constexpr const char* kDaemonFilePrefix = "SDK";  // its file set: SDK_00.log ..
// The forwarding sender's place in the set: <dir>/<prefix>_forward.state.
constexpr const char* kCursorFileSuffix = "_forward.state";

// The run directory (root's; another user's is under /run/user/<uid>) and the
// files the daemon keeps in it.
constexpr const char* kRunDir = ZQ_RUN_DIR;
constexpr const char* kUserRunDirFormat = "/run/user/%u/" ZQ_DAEMON_NAME;
constexpr const char* kLockFileName = ZQ_DAEMON_NAME ".lock";
constexpr const char* kPidFileName = ZQ_DAEMON_NAME ".pid";
constexpr const char* kPidFilePath = ZQ_RUN_DIR "/" ZQ_DAEMON_NAME ".pid";  // root's pid file
constexpr const char* kStatsFileName = ZQ_DAEMON_NAME ".stats";
// The intake that knows its senders: a datagram socket (AF_UNIX) that root's
// daemon binds in kRunDir, and that forwarding clients send to instead of
// UDP when they find it there.
constexpr const char* kIntakeSocketPath = ZQ_INTAKE_SOCKET_PATH;
