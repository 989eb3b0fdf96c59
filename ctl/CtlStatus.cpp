// datalogger-ctl status: the running daemon's health, read through getStatus on the bus.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "ctl/CtlBus.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlDatabase.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

using nlohmann::json;

// The answer comes from another process: every field is looked up, never assumed.
std::optional<int64_t> integer(const json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<int64_t>();
}

// Control characters could drive the engineer's terminal.
std::string text(const json& object, const char* key) {
    if (!object.is_object()) return {};
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return {};
    std::string value = it->get<std::string>();
    for (char& c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return value;
}

const json& member(const json& object, const char* key) {
    static const json kNone;
    if (!object.is_object()) return kNone;
    const auto it = object.find(key);
    return it == object.end() ? kNone : *it;
}

std::string count(const json& object, const char* key) {
    const auto value = integer(object, key);
    return value ? std::to_string(*value) : "?";
}

std::string duration(int64_t seconds) {
    char out[64];
    if (seconds >= 86400) {
        std::snprintf(
            out, sizeof out, "%lld d %02lld h %02lld min", static_cast<long long>(seconds / 86400),
            static_cast<long long>(seconds / 3600 % 24), static_cast<long long>(seconds / 60 % 60));
    } else {
        std::snprintf(
            out, sizeof out, "%lld h %02lld min %02lld s", static_cast<long long>(seconds / 3600),
            static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    }
    return out;
}

std::string mebibytes(int64_t bytes) {
    char out[32];
    std::snprintf(out, sizeof out, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    return out;
}

void printDatabase(const json& database) {
    std::cout << "database " << text(database, "name") << ": " << text(database, "path") << '\n';
    const auto file = integer(database, "fileBytes");
    const auto limit = integer(database, "sizeLimitBytes");
    std::cout << "  size:        " << (file ? mebibytes(*file) : "?") << " of "
              << (limit ? mebibytes(*limit) : "?");
    if (file && limit && *limit > 0) std::cout << " (" << *file * 100 / *limit << " %)";
    std::cout << '\n';
    const auto rows = integer(database, "rows");
    std::cout << "  rows:        " << count(database, "rows");
    const auto oldest = integer(database, "oldestUs");
    const auto newest = integer(database, "newestUs");
    if (oldest && newest) std::cout << ", " << utcText(*oldest) << " to " << utcText(*newest);
    std::cout << '\n';
    // What a point costs of the file, open blocks, free pages and the write-ahead log included.
    if (file && rows && *rows > 0) {
        char perPoint[32];
        std::snprintf(perPoint, sizeof perPoint, "%.1f", static_cast<double>(*file) / *rows);
        std::cout << "  per point:   " << perPoint << " bytes\n";
    }
    const std::string error = text(database, "lastError");
    std::cout << "  last error:  " << (error.empty() ? "none" : error) << '\n';
}

void printReadable(const json& status) {
    const auto uptime = integer(status, "uptimeSeconds");
    std::cout << "datalogger " << text(status, "version") << ", up "
              << (uptime ? duration(*uptime) : "?") << '\n';
    const json& queue = member(status, "queue");
    std::cout << "queue:         " << count(queue, "points") << " of " << count(queue, "bound")
              << " points\n";
    const json& points = member(status, "points");
    std::cout << "points:        accepted " << count(points, "accepted") << ", stored "
              << count(points, "stored") << ", refused " << count(points, "refused") << ", dropped "
              << count(points, "dropped") << " since start\n";
    std::cout << "channels:      " << count(status, "channels") << " registered\n";
    const auto interval = integer(status, "commitIntervalMs");
    if (interval) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g s", static_cast<double>(*interval) / 1000);
        std::cout << "commit:        every " << seconds << " at most\n";
    }
    const json& poll = member(status, "pollFiles");
    std::cout << "poll files:    " << count(poll, "loaded") << " loaded, " << count(poll, "refused")
              << " refused\n";
    const json& clock = member(status, "clockTrusted");
    std::cout << "clock:         "
              << (clock.is_boolean() ? (clock.get<bool>() ? "trusted" : "not trusted") : "?")
              << '\n';
    const json& databases = member(status, "databases");
    if (databases.is_array()) {
        for (const auto& database : databases) printDatabase(database);
    }
}

int runStatus(bool asJson) {
    std::string answer;
    try {
        const auto reply = systemBus()->call_sync(
            kDaemonObjectPath, kDaemonInterface, "getStatus", Glib::VariantContainerBase(),
            kDaemonBusName, kCallTimeoutMs, Gio::DBus::CALL_FLAGS_NONE, Glib::VariantType("(s)"));
        Glib::Variant<Glib::ustring> child;
        reply.get_child(child, 0);
        answer = child.get().raw();
    } catch (const Glib::Error& e) {
        std::cerr << "datalogger-ctl status: " << describeBusError(e) << '\n';
        return kFinding;
    }
    const json status = json::parse(answer, nullptr, false);
    if (status.is_discarded() || !status.is_object()) {
        std::cerr << "datalogger-ctl status: the daemon's answer is not a JSON object\n";
        return kFinding;
    }
    if (asJson) {
        std::cout << status.dump(2) << '\n';
    } else {
        printReadable(status);
    }
    return kOk;
}

}  // namespace

void addStatusCommand(CLI::App& app, int& status) {
    auto* command = app.add_subcommand(
        "status",
        "Show the running daemon's health: queue, points since start, databases, "
        "poll files, channels, clock");
    auto asJson = std::make_shared<bool>(false);
    command->add_flag("--json", *asJson, "Print the daemon's answer as JSON");
    command->callback([asJson, &status] { status = runStatus(*asJson); });
}

}  // namespace quorix::pelmo::datalogger::ctl
