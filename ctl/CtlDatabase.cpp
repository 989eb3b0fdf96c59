#include "ctl/CtlDatabase.h"

#include <fnmatch.h>
#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <stdexcept>

#include "core/DataLoggerChannelColumns.h"
#include "core/DataLoggerNames.h"
#include "ctl/CtlSupport.h"
#include "platform/TimeUtils.h"
#include "storage/DataLoggerSQLiteQuery.h"
#include "storage/DataLoggerStorageConfig.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

// Long enough to ride out a checkpoint, short enough that a stuck reader is noticed.
constexpr int kBusyTimeoutMs = 1000;

// Empty when the database holds its points in blocks, else why it cannot be read.
std::string formatProblem(sqlite3* db) {
    SQLiteStatementHandle statement;
    int code = SQLiteStatementHandle::prepare(
        db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'block'", 0,
        statement);
    if (code == SQLITE_OK) code = sqlite3_step(statement.get());
    if (code != SQLITE_ROW) return std::string("cannot read: ") + sqlite3_errmsg(db);
    if (sqlite3_column_int64(statement.get(), 0) == 0) {
        return "holds points in the format before blocks (schema version 4 or older), which this "
               "tool does not read; the daemon converts it when it starts";
    }
    return {};
}

// A hostile or newer database may hold ids this build has no name for.
template <typename T>
std::string nameOf(int64_t id) {
    try {
        return utils::EnumUtils<T>().to_string(static_cast<T>(id));
    } catch (const std::exception&) {
        return "#" + std::to_string(id);
    }
}

}  // namespace

const log::Logger& ctlLogger() {
    static const log::Logger logger("datalogger-ctl", "", std::make_shared<log::LoggerImpl>());
    return logger;
}

void addSourceOptions(CLI::App& command, CtlSource& source) {
    auto* storage = command
                        .add_option("--storage", source.storageConfig,
                                    "storage configuration naming the databases")
                        ->capture_default_str();
    command
        .add_option("--database", source.files,
                    "a database file to read instead, such as a copy from a device log; may be "
                    "given more than once")
        ->excludes(storage);
}

std::vector<CtlDatabase> openDatabases(const CtlSource& source, bool& complete) {
    std::vector<std::string> files = source.files;
    if (files.empty()) {
        const DataLoggerStorageConfigFile file(source.storageConfig);
        if (!file.isValid()) {
            // The JSON reader names the file itself; the reader's own checks do not.
            const std::string error = errorLine(file.getErrors());
            const std::string& name = source.storageConfig;
            const bool named = error.compare(0, name.size() + 1, name + ":") == 0;
            throw std::runtime_error(named ? shown(error) : shown(name) + ": " + shown(error));
        }
        const auto config = file.getConfig();
        files = {config->getNonVolatilePath(), config->getVolatilePath()};
    }
    std::vector<CtlDatabase> databases;
    complete = true;
    for (const auto& path : files) {
        CtlDatabase database{path, SQLiteConnection(), nullptr};
        const int code = database.connection.open(path, SQLITE_OPEN_READONLY);
        if (code != SQLITE_OK) {
            std::cerr << shown(path) << ": cannot open: " << sqlite3_errstr(code) << "\n";
            complete = false;
            continue;
        }
        sqlite3_busy_timeout(database.connection.get(), kBusyTimeoutMs);
        const std::string problem = formatProblem(database.connection.get());
        if (!problem.empty()) {
            std::cerr << shown(path) << ": " << problem << "\n";
            complete = false;
            continue;
        }
        database.points = std::make_unique<PointStore>(database.connection.get(), ctlLogger());
        databases.push_back(std::move(database));
    }
    return databases;
}

SQLiteStatementHandle prepareRead(const CtlDatabase& database, const std::string& sql) {
    SQLiteStatementHandle statement;
    if (SQLiteStatementHandle::prepare(database.connection.get(), sql, 0, statement) != SQLITE_OK) {
        throw std::runtime_error(shown(database.path) + ": " +
                                 sqlite3_errmsg(database.connection.get()));
    }
    return statement;
}

void readPoints(const CtlDatabase& database, const std::function<void(PointStore&)>& read) {
    sqlite3* db = database.connection.get();
    const auto fail = [&database, db] {
        return std::runtime_error(shown(database.path) + ": " + sqlite3_errmsg(db));
    };
    if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) throw fail();
    try {
        if (database.points->load() != SQLITE_OK) throw fail();
        read(*database.points);
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) throw fail();
}

