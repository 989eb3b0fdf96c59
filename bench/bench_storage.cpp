// Rows per second of DataLoggerStorageSQLite::setData, one point per call, against a bare
// sqlite3 loop running the same INSERT in autocommit mode on the same schema and directory.
//
//   bench_storage [directory (default /dev/shm)] [rows per run (default 20000)] [runs (default 5)]
//
// Runs alternate between the two so that machine load hits both alike; the best run of each
// is compared.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/DataLoggerHash.h"
#include "storage/DataLoggerStorageSQLite.h"
#include "storage/DataLoggerStorageSQLiteInstance.h"

using namespace quorix::pelmo::datalogger;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSize = 256u * 1024u * 1024u;

DataLoggerStorageChannelInfo benchChannel() {
    auto info = DataLoggerChannelInfo::withDefaults(
        "bench/channel", DataLoggerUnit::Volt, DataLoggerStats(DataLoggerStorageType::Volatile, 0),
        DataLoggerStorageType::Volatile, "benchmark");
    const uint64_t hash = DataLoggerHash().compute(info);
    return DataLoggerStorageChannelInfo(info, hash);
}

// A migrated database with the bench channel registered, created through the storage.
std::shared_ptr<DataLoggerStorageSQLite> openStorage(const std::string& file) {
    std::filesystem::remove(file);
    auto storage =
        std::make_shared<DataLoggerStorageSQLite>(DATALOGGER_SCRIPTS_DIR, 1048576, kSize, nullptr);
    if (storage->initializeStorage(kSize, file, false) != DataLoggerStatusCode::NoError ||
        storage->registerOrUpdateChannel(benchChannel()) != DataLoggerStatusCode::NoError) {
        std::fprintf(stderr, "cannot set up %s\n", file.c_str());
        std::exit(1);
    }
    return storage;
}

double storageRowsPerSecond(const std::string& file, int rows) {
    auto storage = openStorage(file);
    const uint64_t hash = benchChannel().channelHash();
    const auto start = Clock::now();
    for (int i = 1; i <= rows; ++i) {
        const TimePoint stamp{std::chrono::microseconds(i)};
        if (storage->setData(hash, {DataLoggerDataPoint(i, stamp)}) !=
            DataLoggerStatusCode::NoError) {
            std::fprintf(stderr, "setData failed\n");
            std::exit(1);
        }
    }
    return rows / std::chrono::duration<double>(Clock::now() - start).count();
}

double bareRowsPerSecond(const std::string& file, int rows) {
    openStorage(file)->finalize();
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    // The storage's connection settings, so both loops do the same work per row.
    sqlite3_busy_timeout(db, 1000);
    sqlite3_exec(db, "PRAGMA foreign_keys = ON;", nullptr, nullptr, nullptr);
    sqlite3_prepare_v3(db,
                       "INSERT INTO data (channelHash, timestamp, value) VALUES($hash, "
                       "$timestamp, $value);",
                       -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr);
    const auto hash = static_cast<sqlite3_int64>(benchChannel().channelHash());
    const auto start = Clock::now();
    for (int i = 1; i <= rows; ++i) {
        sqlite3_bind_int64(insert, 1, hash);
        sqlite3_bind_int64(insert, 2, i);
        sqlite3_bind_double(insert, 3, i);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::fprintf(stderr, "bare insert failed: %s\n", sqlite3_errmsg(db));
            std::exit(1);
        }
        sqlite3_reset(insert);
    }
    const double rate = rows / std::chrono::duration<double>(Clock::now() - start).count();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/dev/shm";
    const int rows = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20000;
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    DataLoggerStorageSQLiteInstance::get();

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
    std::filesystem::remove(file);
    std::printf("best: bare %.0f rows/s, storage %.0f rows/s, ratio %.3f (%d rows per run in %s)\n",
                bestBare, bestStorage, bestStorage / bestBare, rows, dir.c_str());
    return 0;
}
