/* A C99 client of the log module: writes one record into its own log files
 * in the directory argv[1] (example_00.log) and prints the version it was
 * built with. Exits 0 when every call of the module succeeded. */
#include <logmodule/LogModule.h>

#include <stdio.h>

int main(int argc, char** argv) {
    int32_t nLevel = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: %s <log dir>\n", argv[0]);
        return 2;
    }
    if (SetLogPath(argv[1], "example") != ZQ_OK || SetLogMode(ZQ_MODE_FILES) != ZQ_OK ||
        SetModuleName("c99") != ZQ_OK || CreateAsyncLog() != ZQ_OK) {
        fprintf(stderr, "cannot create the log module\n");
        return 1;
    }
    if (GetLogLevel(&nLevel) != ZQ_OK || nLevel != ZQ_LEVEL_INFO) return 1;
    if (ZQ_LOG(ZQ_LEVEL_WARNING, "dev0", "from C, version %s", ZQ_VERSION_STRING) != ZQ_OK) {
        return 1;
    }
    printf("%s %d\n", ZQ_VERSION_STRING, ZQ_VERSION);
    return DestroyAsyncLog() == ZQ_OK ? 0 : 1;
}
