// Writes one record into its own log files in the directory argv[1]
// (client_00.log) and exits 0 when every call of the log module succeeded.
#include <logmodule/LogModule.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <log dir>\n", argv[0]);
        return 2;
    }
    if (SetLogPath(argv[1], "client") != 0 || SetLogMode(ZQ_MODE_FILES) != 0 ||
        CreateAsyncLog() != 0) {
        std::fprintf(stderr, "cannot create the log module\n");
        return 1;
    }
    ZQ_LOG(ZQ_LEVEL_INFO, "dev0", "installed client %d", 42);
    return DestroyAsyncLog() == 0 ? 0 : 1;
}