std::map<int64_t, int64_t> pointCounts(const CtlDatabase& database) {
    // A channel's open points are its tail rows beyond the newest row its blocks hold, as
    // PointStore::load counts them; the tail has no index, so it is read once for all channels.
    auto statement =
        prepareRead(database,
                    "WITH closed AS (SELECT channelHash, sum(count) AS points, max(lastSeq) AS seq "
                    "FROM block GROUP BY channelHash) "
                    "SELECT channelHash, sum(points) FROM (SELECT channelHash, points FROM closed "
                    "UNION ALL SELECT t.channelHash, count(*) AS points FROM tail t "
                    "LEFT JOIN closed c ON c.channelHash = t.channelHash "
                    "WHERE t.seq > ifnull(c.seq, 0) GROUP BY t.channelHash) GROUP BY channelHash");
    std::map<int64_t, int64_t> counts;
    int code;
    while ((code = sqlite3_step(statement.get())) == SQLITE_ROW) {
        counts[sqlite3_column_int64(statement.get(), 0)] = sqlite3_column_int64(statement.get(), 1);
    }
    if (code != SQLITE_DONE) {
        throw std::runtime_error(shown(database.path) + ": " +
                                 sqlite3_errmsg(database.connection.get()));
    }
    return counts;
}

std::vector<CtlChannel> readChannels(const CtlDatabase& database, const std::string& glob) {
    auto statement = prepareRead(database, "SELECT * FROM channel ORDER BY path");
    sqlite3_stmt* row = statement.get();
    std::vector<CtlChannel> channels;
    int code;
    while ((code = sqlite3_step(row)) == SQLITE_ROW) {
        const DataLoggerChannelInfo info =
            channelInfoFromRow([row](int position, DataLoggerColumnType type) {
                return columnValue(row, position, type);
            });
        if (!glob.empty() && fnmatch(glob.c_str(), info.mPath.c_str(), 0) != 0) continue;
        channels.push_back({sqlite3_column_int64(row, 0), info.mPath,
                            nameOf<DataLoggerUnit>(static_cast<int64_t>(info.mUnit)),
                            nameOf<DataLoggerStorageType>(static_cast<int64_t>(info.mStorageType)),
                            info.mDescription});
    }
    if (code != SQLITE_DONE) {
        throw std::runtime_error(shown(database.path) + ": " +
                                 sqlite3_errmsg(database.connection.get()));
    }
    return channels;
}

std::string utcText(int64_t microseconds) {
    return utils::toUtcString(std::chrono::microseconds(microseconds));
}

std::optional<int64_t> parseTime(const std::string& text) {
    const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    if (text == "now") return now;
    if (!text.empty() && text[0] == '-') {
        static const std::pair<char, int64_t> units[] = {
            {'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
        size_t used = 0;
        long long amount = 0;
        try {
            amount = std::stoll(text.substr(1), &used);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        if (amount < 0 || used + 2 != text.size()) return std::nullopt;
        for (const auto& [unit, seconds] : units) {
            // 100 years at most, so that the product cannot overflow.
            if (text.back() == unit && amount <= 3650000LL * 86400 / seconds) {
                return now - amount * seconds * 1000000;
            }
        }
        return std::nullopt;
    }
    std::tm parts{};
    int consumed = 0;
    const char* p = text.c_str();
    if (std::sscanf(p, "%4d-%2d-%2d%n", &parts.tm_year, &parts.tm_mon, &parts.tm_mday, &consumed) !=
            3 ||
        consumed != 10) {
        return std::nullopt;
    }
    p += consumed;
    int64_t fraction = 0;
    if (*p == 'T' || *p == ' ') {
        consumed = 0;
        if (std::sscanf(p + 1, "%2d:%2d:%2d%n", &parts.tm_hour, &parts.tm_min, &parts.tm_sec,
                        &consumed) != 3 ||
            consumed != 8) {
            return std::nullopt;
        }
        p += 1 + consumed;
        if (*p == '.') {
            int64_t scale = 100000;
            for (++p; *p >= '0' && *p <= '9'; ++p, scale /= 10) fraction += (*p - '0') * scale;
        }
        if (*p == 'Z') ++p;
    }
    if (*p != '\0' || parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 ||
        parts.tm_mday > 31 || parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 60) {
        return std::nullopt;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const std::time_t seconds = timegm(&parts);
    return static_cast<int64_t>(seconds) * 1000000 + fraction;
}

}  // namespace quorix::pelmo::datalogger::ctl
