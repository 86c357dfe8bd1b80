#pragma once

#include <sys/types.h>

#include <chrono>
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
