// Data operations of the SQLite storage: writing points with recovery from a full database,
// deleting the oldest and reading with filters. The channel calls hand on to the ChannelStore.
#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "storage/DataLoggerStorageSQLite.h"
#include "storage/PointStore.h"

namespace quorix::pelmo::datalogger {

namespace {

using std::chrono::microseconds;

// Rolls back a transaction still open when it goes.
class TransactionGuard {
public:
    explicit TransactionGuard(sqlite3* db) : mDb(db) {}
    ~TransactionGuard() {
        if (sqlite3_get_autocommit(mDb) == 0)
            sqlite3_exec(mDb, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    TransactionGuard(const TransactionGuard&) = delete;
    TransactionGuard& operator=(const TransactionGuard&) = delete;

private:
    sqlite3* mDb;
};

int64_t ageThresholdMicros(std::chrono::microseconds age) {
    const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const int64_t ageNs = saturatingMultiply(age.count(), 1000);
    const int64_t thresholdNs = ageNs > 0 && nowNs < std::numeric_limits<int64_t>::min() + ageNs
                                    ? std::numeric_limits<int64_t>::min()
                                    : nowNs - ageNs;
    return thresholdNs / 1000;
}

}  // namespace

// ---- writing -----------------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::makeRoomAfterFull(int rc, bool reclaim) {
    mDatabase.reportWarning("Database full, removing data entries.", rc);
    if (mOnDatabaseFull) mOnDatabaseFull();
    return makeRoom(reclaim);
}

// A full database drops its oldest blocks, a tenth of them; one without blocks closes its open
// blocks, whose compressed form takes less room than their tail rows.
DataLoggerStatusCode DataLoggerStorageSQLite::makeRoom(bool reclaim) {
    PointStore::Figures figures;
    if (mPoints->figures(figures) != SQLITE_OK) return DataLoggerStatusCode::StorageError;
    if (figures.blocks == 0) {
        const auto lock = mDatabase.lockWrites();
        mPoints->closeAllOnNextCommit();
        const std::vector<DataLoggerChannelPoint> none;
        std::vector<size_t> stored;
        if (commitPoints(none, stored) != SQLITE_DONE) return DataLoggerStatusCode::StorageError;
        return reclaim ? mDatabase.reclaimFreeSpace() : DataLoggerStatusCode::NoError;
    }
    return removeDataEntries(static_cast<uint32_t>(std::max<int64_t>(1, figures.blocks / 10)),
                             reclaim);
}

DataLoggerStatusCode DataLoggerStorageSQLite::setData(
    uint64_t hash, const std::vector<DataLoggerDataPoint>& points) {
    std::vector<DataLoggerChannelPoint> items(1);
    items[0].mHash = hash;
    items[0].mPoints = points;
    std::vector<size_t> stored;
    const DataLoggerStatusCode rc = setDataBatch(items, stored);
    if (rc == DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Debug, "Set data successfully stepped.", nullptr);
    }
    return rc;
}

int DataLoggerStorageSQLite::insertSlice(const std::vector<DataLoggerChannelPoint>& items,
                                         BatchPosition& at, size_t budget,
                                         std::vector<size_t>& written, bool& refused) {
    while (at.item < items.size() && budget > 0) {
        const DataLoggerChannelPoint& item = items[at.item];
        if (at.point >= item.mPoints.size()) {
            ++at.item;
            at.point = 0;
            continue;
        }
        const int rc = mPoints->append(item.mHash, item.mPoints[at.point]);
        if (rc == SQLITE_CONSTRAINT) {
            // Every point of the item names the same unregistered channel.
            pelmoDoLog(log::Warning, "Tried to push data with not previously registered hash.",
                       nullptr);
            refused = true;
            ++at.item;
            at.point = 0;
            continue;
        }
        if (rc != SQLITE_DONE) return rc;
        ++written[at.item];
        ++at.point;
        --budget;
    }
    return SQLITE_DONE;
}

int DataLoggerStorageSQLite::commitPoints(const std::vector<DataLoggerChannelPoint>& items,
                                          std::vector<size_t>& written, BatchPosition* at,
                                          bool* refused) {
    int rc = SQLITE_ERROR;
    try {
        // Whatever ends the transaction early (a failure, a throw) rolls it back, so the shared
        // connection never keeps one open.
        const TransactionGuard transaction(mDatabase.connection());
        if (execute("BEGIN;") == DataLoggerStatusCode::NoError) {
            BatchPosition none;
            bool ignored = false;
            rc = insertSlice(items, at ? *at : none, kMaxPointsPerCommit, written,
                             refused ? *refused : ignored);
            if (rc == SQLITE_DONE) rc = mPoints->prepareCommit();
            if (rc == SQLITE_DONE) {
                rc = sqlite3_exec(mDatabase.connection(), "COMMIT;", nullptr, nullptr, nullptr);
                rc = rc == SQLITE_OK ? SQLITE_DONE : rc;
            }
        }
    } catch (...) {
        mPoints->rolledBack();
        throw;
    }
    if (rc == SQLITE_DONE) {
        mPoints->committed();
    } else {
        mPoints->rolledBack();
    }
    return rc;
}

DataLoggerStatusCode DataLoggerStorageSQLite::setDataBatch(
    const std::vector<DataLoggerChannelPoint>& items, std::vector<size_t>& stored) {
    stored.assign(items.size(), 0);
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    DataLoggerStatusCode result = DataLoggerStatusCode::NoError;
    BatchPosition at;
    std::vector<size_t> written(items.size());
    while (at.item < items.size()) {
        mDatabase.waitForWalRoom();
        const auto lock = mDatabase.lockWrites();
        const BatchPosition start = at;
        for (int attempt = 1;; ++attempt) {
            at = start;
            std::fill(written.begin(), written.end(), 0);
            bool refused = false;
            const int rc = commitPoints(items, written, &at, &refused);
            if (refused && result == DataLoggerStatusCode::NoError) {
                result = DataLoggerStatusCode::StorageUnknownHash;
            }
            if (rc == SQLITE_DONE) {
                for (size_t i = 0; i < items.size(); ++i) stored[i] += written[i];
                break;
            }
            if (rc != SQLITE_FULL || attempt == SQLiteDatabase::kWriteAttempts) {
                // The slice is lost; the next one is tried.
                mDatabase.report("Points could not be written.", rc);
                result = DataLoggerStatusCode::StorageError;
                break;
            }
            if (makeRoomAfterFull(rc, attempt + 1 == SQLiteDatabase::kWriteAttempts) !=
                DataLoggerStatusCode::NoError) {
                result = DataLoggerStatusCode::StorageError;
                break;
            }
        }
    }
    return result;
}

DataLoggerStatusCode DataLoggerStorageSQLite::removeDataEntries(uint32_t count, bool reclaim) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Trace, "+removeDataEntries", nullptr);
    {
        const auto lock = mDatabase.lockWrites();
        pelmoDoLog(log::Info, "About to remove '%u' data entries.", nullptr, count);
        const int removed = mPoints->removeOldest(count);
        if (removed < 0) return DataLoggerStatusCode::StorageError;
        if (removed == 0) {
            pelmoDoLog(log::Critical,
                       "removeDataEntries did not remove any entry! Database full just with "
                       "channels descriptions?",
                       nullptr);
        } else if (static_cast<uint32_t>(removed) < count) {
            pelmoDoLog(log::Error, "Deleted less entries %d than requested %u", nullptr, removed,
                       count);
        } else {
            pelmoDoLog(log::Debug, "Deleted %d rows", nullptr, removed);
        }
    }
    if (reclaim) {
        const DataLoggerStatusCode rc = mDatabase.reclaimFreeSpace();
        if (rc != DataLoggerStatusCode::NoError) return rc;
    }
    pelmoDoLog(log::Debug, "Delete data statement successfully stepped.", nullptr);
    return DataLoggerStatusCode::NoError;
}

