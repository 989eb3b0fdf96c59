// datalogger-ctl export: the rows of the matching channels in a time range, as CSV or JSON.
//
// Streams beside the running daemon: rows are read in chunks, each chunk by one statement
// whose read transaction ends (statement reset) before the chunk is written out, so a slow
// consumer never holds a snapshot open, and a chunk also ends after kMaxReadTime, so the
// daemon's checkpoints never wait long for this reader. The next chunk resumes after the last
// time stamp written.
#include <sqlite3.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>

#include "ctl/CtlCommands.h"
#include "ctl/CtlDatabase.h"
#include "ctl/CtlSupport.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

constexpr int64_t kChunkRows = 10000;
// Well below the 100 ms a read transaction may last, leaving room for the statement's start.
constexpr std::chrono::milliseconds kMaxReadTime{50};

struct Point {
    int64_t timestamp;
    double value;  // NaN for a gap
};

std::string number(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string jsonString(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

class Writer {
public:
    explicit Writer(bool json) : mJson(json) {
        std::fputs(mJson ? "[" : "path,time_utc,timestamp_us,value,unit\n", stdout);
    }
    void channel(const CtlChannel& channel) {
        mPath = mJson ? jsonString(channel.path) : csvField(channel.path);
        mUnit = mJson ? jsonString(channel.unit) : csvField(channel.unit);
    }
    void write(const std::vector<Point>& points) {
        std::string text;
        for (const auto& point : points) {
            const std::string time = utcText(point.timestamp);
            const std::string stamp = std::to_string(point.timestamp);
            if (mJson) {
                const bool finite = std::isfinite(point.value);
                text += std::string(mRows++ ? ",\n" : "\n") + "{\"path\":" + mPath +
                        ",\"time_utc\":\"" + time + "\",\"timestamp_us\":" + stamp +
                        ",\"value\":" + (finite ? number(point.value) : "null") +
                        ",\"unit\":" + mUnit + "}";
            } else {
                text += mPath + "," + time + "," + stamp + "," +
                        (std::isnan(point.value) ? "" : number(point.value)) + "," + mUnit + "\n";
            }
        }
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    // False when standard output failed (full disk, closed pipe).
    bool finish() {
        if (mJson) std::fputs(mRows ? "\n]\n" : "]\n", stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout);
    }

private:
    bool mJson;
    size_t mRows = 0;
    std::string mPath;
    std::string mUnit;
};

// Every row of one channel in [from, to], in time order, chunk by chunk.
void exportChannel(const CtlDatabase& database, sqlite3_stmt* statement, const CtlChannel& channel,
                   int64_t from, int64_t to, Writer& writer) {
    writer.channel(channel);
    int64_t after = from;  // rows before it are written, and `skip` rows at it
    int64_t skip = 0;
    std::vector<Point> chunk;
    chunk.reserve(kChunkRows);
    for (;;) {
        chunk.clear();
        sqlite3_bind_int64(statement, 1, channel.hash);
        sqlite3_bind_int64(statement, 2, after);
        sqlite3_bind_int64(statement, 3, to);
        sqlite3_bind_int64(statement, 4, kChunkRows);
        sqlite3_bind_int64(statement, 5, skip);
        const auto start = std::chrono::steady_clock::now();
        bool cut = false;
        int code;
        while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
            chunk.push_back({sqlite3_column_int64(statement, 0), storedValue(statement, 1)});
            if (chunk.size() % 256 == 0 &&
                std::chrono::steady_clock::now() - start > kMaxReadTime) {
                cut = true;
                break;
            }
        }
        sqlite3_reset(statement);  // ends the read transaction before anything is written
        if (!cut && code != SQLITE_DONE) {
            throw std::runtime_error(shown(database.path) + ": " +
                                     sqlite3_errmsg(database.connection.get()));
        }
        if (chunk.empty()) return;
        writer.write(chunk);
        const int64_t last = chunk.back().timestamp;
        int64_t atLast = 0;
        for (auto it = chunk.rbegin(); it != chunk.rend() && it->timestamp == last; ++it) ++atLast;
        skip = last == after ? skip + atLast : atLast;
        after = last;
        if (!cut && static_cast<int64_t>(chunk.size()) < kChunkRows) return;
    }
}

int exportRows(const std::string& storageConfig, const std::string& glob, int64_t from, int64_t to,
               bool json) {
    bool complete = true;
    size_t channels = 0;
    try {
        auto databases = openDatabases(storageConfig, complete);
        Writer writer(json);
        for (const auto& database : databases) {
            auto statement = prepareRead(database,
                                         "SELECT timestamp, value FROM data WHERE channelHash = ?1 "
                                         "AND timestamp >= ?2 AND timestamp <= ?3 "
                                         "ORDER BY timestamp LIMIT ?4 OFFSET ?5");
            for (const auto& channel : readChannels(database, glob)) {
                ++channels;
                exportChannel(database, statement.get(), channel, from, to, writer);
            }
        }
        if (!writer.finish()) {
            std::cerr << "writing the export failed\n";
            return kFinding;
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return kFinding;
    }
    if (channels == 0) std::cerr << "no channel matches\n";
    return complete && channels != 0 ? kOk : kFinding;
}

}  // namespace

void addExportCommand(CLI::App& app, int& status) {
    auto* command = app.add_subcommand(
        "export",
        "Writes the stored values of the matching channels in a time range to "
        "standard output, as CSV (path,time_utc,timestamp_us,value,unit) or JSON.");
    auto glob = std::make_shared<std::string>();
    auto from = std::make_shared<std::string>();
    auto to = std::make_shared<std::string>();
    auto format = std::make_shared<std::string>("csv");
    auto storage = std::make_shared<std::string>(kStorageConfigPath);
    command->add_option("glob", *glob, "shell pattern for channel paths, such as 'magnet/*'")
        ->required();
    const char* timeHelp =
        "ISO 8601 UTC time (2026-12-06T18:00:00Z) or relative to now (-1h, -30m, -90s, -2d)";
    command->add_option("--from", *from, timeHelp);
    command->add_option("--to", *to, timeHelp);
    command->add_option("--format", *format, "csv or json")
        ->check(CLI::IsMember({"csv", "json"}))
        ->capture_default_str();
    command->add_option("--storage", *storage, "storage configuration naming the databases")
        ->capture_default_str();
    command->callback([=, &status] {
        int64_t range[2] = {std::numeric_limits<int64_t>::min(),
                            std::numeric_limits<int64_t>::max()};
        for (int i = 0; i < 2; ++i) {
            const std::string& text = i == 0 ? *from : *to;
            if (text.empty()) continue;
            const auto time = parseTime(text);
            if (!time) {
                std::cerr << (i == 0 ? "--from" : "--to") << ": \"" << shown(text)
                          << "\" is neither an ISO 8601 UTC time nor a relative time like -1h\n";
                status = kUsage;
                return;
            }
            range[i] = *time;
        }
        if (range[0] > range[1]) {
            std::cerr << "--from \"" << shown(*from) << "\" is later than --to \"" << shown(*to)
                      << "\"\n";
            status = kUsage;
            return;
        }
        status = exportRows(*storage, *glob, range[0], range[1], *format == "json");
    });
}

}  // namespace quorix::pelmo::datalogger::ctl
