// A client with functions of its own that carry exactly the names and
// signatures of functions inside the log library (so the same linker symbols
// as the library's internal ones). It must link against the shared and the
// static library, and its functions must stay its own: the library must not
// call them, and they must not replace the library's. Writes one record into
// argv[1] (collision_00.log); exits 0 when all of that held.
#include <logmodule/LogModule.h>

#include <pthread.h>

#include <cstdio>

namespace {
int g_nMyCalls = 0;
}

int LockMutex(pthread_mutex_t* pMutex) {
    (void)pMutex;
    return ++g_nMyCalls;
}
int JoinThread(void* hThread) {
    (void)hThread;
    return ++g_nMyCalls;
}
int32_t NetLayerInit() { return ++g_nMyCalls; }

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <log dir>\n", argv[0]);
        return 2;
    }
    if (SetLogPath(argv[1], "collision") != ZQ_OK || SetLogMode(ZQ_MODE_FILES) != ZQ_OK ||
        CreateAsyncLog() != ZQ_OK) {
        std::fprintf(stderr, "cannot create the log module\n");
        return 1;
    }
    ZQ_LOG(ZQ_LEVEL_INFO, "dev0", "next to my own LockMutex");
    // Joins the writer thread and takes the module lock: the library's own.
    if (DestroyAsyncLog() != ZQ_OK) return 1;
    if (g_nMyCalls != 0) {
        std::fprintf(stderr, "the library called the client's functions %d times\n", g_nMyCalls);
        return 1;
    }
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    if (LockMutex(&mutex) != 1 || JoinThread(nullptr) != 2 || NetLayerInit() != 3) {
        std::fprintf(stderr, "the client's own functions were replaced\n");
        return 1;
    }
    return 0;
}
