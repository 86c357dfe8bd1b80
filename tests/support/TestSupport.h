#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zqtest {

// A fresh directory under $TMPDIR (or /tmp) for one test, removed with all its
// content when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    // Path() + "/" + name.
    std::string File(const std::string& name) const;

private:
    std::string m_strPath;
};

// Whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file's content at once (written aside, then renamed over it);
// returns false when it cannot be written.
bool WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Size in bytes, or -1 when the file does not exist.
long long FileSize(const std::string& path);
// Sets the modification time of a file to the given seconds since the epoch.
bool SetMTime(const std::string& path, long long seconds);
// Removes a file or a whole directory tree; missing paths are fine.
void RemoveTree(const std::string& path);

// Octal permission bits of a path (not following a link), or "missing".
std::string ModeOf(const std::string& path);

// Runs fn in a forked child, so that a call that blocks or spins cannot hold
// the test: the text fn returned, or "(did not return)" when the child had to
// be killed after the deadline.
std::string InChild(const std::function<std::string()>& fn,
                    std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Runs a shell command as the unprivileged user 65534 (setpriv, no groups);
// its exit status, or -1 when it could not be run.
int RunAsNobody(const std::string& command);

// Polls pred every few milliseconds until it holds or the deadline passes;
// returns the last value of pred. For waiting on other threads and processes
// without sleeping a fixed time.
bool PollUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Splits a text into lines ended by "\r\n"; a trailing piece without it is
// returned as the last element.
std::vector<std::string> SplitCrLf(const std::string& text);

// The unprivileged user the attack tests act as.
constexpr uid_t kNobody = 65534;

// Runs fn in a child process that first becomes user and group nUid without
// supplementary groups (what `setpriv --reuid=N --regid=N --clear-groups`
// does) and returns fn's result, which must lie in 0..125, as that process's
// exit status. -1 when the child could not become the user, ended by a signal
// or did not end within the deadline (it is killed then).
int RunAsUser(uid_t nUid, const std::function<int()>& fn);

// A process of another user that stays: a child becomes nUid (as in RunAsUser),
// runs setup, reports setup's result (0..255) to the parent and then, when it
// is 0 and vExec is not empty, executes vExec (its descriptors without
// close-on-exec, such as a socket setup opened, live on in the program);
// otherwise it waits, keeping what setup opened, until it is stopped. Stopped
// (SIGKILL) and reaped by Stop and the destructor.
class UserProcess {
public:
    UserProcess(uid_t nUid, const std::function<int()>& setup,
                const std::vector<std::string>& vExec = {});
    ~UserProcess();
    UserProcess(const UserProcess&) = delete;
    UserProcess& operator=(const UserProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // setup's result; -1 when the child could not become the user or report.
    int Status() const { return m_nStatus; }
    void Stop();

private:
    pid_t m_pid = -1;
    int m_nStatus = -1;
};

// A UDP socket bound to nIp:nPort (host order) with the options asked for;
// its descriptor, or -1 with errno from the call that failed. nFlags is
// SOCK_CLOEXEC, or 0 for a socket that a program executed next keeps.
int BindUdp(uint32_t nIp, uint16_t nPort, bool bReuseAddr, bool bReusePort, int nFlags);

// Sends nCount datagrams of nSize bytes from an ephemeral loopback port to
// 127.0.0.1:nPort and returns once each of them has been delivered or dropped
// by the receiving side: the calling thread stays on one CPU meanwhile, and a
// last datagram to its own socket, queued behind the others, has arrived.
// False when a send or that last datagram failed.
bool FloodLoopback(uint16_t nPort, int nCount, size_t nSize);

// Bytes queued for reading on the sockets bound to port nPort on 127.0.0.1
// (from /proc/net/udp); -1 when there is no such socket.
long long QueuedBytes(uint16_t nPort);

// The command line that runs one of the project's own programs (vArgs[0] its
// path). In a cross build the tests run under an emulator, and ZQ_TEST_EMULATOR
// holds its command (words separated by spaces, e.g. "qemu-arm -L <sysroot>");
// the program is then started through it. The emulator is executed through a
// symbolic link in strLinkDir named like the program, so the process carries
// the program's name (the kernel names a process after the executed path), as
// daemon detection by name needs. Without ZQ_TEST_EMULATOR: vArgs unchanged.
std::vector<std::string> TargetCommand(const std::vector<std::string>& vArgs,
                                       const std::string& strLinkDir);

}  // namespace zqtest
