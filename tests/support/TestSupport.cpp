#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace zqtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zqtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    m_strPath = buf.data();
}

TempDir::~TempDir() { RemoveTree(m_strPath); }

std::string TempDir::File(const std::string& name) const { return m_strPath + "/" + name; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::string();
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    // Written aside and renamed into place, so a reader in another thread or
    // process never sees the file half written.
    const std::string tmp = path + ".zqtmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << content;
        if (!out.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

long long FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

bool SetMTime(const std::string& path, long long seconds) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    // Best effort: a test's leftovers must never fail the test itself.
    (void)::remove(path);
    return 0;
}

void RemoveTree(const std::string& path) {
    (void)nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int RunAsNobody(const std::string& command) {
    std::string quoted = "'";
    for (char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const int nStatus =
        std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c " + quoted).c_str());
    return nStatus == -1 || !WIFEXITED(nStatus) ? -1 : WEXITSTATUS(nStatus);
}

bool PollUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

std::vector<std::string> TargetCommand(const std::vector<std::string>& vArgs,
                                       const std::string& strLinkDir) {
    const char* pEmulator = std::getenv("ZQ_TEST_EMULATOR");
    if (vArgs.empty() || pEmulator == nullptr || *pEmulator == '\0') return vArgs;
    std::vector<std::string> vCmd;
    std::istringstream words(pEmulator);
    for (std::string word; words >> word;) vCmd.push_back(word);
    if (vCmd.empty()) return vArgs;

    const std::string& program = vArgs[0];
    const std::string link = strLinkDir + "/" + program.substr(program.rfind('/') + 1);
    // A link left by an earlier call of the same test is reused.
    if (symlink(vCmd[0].c_str(), link.c_str()) != 0 && errno != EEXIST) {
        std::perror(("symlink " + link).c_str());
        return vArgs;  // the exec then fails and the test reports it
    }
    vCmd[0] = link;
    vCmd.insert(vCmd.end(), vArgs.begin(), vArgs.end());
    return vCmd;
}

}  // namespace zqtest
