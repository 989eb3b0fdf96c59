// Usage: bench_reads FILE ROWS
//        bench_reads --rare FILE ROWS
// Builds FILE with ROWS data rows (kept afterwards: scripts/bench starts the daemon on it), opens
// it as the daemon does (the start-up analyses the filled tables), then times the newest 1000
// points of one channel through getData against bare SELECTs of the same rows, medians of 101.
//
// Without --rare the rows are spread over 10 channels; prints one line:
//   <getData µs> <bare by hash µs> <getData's statement with "=" for "IN" µs> <query plan>
// With --rare one busy channel holds all rows but about 3000, spread evenly through time, which
// belong to a rare channel; getData reads the rare one. Prints:
//   <getData µs> <bare "=" statement µs> <getData's statement, bare µs> <query plan>
//
// The plan is that of getData's statement. getData names the channel by
// "channelHash IN (SELECT hash FROM channel WHERE path = ?)": SQLite searches the covering
// channel index (channelHash, timestamp, value) for the hash, but since an IN list may hold
// several hashes, it cannot take the index's order as the result's: it puts the rows into a
// temporary B-tree and sorts them, stopping each hash's rows once the LIMIT is reached. The "="
// statement reads the same index newest first and stops after 1000 rows, with no sort.
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

constexpr const char* kEqualStatement =
    "SELECT data.timestamp, data.value FROM data WHERE data.channelHash = ( SELECT hash FROM "
    "channel WHERE channel.path = ? ) ORDER BY data.timestamp DESC LIMIT 1000;";
// getData's statement for "the newest n points", with n fixed.
constexpr const char* kGetDataStatement =
    "SELECT data.timestamp, data.value FROM data WHERE data.channelHash IN ( SELECT hash FROM "
    "channel WHERE channel.path = ? ) ORDER BY data.timestamp DESC LIMIT 1000;";

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
    const bool rare = argc == 4 && std::string(argv[1]) == "--rare";
    if (argc != 3 && !rare) {
        std::fprintf(stderr, "usage: %s [--rare] FILE ROWS\n", argv[0]);
        return 2;
    }
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Warning);
    const std::string file = argv[rare ? 2 : 1];
    const long long total = std::atoll(argv[rare ? 3 : 2]);

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
    if (rare) {
        const double equal = bareMicros(db, kEqualStatement, path);
        const double in = bareMicros(db, kGetDataStatement, path);
        std::printf("%.0f %.0f %.0f %s\n", ours, equal, in, queryPlan(db, path).c_str());
    } else {
        const double bare =
            bareMicros(db,
                       "SELECT timestamp, value FROM data WHERE channelHash = ? ORDER BY "
                       "timestamp DESC LIMIT 1000;",
                       "", channels[read].channelHash());
        const double equal = bareMicros(db, kEqualStatement, path);
        std::printf("%.0f %.0f %.0f %s\n", ours, bare, equal, queryPlan(db, path).c_str());
    }
    sqlite3_close(db);
    storage.finalize();
    return 0;
}
