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

// Each statement is its own short read transaction, so the daemon's checkpoints never wait
// for more than one channel's count.
int64_t rowCount(const CtlDatabase& database, int64_t hash) {
    auto statement = prepareRead(database, "SELECT count(*) FROM data WHERE channelHash = ?");
    sqlite3_bind_int64(statement.get(), 1, hash);
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        throw std::runtime_error(shown(database.path) + ": " +
                                 sqlite3_errmsg(database.connection.get()));
    }
    return sqlite3_column_int64(statement.get(), 0);
}

// "value  time" of the newest row, or "-" twice when there is none.
std::pair<std::string, std::string> newest(const CtlDatabase& database, int64_t hash) {
    auto statement = prepareRead(database,
                                 "SELECT timestamp, value FROM data WHERE channelHash = ? "
                                 "ORDER BY timestamp DESC LIMIT 1");
    sqlite3_bind_int64(statement.get(), 1, hash);
    const int code = sqlite3_step(statement.get());
    if (code == SQLITE_DONE) return {"-", "-"};
    if (code != SQLITE_ROW) {
        throw std::runtime_error(shown(database.path) + ": " +
                                 sqlite3_errmsg(database.connection.get()));
    }
    std::ostringstream value;
    value << std::setprecision(12) << storedValue(statement.get(), 1);
    return {value.str(), utcText(sqlite3_column_int64(statement.get(), 0))};
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

int listChannels(const std::string& storageConfig, const std::string& glob, bool latest) {
    bool complete = true;
    std::vector<Row> rows;
    try {
        for (const auto& database : openDatabases(storageConfig, complete)) {
            for (const auto& channel : readChannels(database, glob)) {
                if (latest) {
                    const auto [value, time] = newest(database, channel.hash);
                    rows.push_back(
                        {shown(channel.path), value, shown(channel.unit), time, channel.storage});
                } else {
                    rows.push_back({shown(channel.path), shown(channel.unit), channel.storage,
                                    std::to_string(rowCount(database, channel.hash)),
                                    shown(channel.description)});
                }
            }
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
    auto storage = std::make_shared<std::string>(kStorageConfigPath);
    command->add_option("glob", *glob, "shell pattern for channel paths, such as 'magnet/*'");
    command->add_option("--storage", *storage, "storage configuration naming the databases")
        ->capture_default_str();
    command->callback(
        [glob, storage, latest, &status] { status = listChannels(*storage, *glob, latest); });
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
