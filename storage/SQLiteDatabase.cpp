// The database file and its connection: opening, migration, the journal and the write-ahead
// log, the size limit and VACUUM.
#include "storage/SQLiteDatabase.h"

#include <sqlite3.h>

#include <boost/filesystem.hpp>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "storage/DataLoggerSQLiteQuery.h"
#include "storage/DataLoggerSQLiteStatements.h"
#include "storage/DataLoggerStorageSQLiteInstance.h"

namespace quorix::pelmo::datalogger {

namespace {

constexpr std::chrono::milliseconds kPoolTimeout{1000};
constexpr int kBusyTimeoutMs = 1000;

// Room the write-ahead log may take on disk beside the database's own Size. It is checkpointed
// once it holds half of that; past seven eighths, writing waits for a reader that keeps it from
// being checkpointed (the commit that restarts the log and the log's header fit in the rest).
constexpr uint32_t kWalBudgetBytes = 1 << 20;
constexpr uint32_t kWalFrameHeaderBytes = 24;
// How long writing waits for such a reader before it lets the log grow past its budget.
constexpr std::chrono::seconds kWalHoldLimit{30};
constexpr std::chrono::milliseconds kWalHoldPoll{20};
constexpr int kShrinkRounds = 3;

int value(DataLoggerStatusCode status) {
    return static_cast<int>(status);
}

// "20261206T013000Z": sorts by time and holds no character a shell or SQLite would mind.
std::string utcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
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

bool failedCall(const log::Logger& logger, DataLoggerStatusCode rc, const char* operation,
                const char* call) {
    if (rc == DataLoggerStatusCode::NoError) return false;
    logger.pelmoDoLog(log::Trace, "-%s: %s failed with code %d", nullptr, operation, call,
                      value(rc));
    return true;
}

SQLiteDatabase::SQLiteDatabase(const log::Logger& logger, SQLiteDatabaseOwner& owner,
                               const std::string& migrationScriptsPath)
    : mLogger(logger),
      mOwner(owner),
      mMigration(migrationScriptsPath),
      mInstance(DataLoggerStorageSQLiteInstance::get()) {}

SQLiteDatabase::~SQLiteDatabase() = default;

void SQLiteDatabase::report(const std::string& message, int rc) const {
    reportSQLite(&mLogger, log::Error, message, mDb.get(), rc);
}

void SQLiteDatabase::reportWarning(const std::string& message, int rc) const {
    reportSQLite(&mLogger, log::Warning, message, mDb.get(), rc);
}

bool SQLiteDatabase::isReady() const {
    return mInitialized && mStatements != nullptr;
}

DataLoggerSQLiteQuery SQLiteDatabase::query(Statement statement, const char* clearFailure) {
    return DataLoggerSQLiteQuery(mLogger, mStatements->get(statement, kPoolTimeout), clearFailure);
}

// ---- opening and migration ---------------------------------------------------------------

DataLoggerStatusCode SQLiteDatabase::open(const std::string& filename, uint32_t version,
                                          bool force) {
    mInitialized = false;
    DataLoggerStatusCode rc = finalizeDatabase();
    if (failedCall(mLogger, rc, "initialize", "finalizeDatabase()")) return rc;
    mFilename = filename;
    rc = initializeDB(filename, version, force);
    if (rc != DataLoggerStatusCode::NoError) {
        mLogger.pelmoDoLog(
            log::Warning,
            "First attempt to initialize the DB failed with %d. Will delete it and try again",
            nullptr, value(rc));
        rc = finalizeDatabase();
        if (failedCall(mLogger, rc, "initialize", "finalizeDatabase()")) return rc;
        moveAside(filename);
        rc = initializeDB(filename, version, force);
        if (rc != DataLoggerStatusCode::NoError) {
            mLogger.pelmoDoLog(log::Error, "Second attempt to initialize the DB failed with %d",
                               nullptr, value(rc));
            finalizeDatabase();
            return DataLoggerStatusCode::StorageError;
        }
    }
    mStatements = std::make_unique<DataLoggerSQLiteStatementsManager>(mDb.get());
    mInitialized = true;
    mLogger.pelmoDoLog(log::Debug, "-%s", nullptr, "initialize");
    return DataLoggerStatusCode::NoError;
}

void SQLiteDatabase::prepareStatements() {
    mStatements->prepare();
}

DataLoggerStatusCode SQLiteDatabase::initializeDB(const std::string& filename, uint32_t version,
                                                  bool force) {
    mLogger.pelmoDoLog(log::Trace, "opening/creating the database", nullptr);
    int rc = mDb.open(filename, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (rc != SQLITE_OK) {
        report("Database could not be opened. Expected path '" + log::untrusted(filename) + "'.",
               rc);
        return DataLoggerStatusCode::StorageOpenFailed;
    }
    mLogger.pelmoDoLog(log::Trace, "configuring the database", nullptr);
    rc = sqlite3_busy_timeout(mDb.get(), kBusyTimeoutMs);
    if (rc != SQLITE_OK) {
        report("Not able to set busy timeout.", rc);
        return DataLoggerStatusCode::StorageError;
    }
    DataLoggerStatusCode status = setForeignKeysInstant(true);
    if (failedCall(mLogger, status, "initializeDB", "setForeignKeysInstant(true)")) return status;
    // Takes effect for a new file, and for an old one at its next VACUUM outside the log.
    execute("PRAGMA page_size=" + std::to_string(mPageBytes) + ";");
    configureJournal();
    if (force) {
        mLogger.pelmoDoLog(log::Warning, "clear of database has been requested", nullptr);
        status = clear();
        if (failedCall(mLogger, status, "initializeDB", "clear()")) return status;
    }
    status = migrate(version);
    failedCall(mLogger, status, "initializeDB", "migrate(schemaVersion)");
    return status;
}

DataLoggerStatusCode SQLiteDatabase::migrate(uint32_t targetVersion) {
    if (!mDb) return DataLoggerStatusCode::StorageNotInitialized;
    mLogger.pelmoDoLog(log::Info, "Database initialization started", nullptr);
    // No statement may keep the old schema compiled in.
    if (mStatements) mStatements->destroyAll(kPoolTimeout);
    uint32_t current = 0;
    const DataLoggerStatusCode rc = getSchemaVersionInstant(current);
    if (failedCall(mLogger, rc, "migrate", "getSchemaVersionInstant(versionRead)")) return rc;
    mMigration.migrate(current, targetVersion,
                       [this](const std::string& script) { executeMigrationScript(script); });
    mLogger.pelmoDoLog(log::Debug, "The initialization of the database was successful.", nullptr);
    mLogger.pelmoDoLog(log::Trace, "Running sqlite3 ANALYZE now.", nullptr);
    execute("ANALYZE;");
    return DataLoggerStatusCode::NoError;
}

// Readers (DfRM on this connection, or any outside process) then never make a write wait or
// fail, and a write never makes a reader wait. synchronous=NORMAL syncs at checkpoints only: a
// crashed process loses no committed row, a power loss may lose the last commits but never
// damages the file. A file system that cannot share memory keeps the rollback journal.
void SQLiteDatabase::configureJournal() {
    mWalHoldFrames = 0;  // no waiting for readers unless the log is in use
    if (!setJournalMode("wal")) {
        mLogger.pelmoDoLog(
            log::Warning,
            "The write-ahead log of %s could not be switched on; outside readers can make "
            "writes fail.",
            nullptr, log::untrusted(mFilename).c_str());
        return;
    }
    execute("PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=" +
            std::to_string(kWalBudgetBytes) + ";");
    uint32_t pageSize = 4096;
    readInteger("PRAGMA page_size;", pageSize);
    const uint32_t frameBytes = pageSize + kWalFrameHeaderBytes;
    mWalCheckpointFrames = kWalBudgetBytes / 2 / frameBytes;
    mWalHoldFrames = kWalBudgetBytes / 8 * 7 / frameBytes;
    mWalFrames = 0;
    mWalHoldExpired = false;
    // Replaces SQLite's own automatic checkpoint (the same hook), so that the log's length is
    // known to writers without a system call.
    sqlite3_wal_hook(mDb.get(), &SQLiteDatabase::onWalCommit, this);
}

// True when the database is in `mode` afterwards: SQLite answers with the mode in force, which
// stays as it was when another connection keeps the file from changing it.
bool SQLiteDatabase::setJournalMode(const char* mode) {
    std::string inForce;
    const int rc = sqlite3_exec(
        mDb.get(), (std::string("PRAGMA journal_mode=") + mode + ";").c_str(),
        [](void* out, int columns, char** values, char**) {
            if (columns > 0 && values[0] != nullptr) *static_cast<std::string*>(out) = values[0];
            return 0;
        },
        &inForce, nullptr);
    if (rc != SQLITE_OK) reportWarning(std::string("Journal mode ") + mode + " not set.", rc);
    return rc == SQLITE_OK && inForce == mode;
}

int SQLiteDatabase::onWalCommit(void* database, sqlite3* db, const char* name, int frames) {
    static_cast<SQLiteDatabase*>(database)->walCommitted(db, name, frames);
    return SQLITE_OK;
}

int64_t SQLiteDatabase::steadyNow() const {
    return mOwner.now().time_since_epoch().count();
}

void SQLiteDatabase::walCommitted(sqlite3* db, const char* name, int frames) {
    const int before = mWalFrames.exchange(frames);
    if (before == 0) mSyncedAt = steadyNow();  // the first unsynced commit starts the clock
    const bool due = steadyNow() - mSyncedAt >= std::chrono::nanoseconds(kMaxUnsyncedTime).count();
    if (frames >= static_cast<int>(mWalCheckpointFrames)) {
        checkpoint(db, name);
        return;
    }
    mWalHoldExpired = false;
    if (due) syncLog(db, name);
}

// Makes the commits in the log durable with an fsync of the log alone: a checkpoint would also
// write every page changed since the last one into the database, and sync that too. Where the
// log's file cannot be reached or synced, a checkpoint syncs it.
void SQLiteDatabase::syncLog(sqlite3* db, const char* name) {
    sqlite3_file* log = nullptr;
    if (sqlite3_file_control(db, name, SQLITE_FCNTL_JOURNAL_POINTER, &log) == SQLITE_OK &&
        log != nullptr && log->pMethods != nullptr &&
        log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) == SQLITE_OK) {
        mSyncedAt = steadyNow();
        return;
    }
    checkpoint(db, name);
}

// A passive checkpoint syncs the log before it copies pages into the database.
bool SQLiteDatabase::checkpoint(sqlite3* db, const char* name) {
    int logFrames = 0;
    int backfilled = 0;
    const bool done = sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, &logFrames,
                                                &backfilled) == SQLITE_OK &&
                      backfilled >= logFrames;
    mSyncedAt = steadyNow();
    // Everything is in the database; the next commit starts the log from its beginning unless
    // a reader still reads it.
    if (done) mWalFrames = 0;
    return done;
}

void SQLiteDatabase::syncIfDue() {
    if (!isReady() || mWalHoldFrames == 0 || mWalFrames == 0) return;
    if (steadyNow() - mSyncedAt < std::chrono::nanoseconds(kMaxUnsyncedTime).count()) return;
    std::lock_guard<std::recursive_mutex> lock(mWriteMutex);
    syncLog(mDb.get(), "main");
}

void SQLiteDatabase::waitForWalRoom() {
    if (mWalHoldFrames == 0 || mWalFrames < static_cast<int>(mWalHoldFrames) || mWalHoldExpired)
        return;
    const auto start = std::chrono::steady_clock::now();
    mLogger.pelmoDoLog(
        log::Warning,
        "A reader keeps the write-ahead log of %s from being checkpointed (%d pages); "
        "writing waits for it for up to %d s.",
        nullptr, log::untrusted(mFilename).c_str(), mWalFrames.load(),
        static_cast<int>(kWalHoldLimit.count()));
    for (;;) {
        int logFrames = 0;
        int backfilled = 0;
        const int rc = sqlite3_wal_checkpoint_v2(mDb.get(), "main", SQLITE_CHECKPOINT_PASSIVE,
                                                 &logFrames, &backfilled);
        if (rc == SQLITE_OK && backfilled >= logFrames) {
            mWalFrames = 0;
            mLogger.pelmoDoLog(
                log::Info, "Writing goes on after %d ms.", nullptr,
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count()));
            return;
        }
        if (std::chrono::steady_clock::now() - start >= kWalHoldLimit) {
            mWalHoldExpired = true;
            mLogger.pelmoDoLog(
                log::Warning,
                "The write-ahead log of %s grows past its %u bytes: a reader has held it "
                "for more than %d s.",
                nullptr, log::untrusted(mFilename).c_str(), kWalBudgetBytes,
                static_cast<int>(kWalHoldLimit.count()));
            return;
        }
        std::this_thread::sleep_for(kWalHoldPoll);
    }
}

