// Rows per second of DataLoggerStorageSQLite::setData, one point per call, against a bare
// sqlite3 loop running the same INSERT in autocommit mode on the same schema and directory.
//
//   bench_storage [directory (default /dev/shm)] [rows per run (default 20000)] [runs (default 5)]
//   bench_storage --bare DIRECTORY ROWS   prints only the bare loop's rows per second (the floor
//                                         scripts/bench sets the daemon's ingest against)
//   bench_storage --bare-rollback DIRECTORY ROWS   the same loop with a rollback journal and
//                                         every commit synced in full
//
// Runs alternate between the two so that machine load hits both alike; the best run of each
// is compared.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "BenchSupport.h"
#include "storage/DataLoggerStorageSQLiteInstance.h"

using namespace datalogger::bench;
using Clock = std::chrono::steady_clock;

namespace {

// Not a namespace-scope constant: the hash needs the name tables of other translation units.
const qd::DataLoggerStorageChannelInfo& channel() {
    static const auto info = benchChannel("bench/channel", qd::DataLoggerStorageType::Volatile);
    return info;
}

double storageRowsPerSecond(const std::string& file, int rows) {
    auto storage = openBenchStorage(file, {channel()});
    const auto start = Clock::now();
    for (int i = 1; i <= rows; ++i) {
        const qd::TimePoint stamp{std::chrono::microseconds(i)};
        if (storage->setData(channel().channelHash(), {qd::DataLoggerDataPoint(i, stamp)}) !=
            qd::DataLoggerStatusCode::NoError) {
            std::fprintf(stderr, "setData failed\n");
            std::exit(1);
        }
    }
    return rows / std::chrono::duration<double>(Clock::now() - start).count();
}

double bareRowsPerSecond(const std::string& file, int rows,
                         BareJournal journal = BareJournal::Wal) {
    openBenchStorage(file, {channel()})->finalize();
    return bareInsertLoop(file, channel().channelHash(), rows, journal);
}

}  // namespace

int main(int argc, char** argv) {
    qd::DataLoggerStorageSQLiteInstance::get();
    if (argc == 4 &&
        (std::string(argv[1]) == "--bare" || std::string(argv[1]) == "--bare-rollback")) {
        const std::string file =
            std::string(argv[2]) + "/bench_bare_" + std::to_string(getpid()) + ".db";
        const auto journal =
            std::string(argv[1]) == "--bare" ? BareJournal::Wal : BareJournal::Rollback;
        std::printf("%.0f\n", bareRowsPerSecond(file, std::max(1, std::atoi(argv[3])), journal));
        removeDatabaseFiles(file);
        return 0;
    }
    const std::string dir = argc > 1 ? argv[1] : "/dev/shm";
    const int rows = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20000;
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    const std::string file = dir + "/bench_storage_" + std::to_string(getpid()) + ".db";
    double bestStorage = 0;
    double bestBare = 0;
    for (int run = 0; run < runs; ++run) {
        const double bare = bareRowsPerSecond(file, rows);
        const double storage = storageRowsPerSecond(file, rows);
        std::printf("run %d: bare %.0f rows/s, storage %.0f rows/s\n", run + 1, bare, storage);
        bestBare = std::max(bestBare, bare);
        bestStorage = std::max(bestStorage, storage);
    }
    removeDatabaseFiles(file);
    std::printf("best: bare %.0f rows/s, storage %.0f rows/s, ratio %.3f (%d rows per run in %s)\n",
                bestBare, bestStorage, bestStorage / bestBare, rows, dir.c_str());
    return 0;
}
