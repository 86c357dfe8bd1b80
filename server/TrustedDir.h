#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Directories the daemon writes in as root must be closed to other users: a
// user who can add, rename or replace entries there can make root write through
// a symbolic or hard link into a file of the user's choosing. The rule, in the
// manner of sshd's StrictModes, for a directory and every level above it:
//  - each level is owned by root or by the daemon's (effective) user;
//  - no level is writable by group or others, except a level above the
//    directory that has the sticky bit (such as /tmp): others may add entries
//    there but cannot rename or remove the daemon's;
//  - a symbolic link on the way belongs to root or the daemon's user, and the
//    path it leads to follows the same rule (the level it stands for keeps its
//    place: a link to the directory itself gets no sticky exception).

constexpr int32_t kDirTrusted = 0;
constexpr int32_t kDirUntrusted = -1;  // a level breaks the rule
constexpr int32_t kDirMissing = -2;    // a level is missing or no directory (errno says why)

// Flags of PrepareTrustedDir.
constexpr uint32_t kDirCheck = 1;          // apply the rule
constexpr uint32_t kDirCreateParents = 2;  // create missing levels above the directory too

// Creates the directory pPath when it is missing (mode nMode exactly, whatever
// the umask; with kDirCreateParents also the missing levels above it, likewise)
// and, with kDirCheck, applies the rule to every level. A relative path counts
// from "/", the working directory of the detached daemon. With kDirCheck a
// level is created only inside a level already found trusted.
//
// Returns kDirTrusted (with kDirCheck: every level passed; without: the
// directory exists), kDirUntrusted or kDirMissing; for the last two pWhy
// (nWhyLen bytes, may be null) receives a short text naming the level and the
// reason. On kDirTrusted and a non-null pDirFd, *pDirFd is an open descriptor
// of the directory (O_DIRECTORY, close-on-exec) that the caller owns.
int32_t PrepareTrustedDir(const char* pPath, mode_t nMode, uint32_t nFlags, char* pWhy,
                          size_t nWhyLen, int* pDirFd = nullptr);