// ---- reading data ------------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::getData(std::vector<DataLoggerDataPoint>& points,
                                                      const std::string& path, int64_t lastCounter,
                                                      microseconds discardOlderThan,
                                                      uint32_t amount) {
    return getDataPage(points, path, lastCounter, discardOlderThan, amount, 0);
}

DataLoggerStatusCode DataLoggerStorageSQLite::getDataPage(std::vector<DataLoggerDataPoint>& points,
                                                          const std::string& path,
                                                          int64_t lastCounter,
                                                          microseconds discardOlderThan,
                                                          uint32_t amount, uint32_t limit) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    if (path.empty()) {
        pelmoDoLog(log::Error, "Binding for get data failed because the passed path was empty.",
                   nullptr);
        pelmoDoLog(log::Error, "Failed to get the getData statement", nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    DataLoggerStorageChannelInfo channel;
    const DataLoggerStatusCode found = getChannel(path, channel);
    if (found != DataLoggerStatusCode::NoError) return found;
    // Both filters are "newer than", so one bound serves them together.
    int64_t after = lastCounter != 0 ? lastCounter : PointStore::kNoBound;
    if (discardOlderThan.count() != 0)
        after = std::max(after, ageThresholdMicros(discardOlderThan));
    const size_t before = points.size();
    if (mPoints->read(channel.channelHash(), after, amount, limit, points) != SQLITE_OK) {
        points.erase(points.begin() + static_cast<std::ptrdiff_t>(before), points.end());
        return DataLoggerStatusCode::StorageError;
    }
    if (points.size() == before) return DataLoggerStatusCode::StorageNoData;
    pelmoDoLog(log::Debug, "Get data was successful. Read about (%d) data points.", nullptr,
               static_cast<int>(points.size() - before));
    return DataLoggerStatusCode::NoError;
}

// ---- channels ----------------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::getChannels(
    std::vector<DataLoggerStorageChannelInfo>& infos) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    return mChannels.getAll(infos);
}

DataLoggerStatusCode DataLoggerStorageSQLite::getChannel(const std::string& path,
                                                         DataLoggerStorageChannelInfo& info) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    return mChannels.get(path, info);
}

DataLoggerStatusCode DataLoggerStorageSQLite::getChannel(uint64_t hash,
                                                         DataLoggerStorageChannelInfo& info) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    return mChannels.get(hash, info);
}

DataLoggerStatusCode DataLoggerStorageSQLite::registerOrUpdateChannel(
    const DataLoggerStorageChannelInfo& info) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    return mChannels.registerOrUpdate(info);
}

DataLoggerStatusCode DataLoggerStorageSQLite::archiveChannel(const std::string& path,
                                                             std::string& newPath,
                                                             uint64_t& newHash) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    return mChannels.archive(path, *mPoints, newPath, newHash);
}

DataLoggerStatusCode DataLoggerStorageSQLite::archiveChannel(uint64_t hash, std::string& newPath,
                                                             uint64_t& newHash) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    return mChannels.archive(hash, *mPoints, newPath, newHash);
}

}  // namespace quorix::pelmo::datalogger
