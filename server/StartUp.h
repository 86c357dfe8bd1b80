#pragma once

#include "platform/UniqueFd.h"

#include <cstdint>

// How the daemon's start-up ends, as its starter (a shell, an init script, a
// service manager) sees it. Start-up is finished only when the log module is
// created and the receive port is bound; until then the starter waits, and a
// failure reaches it as one line on standard error and exit status 1.
//
// Detached (the default): Detach forks. The starting process waits on a pipe
// for the daemon's report and exits with it: 0 once the daemon reported Ready,
// else the status the daemon ended with. The daemon runs in a session of its
// own and keeps the starter's standard streams until Ready, so what it prints
// while starting reaches the starter; Ready then points them at /dev/null.
// Foreground (-n): no fork; Ready sends READY=1 to the service manager.
// In both, the working directory becomes / (relative log paths mean the same
// in both modes).
//
// Used by the daemon (Daemon.h) on the main thread only.
class CStartUp {
public:
    explicit CStartUp(bool bForeground);
    ~CStartUp();  // closes the report pipe: a daemon that did not report has failed
    CStartUp(const CStartUp&) = delete;
    CStartUp& operator=(const CStartUp&) = delete;

    // Returns 0 in the daemon, -1 with errno when it cannot detach. The
    // starting process never returns from it.
    int32_t Detach();
    // Start-up is finished: the starter exits 0 (detached), or the service
    // manager learns READY=1 (foreground).
    void Ready();
    // The daemon begins its orderly stop: STOPPING=1 (foreground).
    void Stopping();

    // Prints "ZuVozAdavid: <text>" as one line on standard error, then
    // returns kExitFailed, for the failing start-up phase to return.
    static int Fail(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));

private:
    bool m_bForeground;
    CUniqueFd m_ReportFd;  // write end of the pipe to the starter; not Valid when there is none
};
