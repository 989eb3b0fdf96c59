// The log export: a consistent copy of the live database taken with SQLite's online backup.
#include <sqlite3.h>

#include <boost/filesystem.hpp>

#include "storage/DataLoggerStorageSQLite.h"

namespace quorix::pelmo::datalogger {

DataLoggerStatusCode DataLoggerStorageSQLite::createLog(const std::string& directory, int logType) {
    pelmoDoLog(log::Info, "+createLog(dir = '%s')", nullptr, log::untrusted(directory).c_str());
    if (!isReady()) {
        pelmoDoLog(log::Warning, "Log creation not possible, storage not initialized", nullptr);
        return DataLoggerStatusCode::StorageNotInitialized;
    }
    const std::string target =
        (boost::filesystem::path(directory) / "datalogger_sqlite.db").string();
    pelmoDoLog(log::Info, "Log type %d creation started in '%s'", nullptr, logType,
               log::untrusted(target).c_str());

    SQLiteConnection copy;
    // As root the copy could overwrite any file, the live databases included: a symbolic link
    // anywhere in the target's path refuses it.
    int rc = copy.open(target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX |
                                   SQLITE_OPEN_NOFOLLOW);
    if (rc != SQLITE_OK) {
        mDatabase.report("backup file for log creation failed. Expected db path is (" +
                             log::untrusted(target) + ").",
                         rc);
        return DataLoggerStatusCode::StorageError;
    }
    bool failed = false;
    // No write, and so no archiving savepoint, is half done while the pages are copied.
    const auto lock = mDatabase.lockWrites();
    SQLiteBackup backup(copy.get(), mDatabase.connection());
    if (backup) {
        // All pages in one step: one read lock on the source, hence one consistent snapshot.
        rc = backup.step(-1);
        if (rc != SQLITE_DONE) {
            reportSQLite(this, log::Error, "copying from DB failed", copy.get(), rc);
            // finish() forgives a busy or locked step, but the copy is then incomplete.
            failed = true;
        }
        rc = backup.finish();
        if (rc != SQLITE_OK) {
            reportSQLite(this, log::Error, "releasing backup resources failed", copy.get(), rc);
            failed = true;
        }
    } else {
        reportSQLite(this, log::Error, "backup could not be started", copy.get(),
                     sqlite3_errcode(copy.get()));
        failed = true;
    }
    // The copy takes the live file's write-ahead log mode; a reader without write access to its
    // folder could not open it in that mode.
    if (!failed && sqlite3_exec(copy.get(), "PRAGMA journal_mode=DELETE;", nullptr, nullptr,
                                nullptr) != SQLITE_OK) {
        reportSQLite(this, log::Error, "the copy could not leave write-ahead log mode", copy.get(),
                     sqlite3_errcode(copy.get()));
        failed = true;
    }
    rc = copy.close();
    if (rc != SQLITE_OK) {
        reportSQLite(this, log::Error, "closing backup failed", copy.get(), rc);
        failed = true;
    }
    return failed ? DataLoggerStatusCode::StorageError : DataLoggerStatusCode::NoError;
}

}  // namespace quorix::pelmo::datalogger
