#include "server/TrustedDir.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uid_t kRootUid = 0;

struct Why {
    char* pText;
    size_t nLen;
};

// Writes the reason for a refusal; errno stays as it was.
__attribute__((format(printf, 2, 3))) void SetWhy(const Why& why, const char* pFormat, ...) {
    if (why.pText == nullptr || why.nLen == 0) return;
    const int nErrno = errno;
    va_list args;
    va_start(args, pFormat);
    (void)std::vsnprintf(why.pText, why.nLen, pFormat, args);  // cut to the buffer
    va_end(args);
    errno = nErrno;
}

// The rule for one level that is a directory; bFinal: the directory itself.
int32_t CheckLevel(const char* pLevel, const struct stat& st, bool bFinal, uid_t nSelf,
                   const Why& why) {
    if (st.st_uid != kRootUid && st.st_uid != nSelf) {
        SetWhy(why, "%s belongs to user %u", pLevel, static_cast<unsigned>(st.st_uid));
        return kDirUntrusted;
    }
    const bool bGroup = (st.st_mode & S_IWGRP) != 0;
    const bool bOthers = (st.st_mode & S_IWOTH) != 0;
    // Sticky: others may add entries but not rename or remove those of the
    // daemon. Good enough for a level above, never for the directory itself.
    const bool bSticky = (st.st_mode & S_ISVTX) != 0;
    if ((bGroup || bOthers) && (bFinal || !bSticky)) {
        SetWhy(why, "%s is writable by %s", pLevel,
               bGroup && bOthers ? "group and others"
               : bGroup          ? "its group"
                                 : "others");
        return kDirUntrusted;
    }
    return kDirTrusted;
}

// The rule for a level that must exist as a directory already.
int32_t CheckExisting(const char* pLevel, bool bFinal, uid_t nSelf, const Why& why) {
    struct stat st {};
    if (lstat(pLevel, &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetWhy(why, "%s changed while it was checked", pLevel);
        return kDirUntrusted;
    }
    return CheckLevel(pLevel, st, bFinal, nSelf, why);
}

// Applies the rule to every level of an absolute path free of symbolic links
// (what realpath gives); bFinal: its last level is the directory itself.
int32_t CheckResolved(char* pPath, bool bFinal, uid_t nSelf, const Why& why) {
    const size_t nLen = std::strlen(pPath);
    int32_t nRet = CheckExisting("/", bFinal && nLen == 1, nSelf, why);
    // Each level below "/": the path cut after each name.
    for (size_t i = 2; i <= nLen && nRet == kDirTrusted; ++i) {
        if (i < nLen && pPath[i] != '/') continue;
        const char cSaved = pPath[i];
        pPath[i] = '\0';
        nRet = CheckExisting(pPath, bFinal && i == nLen, nSelf, why);
        pPath[i] = cSaved;
    }
    return nRet;
}

// Makes one level exist and, with kDirCheck, checks it. pLevel is a prefix of
// the path whose levels above were all passed already.
int32_t PrepareLevel(const char* pLevel, bool bFinal, mode_t nMode, uint32_t nFlags, uid_t nSelf,
                     const Why& why) {
    const bool bCheck = (nFlags & kDirCheck) != 0;
    struct stat st {};
    if (lstat(pLevel, &st) != 0) {
        if (errno != ENOENT) {
            SetWhy(why, "cannot look at %s: %s", pLevel, std::strerror(errno));
            return kDirMissing;
        }
        if (!bFinal && (nFlags & kDirCreateParents) == 0) {
            SetWhy(why, "%s does not exist", pLevel);
            return kDirMissing;
        }
        if (mkdir(pLevel, nMode) == 0) {
            // Exactly nMode, not narrowed by the umask. Should this fail the
            // mode stays as mkdir made it: narrower, never wider.
            (void)chmod(pLevel, nMode);
        } else if (errno != EEXIST) {  // made by someone else meanwhile: looked at below
            SetWhy(why, "cannot create %s: %s", pLevel, std::strerror(errno));
            return kDirMissing;
        }
        if (lstat(pLevel, &st) != 0) {
            SetWhy(why, "cannot look at %s: %s", pLevel, std::strerror(errno));
            return kDirMissing;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        if (bCheck && st.st_uid != kRootUid && st.st_uid != nSelf) {
            SetWhy(why, "%s is a symbolic link of user %u", pLevel,
                   static_cast<unsigned>(st.st_uid));
            return kDirUntrusted;
        }
        char szResolved[PATH_MAX];
        struct stat stTarget {};
        if (realpath(pLevel, szResolved) == nullptr || stat(szResolved, &stTarget) != 0) {
            SetWhy(why, "cannot follow %s: %s", pLevel, std::strerror(errno));
            return kDirMissing;
        }
        if (!S_ISDIR(stTarget.st_mode)) {
            errno = ENOTDIR;
            SetWhy(why, "%s leads to %s, which is not a directory", pLevel, szResolved);
            return kDirMissing;
        }
        return bCheck ? CheckResolved(szResolved, bFinal, nSelf, why) : kDirTrusted;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        SetWhy(why, "%s is not a directory", pLevel);
        return kDirMissing;
    }
    return bCheck ? CheckLevel(pLevel, st, bFinal, nSelf, why) : kDirTrusted;
}

}  // namespace

int32_t PrepareTrustedDir(const char* pPath, mode_t nMode, uint32_t nFlags, char* pWhy,
                          size_t nWhyLen, int* pDirFd) {
    const Why why{pWhy, nWhyLen};
    if (pWhy != nullptr && nWhyLen > 0) pWhy[0] = '\0';
    if (pDirFd != nullptr) *pDirFd = -1;
    if (pPath == nullptr) {
        errno = EINVAL;
        SetWhy(why, "no directory given");
        return kDirMissing;
    }
    char szPath[PATH_MAX];
    const int nPrinted =
        std::snprintf(szPath, sizeof(szPath), "%s%s", pPath[0] == '/' ? "" : "/", pPath);
    if (nPrinted < 0 || static_cast<size_t>(nPrinted) >= sizeof(szPath)) {
        errno = ENAMETOOLONG;
        SetWhy(why, "the path is too long");
        return kDirMissing;
    }
    size_t nLen = static_cast<size_t>(nPrinted);
    while (nLen > 1 && szPath[nLen - 1] == '/') szPath[--nLen] = '\0';

    const uid_t nSelf = geteuid();
    if ((nFlags & kDirCheck) != 0) {
        const int32_t nRet = CheckExisting("/", nLen == 1, nSelf, why);
        if (nRet != kDirTrusted) return nRet;
    }
    // Each level from the top: szPath cut after each name ("//" gives none).
    for (size_t i = 2; i <= nLen; ++i) {
        if (i < nLen && szPath[i] != '/') continue;
        if (szPath[i - 1] == '/') continue;
        const char cSaved = szPath[i];
        szPath[i] = '\0';
        const int32_t nRet = PrepareLevel(szPath, i == nLen, nMode, nFlags, nSelf, why);
        szPath[i] = cSaved;
        if (nRet != kDirTrusted) return nRet;
    }
    if (pDirFd != nullptr) {
        const int nFd = open(szPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (nFd < 0) {
            SetWhy(why, "cannot open %s: %s", szPath, std::strerror(errno));
            return kDirMissing;
        }
        *pDirFd = nFd;
    }
    return kDirTrusted;
}
