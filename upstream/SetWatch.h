#pragma once

#include "asynclog/LogConfig.h"
#include "platform/UniqueFd.h"

#include <cstdint>

// What a look at the files found.
struct SetChanges {
    bool bConfig;  // the configuration file may have changed: read it again
    bool bSet;     // files of the set were made, renamed or deleted: list the set again
};

// Watches the configuration file and the log engine's file set for the
// sender: inotify on the configuration file's directory and on the log
// directory (one watch when they are the same), which reports edits of the
// configuration file and rotations of the set. Where inotify cannot be had
// (no inotify, no directory to watch yet, no watches left) the configuration
// file's time, size and inode are looked at every kStatPollMs instead, and
// every such look counts as a change of the set.
//
// New data in the set's files wakes the loop only while the sender forwards
// (Watch(true)): an idle sender is not woken by every write of the engine.
// Such an event needs no flag of its own: the wake-up itself makes the loop
// read on.
//
// The sender's loop polls Fd() for POLLIN, waits WaitMs() at the most and
// calls Take after every poll. Init runs on the owner's thread before the
// sender's thread starts; everything else on the sender's thread only.
class CSetWatch {
public:
    CSetWatch();
    CSetWatch(const CSetWatch&) = delete;
    CSetWatch& operator=(const CSetWatch&) = delete;

    // The set <pLogDir>/<pPrefix>_0N.log and the configuration file pCfgPath;
    // the paths at most kLogPathLen characters, the prefix kPrefixLen (the
    // sender's Start checks them).
    void Init(const char* pLogDir, const char* pCfgPath, const char* pPrefix);
    // Starts watching both directories, or the timer when that fails, and
    // takes the configuration file as it is now as the state to compare with.
    void Open();
    // bData: new data in the set's files counts too (while forwarding).
    void Watch(bool bData);
    void Close();

    // The descriptor to poll for POLLIN; -1 on the timer.
    int Fd() const { return m_Inotify.Get(); }
    // How long the loop may wait for Fd() at the most: -1 (no limit) with
    // inotify; on the timer, until the next look is due.
    int64_t WaitMs(int64_t llNowMs) const;
    // What changed since the last call: the events read, when bReadable (the
    // poll saw Fd() readable); on the timer, what a look found when one is
    // due, else nothing.
    SetChanges Take(bool bReadable, int64_t llNowMs);

    const char* CfgPath() const { return m_szCfgPath; }

    static constexpr int64_t kStatPollMs = 1000;

private:
    void DrainEvents(SetChanges* pChanges);
    bool PollConfigStat();

    char m_szLogDir[kLogPathLen + 1];
    char m_szCfgPath[kLogPathLen + 1];
    char m_szCfgDir[kLogPathLen + 1];
    const char* m_pCfgName;  // the file name part of m_szCfgPath
    char m_szPrefix[kPrefixLen + 1];
    CUniqueFd m_Inotify;  // none: no inotify, the files are looked at on a timer
    int m_nCfgWatch;      // watch descriptors of m_Inotify; -1 none
    int m_nLogWatch;      // == m_nCfgWatch when both directories are one
    int64_t m_llLastStatPollMs;
    int64_t m_llCfgMTimeNs;  // for the timer: the configuration file's time, size, inode
    int64_t m_llCfgSize;
    uint64_t m_nCfgInode;
};
