// Lifecycle of the SQLite storage: library set-up, opening, migration, clearing, the size
// limit and closing. Channel and data operations are in DataLoggerStorageSQLiteData.cpp.
#include "storage/DataLoggerStorageSQLite.h"

#include <sqlite3.h>

#include <boost/filesystem.hpp>
#include <cmath>
#include <stdexcept>

#include "storage/DataLoggerSQLiteQuery.h"
#include "storage/DataLoggerSQLiteStatements.h"
#include "storage/DataLoggerStorageSQLiteInstance.h"

namespace quorix::pelmo::datalogger {

namespace {

constexpr std::chrono::milliseconds kPoolTimeout{1000};
constexpr int kBusyTimeoutMs = 1000;

int value(DataLoggerStatusCode status) {
    return static_cast<int>(status);
}

bool pathExists(const std::string& path) {
    boost::system::error_code ec;
    const auto type = boost::filesystem::status(path, ec).type();
    return type != boost::filesystem::file_not_found && type != boost::filesystem::status_error;
}

std::string quotedIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

DataLoggerStorageSQLite::DataLoggerStorageSQLite(std::string migrationScriptsPath,
                                                 uint32_t minimumSize, uint32_t maximumSize,
                                                 std::function<void()> onDatabaseFull)
    : log::Logger("DataLoggerStorageSQLite", "", std::make_shared<log::LoggerImpl>()),
      mMinimumSize(minimumSize),
      mMaximumSize(maximumSize),
      mMigrationScriptsPath(std::move(migrationScriptsPath)),
      mMigration(mMigrationScriptsPath),
      mInstance(DataLoggerStorageSQLiteInstance::get()),
      mOnDatabaseFull(std::move(onDatabaseFull)) {
    pelmoDoLog(log::Debug, "+%s", nullptr, "DataLoggerStorageSQLite");
    bool ok = true;
    if (mMaximumSize < mMinimumSize) {
        pelmoDoLog(log::Error,
                   "STORAGE: Configuration error. Maximum size (%d) < minimum size (%d).", nullptr,
                   static_cast<int>(mMaximumSize), static_cast<int>(mMinimumSize));
        ok = false;
    }
    if (!pathExists(mMigrationScriptsPath)) {
        pelmoDoLog(log::Critical, "The passed path (%s) for the migration scripts does not exist.",
                   nullptr, mMigrationScriptsPath.c_str());
        ok = false;
    }
    mConstructedOk = ok;
    pelmoDoLog(log::Debug, "-%s", nullptr, "DataLoggerStorageSQLite");
}

DataLoggerStorageSQLite::~DataLoggerStorageSQLite() {
    pelmoDoLog(log::Debug, "+%s", nullptr, "~DataLoggerStorageSQLite");
    try {
        finalizeDatabase();
    } catch (const std::exception& e) {
        // A token still lent at destruction is a caller's bug; the connection closes lazily.
        pelmoDoLog(log::Error, "%s", nullptr, e.what());
    }
    pelmoDoLog(log::Debug, "-%s", nullptr, "~DataLoggerStorageSQLite");
}

void DataLoggerStorageSQLite::report(const std::string& message, int rc) const {
    reportSQLite(this, log::Error, message, mDb.get(), rc);
}

void DataLoggerStorageSQLite::reportWarning(const std::string& message, int rc) const {
    reportSQLite(this, log::Warning, message, mDb.get(), rc);
}

bool DataLoggerStorageSQLite::isReady() const {
    return mInitialized && mStatements != nullptr;
}

DataLoggerSQLiteQuery DataLoggerStorageSQLite::query(StatementGetter getter,
                                                     const char* clearFailure) {
    return DataLoggerSQLiteQuery(*this, ((*mStatements).*getter)(kPoolTimeout), clearFailure);
}

// ---- opening and migration ---------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::initializeStorage(uint32_t size,
                                                                const std::string& filename,
                                                                bool force) {
    pelmoDoLog(log::Debug, "+%s", nullptr, "initializeStorage");
    DataLoggerStatusCode rc = initialize(size, filename, CurrentSchemaVersion, force);
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(
            log::Trace,
            "-%s: initialize(size, filename, CurrentSchemaVersion, force) failed with code %d",
            nullptr, "initializeStorage", value(rc));
        return rc;
    }
    try {
        mStatements->prepare();
    } catch (const std::exception& e) {
        pelmoDoLog(log::Critical, "Failed to prepare statements with %s", nullptr, e.what());
        return DataLoggerStatusCode::StorageError;
    }
    rc = setSizeLimit(size);
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: setSizeLimit(size) failed with code %d", nullptr,
                   "initializeStorage", value(rc));
    } else {
        pelmoDoLog(log::Debug, "-%s", nullptr, "initializeStorage");
    }
    return rc;
}

