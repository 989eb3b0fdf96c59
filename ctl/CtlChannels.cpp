// datalogger-ctl channels / latest: what both databases hold, read beside the running daemon.
#include <sqlite3.h>

#include <iomanip>
#include <iostream>
#include <sstream>

#include "ctl/CtlCommands.h"
#include "ctl/CtlDatabase.h"
#include "ctl/CtlSupport.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

using Row = std::vector<std::string>;

// "value  time" of the newest point, or "-" twice when there is none.
std::pair<std::string, std::string> newest(PointStore& points, const CtlDatabase& database,
                                           int64_t hash) {
    std::vector<DataLoggerDataPoint> last;
    if (points.read(static_cast<uint64_t>(hash), PointStore::kNoBound, 1, 0, last) != SQLITE_OK) {
        throw std::runtime_error(shown(database.path) + ": " +
                                 sqlite3_errmsg(database.connection.get()));
    }
    if (last.empty()) return {"-", "-"};
    std::ostringstream value;
    value << std::setprecision(12) << last.back().value();
    return {value.str(), utcText(toMicros(last.back().timestamp()))};
}

// Columns padded to their widest cell; the last column is left ragged.
void printTable(const Row& header, const std::vector<Row>& rows) {
    std::vector<size_t> widths(header.size());
    for (size_t i = 0; i < header.size(); ++i) widths[i] = header[i].size();
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    auto print = [&](const Row& row) {
        for (size_t i = 0; i < row.size(); ++i) {
            std::cout << row[i];
            if (i + 1 < row.size()) std::cout << std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::cout << "\n";
    };
    print(header);
    for (const auto& row : rows) print(row);
}

int listChannels(const CtlSource& source, const std::string& glob, bool latest) {
    bool complete = true;
    std::vector<Row> rows;
    try {
        for (const auto& database : openDatabases(source, complete)) {
            // One read transaction per database: its open blocks are read once for all channels.
            readPoints(database, [&](PointStore& points) {
                const auto counts = latest ? std::map<int64_t, int64_t>() : pointCounts(database);
                for (const auto& channel : readChannels(database, glob)) {
                    if (latest) {
                        const auto [value, time] = newest(points, database, channel.hash);
                        rows.push_back({shown(channel.path), value, shown(channel.unit), time,
                                        channel.storage});
                    } else {
                        const auto count = counts.find(channel.hash);
                        rows.push_back({shown(channel.path), shown(channel.unit), channel.storage,
                                        std::to_string(count == counts.end() ? 0 : count->second),
                                        shown(channel.description)});
                    }
                }
            });
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return kFinding;
    }
    if (latest) {
        printTable({"PATH", "VALUE", "UNIT", "TIME_UTC", "STORAGE"}, rows);
    } else {
        printTable({"PATH", "UNIT", "STORAGE", "ROWS", "DESCRIPTION"}, rows);
    }
    if (rows.empty()) std::cerr << "no channel matches\n";
    return complete && !rows.empty() ? kOk : kFinding;
}

void addListCommand(CLI::App& app, int& status, const char* name, const char* help, bool latest) {
    auto* command = app.add_subcommand(name, help);
    auto glob = std::make_shared<std::string>();
    auto source = std::make_shared<CtlSource>();
    command->add_option("glob", *glob, "shell pattern for channel paths, such as 'magnet/*'");
    addSourceOptions(*command, *source);
    command->callback(
        [glob, source, latest, &status] { status = listChannels(*source, *glob, latest); });
}

}  // namespace

void addChannelsCommands(CLI::App& app, int& status) {
    addListCommand(app, status, "channels",
                   "Lists the channels of both databases: path, unit, storage, rows, description.",
                   false);
    addListCommand(app, status, "latest", "Shows each channel's newest value with its UTC time.",
                   true);
}

}  // namespace quorix::pelmo::datalogger::ctl
