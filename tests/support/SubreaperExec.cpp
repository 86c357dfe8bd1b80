// Host-side launcher for the cross build's tests that start the daemon. It
// makes itself a child subreaper and then executes its arguments: the
// emulator with the test program. The attribute survives execve, so the
// emulated test program stays the parent of the daemons it starts even though
// they detach with daemon(0, 0). The emulator (qemu-user) refuses
// prctl(PR_SET_CHILD_SUBREAPER) from the emulated program itself; the test
// learns from ZQ_TEST_SUBREAPER that its process is a subreaper already.
//
// Usage: SubreaperExec <program> [arguments...]

#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 1;
constexpr int kExitNoExec = 127;
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
        return kExitUsage;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("prctl(PR_SET_CHILD_SUBREAPER)");
        return kExitFailed;
    }
    if (setenv("ZQ_TEST_SUBREAPER", "1", 1) != 0) {
        std::perror("setenv");
        return kExitFailed;
    }
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return kExitNoExec;
}