// A file SQLite cannot use is kept for `sqlite3 FILE .dump` rather than deleted: only the
// newest such copy of each database, so damage cannot fill the file system.
void SQLiteDatabase::moveAside(const std::string& filename) {
    namespace fs = boost::filesystem;
    boost::system::error_code ec;
    const fs::path file(filename);
    const std::string prefix = file.filename().string() + ".damaged-";
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().compare(0, prefix.size(), prefix) == 0) {
            fs::remove(it->path(), ec);
        }
    }
    const std::string target = filename + ".damaged-" + utcStamp();
    fs::rename(filename, target, ec);
    if (ec) {
        mLogger.pelmoDoLog(log::Error, "Removing the DB failed !", nullptr);
        fs::remove(filename, ec);
    } else {
        mLogger.pelmoDoLog(
            log::Critical,
            "The database %s could not be used and was moved aside to %s ('sqlite3 %s "
            ".dump' may rescue its rows); a new one is created.",
            nullptr, log::untrusted(filename).c_str(), log::untrusted(target).c_str(),
            log::untrusted(target).c_str());
    }
    // A log left beside the new file would be replayed into it; it belongs to the copy.
    for (const char* suffix : {"-wal", "-journal"}) {
        fs::rename(filename + suffix, target + suffix, ec);
        if (ec) fs::remove(filename + suffix, ec);
    }
    fs::remove(filename + "-shm", ec);
}

