#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/DataLoggerTypes.h"
#include "ctl/CtlSupport.h"
#include "storage/DataLoggerSQLiteHandles.h"
#include "storage/PointStore.h"

namespace quorix::pelmo::datalogger::ctl {

// One of the daemon's databases, opened read-only beside the running daemon (the write-ahead
// log keeps readers and the writer apart). Move-only through its connection.
struct CtlDatabase {
    std::string path;
    SQLiteConnection connection;
    // On `connection`, so declared after it: destroyed first.
    std::unique_ptr<PointStore> points;
};

// A channel row as the tools show it.
struct CtlChannel {
    int64_t hash = 0;
    std::string path;
    std::string unit;
    std::string storage;
    std::string description;
};

// The logger PointStore reports SQLite failures to (standard error); the commands still say
// themselves what failed.
const log::Logger& ctlLogger();

// Where a command reads points: the databases a storage configuration names, or database
// files named one by one (copies taken away from a controller, such as the device log's).
struct CtlSource {
    std::string storageConfig = kStorageConfigPath;
    std::vector<std::string> files;
};

// Adds --storage and --database, which exclude each other, to a command that reads points.
void addSourceOptions(CLI::App& command, CtlSource& source);

// The files of `source`, or else both databases its storage configuration names, non-volatile
// first. One that cannot be opened is reported on standard error and left out; `complete` then
// turns false. Throws std::runtime_error when the configuration is refused.
std::vector<CtlDatabase> openDatabases(const CtlSource& source, bool& complete);

// The channels of one database whose path matches the shell pattern (every one when empty).
std::vector<CtlChannel> readChannels(const CtlDatabase& database, const std::string& glob);

// Runs `read` inside one read transaction in which the open blocks have just been rebuilt from
// the tail. The daemon may close blocks and trim the tail between two transactions, so open
// blocks loaded in an earlier one could show points twice or not at all. Throws
// std::runtime_error naming the file when the database cannot be read.
void readPoints(const CtlDatabase& database, const std::function<void(PointStore&)>& read);

// Each channel's number of points, by hash, in the current read transaction; channels without a
// point are missing.
std::map<int64_t, int64_t> pointCounts(const CtlDatabase& database);

// A prepared statement on a read-only connection; throws std::runtime_error with SQLite's
// words when it cannot be prepared.
SQLiteStatementHandle prepareRead(const CtlDatabase& database, const std::string& sql);

// "2026-12-06T18:50:00.123456Z" for microseconds since the epoch, any of them.
std::string utcText(int64_t microseconds);

// ISO 8601 UTC ("2026-12-06T18:50:00Z", fraction and "Z" optional, or a date alone), "now",
// or a time relative to now ("-1h", "-30m", "-90s", "-2d"); microseconds since the epoch.
std::optional<int64_t> parseTime(const std::string& text);

}  // namespace quorix::pelmo::datalogger::ctl
