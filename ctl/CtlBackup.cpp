// datalogger-ctl backup: asks the daemon for its log export, waits for it, and checks both copies.
#include <giomm/dbuswatchname.h>
#include <glibmm/main.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctl/CtlBus.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlDatabase.h"
#include "storage/DataLoggerSQLiteHandles.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

namespace fs = std::filesystem;

struct BackupOptions {
    std::string directory;
    unsigned timeoutSeconds = 300;
};

// How the export ended: the daemon's status in "finished" (0 = both copies written), or why no
// such signal came.
struct ExportResult {
    std::optional<int> status;
    std::string failure;
};

// Sends createLog and runs a main loop until the daemon's "finished" for this folder, the
// daemon's leaving the bus, or the time-out.
ExportResult runExport(const std::string& directory, unsigned timeoutSeconds) {
    ExportResult result;
    const auto bus = systemBus();
    const auto loop = Glib::MainLoop::create();
    const guint subscription = bus->signal_subscribe(
        [&](const Glib::RefPtr<Gio::DBus::Connection>&, const Glib::ustring&, const Glib::ustring&,
            const Glib::ustring&, const Glib::ustring&, const Glib::VariantContainerBase& values) {
            if (values.get_type_string() != "((si))") return;
            const char* path = nullptr;
            gint32 status = 0;
            g_variant_get(const_cast<GVariant*>(values.gobj()), "((&si))", &path, &status);
            if (directory != path) return;  // another request's export
            result.status = status;
            loop->quit();
        },
        kLogBusName, kLogInterface, "finished", kLogObjectPath);
    // Also called at once if nobody owns the name.
    const guint watch = Gio::DBus::watch_name(
        bus, kLogBusName, {}, [&](const Glib::RefPtr<Gio::DBus::Connection>&, Glib::ustring) {
            result.failure =
                "the data logger daemon is not running, or left the bus before the "
                "export finished";
            loop->quit();
        });
    auto timeout = Glib::signal_timeout().connect_seconds(
        [&] {
            result.failure = "no answer within " + std::to_string(timeoutSeconds) + " s";
            loop->quit();
            return false;
        },
        timeoutSeconds);
    try {
        bus->call_sync(
            kLogObjectPath, kLogInterface, "createLog",
            Glib::VariantContainerBase::create_tuple(
                {Glib::Variant<Glib::ustring>::create(directory), Glib::Variant<gint32>::create(0),
                 Glib::Variant<gint32>::create(static_cast<gint32>(getpid()))}),
            kLogBusName, kCallTimeoutMs);
        loop->run();
    } catch (const Glib::Error& e) {
        result.failure = describeBusError(e);
    }
    timeout.disconnect();
    Gio::DBus::unwatch_name(watch);
    bus->signal_unsubscribe(subscription);
    return result;
}

// Opens a copy read-only and reports its integrity and row count; false on any fault.
bool checkCopy(const std::string& name, const fs::path& file) {
    std::cout << name << ": " << file.string() << '\n';
    SQLiteConnection db;
    if (db.open(file.string(), SQLITE_OPEN_READONLY) != SQLITE_OK) {
        std::cout << "  cannot be opened: " << sqlite3_errmsg(db.get()) << '\n';
        return false;
    }
    // Each statement's rows as text, at most `limit` of them.
    auto rows = [&db](const char* sql, size_t limit, std::vector<std::string>& out) {
        SQLiteStatementHandle statement;
        if (SQLiteStatementHandle::prepare(db.get(), sql, 0, statement) != SQLITE_OK ||
            !statement) {
            return false;
        }
        int rc;
        while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
            const auto* value = sqlite3_column_text(statement.get(), 0);
            if (out.size() < limit)
                out.emplace_back(value ? reinterpret_cast<const char*>(value) : "");
        }
        return rc == SQLITE_DONE;
    };
    std::vector<std::string> integrity;
    if (!rows("PRAGMA integrity_check;", 5, integrity) || integrity.empty()) {
        std::cout << "  integrity check failed to run: " << sqlite3_errmsg(db.get()) << '\n';
        return false;
    }
    if (integrity.size() != 1 || integrity.front() != "ok") {
        std::cout << "  integrity check found faults:\n";
        for (const auto& line : integrity) std::cout << "    " << line << '\n';
        return false;
    }
    // Points in blocks plus the open ones the tail holds beyond them.
    PointStore points(db.get(), ctlLogger());
    PointStore::Figures figures;
    if (points.load() != SQLITE_OK || points.figures(figures) != SQLITE_OK) {
        std::cout << "  integrity ok, but its rows cannot be counted: " << sqlite3_errmsg(db.get())
                  << '\n';
        return false;
    }
    std::cout << "  integrity ok, " << figures.points << " rows\n";
    return true;
}

