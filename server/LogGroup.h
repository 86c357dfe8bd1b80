#pragma once

#include "platform/DaemonPaths.h"

#include <sys/types.h>

// The group whose members may read the daemon's files, where the system has
// it (DaemonPaths.h). A root daemon
// makes it its own group before it creates anything, so that its directories
// (0750) and files (0640) are the group's as they are made, rotations
// included; under systemd the unit's Group= has done so already.

constexpr const char* kLogReadersGroup = ZQ_LOG_READERS_GROUP;

// As root, when the group exists: makes it the process's group (real,
// effective and saved) unless it is already. True when the daemon's files
// will be the group's; false when there is no such group, the daemon is not
// root, or the change was refused (it then says why on standard error, once).
bool TakeLogReadersGroup(gid_t* pGid);

// Hands what an earlier run made with another group to nGid: the log
// directory pLogDir itself, the files of the set <pPrefix>_NN.log in it and
// the configuration file pCfgName there when it is a regular file (a link is
// left alone, and so is what it leads to). Root's entries only; failures
// change nothing and are not errors.
void GiveToLogReadersGroup(const char* pLogDir, const char* pPrefix, const char* pCfgName,
                           gid_t nGid);
