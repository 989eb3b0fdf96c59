#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/DataLoggerTypes.h"
#include "platform/Logger.h"
#include "storage/DataLoggerSQLiteHandles.h"
#include "storage/DataLoggerStorageMigration.h"

struct sqlite3;

namespace quorix::pelmo::datalogger {

class DataLoggerSQLiteQuery;
class DataLoggerSQLiteStatementsManager;
enum class Statement;
class DataLoggerStorageSQLiteInstance;

// What a database leaves to the storage that owns it. Called on the thread of the database
// operation that needs it; now() also inside SQLite's commit hook, on the writing thread.
class SQLiteDatabaseOwner {
public:
    // Every statement that is not pooled runs through here, so that an owner can make one fail;
    // it hands the statement on to SQLiteDatabase::run.
    virtual DataLoggerStatusCode execute(const std::string& sql) = 0;
    // The clock that decides when unsynced commits are due.
    virtual std::chrono::steady_clock::time_point now() const = 0;
    // Makes the file's used pages fit in sizeBytes by deleting its oldest data, then reclaims
    // the freed pages; the file has pageCount pages of pageSize bytes now.
    virtual DataLoggerStatusCode shrink(uint32_t sizeBytes, uint32_t pageSize,
                                        uint32_t pageCount) = 0;
    // Holds off reads of the owner's own statements while the lock is held: VACUUM fails while
    // any statement of the connection is being stepped.
    virtual std::unique_lock<std::mutex> pauseReads() = 0;

protected:
    ~SQLiteDatabaseOwner() = default;
};

// One database file and its connection: opening it (a file SQLite cannot use is moved aside
// and a new one created), migrating its schema, its journal, the page limit that bounds the
// file and the VACUUM that hands freed pages back to the file system. Owns the connection, the
// statement pool on it and the write lock that every writer on the connection holds.
// In write-ahead log mode a commit reaches the log unsynced (synchronous=NORMAL): the log alone
// is synced once its oldest unsynced commit is kMaxUnsyncedTime old, it is checkpointed when it
// holds half its budget, and past seven eighths writing waits up to 30 s for a reader that
// keeps it from being checkpointed (waitForWalRoom).
// Ownership: a member of the storage, which is its owner and its logger and outlives it.
// Threads: open, clear, prepareStatements and close on one thread while nobody else uses the
// database; everything else from any thread, writes under lockWrites(). Whatever else holds
// statements on the connection must be gone before open or close closes it.
// Failures: logged with the storage's logger (which also keeps the last SQLite error) and
// returned as status codes; pool time-outs and failed migrations throw std::runtime_error.
class SQLiteDatabase {
public:
    static constexpr uint32_t CurrentSchemaVersion = 5;
    static constexpr std::chrono::seconds kMaxUnsyncedTime{10};
    // How often a write that finds the database full is tried, room being made between tries.
    static constexpr int kWriteAttempts = 3;

    SQLiteDatabase(const log::Logger& logger, SQLiteDatabaseOwner& owner,
                   const std::string& migrationScriptsPath);
    ~SQLiteDatabase();
    SQLiteDatabase(const SQLiteDatabase&) = delete;
    SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;

    // Closes what is open, then opens or creates filename and migrates it to `version`; a file
    // that fails is moved aside and created anew, once. The pool lends no statement before
    // prepareStatements().
    DataLoggerStatusCode open(const std::string& filename, uint32_t version, bool force);
    // The page size of files created from now on, and of older files at their next VACUUM.
    void setPageBytes(uint32_t bytes) { mPageBytes = bytes; }
    // Throws what the pool throws when a statement does not compile against the schema.
    void prepareStatements();
    // Drops every table but the schema history and migrates to CurrentSchemaVersion again.
    DataLoggerStatusCode clear();
    DataLoggerStatusCode close();
    bool isReady() const;
    sqlite3* connection() const { return mDb.get(); }
    const std::string& filename() const { return mFilename; }  // for log lines

    DataLoggerSQLiteQuery query(Statement statement, const char* clearFailure);
    // Every statement that is not pooled goes to the owner's execute, which hands it to run().
    DataLoggerStatusCode execute(const std::string& sql);
    // sqlite3_exec of the whole text; a failure is reported with the text.
    DataLoggerStatusCode run(const std::string& sql);
    DataLoggerStatusCode setForeignKeysInstant(bool on);
    // The first column of the first row of a statement run once; no row reads as 0.
    bool readInteger(const char* sql, uint32_t& out);
    // Held around every write: the connection is shared, so a statement of another thread would
    // otherwise run inside a savepoint of this one and be rolled back with it.
    std::unique_lock<std::recursive_mutex> lockWrites() {
        return std::unique_lock<std::recursive_mutex>(mWriteMutex);
    }
    void report(const std::string& message, int code) const;
    void reportWarning(const std::string& message, int code) const;

