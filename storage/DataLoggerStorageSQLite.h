#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/DataLoggerStorageIfc.h"
#include "platform/Logger.h"
#include "storage/ChannelStore.h"
#include "storage/DataLoggerSQLiteHandles.h"
#include "storage/SQLiteDatabase.h"

namespace quorix::pelmo::datalogger {

class PointStore;

// One SQLite database of channels and their points: the database file (SQLiteDatabase), its
// channel rows (ChannelStore) and its points (PointStore), and what spans them: writing points
// with recovery from a full database, deleting the oldest, the status and the log export.
// Shared (make_shared) between the daemon, the core and the pull interface. initializeStorage(),
// clear() and finalize() run on one thread while nobody else uses the storage; every other
// operation may be called from any thread at once (serialized SQLite, one pooled handle per use).
// Expected failures come back as status codes; pool time-outs and migration failures throw
// std::runtime_error.
class DataLoggerStorageSQLite : public DataLoggerStorageIfc,
                                public virtual log::Logger,
                                public SQLiteErrorSink,
                                private SQLiteDatabaseOwner {
public:
    static constexpr uint32_t CurrentSchemaVersion = SQLiteDatabase::CurrentSchemaVersion;

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
    static constexpr std::chrono::seconds kMaxUnsyncedTime = SQLiteDatabase::kMaxUnsyncedTime;
    // A commit writes every page it changes to the log whole, and a second's points fill about
    // a kilobyte: on flash the smallest pages keep the bytes written nearest the bytes stored
    // (per point at 1 Hz on 50 channels: 368 bytes with 4 KiB pages, 258 with 1 KiB, 226 with
    // 512). In memory larger pages hold more: a block fills a 512-byte page on its own.
    static constexpr uint32_t kFlashPageBytes = 512;
    static constexpr uint32_t kMemoryPageBytes = 4096;
    // Before initializeStorage: the page size of a new file (default kFlashPageBytes), and of an
    // older one at its next VACUUM.
    void setPageBytes(uint32_t bytes);
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
    // Every statement that is not pooled runs through here, the database's own too; virtual so
    // that a test can make one of them fail.
    DataLoggerStatusCode execute(const std::string& sql) override;
    // The clock that decides when unsynced commits are due; virtual so that a test can let
    // seconds pass without waiting for them.
    std::chrono::steady_clock::time_point now() const override;

private:
    DataLoggerStatusCode shrink(uint32_t sizeBytes, uint32_t pageSize, uint32_t pageCount) override;
    std::unique_lock<std::mutex> pauseReads() override;

    bool isReady() const;
    DataLoggerStatusCode initialize(uint32_t size, const std::string& filename, uint32_t version,
                                    bool force);
    DataLoggerStatusCode loadPoints();

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
    // A write found the database full (rc): the daemon is told, and room is made.
    DataLoggerStatusCode makeRoomAfterFull(int rc, bool reclaim);
    DataLoggerStatusCode makeRoom(bool reclaim);

    void noteSQLiteError(const std::string& text) const override;

    bool mConstructedOk = false;
    const uint32_t mMinimumSize;
    const uint32_t mMaximumSize;
    const std::function<void()> mOnDatabaseFull;
    SQLiteDatabase mDatabase;
    ChannelStore mChannels;
    // Destroyed before the database: its statements were prepared on the connection.
    std::unique_ptr<PointStore> mPoints;
    mutable std::mutex mLastErrorMutex;  // guards mLastError
    mutable std::string mLastError;      // the last SQLite failure, for describe()
    std::mutex mDescribeMutex;  // guards the row figures below, the last ones describe() read
    std::optional<std::chrono::steady_clock::time_point> mDescribedAt;
    std::optional<int64_t> mRows, mOldestUs, mNewestUs;
};

}  // namespace quorix::pelmo::datalogger