DataLoggerStatusCode DataLoggerStorageSQLite::initialize(uint32_t size, const std::string& filename,
                                                         uint32_t version, bool force) {
    pelmoDoLog(log::Trace, "+initialize", nullptr);
    if (!mConstructedOk) {
        pelmoDoLog(log::Critical,
                   "You can not use this instance because errors occurred while constructing this "
                   "object. Those errors should be logged in detail. Fix them and try again.",
                   nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    if (size < mMinimumSize) {
        pelmoDoLog(log::Error, "STORAGE: Requested size (%u) is < allowed minimum size (%u).",
                   nullptr, size, mMinimumSize);
        return DataLoggerStatusCode::SizeBelowMinimum;
    }
    if (size > mMaximumSize) {
        pelmoDoLog(log::Error, "STORAGE: Requested size (%u) is > allowed maximum size (%u).",
                   nullptr, size, mMaximumSize);
        return DataLoggerStatusCode::SizeAboveMaximum;
    }
    mInitialized = false;
    DataLoggerStatusCode rc = finalizeDatabase();
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: finalizeDatabase() failed with code %d", nullptr, "initialize",
                   value(rc));
        return rc;
    }
    rc = initializeDB(filename, version, force);
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(
            log::Warning,
            "First attempt to initialize the DB failed with %d. Will delete it and try again",
            nullptr, value(rc));
        rc = finalizeDatabase();
        if (rc != DataLoggerStatusCode::NoError) {
            pelmoDoLog(log::Trace, "-%s: finalizeDatabase() failed with code %d", nullptr,
                       "initialize", value(rc));
            return rc;
        }
        boost::system::error_code ec;
        if (!boost::filesystem::remove(filename, ec)) {
            pelmoDoLog(log::Error, "Removing the DB failed !", nullptr);
        }
        // A journal left next to the deleted file would be replayed into the new one.
        boost::filesystem::remove(filename + "-journal", ec);
        rc = initializeDB(filename, version, force);
        if (rc != DataLoggerStatusCode::NoError) {
            pelmoDoLog(log::Error, "Second attempt to initialize the DB failed with %d", nullptr,
                       value(rc));
            finalizeDatabase();
            return DataLoggerStatusCode::StorageError;
        }
    }
    mStatements = std::make_unique<DataLoggerSQLiteStatementsManager>(mDb.get());
    mInitialized = true;
    pelmoDoLog(log::Debug, "-%s", nullptr, "initialize");
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::initializeDB(const std::string& filename,
                                                           uint32_t version, bool force) {
    pelmoDoLog(log::Trace, "opening/creating the database", nullptr);
    int rc = mDb.open(filename, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (rc != SQLITE_OK) {
        report("Database could not be opened. Expected path '" + filename + "'.", rc);
        return DataLoggerStatusCode::StorageOpenFailed;
    }
    pelmoDoLog(log::Trace, "configuring the database", nullptr);
    rc = sqlite3_busy_timeout(mDb.get(), kBusyTimeoutMs);
    if (rc != SQLITE_OK) {
        report("Not able to set busy timeout.", rc);
        return DataLoggerStatusCode::StorageError;
    }
    DataLoggerStatusCode status = setForeignKeysInstant(true);
    if (status != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: setForeignKeysInstant(true) failed with code %d", nullptr,
                   "initializeDB", value(status));
        return status;
    }
    if (force) {
        pelmoDoLog(log::Warning, "clear of database has been requested", nullptr);
        status = clear();
        if (status != DataLoggerStatusCode::NoError) {
            pelmoDoLog(log::Trace, "-%s: clear() failed with code %d", nullptr, "initializeDB",
                       value(status));
            return status;
        }
    }
    status = migrate(version);
    if (status != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: migrate(schemaVersion) failed with code %d", nullptr,
                   "initializeDB", value(status));
    }
    return status;
}

