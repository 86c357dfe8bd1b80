#include "upstream/SetWatch.h"

#include "asynclog/LogFileName.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kDirMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;

}  // namespace

CSetWatch::CSetWatch()
    : m_szLogDir{},
      m_szCfgPath{},
      m_szCfgDir{},
      m_pCfgName(m_szCfgPath),
      m_szPrefix{},
      m_nCfgWatch(-1),
      m_nLogWatch(-1),
      m_llLastStatPollMs(0),
      m_llCfgMTimeNs(-1),
      m_llCfgSize(-1),
      m_nCfgInode(0) {}

void CSetWatch::Init(const char* pLogDir, const char* pCfgPath, const char* pPrefix) {
    (void)std::snprintf(m_szLogDir, sizeof(m_szLogDir), "%s", pLogDir);
    (void)std::snprintf(m_szCfgPath, sizeof(m_szCfgPath), "%s", pCfgPath);
    (void)std::snprintf(m_szPrefix, sizeof(m_szPrefix), "%s", pPrefix);
    (void)std::snprintf(m_szCfgDir, sizeof(m_szCfgDir), "%s", pCfgPath);
    char* pSlash = std::strrchr(m_szCfgDir, '/');
    if (pSlash != nullptr) {
        *pSlash = '\0';
        m_pCfgName = m_szCfgPath + (pSlash - m_szCfgDir) + 1;
    } else {
        (void)std::snprintf(m_szCfgDir, sizeof(m_szCfgDir), ".");
        m_pCfgName = m_szCfgPath;
    }
}

void CSetWatch::Open() {
    m_Inotify.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    Watch(false);
    (void)PollConfigStat();
}

void CSetWatch::Close() {
    m_Inotify.Reset();
    m_nCfgWatch = -1;
    m_nLogWatch = -1;
}

// A watch added again for the same directory keeps its descriptor and takes
// the new mask.
void CSetWatch::Watch(bool bData) {
    if (!m_Inotify.Valid()) return;
    const bool bSameDir = std::strcmp(m_szCfgDir, m_szLogDir) == 0;
    const uint32_t nLogMask = kDirMask | (bData ? IN_MODIFY : 0);
    m_nCfgWatch = inotify_add_watch(m_Inotify.Get(), m_szCfgDir, bSameDir ? nLogMask : kDirMask);
    m_nLogWatch = bSameDir ? m_nCfgWatch : inotify_add_watch(m_Inotify.Get(), m_szLogDir, nLogMask);
    if (m_nCfgWatch < 0) {
        // No directory to watch yet (or no inotify watches left): use the timer.
        m_Inotify.Reset();
    }
}

int64_t CSetWatch::WaitMs(int64_t llNowMs) const {
    if (m_Inotify.Valid()) return -1;
    const int64_t llLeft = m_llLastStatPollMs + kStatPollMs - llNowMs;
    return llLeft > 0 ? llLeft : 0;
}

SetChanges CSetWatch::Take(bool bReadable, int64_t llNowMs) {
    SetChanges stChanges{false, false};
    if (m_Inotify.Valid()) {
        if (bReadable) DrainEvents(&stChanges);
    } else if (llNowMs - m_llLastStatPollMs >= kStatPollMs) {
        m_llLastStatPollMs = llNowMs;
        stChanges.bConfig = PollConfigStat();
        stChanges.bSet = true;
    }
    return stChanges;
}

// Reads every pending event: an edit of the configuration file, and a
// change of the file set (a rotation). New data only woke the loop.
void CSetWatch::DrainEvents(SetChanges* pChanges) {
    alignas(struct inotify_event) char aEvents[4096];
    for (;;) {
        const ssize_t nRead = read(m_Inotify.Get(), aEvents, sizeof(aEvents));
        if (nRead <= 0) return;  // EAGAIN: all read
        for (ssize_t nAt = 0; nAt < nRead;) {
            const struct inotify_event* pEvent =
                reinterpret_cast<const struct inotify_event*>(aEvents + nAt);
            nAt += static_cast<ssize_t>(sizeof(struct inotify_event) + pEvent->len);
            if ((pEvent->mask & IN_Q_OVERFLOW) != 0) {
                pChanges->bConfig = true;  // events were lost: look at everything
                pChanges->bSet = true;
                continue;
            }
            if (pEvent->len == 0) continue;
            const char* pName = pEvent->name;
            if (pEvent->wd == m_nCfgWatch && std::strcmp(pName, m_pCfgName) == 0) {
                pChanges->bConfig = true;
            }
            // A file of the set: new data or a rotation (the state file beside
            // them is none).
            uint32_t nIndex = 0;
            if (pEvent->wd == m_nLogWatch && ParseLogFileName(pName, m_szPrefix, &nIndex)) {
                if ((pEvent->mask & IN_MODIFY) == 0) pChanges->bSet = true;
            }
        }
    }
}

// Without inotify: whether the configuration file changed since the last look
// (time, size or inode).
bool CSetWatch::PollConfigStat() {
    struct stat st {};
    int64_t llTime = -2;
    int64_t llSize = -2;
    uint64_t nInode = 0;
    if (stat(m_szCfgPath, &st) == 0) {
        llTime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        llSize = static_cast<int64_t>(st.st_size);
        nInode = static_cast<uint64_t>(st.st_ino);
    }
    const bool bChanged =
        llTime != m_llCfgMTimeNs || llSize != m_llCfgSize || nInode != m_nCfgInode;
    m_llCfgMTimeNs = llTime;
    m_llCfgSize = llSize;
    m_nCfgInode = nInode;
    return bChanged;
}
