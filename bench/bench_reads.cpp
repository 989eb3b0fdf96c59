// Usage: bench_reads FILE ROWS
//        bench_reads --rare FILE ROWS
//        bench_reads --select FILE HASH
// Builds FILE with ROWS data rows (kept afterwards: scripts/bench starts the daemon on it), opens
// it as the daemon does (the start-up analyses the filled tables), then times the newest 1000
// points of one channel through getData against a bare SELECT of the same rows, medians of 101.
// Prints one line: <getData µs> <bare µs> <getData's query plan>
//
// Without --rare the rows are spread over 10 channels and the bare SELECT names the hash. With
// --rare one busy channel holds all rows but about 3000, spread evenly through time, which
// belong to a rare channel; getData reads the rare one, the bare SELECT is getData's own
// statement on a bare connection.
// With --select, FILE is a database in use (the daemon's): prints the median µs of the bare
// SELECT of the newest 1000 rows of the channel HASH, read-only beside the daemon.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "platform/Logger.h"

using namespace datalogger::bench;

namespace {

constexpr int kRuns = 101;
constexpr long long kRareRows = 3000;

// getData's statement for "the newest n points", with n fixed.
constexpr const char* kGetDataStatement =
    "SELECT data.timestamp, data.value FROM data WHERE data.channelHash = ( SELECT hash FROM "
    "channel WHERE channel.path = ? ) ORDER BY data.timestamp DESC LIMIT 1000;";
constexpr const char* kByHashStatement =
    "SELECT timestamp, value FROM data WHERE channelHash = ? ORDER BY timestamp DESC LIMIT 1000;";

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

// Steps sql with the text parameter 1 bound to path, or the integer hash if path is empty.
double bareMicros(sqlite3* db, const char* sql, const std::string& path, uint64_t hash = 0) {
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &select, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "bench_reads: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
    std::vector<std::pair<int64_t, double>> rows;
    const double micros = medianMicros(kRuns, [&] {
        rows.clear();
        if (path.empty()) {
            sqlite3_bind_int64(select, 1, static_cast<sqlite3_int64>(hash));
        } else {
            sqlite3_bind_text(select, 1, path.c_str(), -1, SQLITE_STATIC);
        }
        while (sqlite3_step(select) == SQLITE_ROW) {
            rows.emplace_back(sqlite3_column_int64(select, 0), sqlite3_column_double(select, 1));
        }
        sqlite3_reset(select);
    });
    sqlite3_finalize(select);
    if (rows.size() != 1000) {
        std::fprintf(stderr, "bench_reads: %zu rows read instead of 1000\n", rows.size());
        std::exit(1);
    }
    return micros;
}

std::string queryPlan(sqlite3* db, const std::string& path) {
    sqlite3_stmt* plan = nullptr;
    sqlite3_prepare_v2(db, (std::string("EXPLAIN QUERY PLAN ") + kGetDataStatement).c_str(), -1,
                       &plan, nullptr);
    sqlite3_bind_text(plan, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    std::string steps;
    while (sqlite3_step(plan) == SQLITE_ROW) {
        if (!steps.empty()) steps += "; ";
        steps += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
    }
    sqlite3_finalize(plan);
    return steps;
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
        std::printf("%.0f\n",
                    bareMicros(db, kByHashStatement, "", std::strtoull(argv[3], nullptr, 10)));
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
    openBenchStorage(file, channels)->finalize();
    fillRows(file, hashes, total);

    qd::DataLoggerStorageSQLite storage(DATALOGGER_SCRIPTS_DIR, 1048576, kBenchDbSize, nullptr);
    storage.initializeStorage(kBenchDbSize, file, false);
    const std::string path = channels[read].channelInfo().mPath;
    const double ours = getDataMicros(storage, path);

    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    const double bare = rare ? bareMicros(db, kGetDataStatement, path)
                             : bareMicros(db, kByHashStatement, "", channels[read].channelHash());
    std::printf("%.0f %.0f %s\n", ours, bare, queryPlan(db, path).c_str());
    sqlite3_close(db);
    storage.finalize();
    return 0;
}
