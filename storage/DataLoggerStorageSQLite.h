#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/DataLoggerHash.h"
#include "core/DataLoggerNames.h"
#include "core/DataLoggerStorageIfc.h"
#include "core/EnumUtils.h"
#include "platform/Logger.h"
#include "storage/DataLoggerSQLiteHandles.h"
#include "storage/DataLoggerStorageMigration.h"

struct sqlite3;

namespace quorix::pelmo::datalogger {

class DataLoggerSQLiteQuery;
class DataLoggerSQLiteStatementToken;
class DataLoggerSQLiteStatementsManager;
enum class Statement;
class DataLoggerStorageSQLiteInstance;
class PointStore;

// One SQLite database of channels and their points. Owns the connection and, through the
// statement pool, every prepared statement on it; shared (make_shared) between the daemon,
// the core and the pull interface. initializeStorage(), clear() and finalize() run on one
// thread while nobody else uses the storage; every other operation may be called from any
// thread at once (serialized SQLite, one pooled handle per use). Expected failures come back
// as status codes; pool time-outs and migration failures throw std::runtime_error.
class DataLoggerStorageSQLite : public DataLoggerStorageIfc,
                                public virtual log::Logger,
                                public SQLiteErrorSink {
public:
    static constexpr uint32_t CurrentSchemaVersion = 5;

    DataLoggerStorageSQLite(std::string migrationScriptsPath, uint32_t minimumSize,
                            uint32_t maximumSize, std::function<void()> onDatabaseFull);
    ~DataLoggerStorageSQLite() override;
    DataLoggerStorageSQLite(const DataLoggerStorageSQLite&) = delete;
    DataLoggerStorageSQLite& operator=(const DataLoggerStorageSQLite&) = delete;

    DataLoggerStatusCode getChannel(const std::string& path,
                                    DataLoggerStorageChannelInfo& info) override;
    DataLoggerStatusCode getChannel(uint64_t hash, DataLoggerStorageChannelInfo& info) override;
    DataLoggerStatusCode getChannels(std::vector<DataLoggerStorageChannelInfo>& infos) override;
    DataLoggerStatusCode registerOrUpdateChannel(const DataLoggerStorageChannelInfo& info) override;
    DataLoggerStatusCode archiveChannel(const std::string& path, std::string& newPath,
                                        uint64_t& newHash) override;
    DataLoggerStatusCode archiveChannel(uint64_t hash, std::string& newPath,
                                        uint64_t& newHash) override;
    DataLoggerStatusCode setData(uint64_t hash,
                                 const std::vector<DataLoggerDataPoint>& points) override;
    // One transaction per kMaxPointsPerCommit points. A transaction that fails (a full
    // database, an error) is rolled back and its points are written again by setData, row by
    // row with its recovery, so a full database costs one slow commit and loses nothing.
    DataLoggerStatusCode setDataBatch(const std::vector<DataLoggerChannelPoint>& items,
                                      std::vector<size_t>& stored) override;
    // Commits reach the write-ahead log unsynced (synchronous=NORMAL): the log alone is synced
    // once its oldest unsynced commit is kMaxUnsyncedTime old, and a checkpoint (which syncs it
    // first) comes when the log is half its budget.
    void syncIfDue() override;
    static constexpr std::chrono::seconds kMaxUnsyncedTime{10};
    DataLoggerStatusCode initializeStorage(uint32_t size, const std::string& filename,
                                           bool force) override;
    DataLoggerStatusCode finalize() override;
    DataLoggerStatusCode getData(std::vector<DataLoggerDataPoint>& points, const std::string& path,
                                 int64_t lastCounter, std::chrono::microseconds discardOlderThan,
                                 uint32_t amount) override;
    DataLoggerStatusCode getDataPage(std::vector<DataLoggerDataPoint>& points,
                                     const std::string& path, int64_t lastCounter,
                                     std::chrono::microseconds discardOlderThan, uint32_t amount,
                                     uint32_t limit) override;
    DataLoggerStatusCode createLog(const std::string& directory, int logType) override;
    DataLoggerStatusCode clear() override;
    // Reads on the live connection; counting the rows walks an index, about a millisecond per
    // 100,000 rows on a PC, so the row figures are read again at most once per
    // kDescribeInterval and otherwise repeated. While free space is reclaimed, only the file
    // size and last error.
    void describe(DataLoggerDatabaseStatus& status) override;
    static constexpr std::chrono::seconds kDescribeInterval{1};

    // Deletes the `count` oldest blocks; with `reclaim`, then hands the freed pages back to the
    // file system (VACUUM) and retries a page limit the file was too large for.
    DataLoggerStatusCode removeDataEntries(uint32_t count, bool reclaim);

protected:
    // Every statement that is not pooled runs through here; virtual so that a test can make
    // one of them fail.
    virtual DataLoggerStatusCode execute(const std::string& sql);
    // The clock that decides when unsynced commits are due; virtual so that a test can let
    // seconds pass without waiting for them.
    virtual std::chrono::steady_clock::time_point now() const;

private:
    // Called by SQLite on the writing thread after every commit to the write-ahead log.
    static int onWalCommit(void* storage, sqlite3* db, const char* name, int frames);
    void walCommitted(sqlite3* db, const char* name, int frames);
    // True when rc is a failure, which is then logged at Trace as "-<operation>: <call> failed
    // with code <rc>" (the caller hands the code on).
    bool failedCall(DataLoggerStatusCode rc, const char* operation, const char* call) const;

    DataLoggerStatusCode setForeignKeysInstant(bool on);
    DataLoggerStatusCode getSchemaVersionInstant(uint32_t& version);
    DataLoggerStatusCode setSchemaHistory(uint32_t from, uint32_t to, const std::string& comment);
    DataLoggerStatusCode getTableNames(std::vector<std::string>& names);
    DataLoggerStatusCode getDatabaseIntegrity(bool& ok);
    DataLoggerStatusCode getDatabasePageSize(uint32_t& size);
    DataLoggerStatusCode getDatabasePageCount(uint32_t& count);
    DataLoggerStatusCode readPageFigure(Statement statement, uint32_t& out, const char* readFailure,
                                        const char* resetFailure, const char* readLine);
    DataLoggerStatusCode setDatabasePageCount(uint32_t count);
    DataLoggerStatusCode setSizeLimit(uint32_t sizeBytes);
    DataLoggerStatusCode finalizeDatabase();
    DataLoggerStatusCode loadPoints();

    DataLoggerStatusCode initialize(uint32_t size, const std::string& filename, uint32_t version,
                                    bool force);
    DataLoggerStatusCode initializeDB(const std::string& filename, uint32_t version, bool force);
    DataLoggerStatusCode migrate(uint32_t targetVersion);
    void executeMigrationScript(const std::string& script);
    void configureJournal();
    bool setJournalMode(const char* mode);
    void moveAside(const std::string& filename);
    bool isReady() const;
    bool readInteger(const char* sql, int64_t& out, const char* prepareFailure,
                     const char* stepFailure, const char* finalizeFailure);
    bool readInteger(const char* sql, uint32_t& out);

    void waitForWalRoom();
    DataLoggerStatusCode shrink(uint32_t sizeBytes, uint32_t pageSize, uint32_t pageCount);
    void holdPresentSize(uint32_t pageLimit);
    DataLoggerStatusCode reclaimFreeSpace();

    DataLoggerSQLiteQuery query(Statement statement, const char* clearFailure);
    // Inserts items[from.item] from point from.point on within the open transaction, up to
    // `budget` points; returns SQLITE_DONE, or the failing step's code.
    struct BatchPosition {
        size_t item = 0;
        size_t point = 0;
    };
    int insertSlice(const std::vector<DataLoggerChannelPoint>& items, BatchPosition& at,
                    size_t budget, std::vector<size_t>& written, bool& refused);
    // One transaction: the points of items from `at` on (none when at is null), then the blocks
    // that close; SQLITE_DONE once committed, else the failing code after a rollback.
    int commitPoints(const std::vector<DataLoggerChannelPoint>& items, std::vector<size_t>& written,
                     BatchPosition* at = nullptr, bool* refused = nullptr);
    DataLoggerStatusCode makeRoom(bool reclaim);
    DataLoggerStatusCode writeWithRecovery(const std::function<DataLoggerSQLiteQuery()>& bound,
                                           bool& constraintFailed);
    DataLoggerStatusCode setChannel(const DataLoggerStorageChannelInfo& info);
    DataLoggerStatusCode updateChannel(const DataLoggerStorageChannelInfo& info);
    DataLoggerStatusCode getRegisteredHash(uint64_t hash, bool& registered);
    DataLoggerStatusCode getRegisteredPath(const std::string& path, bool& registered);
    DataLoggerStatusCode readChannels(DataLoggerSQLiteQuery& query,
                                      std::vector<DataLoggerStorageChannelInfo>& infos);
    DataLoggerStatusCode archive(const DataLoggerStorageChannelInfo& stored, std::string& newPath,
                                 uint64_t& newHash);
    uint32_t nextBreakingChangeId(bool& failed);

    void noteSQLiteError(const std::string& text) const override;
    void report(const std::string& message, int code) const;
    void reportWarning(const std::string& message, int code) const;

    utils::EnumUtils<DataLoggerStorageType> mStorageTypeNames;
    bool mConstructedOk = false;
    // Read by every operation on any thread; written by initialize and finalize.
    std::atomic<bool> mInitialized{false};
    const uint32_t mMinimumSize;
    const uint32_t mMaximumSize;
    const std::string mMigrationScriptsPath;
    DataLoggerStorageMigration mMigration;
    DataLoggerHash mHash;
    // Declared before the connection so the library is shut down only after it is closed.
    std::shared_ptr<DataLoggerStorageSQLiteInstance> mInstance;
    SQLiteConnection mDb;
    // Destroyed before mDb: its statements were prepared on that connection.
    std::unique_ptr<DataLoggerSQLiteStatementsManager> mStatements;
    std::unique_ptr<PointStore> mPoints;  // the same
    std::mutex mReclaimMutex;  // serialises VACUUM (withdrawing and re-preparing the pool)
    // Held around every write: the connection is shared, so a statement of another thread would
    // otherwise run inside archiving's savepoint and be rolled back with it.
    std::recursive_mutex mWriteMutex;
    const std::function<void()> mOnDatabaseFull;
    std::string mFilename;  // set by initialize, for log lines
    // Length of the write-ahead log in frames after the last commit, and the lengths at which it
    // is checkpointed and writing waits for readers (set when the database is opened).
    std::atomic<int> mWalFrames{0};
    uint32_t mWalCheckpointFrames = 0;
    // When the log last had no unsynced commit (steady clock, ns): set by checkpoints, and by
    // the first commit after one.
    std::atomic<int64_t> mSyncedAt{0};
    bool checkpoint(sqlite3* db, const char* name);
    void syncLog(sqlite3* db, const char* name);
    int64_t steadyNow() const;  // now() in nanoseconds, as mSyncedAt holds it
    uint32_t mWalHoldFrames = 0;
    std::atomic<bool> mWalHoldExpired{false};  // waited in vain; cleared once the log restarts
    // A page limit the file was too large for; each reclaim tries it again (0: none pending).
    std::atomic<uint32_t> mPendingPageLimit{0};
    mutable std::mutex mLastErrorMutex;  // guards mLastError
    mutable std::string mLastError;      // the last SQLite failure, for describe()
    std::mutex mDescribeMutex;  // guards the row figures below, the last ones describe() read
    std::optional<std::chrono::steady_clock::time_point> mDescribedAt;
    std::optional<int64_t> mRows, mOldestUs, mNewestUs;
};

}  // namespace quorix::pelmo::datalogger
