// datalogger-ctl export: the points of the matching channels in a time range, as CSV or JSON.
//
// Streams beside the running daemon: points are read in chunks of at most kChunkPoints, each in
// its own read transaction that ends before the chunk is written out, so a slow consumer never
// holds a snapshot open and memory stays bounded. The next chunk resumes after the last point
// written: reads return points sharing a time stamp in arrival order, so the points at the last
// time stamp that were written already are the first ones read again.
#include <sqlite3.h>

#include <charconv>
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

constexpr uint32_t kChunkPoints = 10000;

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

// Every point of one channel in [from, to], in time order, chunk by chunk.
void exportChannel(const CtlDatabase& database, const CtlChannel& channel, int64_t from, int64_t to,
                   Writer& writer) {
    writer.channel(channel);
    int64_t at = from;  // points before it are written, and `skip` points at it
    uint32_t skip = 0;
    std::vector<DataLoggerDataPoint> read;
    std::vector<Point> chunk;
    chunk.reserve(kChunkPoints);
    for (;;) {
        read.clear();
        chunk.clear();
        // Reads take the points after a time; none is stored at the lowest one, so it needs no
        // step back (which would overflow).
        const int64_t after = at == PointStore::kNoBound ? at : at - 1;
        readPoints(database, [&](PointStore& points) {
            if (points.read(static_cast<uint64_t>(channel.hash), after, 0, kChunkPoints + skip,
                            read) != SQLITE_OK) {
                throw std::runtime_error(shown(database.path) + ": " +
                                         sqlite3_errmsg(database.connection.get()));
            }
        });
        bool end = read.size() < kChunkPoints + skip;
        for (size_t i = skip; i < read.size(); ++i) {
            const int64_t time = toMicros(read[i].timestamp());
            if (time > to) {
                end = true;
                break;
            }
            chunk.push_back({time, read[i].value()});
        }
        if (!chunk.empty()) {
            writer.write(chunk);
            const int64_t last = chunk.back().timestamp;
            uint32_t atLast = 0;
            for (auto it = chunk.rbegin(); it != chunk.rend() && it->timestamp == last; ++it)
                ++atLast;
            skip = last == at ? skip + atLast : atLast;
            at = last;
        }
        if (end || chunk.empty()) return;
    }
}

int exportRows(const CtlSource& source, const std::string& glob, int64_t from, int64_t to,
               bool json) {
    bool complete = true;
    size_t channels = 0;
    try {
        auto databases = openDatabases(source, complete);
        Writer writer(json);
        for (const auto& database : databases) {
            for (const auto& channel : readChannels(database, glob)) {
                ++channels;
                exportChannel(database, channel, from, to, writer);
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
    auto source = std::make_shared<CtlSource>();
    command->add_option("glob", *glob, "shell pattern for channel paths, such as 'magnet/*'")
        ->required();
    const char* timeHelp =
        "ISO 8601 UTC time (2026-12-06T18:00:00Z) or relative to now (-1h, -30m, -90s, -2d)";
    command->add_option("--from", *from, timeHelp);
    command->add_option("--to", *to, timeHelp);
    command->add_option("--format", *format, "csv or json")
        ->check(CLI::IsMember({"csv", "json"}))
        ->capture_default_str();
    addSourceOptions(*command, *source);
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
        status = exportRows(*source, *glob, range[0], range[1], *format == "json");
    });
}

}  // namespace quorix::pelmo::datalogger::ctl
