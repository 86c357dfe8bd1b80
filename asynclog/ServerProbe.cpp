#include "asynclog/ServerProbe.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kCommLen = 15;  // the kernel keeps at most 15 characters of a name

// Reads /proc/<pid>/stat ("pid (name) state ...") and tells whether the process
// is alive (not a zombie) and named pName.
bool ProcessMatches(const char* pPidDir, const char* pName, size_t nNameLen) {
    char szPath[64];
    if (std::snprintf(szPath, sizeof(szPath), "/proc/%s/stat", pPidDir) >=
        static_cast<int>(sizeof(szPath))) {
        return false;  // not a process id of any length the kernel hands out
    }
    int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;  // the process ended meanwhile, or is not ours to read
    char szStat[128];
    ssize_t n = read(fd, szStat, sizeof(szStat) - 1);
    (void)close(fd);  // read-only descriptor: nothing to lose on close
    if (n <= 0) return false;
    szStat[n] = '\0';

    // The name may itself hold ')' or spaces: it ends at the last ')'.
    const char* pOpen = std::strchr(szStat, '(');
    const char* pClose = std::strrchr(szStat, ')');
    if (pOpen == nullptr || pClose == nullptr || pClose < pOpen || pClose[1] != ' ') return false;
    const char cState = pClose[2];
    if (cState == 'Z' || cState == 'X') return false;  // dead, only not yet reaped
    const size_t nComm = static_cast<size_t>(pClose - pOpen - 1);
    return nComm == nNameLen && std::memcmp(pOpen + 1, pName, nNameLen) == 0;
}

}  // namespace

int32_t FindProcessByName(const char* pName) {
    if (pName == nullptr || *pName == '\0') return 0;
    size_t nNameLen = std::strlen(pName);
    if (nNameLen > kCommLen) nNameLen = kCommLen;

    DIR* pDir = opendir("/proc");
    if (pDir == nullptr) return 0;
    int32_t nPid = 0;
    while (struct dirent* pEntry = readdir(pDir)) {
        const char* pDigits = pEntry->d_name;
        if (*pDigits < '1' || *pDigits > '9') continue;
        if (std::strspn(pDigits, "0123456789") != std::strlen(pDigits)) continue;
        if (ProcessMatches(pDigits, pName, nNameLen)) {
            nPid = static_cast<int32_t>(std::strtol(pDigits, nullptr, 10));
            break;
        }
    }
    (void)closedir(pDir);  // a directory stream: nothing to report
    return nPid;
}
