#include "server/StartUp.h"

#include "platform/DaemonPaths.h"
#include "platform/UniqueFd.h"
#include "platform/WireContract.h"
#include "platform/ExitCodes.h"
#include "server/ServiceNotify.h"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

constexpr char kReadyByte = 'R';
constexpr const char* kNullDevice = "/dev/null";
constexpr const char* kRootDir = "/";

bool SetCloseOnExec(int nFd) {
    const int nFlags = fcntl(nFd, F_GETFD);
    return nFlags >= 0 && fcntl(nFd, F_SETFD, nFlags | FD_CLOEXEC) == 0;
}

// The starting process: waits for the daemon's report on nReadFd and exits
// with the outcome. End of file without the ready byte means the daemon ended
// during start-up (it printed why); its status is passed on.
[[noreturn]] void WaitForReport(int nReadFd, pid_t nDaemon) {
    char cByte = 0;
    ssize_t nRead = 0;
    do {
        nRead = read(nReadFd, &cByte, 1);
    } while (nRead < 0 && errno == EINTR);
    if (nRead == 1 && cByte == kReadyByte) _exit(kExitOk);

    int nStatus = 0;
    pid_t nDone = 0;
    do {
        nDone = waitpid(nDaemon, &nStatus, 0);
    } while (nDone < 0 && errno == EINTR);
    if (nDone == nDaemon && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) != kExitOk) {
        _exit(WEXITSTATUS(nStatus));
    }
    if (nDone == nDaemon && WIFSIGNALED(nStatus)) {
        (void)CStartUp::Fail("start-up ended by signal %d (%s)", WTERMSIG(nStatus),
                             strsignal(WTERMSIG(nStatus)));
    } else {
        (void)CStartUp::Fail("start-up ended without a report");
    }
    _exit(kExitFailed);
}

}  // namespace

CStartUp::CStartUp(bool bForeground) : m_bForeground(bForeground), m_ReportFd() {}

// Closing the report pipe without the ready byte makes the starter report the
// daemon's status (m_ReportFd's owner closes it).
CStartUp::~CStartUp() = default;

int32_t CStartUp::Detach() {
    if (!m_bForeground) {
        int nPipe[2];
        if (pipe(nPipe) != 0) return -1;
        // Both ends close when the start fails here; errno is kept for the
        // caller (close does not set it on success).
        CUniqueFd readEnd(nPipe[0]);
        CUniqueFd writeEnd(nPipe[1]);
        if (!SetCloseOnExec(readEnd.Get()) || !SetCloseOnExec(writeEnd.Get())) return -1;
        // What is buffered is written once, by the starter, before the fork.
        (void)std::fflush(stdout);
        (void)std::fflush(stderr);
        const pid_t nPid = fork();
        if (nPid < 0) return -1;
        if (nPid > 0) {
            writeEnd.Reset();
            WaitForReport(readEnd.Get(), nPid);
        }
        readEnd.Reset();
        m_ReportFd = std::move(writeEnd);
        // The new session has no controlling terminal: the terminal's hang-up
        // and job control no longer reach the daemon.
        if (setsid() < 0) return -1;
    }
    return chdir(kRootDir) == 0 ? 0 : -1;
}

void CStartUp::Ready() {
    if (m_bForeground) {
        // Not under a service manager, or one that went away: nothing to tell.
        (void)NotifyServiceManager(kNotifyReady);
        return;
    }
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    CUniqueFd null(open(kNullDevice, O_RDWR | O_CLOEXEC));
    if (null.Valid()) {
        // dup2 onto an open descriptor fails only for a bad descriptor; the
        // streams then stay the starter's, which costs nothing but output.
        for (int nFd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) (void)dup2(null.Get(), nFd);
        // Opened as one of the standard streams (they were closed): it stays.
        if (null.Get() <= STDERR_FILENO) (void)null.Release();
    }
    const ssize_t nWritten = write(m_ReportFd.Get(), &kReadyByte, 1);
    // A starter that is gone (killed while waiting) cannot be told; the daemon
    // runs all the same (SIGPIPE is ignored).
    (void)nWritten;
    m_ReportFd.Reset();
}

void CStartUp::Stopping() {
    if (m_bForeground) (void)NotifyServiceManager(kNotifyStopping);
}

int CStartUp::Fail(const char* pFormat, ...) {
    char szText[1024];
    va_list args;
    va_start(args, pFormat);
    const int nLen = std::vsnprintf(szText, sizeof(szText), pFormat, args);
    va_end(args);
    if (nLen < 0) szText[0] = '\0';  // an encoding error still gives the line
    // What the daemon printed before comes first, also when standard output
    // is a pipe or a file.
    (void)std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kLogServerName, szText);
    return kExitFailed;
}
