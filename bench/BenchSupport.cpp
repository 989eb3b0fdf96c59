#include "BenchSupport.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/DataLoggerHash.h"

namespace datalogger::bench {

namespace {
[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}
}  // namespace

qd::DataLoggerStorageChannelInfo benchChannel(const std::string& path,
                                              qd::DataLoggerStorageType type) {
    auto info = qd::DataLoggerChannelInfo::withDefaults(
        path, qd::DataLoggerUnit::Volt, qd::DataLoggerStats(type, 0), type, "benchmark");
    const uint64_t hash = qd::DataLoggerHash().compute(info);
    return qd::DataLoggerStorageChannelInfo(info, hash);
}

void removeDatabaseFiles(const std::string& file) {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(file + suffix, ignored);
    }
}

std::shared_ptr<qd::DataLoggerStorageSQLite> openBenchStorage(
    const std::string& file, const std::vector<qd::DataLoggerStorageChannelInfo>& channels) {
    removeDatabaseFiles(file);
    auto storage = std::make_shared<qd::DataLoggerStorageSQLite>(DATALOGGER_SCRIPTS_DIR, 1048576,
                                                                 kBenchDbSize, nullptr);
    if (storage->initializeStorage(kBenchDbSize, file, false) !=
        qd::DataLoggerStatusCode::NoError) {
        fail("cannot set up " + file);
    }
    for (const auto& channel : channels) {
        if (storage->registerOrUpdateChannel(channel) != qd::DataLoggerStatusCode::NoError) {
            fail("cannot register " + channel.channelInfo().mPath);
        }
    }
    return storage;
}

void fillRows(qd::DataLoggerStorageSQLite& storage, const std::vector<uint64_t>& hashes,
              int64_t rows) {
    // Batches the size of the daemon's writer queue, each channel's points in one item and in
    // time order, as the writer hands them over.
    constexpr int64_t kBatchRows = 100000;
    std::vector<qd::DataLoggerChannelPoint> items;
    std::vector<size_t> itemOf;  // per entry of hashes
    for (const uint64_t hash : hashes) {
        const auto known = std::find_if(items.begin(), items.end(),
                                        [hash](const auto& item) { return item.mHash == hash; });
        itemOf.push_back(static_cast<size_t>(known - items.begin()));
        if (known == items.end()) items.push_back({hash, {}});
    }
    std::vector<size_t> stored;
    for (int64_t first = 1; first <= rows; first += kBatchRows) {
        for (auto& item : items) item.mPoints.clear();
        const int64_t last = std::min(rows, first + kBatchRows - 1);
        for (int64_t i = first; i <= last; ++i) {
            items[itemOf[static_cast<size_t>(i) % hashes.size()]].mPoints.emplace_back(
                static_cast<double>(i), qd::fromMicros(i));
        }
        if (storage.setDataBatch(items, stored) != qd::DataLoggerStatusCode::NoError) {
            fail("cannot fill the database with " + std::to_string(rows) + " rows");
        }
    }
}

double medianMicros(int runs, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::atol(line.c_str() + length + 1);
        }
    }
    return -1;
}

double bareInsertLoop(const std::string& file, uint64_t hash, int rows, BareJournal journal) {
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    // The storage's connection settings, so both loops do the same work per row. The storage
    // checkpoints from its own commit hook at the length wal_autocheckpoint=127 gives.
    sqlite3_busy_timeout(db, 1000);
    const bool wal = journal == BareJournal::Wal;
    const char* settings = wal ? "PRAGMA foreign_keys = ON; PRAGMA journal_mode=WAL; "
                                 "PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=1048576; "
                                 "PRAGMA wal_autocheckpoint=127;"
                               : "PRAGMA foreign_keys = ON; PRAGMA journal_mode=DELETE; "
                                 "PRAGMA synchronous=FULL;";
    if (sqlite3_exec(db, settings, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(std::string("bare connection settings: ") + sqlite3_errmsg(db));
    }
    sqlite3_stmt* mode = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA journal_mode;", -1, &mode, nullptr);
    const bool switched =
        sqlite3_step(mode) == SQLITE_ROW &&
        std::string(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0))) ==
            (wal ? "wal" : "delete");
    sqlite3_finalize(mode);
    if (!switched) fail("bare loop: the journal mode could not be set on " + file);
    sqlite3_prepare_v3(db,
                       "INSERT INTO tail (channelHash, timestamp, value) VALUES($hash, "
                       "$timestamp, $value);",
                       -1, SQLITE_PREPARE_PERSISTENT, &insert, nullptr);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= rows; ++i) {
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(hash));
        sqlite3_bind_int64(insert, 2, i);
        sqlite3_bind_double(insert, 3, i);
        if (sqlite3_step(insert) != SQLITE_DONE)
            fail(std::string("bare insert: ") + sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    const double rate =
        rows / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return rate;
}

}  // namespace datalogger::bench
