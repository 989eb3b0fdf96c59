#pragma once

// Helpers shared by the SQLite storage tests (unit and integration).

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/DataLoggerHash.h"
#include "core/DataLoggerTypes.h"
#include "storage/DataLoggerStorageSQLite.h"
#include "storage/DataLoggerStorageSQLiteInstance.h"
#include "support/test_support.h"

namespace datalogger::test {

using namespace quorix::pelmo::datalogger;

constexpr uint32_t kMinimumSize = 1048576;
constexpr uint32_t kMaximumSize = 64u * 1048576u;

inline std::string scriptsDir() {
    return sourceDir() + "/dbscripts/sqlite";
}

// A temporary directory in RAM when there is /dev/shm: row-by-row commits on a disk are
// sync-bound and would make the write-heavy tests slow for no gain.
class RamDir : public TempDir {
public:
    RamDir() : TempDir(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") {}
};

// A plain connection for looking at (or tampering with) a database behind the storage's back.
class RawDb {
public:
    explicit RawDb(const std::string& file) {
        DataLoggerStorageSQLiteInstance::get();  // library set-up must precede any connection
        if (sqlite3_open(file.c_str(), &mDb) != SQLITE_OK) throw std::runtime_error(file);
        sqlite3_busy_timeout(mDb, 5000);
    }
    ~RawDb() { sqlite3_close_v2(mDb); }

    void exec(const std::string& sql) {
        if (sqlite3_exec(mDb, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(mDb));
        }
    }
    // Every row's columns joined with '|'.
    std::vector<std::string> rows(const std::string& sql) {
        std::vector<std::string> out;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(mDb, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(mDb));
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = sqlite3_column_text(statement, i);
                row += (i > 0 ? "|" : "") +
                       std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
            out.push_back(row);
        }
        sqlite3_finalize(statement);
        return out;
    }
    int64_t scalar(const std::string& sql) { return std::stoll(rows(sql).at(0)); }

private:
    sqlite3* mDb = nullptr;
};

inline DataLoggerStorageChannelInfo channel(
    const std::string& path, DataLoggerStorageType type = DataLoggerStorageType::NonVolatile,
    DataLoggerUnit unit = DataLoggerUnit::Kelvin, const std::string& description = "d") {
    auto info = DataLoggerChannelInfo::withDefaults(path, unit, DataLoggerStats(type, 0), type,
                                                    description);
    const uint64_t hash = DataLoggerHash().compute(info);
    return DataLoggerStorageChannelInfo(std::move(info), hash);
}

// Bytes of a database file and its write-ahead log on disk.
inline uintmax_t sizeWithLog(const std::string& file) {
    std::error_code noLog;
    const uintmax_t log = std::filesystem::file_size(file + "-wal", noLog);
    return std::filesystem::file_size(file) + (noLog ? 0 : log);
}

inline TimePoint atMicros(int64_t micros) {
    return TimePoint(std::chrono::microseconds(micros));
}
inline int64_t micros(const DataLoggerDataPoint& p) {
    return std::chrono::duration_cast<std::chrono::microseconds>(p.timestamp().time_since_epoch())
        .count();
}
inline std::vector<int64_t> timestamps(const std::vector<DataLoggerDataPoint>& points) {
    std::vector<int64_t> out;
    for (const auto& p : points) out.push_back(micros(p));
    return out;
}

// The text of what `call` throws, or "no exception".
template <typename Call>
std::string thrown(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

inline std::shared_ptr<DataLoggerStorageSQLite> makeStorage(
    const std::string& scripts = scriptsDir(), std::function<void()> onFull = {}) {
    return std::make_shared<DataLoggerStorageSQLite>(scripts, kMinimumSize, kMaximumSize,
                                                     std::move(onFull));
}

}  // namespace datalogger::test
