// Usage: bench_reads FILE ROWS
// Builds FILE with ROWS data rows spread over 10 channels (kept afterwards: scripts/bench starts
// the daemon on it), then times the newest 1000 points of one channel through getData against
// the bare SELECT of the same rows by hash. Prints one line:
//   <getData median µs> <bare median µs> <same statement with "=" for "IN", µs> <query plan>
// The third figure is what the channel index would give if the subquery named one channel: the
// planner cannot walk (channelHash, timestamp) in order for an IN list, so with IN it walks
// the timestamp index of all channels instead.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "platform/Logger.h"

using namespace datalogger::bench;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE ROWS\n", argv[0]);
        return 2;
    }
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Warning);
    const std::string file = argv[1];
    std::vector<qd::DataLoggerStorageChannelInfo> channels;
    std::vector<uint64_t> hashes;
    for (int i = 0; i < 10; ++i) {
        channels.push_back(benchChannel("bench/reads" + std::to_string(i), qd::DataLoggerStorageType::NonVolatile));
        hashes.push_back(channels.back().channelHash());
    }
    openBenchStorage(file, channels)->finalize();
    fillRows(file, hashes, std::atoll(argv[2]));

    // Opened as the daemon opens it, after the rows are in (the start-up analyses the tables).
    qd::DataLoggerStorageSQLite storage(DATALOGGER_SCRIPTS_DIR, 1048576, kBenchDbSize, nullptr);
    storage.initializeStorage(kBenchDbSize, file, false);
    const std::string path = channels[3].channelInfo().mPath;
    std::vector<qd::DataLoggerDataPoint> points;
    const double ours = medianMicros(101, [&] {
        points.clear();
        if (storage.getData(points, path, 0, std::chrono::microseconds(0), 1000) !=
                qd::DataLoggerStatusCode::NoError ||
            points.size() != 1000) {
            std::fprintf(stderr, "getData failed\n");
            std::exit(1);
        }
    });

    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT timestamp, value FROM data WHERE channelHash = ? ORDER BY "
                       "timestamp DESC LIMIT 1000;",
                       -1, &select, nullptr);
    std::vector<std::pair<int64_t, double>> rows;
    const double bare = medianMicros(101, [&] {
        rows.clear();
        sqlite3_bind_int64(select, 1, static_cast<sqlite3_int64>(hashes[3]));
        while (sqlite3_step(select) == SQLITE_ROW) {
            rows.emplace_back(sqlite3_column_int64(select, 0), sqlite3_column_double(select, 1));
        }
        sqlite3_reset(select);
    });
    sqlite3_finalize(select);

    sqlite3_prepare_v2(db,
                       "SELECT data.timestamp, data.value FROM data WHERE data.channelHash = ( "
                       "SELECT hash FROM channel WHERE channel.path = ? ) ORDER BY data.timestamp "
                       "DESC LIMIT 1000;",
                       -1, &select, nullptr);
    const double equal = medianMicros(101, [&] {
        rows.clear();
        sqlite3_bind_text(select, 1, path.c_str(), -1, SQLITE_STATIC);
        while (sqlite3_step(select) == SQLITE_ROW) {
            rows.emplace_back(sqlite3_column_int64(select, 0), sqlite3_column_double(select, 1));
        }
        sqlite3_reset(select);
    });
    sqlite3_finalize(select);

    // The plan of the statement getData runs for "the newest n points".
    sqlite3_stmt* plan = nullptr;
    sqlite3_prepare_v2(db,
                       "EXPLAIN QUERY PLAN SELECT data.timestamp, data.value FROM data WHERE "
                       "data.channelHash IN ( SELECT hash FROM channel WHERE channel.path = ? ) "
                       "ORDER BY data.timestamp DESC LIMIT 1000;",
                       -1, &plan, nullptr);
    sqlite3_bind_text(plan, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    std::string steps;
    while (sqlite3_step(plan) == SQLITE_ROW) {
        if (!steps.empty()) steps += "; ";
        steps += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
    }
    sqlite3_finalize(plan);
    sqlite3_close(db);
    storage.finalize();
    std::printf("%.0f %.0f %.0f %s\n", ours, bare, equal, steps.c_str());
    return 0;
}