int runBackup(const BackupOptions& options) {
    std::error_code error;
    const fs::path directory = fs::absolute(options.directory, error).lexically_normal();
    // The daemon creates only the two copies' folders, so the folder they go into is made here.
    if (!error && fs::symlink_status(directory, error).type() == fs::file_type::not_found) {
        fs::create_directories(directory, error);
        if (error) {
            std::cerr << "datalogger-ctl backup: cannot create the folder " << directory.string()
                      << ": " << error.message() << '\n';
            return kFinding;
        }
    }
    const bool folder = !error && fs::is_directory(directory, error);
    if (error) {
        std::cerr << "datalogger-ctl backup: " << options.directory << ": " << error.message()
                  << '\n';
        return kFinding;
    }
    if (!folder) {
        std::cerr << "datalogger-ctl backup: " << directory.string()
                  << " exists but is not a folder\n";
        return kFinding;
    }
    // The daemon takes the folder's name as given, and a trailing separator would be refused.
    std::string name = directory.string();
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    if (!g_utf8_validate(name.c_str(), static_cast<gssize>(name.size()), nullptr)) {
        std::cerr << "datalogger-ctl backup: the folder's name is not UTF-8, which D-Bus cannot "
                     "carry\n";
        return kFinding;
    }
    ExportResult result;
    try {
        result = runExport(name, options.timeoutSeconds);
    } catch (const Glib::Error& e) {
        result.failure = describeBusError(e);
    }
    if (!result.status) {
        std::cerr << "datalogger-ctl backup: " << result.failure << '\n';
        return kFinding;
    }
    // Copies from an earlier export may lie in the folder: only a complete export is checked.
    if (*result.status != 0) {
        std::cerr << "datalogger-ctl backup: the daemon could not write both copies into " << name
                  << " (finished with " << *result.status
                  << "). Its log says why (journalctl -u datalogger -g createLog): non_volatile "
                     "or volatile may exist in it already, or the daemon's unit hides the folder "
                     "(/root, /home)\n";
        return kFinding;
    }
    bool ok = true;
    for (const auto& [storage, folder] :
         {std::pair{"NonVolatile", "non_volatile"}, std::pair{"Volatile", "volatile"}}) {
        ok = checkCopy(storage, fs::path(name) / folder / "datalogger_sqlite.db") && ok;
    }
    return ok ? kOk : kFinding;
}

}  // namespace

void addBackupCommand(CLI::App& app, int& status) {
    auto options = std::make_shared<BackupOptions>();
    auto* command = app.add_subcommand(
        "backup",
        "Have the daemon copy both databases into DIR/non_volatile and DIR/volatile, "
        "then check each copy");
    command
        ->add_option("DIR", options->directory,
                     "Folder for the two copies, created when missing; its subfolders "
                     "non_volatile and volatile must not exist yet")
        ->required();
    command
        ->add_option("--timeout", options->timeoutSeconds,
                     "Seconds to wait for the export to finish (default 300)")
        ->check(CLI::Range(1u, 86400u));
    command->callback([options, &status] { status = runBackup(*options); });
}

}  // namespace quorix::pelmo::datalogger::ctl