    void syncIfDue();
    void waitForWalRoom();

    // Bounds the file to sizeBytes, shrinking it first when it is larger; a limit the file
    // cannot be shrunk to is held pending, the file kept at its present size.
    DataLoggerStatusCode setSizeLimit(uint32_t sizeBytes);
    // VACUUM, then the pending page limit if there is one.
    DataLoggerStatusCode reclaimFreeSpace();
    // While held, no VACUUM starts; empty while free space is being reclaimed, which may take
    // seconds, so that a caller can do without rather than wait.
    std::unique_lock<std::mutex> unlessReclaiming() {
        return std::unique_lock<std::mutex>(mReclaimMutex, std::try_to_lock);
    }

private:
    // Called by SQLite on the writing thread after every commit to the write-ahead log.
    static int onWalCommit(void* database, sqlite3* db, const char* name, int frames);
    void walCommitted(sqlite3* db, const char* name, int frames);
    bool checkpoint(sqlite3* db, const char* name);
    void syncLog(sqlite3* db, const char* name);
    int64_t steadyNow() const;  // the owner's now() in nanoseconds, as mSyncedAt holds it

    DataLoggerStatusCode initializeDB(const std::string& filename, uint32_t version, bool force);
    DataLoggerStatusCode finalizeDatabase();
    DataLoggerStatusCode migrate(uint32_t targetVersion);
    void executeMigrationScript(const std::string& script);
    void configureJournal();
    bool setJournalMode(const char* mode);
    void moveAside(const std::string& filename);
    bool readInteger(const char* sql, int64_t& out, const char* prepareFailure,
                     const char* stepFailure, const char* finalizeFailure);

    DataLoggerStatusCode getSchemaVersionInstant(uint32_t& version);
    DataLoggerStatusCode setSchemaHistory(uint32_t from, uint32_t to, const std::string& comment);
    DataLoggerStatusCode getTableNames(std::vector<std::string>& names);
    DataLoggerStatusCode getDatabaseIntegrity(bool& ok);
    DataLoggerStatusCode getDatabasePageSize(uint32_t& size);
    DataLoggerStatusCode getDatabasePageCount(uint32_t& count);
    DataLoggerStatusCode readPageFigure(Statement statement, uint32_t& out, const char* readFailure,
                                        const char* resetFailure, const char* readLine);
    DataLoggerStatusCode setDatabasePageCount(uint32_t count);
    void holdPresentSize(uint32_t pageLimit);

    const log::Logger& mLogger;
    SQLiteDatabaseOwner& mOwner;
    const DataLoggerStorageMigration mMigration;
    // Read by every operation on any thread; written by open and close.
    std::atomic<bool> mInitialized{false};
    // Declared before the connection so the library is shut down only after it is closed.
    std::shared_ptr<DataLoggerStorageSQLiteInstance> mInstance;
    SQLiteConnection mDb;
    // Destroyed before mDb: its statements were prepared on that connection.
    std::unique_ptr<DataLoggerSQLiteStatementsManager> mStatements;
    std::mutex mReclaimMutex;          // serialises VACUUM (withdrawing and re-preparing the pool)
    std::recursive_mutex mWriteMutex;  // guards the connection's transactions, see lockWrites()
    std::string mFilename;             // set by open
    uint32_t mPageBytes = 512;         // set before open
    // Length of the write-ahead log in frames after the last commit, and the lengths at which it
    // is checkpointed and writing waits for readers (set when the database is opened).
    std::atomic<int> mWalFrames{0};
    uint32_t mWalCheckpointFrames = 0;
    uint32_t mWalHoldFrames = 0;
    std::atomic<bool> mWalHoldExpired{false};  // waited in vain; cleared once the log restarts
    // When the log last had no unsynced commit (steady clock, ns): set by checkpoints, and by
    // the first commit after one.
    std::atomic<int64_t> mSyncedAt{0};
    // A page limit the file was too large for; each reclaim tries it again (0: none pending).
    std::atomic<uint32_t> mPendingPageLimit{0};
    std::atomic<uint32_t> mLimitBytes{0};  // the size the last setSizeLimit was asked for
};

// True when rc is a failure, which is then logged at Trace as "-<operation>: <call> failed with
// code <rc>" (the caller hands the code on).
bool failedCall(const log::Logger& logger, DataLoggerStatusCode rc, const char* operation,
                const char* call);

}  // namespace quorix::pelmo::datalogger