DataLoggerStatusCode DataLoggerStorageSQLite::migrate(uint32_t targetVersion) {
    if (!mDb) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Info, "Database initialization started", nullptr);
    // No statement may keep the old schema compiled in.
    if (mStatements) mStatements->destroyAll(kPoolTimeout);
    uint32_t current = 0;
    const DataLoggerStatusCode rc = getSchemaVersionInstant(current);
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: getSchemaVersionInstant(versionRead) failed with code %d",
                   nullptr, "migrate", value(rc));
        return rc;
    }
    mMigration.migrate(current, targetVersion,
                       [this](const std::string& script) { executeMigrationScript(script); });
    pelmoDoLog(log::Debug, "The initialization of the database was successful.", nullptr);
    pelmoDoLog(log::Trace, "Running sqlite3 ANALYZE now.", nullptr);
    execute("ANALYZE;");
    return DataLoggerStatusCode::NoError;
}

void DataLoggerStorageSQLite::executeMigrationScript(const std::string& script) {
    if (execute(script) == DataLoggerStatusCode::NoError) return;
    pelmoDoLog(log::Error, "Migration failed. Going to rollback to previous schemaVersion.",
               nullptr);
    // Each script runs in its own transaction; sqlite3_exec stopped inside it.
    SQLiteStatementHandle rollback;
    int rc = SQLiteStatementHandle::prepare(mDb.get(), "ROLLBACK;", 0, rollback);
    if (rc != SQLITE_OK || !rollback) {
        report("The rollback statement could not be prepared.", rc);
    } else {
        rc = sqlite3_step(rollback.get());
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            sqlite3_reset(rollback.get());
            rollback.finalize();
            pelmoDoLog(log::Info, "Failed migration was reverted.", nullptr);
            throw std::runtime_error("Migration script could not be executed.");
        }
        report(
            "Fatal migration error. Been not able to rollback which leads to an inconsistent "
            "database state.",
            0);
    }
    pelmoDoLog(log::Critical, "Could not roll back to previous state, database may now be corrupt.",
               nullptr);
    throw std::runtime_error(
        "Failed migration could not be reverted. Database may be corrupt now.");
}