void SQLiteDatabase::executeMigrationScript(const std::string& script) {
    if (execute(script) == DataLoggerStatusCode::NoError) return;
    mLogger.pelmoDoLog(log::Error, "Migration failed. Going to rollback to previous schemaVersion.",
                       nullptr);
    // Each script runs in its own transaction; sqlite3_exec stopped inside it.
    DataLoggerSQLiteQuery rollback(mLogger, mDb.get(), "ROLLBACK;",
                                   "The rollback statement could not be prepared.");
    if (rollback.bound()) {
        const int rc = rollback.step();
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            rollback.release();
            mLogger.pelmoDoLog(log::Info, "Failed migration was reverted.", nullptr);
            throw std::runtime_error("Migration script could not be executed.");
        }
        rollback.report(
            "Fatal migration error. Been not able to rollback which leads to an inconsistent "
            "database state.",
            0);
    }
    mLogger.pelmoDoLog(log::Critical,
                       "Could not roll back to previous state, database may now be corrupt.",
                       nullptr);
    throw std::runtime_error(
        "Failed migration could not be reverted. Database may be corrupt now.");
}

// ---- one-shot helpers --------------------------------------------------------------------

DataLoggerStatusCode SQLiteDatabase::execute(const std::string& sql) {
    return mOwner.execute(sql);
}

