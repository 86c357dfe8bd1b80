// Logs N records of one three-argument message from the main thread, for an
// instruction count under callgrind (scripts/instructions.sh): the difference
// of two runs with N and 2N records, per thread, is what N records cost, with
// start-up and shutdown cancelled out. N stays within the ring, so no thread
// waits on a full ring.
//
//   zq_bench_instr zq DIR N       the log module: its own files in DIR, or
//                                 forwarding when the daemon runs
//   zq_bench_instr spdlog DIR N   an async spdlog logger to a file in DIR
//                                 (when built with spdlog)

#include "logmodule/LogModule.h"

#ifdef ZQ_BENCH_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr long kMaxRecords = 1000;  // the ring holds 1024

int LogModule(const char* pDir, long nRecords) {
    if (SetLogPath(pDir, "IC") != ZQ_OK || CreateAsyncLog() != ZQ_OK) return 1;
    for (long i = 0; i < nRecords; ++i) {
        ZQ_LOG(ZQ_LEVEL_INFO, "cam0", "request %ld from %s took %d ms", i, "10.0.0.7",
               static_cast<int>(i % 97));
    }
    return DestroyAsyncLog() == ZQ_OK ? 0 : 1;
}

#ifdef ZQ_BENCH_HAVE_SPDLOG
int LogSpdlog(const char* pDir, long nRecords) {
    auto pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(std::string(pDir) + "/spd.log");
    auto logger = std::make_shared<spdlog::async_logger>("bench", sink, pool,
                                                         spdlog::async_overflow_policy::block);
    // The same fields as a record of the log module.
    logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%-7l %Y-%m-%d %H:%M:%S:%e  DevID:cam0  Source-Line:bench(%s-L%#)  ProcessName:%P"
        "     Description:[%!]%v",
        spdlog::pattern_time_type::local, "\r\n"));
    for (long i = 0; i < nRecords; ++i) {
        logger->log(spdlog::source_loc{__FILE__, __LINE__, __func__}, spdlog::level::info,
                    "request {} from {} took {} ms", i, "10.0.0.7", static_cast<int>(i % 97));
    }
    logger->flush();
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const long nRecords = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (nRecords <= 0 || nRecords > kMaxRecords) {
        std::fprintf(stderr, "usage: zq_bench_instr zq|spdlog DIR N (N 1..%ld)\n", kMaxRecords);
        return 2;
    }
    if (std::strcmp(argv[1], "zq") == 0) return LogModule(argv[2], nRecords);
#ifdef ZQ_BENCH_HAVE_SPDLOG
    if (std::strcmp(argv[1], "spdlog") == 0) return LogSpdlog(argv[2], nRecords);
#endif
    std::fprintf(stderr, "zq_bench_instr: no logger %s\n", argv[1]);
    return 2;
}
