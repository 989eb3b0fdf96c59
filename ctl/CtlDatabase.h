#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/DataLoggerTypes.h"
#include "storage/DataLoggerSQLiteHandles.h"

namespace quorix::pelmo::datalogger::ctl {

// One of the daemon's databases, opened read-only beside the running daemon (the write-ahead
// log keeps readers and the writer apart). Move-only through its connection.
struct CtlDatabase {
    std::string path;
    DataLoggerStorageType storage;
    SQLiteConnection connection;
};

// A channel row as the tools show it.
struct CtlChannel {
    int64_t hash = 0;
    std::string path;
    std::string unit;
    std::string storage;
    std::string description;
};

// Both databases named by the storage configuration, non-volatile first. One that cannot be
// opened is reported on standard error and left out; `complete` then turns false. Throws
// std::runtime_error when the configuration is refused.
std::vector<CtlDatabase> openDatabases(const std::string& storageConfig, bool& complete);

// The channels of one database whose path matches the shell pattern (every one when empty).
std::vector<CtlChannel> readChannels(const CtlDatabase& database, const std::string& glob);

// A prepared statement on a read-only connection; throws std::runtime_error with SQLite's
// words when it cannot be prepared.
SQLiteStatementHandle prepareRead(const CtlDatabase& database, const std::string& sql);

// "2026-12-06T18:50:00.123456Z" for microseconds since the epoch, any of them.
std::string utcText(int64_t microseconds);

// ISO 8601 UTC ("2026-12-06T18:50:00Z", fraction and "Z" optional, or a date alone), "now",
// or a time relative to now ("-1h", "-30m", "-90s", "-2d"); microseconds since the epoch.
std::optional<int64_t> parseTime(const std::string& text);

}  // namespace quorix::pelmo::datalogger::ctl
