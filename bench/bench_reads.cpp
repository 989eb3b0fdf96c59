// Usage: bench_reads FILE ROWS
//        bench_reads --rare FILE ROWS
//        bench_reads --select FILE HASH
// Builds FILE with ROWS points through the storage (kept afterwards: scripts/bench starts the
// daemon on it), opens it as the daemon does, then times the newest 1000 points of one channel
// through getData against a bare read of the same points (PointStore on a connection of its own,
// by hash), medians of 101.
// Prints one line: <getData µs> <bare µs> <what the file holds: blocks, open points>
//
// Without --rare the rows are spread over 10 channels. With --rare one busy channel holds all
// rows but about 3000, spread evenly through time, which belong to a rare channel, the one read.
// With --select, FILE is a database in use (the daemon's): prints the median µs of the bare read
// of the newest 1000 points of the channel HASH, read-only beside the daemon.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "platform/Logger.h"
#include "storage/PointStore.h"

using namespace datalogger::bench;

namespace {

constexpr int kRuns = 101;
constexpr long long kRareRows = 3000;

double getDataMicros(qd::DataLoggerStorageSQLite& storage, const std::string& path) {
    std::vector<qd::DataLoggerDataPoint> points;
    return medianMicros(kRuns, [&] {
        points.clear();
        if (storage.getData(points, path, 0, std::chrono::microseconds(0), 1000) !=
                qd::DataLoggerStatusCode::NoError ||
            points.size() != 1000) {
            std::fprintf(stderr, "getData failed\n");
            std::exit(1);
        }
    });
}

// The newest 1000 points of the channel through a PointStore of a bare read-only connection,
// its open blocks loaded once: the floor of getData's read.
double bareMicros(sqlite3* db, uint64_t hash) {
    const quorix::pelmo::log::Logger logger("bench_reads", "",
                                            std::make_shared<quorix::pelmo::log::LoggerImpl>());
    qd::PointStore points(db, logger);
    if (points.load() != SQLITE_OK) {
        std::fprintf(stderr, "bench_reads: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
    std::vector<qd::DataLoggerDataPoint> read;
    const double micros = medianMicros(kRuns, [&] {
        read.clear();
        if (points.read(hash, qd::PointStore::kNoBound, 1000, 0, read) != SQLITE_OK) {
            std::fprintf(stderr, "bench_reads: %s\n", sqlite3_errmsg(db));
            std::exit(1);
        }
    });
    if (read.size() != 1000) {
        std::fprintf(stderr, "bench_reads: %zu points read instead of 1000\n", read.size());
        std::exit(1);
    }
    return micros;
}

std::string holding(sqlite3* db) {
    const quorix::pelmo::log::Logger logger("bench_reads", "",
                                            std::make_shared<quorix::pelmo::log::LoggerImpl>());
    qd::PointStore points(db, logger);
    qd::PointStore::Figures figures;
    if (points.load() != SQLITE_OK || points.figures(figures) != SQLITE_OK) return "unknown";
    return std::to_string(figures.blocks) + " blocks, " + std::to_string(figures.openPoints) +
           " open points";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 4 ? argv[1] : "";
    if (argc != 3 && mode != "--rare" && mode != "--select") {
        std::fprintf(stderr, "usage: %s [--rare] FILE ROWS | --select FILE HASH\n", argv[0]);
        return 2;
    }
    const bool rare = mode == "--rare";
    const std::string file = argv[argc - 2];
    if (mode == "--select") {
        sqlite3* db = nullptr;
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(db, 1000);
        std::printf("%.0f\n", bareMicros(db, std::strtoull(argv[3], nullptr, 10)));
        sqlite3_close(db);
        return 0;
    }
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Warning);
    const long long total = std::atoll(argv[argc - 1]);

    std::vector<qd::DataLoggerStorageChannelInfo> channels;
    std::vector<uint64_t> hashes;
    size_t read = 3;  // the channel read
    if (rare) {
        channels.push_back(benchChannel("bench/rare", qd::DataLoggerStorageType::NonVolatile));
        channels.push_back(benchChannel("bench/busy", qd::DataLoggerStorageType::NonVolatile));
        // fillRows takes the hashes round-robin: the rare channel's row every rareEvery rows.
        const auto rareEvery = static_cast<size_t>(std::max(2LL, total / kRareRows));
        hashes.assign(rareEvery, channels[1].channelHash());
        hashes[0] = channels[0].channelHash();
        read = 0;
    } else {
        for (int i = 0; i < 10; ++i) {
            channels.push_back(benchChannel("bench/reads" + std::to_string(i),
                                            qd::DataLoggerStorageType::NonVolatile));
            hashes.push_back(channels.back().channelHash());
        }
    }
    {
        const auto filled = openBenchStorage(file, channels);
        fillRows(*filled, hashes, total);
        filled->finalize();
    }

    qd::DataLoggerStorageSQLite storage(DATALOGGER_SCRIPTS_DIR, 1048576, kBenchDbSize, nullptr);
    storage.initializeStorage(kBenchDbSize, file, false);
    const std::string path = channels[read].channelInfo().mPath;
    const double ours = getDataMicros(storage, path);

    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    const double bare = bareMicros(db, channels[read].channelHash());
    std::printf("%.0f %.0f %s\n", ours, bare, holding(db).c_str());
    sqlite3_close(db);
    storage.finalize();
    return 0;
}