// ---- one-shot helpers --------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::execute(const std::string& sql) {
    if (!mDb) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Trace, "About to execute using exec. Statement(s):\n%s", nullptr, sql.c_str());
    const int rc = sqlite3_exec(mDb.get(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        report("An error occurred during execution of the statement\n" + sql, rc);
        return DataLoggerStatusCode::StorageError;
    }
    pelmoDoLog(log::Trace, "Successfully executed statement.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::setForeignKeysInstant(bool on) {
    const DataLoggerStatusCode rc =
        execute(std::string("PRAGMA foreign_keys = ") + (on ? "ON" : "OFF") + ";");
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: execute(statement.str()) failed with code %d", nullptr,
                   "setForeignKeysInstant", value(rc));
    }
    return rc;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getSchemaVersionInstant(uint32_t& version) {
    version = 0;
    const auto readFirstInteger = [this](const char* sql, int64_t& out) {
        SQLiteStatementHandle statement;
        int rc = SQLiteStatementHandle::prepare(mDb.get(), sql, 0, statement);
        if (rc != SQLITE_OK || !statement) {
            report("The statement for getting the schema version could not be prepared.", rc);
            return false;
        }
        rc = sqlite3_step(statement.get());
        if (rc == SQLITE_ROW) {
            out = sqlite3_column_int64(statement.get(), 0);
        } else if (rc != SQLITE_DONE) {
            report("Schema version could not be read.", rc);
            return false;
        }
        rc = statement.finalize();
        if (rc != SQLITE_OK) {
            report("Could not finalize get schema statement.", rc);
            return false;
        }
        return true;
    };
    int64_t tables = 0;
    if (!readFirstInteger(
            "SELECT COUNT(*) from sqlite_master WHERE type = 'table' AND name = 'schemaVersion';",
            tables)) {
        return DataLoggerStatusCode::StorageError;
    }
    int64_t stored = 0;
    if (tables >= 1 &&
        !readFirstInteger("SELECT * FROM schemaVersion ORDER BY ROWID ASC LIMIT 1;", stored)) {
        return DataLoggerStatusCode::StorageError;
    }
    // A hand-edited negative or oversized version becomes a version without scripts.
    version = static_cast<uint32_t>(stored);
    pelmoDoLog(log::Debug, "Get schema version instant successfully stepped. Result is (%d).",
               nullptr, static_cast<int>(version));
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::setSchemaHistory(uint32_t from, uint32_t to,
                                                               const std::string& comment) {
    SQLiteStatementHandle statement;
    int rc = SQLiteStatementHandle::prepare(
        mDb.get(),
        "INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment) VALUES ($from, "
        "$to, strftime('%s','now'), $comment);",
        0, statement);
    if (rc != SQLITE_OK || !statement) {
        report("The statement for setting the schema history could not be prepared.", rc);
        return DataLoggerStatusCode::StorageError;
    }
    const struct {
        int rc;
        const char* failure;
    } bindings[] = {
        {sqlite3_bind_int64(statement.get(), 1, from),
         "Set schema history binding failed for from."},
        {sqlite3_bind_int64(statement.get(), 2, to), "Set schema history binding failed for to."},
        {sqlite3_bind_text64(statement.get(), 3, comment.data(), comment.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8),
         "Set schema history binding failed for comment."},
    };
    for (const auto& binding : bindings) {
        if (binding.rc != SQLITE_OK) {
            report(binding.failure, binding.rc);
            return DataLoggerStatusCode::StorageError;
        }
    }
    rc = sqlite3_step(statement.get());
    if (rc != SQLITE_DONE) {
        report("Set schema history was not successful.", rc);
        return DataLoggerStatusCode::StorageError;
    }
    rc = statement.finalize();
    if (rc != SQLITE_OK) {
        report("Set schema history statement could not be finalized.", rc);
        return DataLoggerStatusCode::StorageError;
    }
    pelmoDoLog(log::Debug, "Set schema version instant was successful.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::setDatabasePageCount(uint32_t count) {
    SQLiteStatementHandle statement;
    int rc = SQLiteStatementHandle::prepare(
        mDb.get(), "PRAGMA MAX_PAGE_COUNT = " + std::to_string(count) + ";", 0, statement);
    if (rc != SQLITE_OK || !statement) {
        report("The pragma statement for setting the max page count could not be prepared.", rc);
        return DataLoggerStatusCode::StorageError;
    }
    rc = sqlite3_step(statement.get());
    if (rc != SQLITE_ROW) {
        report("Set max page count statement was not successful.", rc);
        return DataLoggerStatusCode::SizeAboveMaximum;
    }
    const auto applied = static_cast<uint32_t>(sqlite3_column_int64(statement.get(), 0));
    rc = statement.finalize();
    if (rc != SQLITE_OK) {
        report(
            "Set max page count statement could not be finalized. Next close request for the "
            "database could fail.",
            rc);
        return DataLoggerStatusCode::StorageError;
    }
    if (applied != count) {
        pelmoDoLog(log::Error,
                   "The wished page count could not be set. Maybe the database is already greater "
                   "than the requested size to minimize it to. It should be tried to remove "
                   "entries and try setting the new size aka page count again. Whished was %u but "
                   "currently has %u pages",
                   nullptr, count, applied);
        return DataLoggerStatusCode::SizeBelowMinimum;
    }
    pelmoDoLog(log::Debug, "Max page count is now %u", nullptr, count);
    return DataLoggerStatusCode::NoError;
}

// ---- pooled maintenance queries ----------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::getTableNames(std::vector<std::string>& names) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(&DataLoggerSQLiteStatementsManager::getGetTableNames, nullptr);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) names.push_back(q.columnText(0));
    bool ok = rc == SQLITE_DONE;
    if (!ok) q.report("Get table names could not be executed.", rc);
    ok = q.reset("Statement for get table names could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    pelmoDoLog(log::Debug, "Get table names has been stepped successfully.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getDatabaseIntegrity(bool& ok) {
    ok = false;
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(&DataLoggerSQLiteStatementsManager::getIntegrityCheck, nullptr);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
        if (q.columnText(0) == "ok") ok = true;
    }
    bool stepped = rc == SQLITE_DONE;
    if (!stepped) q.report("Database integrity statement could not be stepped.", rc);
    stepped = q.reset("Database integrity statement could not be reset.") && stepped;
    if (!stepped) {
        q.report("The integrity check of SQLite returned not ok.", rc, log::Warning);
        return DataLoggerStatusCode::StorageError;
    }
    pelmoDoLog(log::Debug, "Database integrity successfully stepped. Result is (%d).", nullptr,
               ok ? 1 : 0);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getDatabasePageSize(uint32_t& size) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(&DataLoggerSQLiteStatementsManager::getGetPageSize, nullptr);
    const int rc = q.step();
    bool ok = rc == SQLITE_ROW;
    if (ok) {
        size = static_cast<uint32_t>(q.columnInt64(0));
    } else {
        q.report("Page size could not be read.", rc);
    }
    ok = q.reset("Get page size statement could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    pelmoDoLog(log::Debug, "Get page size statement successfully stepped. Result is (%d).", nullptr,
               static_cast<int>(size));
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getDatabasePageCount(uint32_t& count) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(&DataLoggerSQLiteStatementsManager::getGetPageCount, nullptr);
    const int rc = q.step();
    bool ok = rc == SQLITE_ROW;
    if (ok) {
        count = static_cast<uint32_t>(q.columnInt64(0));
    } else {
        q.report("Page count could not be read.", rc);
    }
    ok = q.reset("Get page count statement could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    pelmoDoLog(log::Debug, "Get page count statement successfully stepped. Result is (%d).",
               nullptr, static_cast<int>(count));
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::setSizeLimit(uint32_t sizeBytes) {
    uint32_t pageSize = 0;
    uint32_t pageCount = 0;
    DataLoggerStatusCode rc = getDatabasePageSize(pageSize);
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: getDatabasePageSize(pageSizeIs) failed with code %d", nullptr,
                   "setSizeLimit", value(rc));
        return rc;
    }
    rc = getDatabasePageCount(pageCount);
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace, "-%s: getDatabasePageCount(pageCountIs) failed with code %d",
                   nullptr, "setSizeLimit", value(rc));
        return rc;
    }
    if (pageSize == 0) return DataLoggerStatusCode::StorageError;
    // 64-bit: a file beyond 4 GiB must not wrap around to "small enough".
    const uint64_t currentBytes = static_cast<uint64_t>(pageSize) * pageCount;
    if (sizeBytes < currentBytes) {
        const double dataEntriesToRemove =
            static_cast<double>(currentBytes - sizeBytes) / mRowSizeEstimate;
        rc = removeDataEntries(static_cast<uint32_t>(std::ceil(dataEntriesToRemove)), true);
        if (rc != DataLoggerStatusCode::NoError) {
            pelmoDoLog(log::Trace,
                       "-%s: removeDataEntries(std::ceil(dataEntriesToRemove), true) failed with "
                       "code %d",
                       nullptr, "setSizeLimit", value(rc));
            return rc;
        }
    }
    const double pageCountWished = static_cast<double>(sizeBytes) / pageSize;
    rc = setDatabasePageCount(static_cast<uint32_t>(std::ceil(pageCountWished)));
    if (rc != DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Trace,
                   "-%s: setDatabasePageCount(std::ceil(pageCountWished)) failed with code %d",
                   nullptr, "setSizeLimit", value(rc));
        return rc;
    }
    pelmoDoLog(log::Info, "Database limit in bytes (%d) was successfully set.", nullptr,
               static_cast<int>(sizeBytes));
    return DataLoggerStatusCode::NoError;
}

