// The daemon's entry point: the process is one CDaemon (Daemon.h), whose Run
// starts it, receives until a stop signal and stops it in order.

#include "server/Daemon.h"

int main(int argc, char** argv) {
    CDaemon daemon(argc, argv);
    return daemon.Run();
}