DataLoggerStatusCode SQLiteDatabase::run(const std::string& sql) {
    if (!mDb) return DataLoggerStatusCode::StorageNotInitialized;
    mLogger.pelmoDoLog(log::Trace, "About to execute using exec. Statement(s):\n%s", nullptr,
                       sql.c_str());
    const int rc = sqlite3_exec(mDb.get(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        report("An error occurred during execution of the statement\n" + sql, rc);
        return DataLoggerStatusCode::StorageError;
    }
    mLogger.pelmoDoLog(log::Trace, "Successfully executed statement.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode SQLiteDatabase::setForeignKeysInstant(bool on) {
    const DataLoggerStatusCode rc =
        execute(std::string("PRAGMA foreign_keys = ") + (on ? "ON" : "OFF") + ";");
    failedCall(mLogger, rc, "setForeignKeysInstant", "execute(statement.str())");
    return rc;
}

bool SQLiteDatabase::readInteger(const char* sql, int64_t& out, const char* prepareFailure,
                                 const char* stepFailure, const char* finalizeFailure) {
    DataLoggerSQLiteQuery q(mLogger, mDb.get(), sql, prepareFailure);
    if (!q.bound()) return false;
    const int rc = q.step();
    if (rc == SQLITE_ROW) {
        out = q.columnInt64(0);
    } else if (rc != SQLITE_DONE) {
        q.report(stepFailure, rc);
        return false;
    }
    return q.finalize(finalizeFailure);
}

bool SQLiteDatabase::readInteger(const char* sql, uint32_t& out) {
    const std::string failure = std::string("Could not read (") + sql + ").";
    int64_t read = 0;
    if (!readInteger(sql, read, failure.c_str(), failure.c_str(), failure.c_str())) return false;
    out = static_cast<uint32_t>(std::max<int64_t>(0, read));
    return true;
}

DataLoggerStatusCode SQLiteDatabase::getSchemaVersionInstant(uint32_t& version) {
    version = 0;
    constexpr const char* prepareFailure =
        "The statement for getting the schema version could not be prepared.";
    constexpr const char* stepFailure = "Schema version could not be read.";
    constexpr const char* finalizeFailure = "Could not finalize get schema statement.";
    int64_t tables = 0;
    if (!readInteger(
            "SELECT COUNT(*) from sqlite_master WHERE type = 'table' AND name = 'schemaVersion';",
            tables, prepareFailure, stepFailure, finalizeFailure)) {
        return DataLoggerStatusCode::StorageError;
    }
    int64_t stored = 0;
    if (tables >= 1 && !readInteger("SELECT * FROM schemaVersion ORDER BY ROWID ASC LIMIT 1;",
                                    stored, prepareFailure, stepFailure, finalizeFailure)) {
        return DataLoggerStatusCode::StorageError;
    }
    // A hand-edited negative or oversized version becomes a version without scripts.
    version = static_cast<uint32_t>(stored);
    mLogger.pelmoDoLog(log::Debug,
                       "Get schema version instant successfully stepped. Result is (%d).", nullptr,
                       static_cast<int>(version));
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode SQLiteDatabase::setSchemaHistory(uint32_t from, uint32_t to,
                                                      const std::string& comment) {
    DataLoggerSQLiteQuery q(
        mLogger, mDb.get(),
        "INSERT INTO schemaHistory (fromVersion, toVersion, timestamp, comment) VALUES ($from, "
        "$to, strftime('%s','now'), $comment);",
        "The statement for setting the schema history could not be prepared.");
    q.bindInt64(from, "Set schema history binding failed for from.")
        .bindInt64(to, "Set schema history binding failed for to.")
        .bindText(comment, "Set schema history binding failed for comment.");
    if (!q.bound() || !q.stepDone("Set schema history was not successful.") ||
        !q.finalize("Set schema history statement could not be finalized.")) {
        return DataLoggerStatusCode::StorageError;
    }
    mLogger.pelmoDoLog(log::Debug, "Set schema version instant was successful.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode SQLiteDatabase::setDatabasePageCount(uint32_t count) {
    DataLoggerSQLiteQuery q(
        mLogger, mDb.get(), "PRAGMA MAX_PAGE_COUNT = " + std::to_string(count) + ";",
        "The pragma statement for setting the max page count could not be prepared.");
    if (!q.bound()) return DataLoggerStatusCode::StorageError;
    const int rc = q.step();
    if (rc != SQLITE_ROW) {
        q.report("Set max page count statement was not successful.", rc);
        return DataLoggerStatusCode::SizeAboveMaximum;
    }
    const auto applied = static_cast<uint32_t>(q.columnInt64(0));
    if (!q.finalize("Set max page count statement could not be finalized. Next close request "
                    "for the database could fail.")) {
        return DataLoggerStatusCode::StorageError;
    }
    if (applied != count) {
        mLogger.pelmoDoLog(
            log::Error,
            "The wished page count could not be set. Maybe the database is already greater "
            "than the requested size to minimize it to. It should be tried to remove "
            "entries and try setting the new size aka page count again. Whished was %u but "
            "currently has %u pages",
            nullptr, count, applied);
        return DataLoggerStatusCode::SizeBelowMinimum;
    }
    mLogger.pelmoDoLog(log::Debug, "Max page count is now %u", nullptr, count);
    return DataLoggerStatusCode::NoError;
}

// ---- pooled maintenance queries ----------------------------------------------------------

DataLoggerStatusCode SQLiteDatabase::getTableNames(std::vector<std::string>& names) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(Statement::GetTableNames, nullptr);
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) names.push_back(q.columnText(0));
    bool ok = rc == SQLITE_DONE;
    if (!ok) q.report("Get table names could not be executed.", rc);
    ok = q.reset("Statement for get table names could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    mLogger.pelmoDoLog(log::Debug, "Get table names has been stepped successfully.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode SQLiteDatabase::getDatabaseIntegrity(bool& ok) {
    ok = false;
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(Statement::IntegrityCheck, nullptr);
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
    mLogger.pelmoDoLog(log::Debug, "Database integrity successfully stepped. Result is (%d).",
                       nullptr, ok ? 1 : 0);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode SQLiteDatabase::getDatabasePageSize(uint32_t& size) {
    return readPageFigure(Statement::GetPageSize, size, "Page size could not be read.",
                          "Get page size statement could not be reset.",
                          "Get page size statement successfully stepped. Result is (%d).");
}

DataLoggerStatusCode SQLiteDatabase::getDatabasePageCount(uint32_t& count) {
    return readPageFigure(Statement::GetPageCount, count, "Page count could not be read.",
                          "Get page count statement could not be reset.",
                          "Get page count statement successfully stepped. Result is (%d).");
}

DataLoggerStatusCode SQLiteDatabase::readPageFigure(Statement statement, uint32_t& out,
                                                    const char* readFailure,
                                                    const char* resetFailure,
                                                    const char* readLine) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(statement, nullptr);
    const int rc = q.step();
    if (rc == SQLITE_ROW) {
        out = static_cast<uint32_t>(q.columnInt64(0));
    } else {
        q.report(readFailure, rc);
    }
    const bool reset = q.reset(resetFailure);
    if (rc != SQLITE_ROW || !reset) return DataLoggerStatusCode::StorageError;
    mLogger.pelmoDoLog(log::Debug, readLine, nullptr, static_cast<int>(out));
    return DataLoggerStatusCode::NoError;
}

// ---- the size limit ----------------------------------------------------------------------

DataLoggerStatusCode SQLiteDatabase::setSizeLimit(uint32_t sizeBytes) {
    uint32_t pageSize = 0;
    uint32_t pageCount = 0;
    const char* operation = "setSizeLimit";
    DataLoggerStatusCode rc = getDatabasePageSize(pageSize);
    if (failedCall(mLogger, rc, operation, "getDatabasePageSize(pageSizeIs)")) return rc;
    rc = getDatabasePageCount(pageCount);
    if (failedCall(mLogger, rc, operation, "getDatabasePageCount(pageCountIs)")) return rc;
    if (pageSize == 0) return DataLoggerStatusCode::StorageError;
    const auto pageLimit =
        static_cast<uint32_t>(std::ceil(static_cast<double>(sizeBytes) / pageSize));
    // A few rounds, since the size of a row is only estimated from the file.
    for (int round = 0; round < kShrinkRounds && pageCount > pageLimit; ++round) {
        rc = mOwner.shrink(sizeBytes, pageSize, pageCount);
        if (failedCall(mLogger, rc, operation,
                       "removeDataEntries(std::ceil(dataEntriesToRemove), true)")) {
            break;
        }
        rc = getDatabasePageCount(pageCount);
        if (rc != DataLoggerStatusCode::NoError) break;
    }
    mLimitBytes = sizeBytes;
    rc = setDatabasePageCount(pageLimit);
    if (failedCall(mLogger, rc, operation, "setDatabasePageCount(std::ceil(pageCountWished))")) {
        holdPresentSize(pageLimit);
        return rc;
    }
    mPendingPageLimit = 0;
    mLogger.pelmoDoLog(log::Info, "Database limit in bytes (%d) was successfully set.", nullptr,
                       static_cast<int>(sizeBytes));
    return DataLoggerStatusCode::NoError;
}

// Without a page limit the file could fill its file system; one it cannot shrink to is held at
// the size it has, and every reclaim of free space tries the limit again.
void SQLiteDatabase::holdPresentSize(uint32_t pageLimit) {
    uint32_t pageCount = 0;
    getDatabasePageCount(pageCount);
    mPendingPageLimit = pageLimit;
    if (setDatabasePageCount(std::max(pageCount, pageLimit)) != DataLoggerStatusCode::NoError) {
        mLogger.pelmoDoLog(log::Critical,
                           "The database %s has no size limit and can fill its file system.",
                           nullptr, log::untrusted(mFilename).c_str());
        return;
    }
    mLogger.pelmoDoLog(
        log::Critical,
        "The database %s could not be shrunk to %u pages; it is held at its present %u "
        "pages, and every reclaim of free space tries again.",
        nullptr, log::untrusted(mFilename).c_str(), pageLimit, pageCount);
}

DataLoggerStatusCode SQLiteDatabase::reclaimFreeSpace() {
    mLogger.pelmoDoLog(log::Warning, "reclaiming free space", nullptr);
    uint32_t pageSizeBefore = 0;
    getDatabasePageSize(pageSizeBefore);
    DataLoggerStatusCode rc;
    {
        std::lock_guard<std::mutex> lock(mReclaimMutex);
        mStatements->destroyAll(kPoolTimeout);
        // VACUUM fails while any other statement of the connection is being stepped.
        const auto paused = mOwner.pauseReads();
        // Through the write-ahead log VACUUM would write the whole new file beside the old one;
        // the rollback journal keeps only the pages it replaces. Leaving the log fails while an
        // outside reader has the file open; VACUUM then goes through the log.
        const bool inLog = mWalHoldFrames != 0;
        const bool leftLog = inLog && setJournalMode("delete");
        rc = execute("VACUUM;");
        if (leftLog && !setJournalMode("wal")) {
            mLogger.pelmoDoLog(log::Warning,
                               "The write-ahead log of %s could not be switched on again.", nullptr,
                               log::untrusted(mFilename).c_str());
            mWalHoldFrames = 0;
        }
        if (leftLog) mWalFrames = 0;  // a new, empty log
        if (inLog && !leftLog && rc == DataLoggerStatusCode::NoError) {
            execute("PRAGMA wal_checkpoint(TRUNCATE);");  // hand the log's room back at once
        }
        // Even after a failed VACUUM: without its statements the storage would be dead.
        mStatements->prepare();
    }
    if (failedCall(mLogger, rc, "removeDataEntries", "execute(\"VACUUM;\", nullptr)")) return rc;
    // Taken before the retry, which sets it again if the limit still cannot be applied.
    const uint32_t pending = mPendingPageLimit.exchange(0);
    uint32_t pageSize = 0;
    if (getDatabasePageSize(pageSize) != DataLoggerStatusCode::NoError) {
        mPendingPageLimit = pending;
    } else if (pageSize != pageSizeBefore && mLimitBytes != 0) {
        // VACUUM gave a file of older, larger pages the page size of new files; the limit is
        // counted in pages, which now hold fewer bytes.
        mLogger.pelmoDoLog(log::Info, "The database %s has pages of %u bytes now, was %u.", nullptr,
                           log::untrusted(mFilename).c_str(), pageSize, pageSizeBefore);
        setSizeLimit(mLimitBytes);
    } else if (pending != 0 && setSizeLimit(pending * pageSize) == DataLoggerStatusCode::NoError) {
        mLogger.pelmoDoLog(log::Info, "The database %s is held at its limit of %u pages again.",
                           nullptr, log::untrusted(mFilename).c_str(), pending);
    }
    return DataLoggerStatusCode::NoError;
}

// ---- clearing and closing ----------------------------------------------------------------

DataLoggerStatusCode SQLiteDatabase::clear() {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    mLogger.pelmoDoLog(
        log::Warning,
        "Attention! The database object is going to be cleared. The schemaHistory table "
        "will survive.",
        nullptr);
    const char* operation = "clear";
    uint32_t oldVersion = 0;
    DataLoggerStatusCode rc = getSchemaVersionInstant(oldVersion);
    if (failedCall(mLogger, rc, operation, "getSchemaVersionInstant(schemaVersion)")) return rc;
    std::vector<std::string> tableNames;
    rc = getTableNames(tableNames);
    if (failedCall(mLogger, rc, operation, "getTableNames(tableNames)")) return rc;
    rc = setForeignKeysInstant(false);
    if (failedCall(mLogger, rc, operation, "setForeignKeysInstant(false)")) return rc;
    for (const auto& name : tableNames) {
        rc = execute("DROP TABLE " + quotedIdentifier(name) + ";");
        if (failedCall(mLogger, rc, operation, "execute(\"DROP TABLE \" + name + \";\")")) {
            setForeignKeysInstant(true);
            return rc;
        }
    }
    rc = setForeignKeysInstant(true);
    if (failedCall(mLogger, rc, operation, "setForeignKeysInstant(true)")) return rc;
    bool integrity = false;
    rc = getDatabaseIntegrity(integrity);
    if (failedCall(mLogger, rc, operation, "getDatabaseIntegrity(integrity)")) return rc;
    if (!integrity) return DataLoggerStatusCode::StorageError;
    setSchemaHistory(oldVersion, 0, "Database has been cleared.");
    mLogger.pelmoDoLog(log::Info, "Database successfully cleared.", nullptr);
    rc = migrate(CurrentSchemaVersion);
    if (failedCall(mLogger, rc, operation, "migrate(CurrentSchemaVersion)")) return rc;
    rc = setForeignKeysInstant(true);
    if (failedCall(mLogger, rc, operation, "setForeignKeysInstant(true)")) return rc;
    try {
        mStatements->prepare();
    } catch (const std::exception& e) {
        mLogger.pelmoDoLog(log::Critical, "Failed to prepare statements after database clear: %s",
                           nullptr, e.what());
        return DataLoggerStatusCode::StorageError;
    }
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode SQLiteDatabase::close() {
    mInitialized = false;
    return finalizeDatabase();
}

DataLoggerStatusCode SQLiteDatabase::finalizeDatabase() {
    mLogger.pelmoDoLog(log::Trace, "+finalizeDatabase", nullptr);
    if (mStatements) {
        mStatements->destroyAll(kPoolTimeout);
        mStatements.reset();
    }
    const int rc = mDb.close();
    if (rc != SQLITE_OK) {
        report("Attempt to close database was not successful.", rc);
        mLogger.pelmoDoLog(log::Error, "-finalizeDatabase: failed", nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    mLogger.pelmoDoLog(log::Debug, "-finalizeDatabase: OK", nullptr);
    return DataLoggerStatusCode::NoError;
}

}  // namespace quorix::pelmo::datalogger