// ---- clearing and closing ----------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::clear() {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Warning,
               "Attention! The database object is going to be cleared. The schemaHistory table "
               "will survive.",
               nullptr);
    const auto failed = [this](const char* call, DataLoggerStatusCode rc) {
        pelmoDoLog(log::Trace, call, nullptr, "clear", value(rc));
        return rc;
    };
    uint32_t oldVersion = 0;
    DataLoggerStatusCode rc = getSchemaVersionInstant(oldVersion);
    if (rc != DataLoggerStatusCode::NoError) {
        return failed("-%s: getSchemaVersionInstant(schemaVersion) failed with code %d", rc);
    }
    std::vector<std::string> tableNames;
    rc = getTableNames(tableNames);
    if (rc != DataLoggerStatusCode::NoError) {
        return failed("-%s: getTableNames(tableNames) failed with code %d", rc);
    }
    rc = setForeignKeysInstant(false);
    if (rc != DataLoggerStatusCode::NoError) {
        return failed("-%s: setForeignKeysInstant(false) failed with code %d", rc);
    }
    for (const auto& name : tableNames) {
        rc = execute("DROP TABLE " + quotedIdentifier(name) + ";");
        if (rc != DataLoggerStatusCode::NoError) {
            setForeignKeysInstant(true);
            return failed("-%s: execute(\"DROP TABLE \" + name + \";\") failed with code %d", rc);
        }
    }
    rc = setForeignKeysInstant(true);
    if (rc != DataLoggerStatusCode::NoError) {
        return failed("-%s: setForeignKeysInstant(true) failed with code %d", rc);
    }
    bool integrity = false;
    rc = getDatabaseIntegrity(integrity);
    if (rc != DataLoggerStatusCode::NoError) {
        return failed("-%s: getDatabaseIntegrity(integrity) failed with code %d", rc);
    }
    if (!integrity) return DataLoggerStatusCode::StorageError;
    setSchemaHistory(oldVersion, 0, "Database has been cleared.");
    pelmoDoLog(log::Info, "Database successfully cleared.", nullptr);
    rc = migrate(CurrentSchemaVersion);
    if (rc != DataLoggerStatusCode::NoError) {
        return failed("-%s: migrate(CurrentSchemaVersion) failed with code %d", rc);
    }
    rc = setForeignKeysInstant(true);
    if (rc != DataLoggerStatusCode::NoError) {
        return failed("-%s: setForeignKeysInstant(true) failed with code %d", rc);
    }
    try {
        mStatements->prepare();
    } catch (const std::exception& e) {
        pelmoDoLog(log::Critical, "Failed to prepare statements after database clear: %s", nullptr,
                   e.what());
        return DataLoggerStatusCode::StorageError;
    }
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::finalize() {
    mInitialized = false;
    return finalizeDatabase();
}

DataLoggerStatusCode DataLoggerStorageSQLite::finalizeDatabase() {
    pelmoDoLog(log::Trace, "+finalizeDatabase", nullptr);
    if (mStatements) {
        mStatements->destroyAll(kPoolTimeout);
        mStatements.reset();
    }
    const int rc = mDb.close();
    if (rc != SQLITE_OK) {
        report("Attempt to close database was not successful.", rc);
        pelmoDoLog(log::Error, "-finalizeDatabase: failed", nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    pelmoDoLog(log::Debug, "-finalizeDatabase: OK", nullptr);
    return DataLoggerStatusCode::NoError;
}

}  // namespace quorix::pelmo::datalogger
