// Channel and data operations of the SQLite storage: registration, archiving, writing with
// recovery from a full database, deleting the oldest rows and reading with filters.
#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "storage/DataLoggerSQLiteQuery.h"
#include "storage/DataLoggerSQLiteStatements.h"
#include "storage/DataLoggerStorageSQLite.h"

namespace quorix::pelmo::datalogger {

namespace {

using std::chrono::microseconds;

constexpr std::chrono::milliseconds kPoolTimeout{1000};
constexpr int kWriteAttempts = 3;

unsigned low32(uint64_t hash) {
    return static_cast<unsigned>(hash);
}

// The 26 columns after the hash, in table order (both channel statements use this order).
void bindChannelColumns(DataLoggerSQLiteQuery& q, const DataLoggerChannelInfo& c) {
    for (const auto& column : kDataLoggerChannelColumns) {
        const std::string failure = std::string("Binding channel for ") + column.name + " failed.";
        const DataLoggerColumnValue value = column.store(c);
        if (const auto* integer = std::get_if<int64_t>(&value)) {
            q.bindInt64(*integer, failure.c_str());
        } else if (const auto* real = std::get_if<double>(&value)) {
            q.bindDouble(*real, failure.c_str());
        } else {
            q.bindText(std::get<std::string>(value), failure.c_str());
        }
    }
}

// Reads a "SELECT * FROM channel" row by position; NULLs and wrong types read as zero/empty.
DataLoggerStorageChannelInfo channelFromRow(const DataLoggerSQLiteQuery& q) {
    DataLoggerChannelInfo info = channelInfoFromRow(
        [&q](int position, DataLoggerColumnType type) { return q.columnValue(position, type); });
    return DataLoggerStorageChannelInfo(std::move(info), static_cast<uint64_t>(q.columnInt64(0)));
}

// Column by column as stored: dates only to the microsecond the database keeps.
bool sameAsStored(const DataLoggerChannelInfo& a, const DataLoggerChannelInfo& b) {
    return std::all_of(kDataLoggerChannelColumns.begin(), kDataLoggerChannelColumns.end(),
                       [&](const auto& column) { return column.store(a) == column.store(b); });
}

// One row per combination of the getData filters (lastCounter, discardOlderThan, amount set).
// Parameters are bound in the order time threshold, last counter, path, amount; a null
// message means the statement has no such parameter.
struct DataQuery {
    Statement get;
    const char* clearFailure;
    const char* thresholdFailure;
    const char* lastCounterFailure;
    const char* pathFailure;
    const char* amountFailure;
};

}  // namespace

namespace {

const DataQuery kDataQueries[8] = {
    {Statement::GetData, "Binding of get data could not be cleared.", nullptr, nullptr,
     "Get data binding for path failed.", nullptr},
    {Statement::GetDataDiscardByNumber,
     "Binding of get data discarded by number could not be cleared.", nullptr, nullptr,
     "Get data discard by number binding failed for path.",
     "Get data discard by number binding failed for discard old items by number."},
    {Statement::GetDataLastCounterOrDiscardByTime,
     "Binding of get data discard by time could not be cleared.",
     "Get data discard by time binding failed for timepoint.", nullptr,
     "Get data discard by time binding failed for path.", nullptr},
    {Statement::GetDataDiscardByTimeAndNumber,
     "Binding of get data discard by time and number could not be cleared.",
     "Get data discard by time and number binding failed for timepoint.", nullptr,
     "Get data discard by time and number binding failed for path.",
     "Get data discard by time and number binding failed for discard old items by number."},
    {Statement::GetDataLastCounterOrDiscardByTime,
     "Binding of get data last counter could not be cleared.", nullptr,
     "Get data last counter binding failed for last counter.",
     "Get data last counter binding failed for path.", nullptr},
    {Statement::GetDataLastCounterAndDiscardByNumber,
     "Binding of get data last counter and discard by number could not be cleared.", nullptr,
     "Get data last counter and discard by number binding failed for last counter.",
     "Get data last counter and discarded by number binding failed for path.",
     "Get data last counter and discard by number binding failed for discard old items by "
     "number."},
    {Statement::GetDataLastCounterDiscardByTime,
     "Binding of get data last counter discard by time could not be cleared.",
     "Get data last counter discard by time binding failed for timepoint.",
     "Get data last counter discard by time binding failed for last counter again.",
     "Get data last counter discard by time binding failed for path.", nullptr},
    {Statement::GetDataLastCounterDiscardByTimeAndNumber,
     "Binding for get data last counter discard by time and number could not be cleared.",
     "Get data last counter discard by time and number binding failed for timepoint.",
     "Get data last counter discard by time and number binding failed for last counter.",
     "Get data last counter discard by time and number binding failed for path.",
     "Get data last counter discard by time and number binding failed for discard old items by "
     "number."},
};

// Rows must be newer than this to be younger than `age`.
// Appends the (timestamp, value) rows of a bound read statement; false when a step or the reset
// failed (already reported).
bool readPoints(DataLoggerSQLiteQuery& q, std::vector<DataLoggerDataPoint>& points) {
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) {
        points.emplace_back(q.columnReading(1), fromMicros(q.columnInt64(0)));
    }
    if (rc != SQLITE_DONE) q.report("Data could not be read.", rc);
    const bool reset = q.reset("Statement for reading data from the database could not be reset.");
    return rc == SQLITE_DONE && reset;
}

// Steps a bound look-up that finds one row or none; false when it failed (already reported).
bool stepRegistered(DataLoggerSQLiteQuery& q, bool& registered, const char* stepFailure,
                    const char* resetFailure) {
    const int rc = q.step();
    const bool stepped = rc == SQLITE_ROW || rc == SQLITE_DONE;
    if (!stepped && q.bound()) q.report(stepFailure, rc);
    registered = rc == SQLITE_ROW;
    return q.reset(resetFailure) && stepped;
}

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

DataLoggerStatusCode DataLoggerStorageSQLite::writeWithRecovery(
    const std::function<DataLoggerSQLiteQuery()>& bound, bool& constraintFailed) {
    constraintFailed = false;
    for (int attempt = 1; attempt <= kWriteAttempts; ++attempt) {
        int rc;
        {
            DataLoggerSQLiteQuery q = bound();
            if (!q.bound()) {
                pelmoDoLog(log::Error, "Could not retrieve statement!", nullptr);
                return DataLoggerStatusCode::StorageError;
            }
            rc = q.step();
            // Resets and gives the handle back: deleting rows below may need the whole pool.
            q.release();
        }
        if (rc == SQLITE_DONE) return DataLoggerStatusCode::NoError;
        if (rc == SQLITE_CONSTRAINT) {
            report("The SQLite constraint failed.", rc);
            constraintFailed = true;
            return DataLoggerStatusCode::StorageError;
        }
        if (rc != SQLITE_FULL) {
            report("Unexpected error while removing data entries.", rc);
            return DataLoggerStatusCode::StorageError;
        }
        reportWarning("Database full, removing data entries.", rc);
        if (mOnDatabaseFull) mOnDatabaseFull();
        uint32_t pageCount = 0;
        if (getDatabasePageCount(pageCount) != DataLoggerStatusCode::NoError) {
            return DataLoggerStatusCode::StorageError;
        }
        const auto rows = static_cast<uint32_t>(pageCount * 0.1 * mRowSizeEstimate);
        if (removeDataEntries(rows, attempt == kWriteAttempts) != DataLoggerStatusCode::NoError) {
            return DataLoggerStatusCode::StorageError;
        }
    }
    return DataLoggerStatusCode::StorageError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::setData(
    uint64_t hash, const std::vector<DataLoggerDataPoint>& points) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    for (const auto& point : points) {
        waitForWalRoom();
        std::lock_guard<std::recursive_mutex> lock(mWriteMutex);
        bool constraintFailed = false;
        const DataLoggerStatusCode rc = writeWithRecovery(
            [&] {
                auto q = query(Statement::SetData,
                               "Binding of set data statement could not be cleared.");
                q.bindInt64(static_cast<int64_t>(hash), "Set data binding for hash failed.")
                    .bindInt64(toMicros(point.timestamp()),
                               "Set data binding for timestamp failed.")
                    .bindDouble(point.value(), "Set data binding for value failed.");
                return q;
            },
            constraintFailed);
        if (constraintFailed) {
            pelmoDoLog(log::Warning, "Tried to push data with not previously registered hash.",
                       nullptr);
            return DataLoggerStatusCode::StorageUnknownHash;
        }
        if (rc != DataLoggerStatusCode::NoError) return rc;
    }
    pelmoDoLog(log::Debug, "Set data successfully stepped.", nullptr);
    return DataLoggerStatusCode::NoError;
}

int DataLoggerStorageSQLite::insertSlice(const std::vector<DataLoggerChannelPoint>& items,
                                         BatchPosition& at, size_t budget,
                                         std::vector<size_t>& written) {
    while (at.item < items.size() && budget > 0) {
        const DataLoggerChannelPoint& item = items[at.item];
        if (at.point >= item.mPoints.size()) {
            ++at.item;
            at.point = 0;
            continue;
        }
        const DataLoggerDataPoint& point = item.mPoints[at.point];
        auto q = query(Statement::SetData, "Binding of set data statement could not be cleared.");
        q.bindInt64(static_cast<int64_t>(item.mHash), "Set data binding for hash failed.")
            .bindInt64(toMicros(point.timestamp()), "Set data binding for timestamp failed.")
            .bindDouble(point.value(), "Set data binding for value failed.");
        if (!q.bound()) return SQLITE_ERROR;
        const int rc = q.step();
        if (rc == SQLITE_CONSTRAINT) {
            // Every point of the item names the same unregistered channel.
            report("The SQLite constraint failed.", rc);
            pelmoDoLog(log::Warning, "Tried to push data with not previously registered hash.",
                       nullptr);
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

DataLoggerStatusCode DataLoggerStorageSQLite::setDataBatch(
    const std::vector<DataLoggerChannelPoint>& items, std::vector<size_t>& stored) {
    stored.assign(items.size(), 0);
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    DataLoggerStatusCode result = DataLoggerStatusCode::NoError;
    BatchPosition at;
    std::vector<size_t> written(items.size());
    while (at.item < items.size()) {
        waitForWalRoom();
        std::lock_guard<std::recursive_mutex> lock(mWriteMutex);
        const BatchPosition start = at;
        std::fill(written.begin(), written.end(), 0);
        int rc = SQLITE_ERROR;
        {
            // Whatever ends the transaction early (a failure, a throw) rolls it back, so the
            // shared connection never keeps one open.
            const TransactionGuard transaction(mDb.get());
            if (execute("BEGIN;") == DataLoggerStatusCode::NoError) {
                rc = insertSlice(items, at, kMaxPointsPerCommit, written);
                if (rc == SQLITE_DONE && execute("COMMIT;") != DataLoggerStatusCode::NoError) {
                    rc = SQLITE_ERROR;
                }
            }
        }
        if (rc == SQLITE_DONE) {
            for (size_t i = 0; i < items.size(); ++i) stored[i] += written[i];
            continue;
        }
        if (rc != SQLITE_FULL) report("Writing points in one transaction failed.", rc);
        // The same points again, row by row: setData makes room in a full database.
        at = start;
        for (size_t budget = kMaxPointsPerCommit; at.item < items.size() && budget > 0;) {
            const auto& points = items[at.item].mPoints;
            const size_t end = std::min(points.size(), at.point + budget);
            if (end > at.point) {
                const std::vector<DataLoggerDataPoint> part(
                    points.begin() + static_cast<std::ptrdiff_t>(at.point),
                    points.begin() + static_cast<std::ptrdiff_t>(end));
                const DataLoggerStatusCode partRc = setData(items[at.item].mHash, part);
                if (partRc == DataLoggerStatusCode::NoError) {
                    stored[at.item] += part.size();
                } else if (result == DataLoggerStatusCode::NoError) {
                    result = partRc;
                }
                budget -= part.size();
            }
            if (end == points.size()) {
                ++at.item;
                at.point = 0;
            } else {
                at.point = end;
            }
        }
    }
    return result;
}

DataLoggerStatusCode DataLoggerStorageSQLite::removeDataEntries(uint32_t count, bool reclaim) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Trace, "+removeDataEntries", nullptr);
    {
        auto q = query(Statement::DeleteData, "Binding for delete data could not be cleared.");
        q.bindInt64(count, "Delete data binding failed for count.");
        if (!q.bound()) {
            pelmoDoLog(log::Critical,
                       "Could not remove data entries: failed to get the delete data statement",
                       nullptr);
            return DataLoggerStatusCode::StorageError;
        }
        pelmoDoLog(log::Info, "About to remove '%u' data entries.", nullptr, count);
        const bool deleted = q.stepDone("Data entries could not be removed.");
        const int removed = sqlite3_changes(q.connection());
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
        if (!q.reset("Delete data statement could not be reset.") || !deleted) {
            return DataLoggerStatusCode::StorageError;
        }
    }
    if (reclaim) {
        const DataLoggerStatusCode rc = reclaimFreeSpace();
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
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    if (path.empty()) {
        pelmoDoLog(log::Error, "Binding for get data failed because the passed path was empty.",
                   nullptr);
        pelmoDoLog(log::Error, "Failed to get the getData statement", nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    const bool byCounter = lastCounter != 0;
    const bool byTime = discardOlderThan.count() != 0;
    const bool byNumber = amount != 0;
    const DataQuery& filter =
        kDataQueries[(byCounter ? 4 : 0) + (byTime ? 2 : 0) + (byNumber ? 1 : 0)];

    const size_t before = points.size();
    bool readFailed = false;
    {
        auto q = query(filter.get, filter.clearFailure);
        if (filter.thresholdFailure != nullptr) {
            q.bindInt64(ageThresholdMicros(discardOlderThan), filter.thresholdFailure);
        }
        if (filter.lastCounterFailure != nullptr)
            q.bindInt64(lastCounter, filter.lastCounterFailure);
        q.bindTextNoCopy(path, filter.pathFailure);
        if (filter.amountFailure != nullptr)
            q.bindInt(static_cast<int>(amount), filter.amountFailure);
        if (!q.bound()) {
            pelmoDoLog(log::Error, "Failed to get the getData statement", nullptr);
            return DataLoggerStatusCode::StorageError;
        }
        readFailed = !readPoints(q, points);
    }
    if (readFailed) {
        points.resize(before, DataLoggerDataPoint(0.0, TimePoint()));
        return DataLoggerStatusCode::StorageError;
    }
    if (points.size() == before) {
        DataLoggerStorageChannelInfo channel;
        const DataLoggerStatusCode rc = getChannel(path, channel);
        return rc == DataLoggerStatusCode::NoError ? DataLoggerStatusCode::StorageNoData : rc;
    }
    // Read newest first so LIMIT keeps the newest; callers want ascending time.
    std::reverse(points.begin() + static_cast<std::ptrdiff_t>(before), points.end());
    pelmoDoLog(log::Debug, "Get data was successful. Read about (%d) data points.", nullptr,
               static_cast<int>(points.size() - before));
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getDataPage(std::vector<DataLoggerDataPoint>& points,
                                                          const std::string& path,
                                                          int64_t lastCounter,
                                                          microseconds discardOlderThan,
                                                          uint32_t amount, uint32_t limit) {
    // A selection that fits the page is read as it always was.
    if (limit == 0 || (amount != 0 && amount <= limit)) {
        return getData(points, path, lastCounter, discardOlderThan, amount);
    }
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    if (path.empty()) {
        pelmoDoLog(log::Error, "Binding for get data failed because the passed path was empty.",
                   nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    // Both filters are "newer than", so one bound serves them together.
    int64_t after = lastCounter != 0 ? lastCounter : std::numeric_limits<int64_t>::min();
    if (discardOlderThan.count() != 0)
        after = std::max(after, ageThresholdMicros(discardOlderThan));
    if (amount != 0) {
        // The newest `amount` start at the amount-th newest time stamp. Rows sharing that time
        // stamp all come along, so a few more than `amount` can be read in that rare case.
        auto q = query(Statement::GetDataNewestStart,
                       "Binding of get data newest start could not be cleared.");
        q.bindInt64(after, "Get data newest start binding failed for the bound.")
            .bindTextNoCopy(path, "Get data newest start binding failed for path.")
            .bindInt64(static_cast<int64_t>(amount) - 1,
                       "Get data newest start binding failed for the count.");
        if (!q.bound()) return DataLoggerStatusCode::StorageError;
        const int rc = q.step();
        if (rc == SQLITE_ROW) after = std::max(after, q.columnInt64(0) - 1);
        const bool reset = q.reset("Statement for the newest data start could not be reset.");
        if ((rc != SQLITE_ROW && rc != SQLITE_DONE) || !reset) {
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) q.report("Data could not be read.", rc);
            return DataLoggerStatusCode::StorageError;
        }
    }
    const size_t before = points.size();
    bool readFailed = false;
    {
        auto q =
            query(Statement::GetDataPageAfter, "Binding of get data page could not be cleared.");
        q.bindInt64(after, "Get data page binding failed for the bound.")
            .bindTextNoCopy(path, "Get data page binding failed for path.")
            .bindInt64(limit, "Get data page binding failed for the limit.");
        if (!q.bound()) return DataLoggerStatusCode::StorageError;
        readFailed = !readPoints(q, points);
    }
    if (readFailed) {
        points.erase(points.begin() + static_cast<std::ptrdiff_t>(before), points.end());
        return DataLoggerStatusCode::StorageError;
    }
    if (points.size() == before) {
        DataLoggerStorageChannelInfo channel;
        const DataLoggerStatusCode rc = getChannel(path, channel);
        return rc == DataLoggerStatusCode::NoError ? DataLoggerStatusCode::StorageNoData : rc;
    }
    return DataLoggerStatusCode::NoError;
}

// ---- reading channels --------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::readChannels(
    DataLoggerSQLiteQuery& q, std::vector<DataLoggerStorageChannelInfo>& infos) {
    if (!q.bound()) return DataLoggerStatusCode::StorageError;
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) infos.push_back(channelFromRow(q));
    bool ok = rc == SQLITE_DONE;
    if (!ok) q.report("Get channels was not successful.", rc);
    ok = q.reset("Get channel statement could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    if (infos.empty()) return DataLoggerStatusCode::NotFound;
    pelmoDoLog(log::Debug, "Get channels was successfully stepped.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getChannels(
    std::vector<DataLoggerStorageChannelInfo>& infos) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    auto q = query(Statement::GetChannels, nullptr);
    return readChannels(q, infos);
}

DataLoggerStatusCode DataLoggerStorageSQLite::getChannel(const std::string& path,
                                                         DataLoggerStorageChannelInfo& info) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    std::vector<DataLoggerStorageChannelInfo> found;
    auto q =
        query(Statement::GetChannelByPath, "Binding for get channel by path could not be cleared.");
    q.bindTextNoCopy(path, "Get channel binding failed for path.");
    const DataLoggerStatusCode rc = readChannels(q, found);
    if (rc != DataLoggerStatusCode::NoError) return rc;
    if (found.size() > 1) {
        pelmoDoLog(log::Error,
                   "There should be no option to get more than one storage channel info object "
                   "per path. Maybe this happened because SQLite had a disabled constraint check, "
                   "invalid SQLite settings or wrong SQLite statements.",
                   nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    info = found.front();
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getChannel(uint64_t hash,
                                                         DataLoggerStorageChannelInfo& info) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    std::vector<DataLoggerStorageChannelInfo> found;
    auto q =
        query(Statement::GetChannelByHash, "Binding for get channel by hash could not be cleared.");
    q.bindInt64(static_cast<int64_t>(hash), "Get channel binding failed for hash.");
    const DataLoggerStatusCode rc = readChannels(q, found);
    if (rc != DataLoggerStatusCode::NoError) return rc;
    if (found.size() > 1) {
        pelmoDoLog(log::Error, "More than one (%u) channels have been found for hash %u", nullptr,
                   static_cast<unsigned>(found.size()), low32(hash));
        return DataLoggerStatusCode::StorageError;
    }
    info = found.front();
    return DataLoggerStatusCode::NoError;
}

// ---- registration ------------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::getRegisteredHash(uint64_t hash, bool& registered) {
    auto q = query(Statement::GetChannelHashRegistered,
                   "Binding for get channel registered could not be cleared.");
    q.bindInt64(static_cast<int64_t>(hash), "Get channel hash registered binding failed for hash.");
    if (!stepRegistered(q, registered, "Get registered hash statement could not be stepped.",
                        "Get registered hash statement could not be reset.")) {
        return DataLoggerStatusCode::StorageError;
    }
    pelmoDoLog(log::Debug, "Get registered hash statement was successful. Result is (%d).", nullptr,
               registered ? 1 : 0);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::getRegisteredPath(const std::string& path,
                                                                bool& registered) {
    auto q = query(Statement::GetChannelPathRegistered,
                   "Binding for get channel registered could not be cleared.");
    q.bindTextNoCopy(path, "Get channel path registered binding failed for path.");
    if (!stepRegistered(q, registered, "Get path registered statement could not be stepped.",
                        "Get path registered statement could not be reset.")) {
        return DataLoggerStatusCode::StorageError;
    }
    pelmoDoLog(log::Debug,
               "Get path registered statement was successful. Result is (%d). Path is (%s).",
               nullptr, registered ? 1 : 0, log::untrusted(path).c_str());
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::setChannel(const DataLoggerStorageChannelInfo& info) {
    std::lock_guard<std::recursive_mutex> lock(mWriteMutex);
    bool constraintFailed = false;
    const DataLoggerStatusCode rc = writeWithRecovery(
        [&] {
            auto q = query(Statement::SetChannel,
                           "Binding of the update channel statement could not be cleared.");
            q.bindInt64(static_cast<int64_t>(info.channelHash()),
                        "Binding channel for hash failed.");
            bindChannelColumns(q, info.channelInfo());
            return q;
        },
        constraintFailed);
    if (constraintFailed) {
        pelmoDoLog(log::Error,
                   "Looks like there was no matching storageType or unit and therefore the "
                   "constraint check failed.",
                   nullptr);
    }
    if (rc == DataLoggerStatusCode::NoError) {
        pelmoDoLog(log::Debug, "Set channel was successfully stepped.", nullptr);
    }
    return rc;
}

DataLoggerStatusCode DataLoggerStorageSQLite::updateChannel(
    const DataLoggerStorageChannelInfo& info) {
    std::lock_guard<std::recursive_mutex> lock(mWriteMutex);
    auto q = query(Statement::UpdateChannel,
                   "Binding of the update channel statement could not be cleared.");
    bindChannelColumns(q, info.channelInfo());
    q.bindInt64(static_cast<int64_t>(info.channelHash()), "Binding channel for hash failed.");
    if (!q.bound()) return DataLoggerStatusCode::StorageError;
    bool ok = q.stepDone("Update channel statement could not be stepped.");
    ok = q.reset("Update channel statement could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    pelmoDoLog(log::Debug, "Update channel was successfully stepped.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerStorageSQLite::registerOrUpdateChannel(
    const DataLoggerStorageChannelInfo& info) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    const DataLoggerChannelInfo& channel = info.channelInfo();
    const unsigned hash = low32(info.channelHash());
    bool registeredHash = false;
    const char* operation = "registerOrUpdateChannel";
    DataLoggerStatusCode rc = getRegisteredHash(info.channelHash(), registeredHash);
    if (failedCall(rc, operation, "getRegisteredHash(info.channelHash(), registeredHash)")) {
        return rc;
    }
    if (registeredHash) {
        DataLoggerStorageChannelInfo registered;
        rc = getChannel(channel.mPath, registered);
        if (failedCall(rc, operation, "getChannel(info.channelInfo().mPath, registered)")) {
            return rc;
        }
        if (sameAsStored(channel, registered.channelInfo())) {
            pelmoDoLog(log::Warning,
                       "The channel already exists. The channel path is (%s) and the hash is (%u)",
                       nullptr, log::untrusted(channel.mPath).c_str(), hash);
            return DataLoggerStatusCode::AlreadyRegistered;
        }
        rc = updateChannel(info);
        if (failedCall(rc, operation, "updateChannel(info)")) return rc;
        pelmoDoLog(log::Info,
                   "The channel (%s) had irrelevant changes in its meta-data and has been updated.",
                   nullptr, log::untrusted(channel.mPath).c_str());
        return DataLoggerStatusCode::NoError;
    }
    bool registeredPath = false;
    rc = getRegisteredPath(channel.mPath, registeredPath);
    if (failedCall(rc, operation, "getRegisteredPath(info.channelInfo().mPath, registeredPath)")) {
        return rc;
    }
    if (registeredPath) {
        pelmoDoLog(
            log::Info,
            "This registration would cause a breaking change. The caller may archive the old "
            "path before trying to register again. Requested path (%s) and hash (%u).",
            nullptr, log::untrusted(channel.mPath).c_str(), hash);
        return DataLoggerStatusCode::BreakingChange;
    }
    rc = setChannel(info);
    failedCall(rc, operation, "setChannel(info)");
    return rc;
}

// ---- archiving ---------------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::archiveChannel(const std::string& path,
                                                             std::string& newPath,
                                                             uint64_t& newHash) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Info, "About to archive channel with path (%s).", nullptr,
               log::untrusted(path).c_str());
    DataLoggerStorageChannelInfo stored;
    const DataLoggerStatusCode rc = getChannel(path, stored);
    if (failedCall(rc, "archiveChannel", "getChannel(path, info)")) return rc;
    return archive(stored, newPath, newHash);
}

DataLoggerStatusCode DataLoggerStorageSQLite::archiveChannel(uint64_t hash, std::string& newPath,
                                                             uint64_t& newHash) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Info, "About to archive channel with hash (%u).", nullptr, low32(hash));
    DataLoggerStorageChannelInfo stored;
    const DataLoggerStatusCode rc = getChannel(hash, stored);
    if (failedCall(rc, "archiveChannel", "getChannel(hash, info)")) return rc;
    return archive(stored, newPath, newHash);
}

uint32_t DataLoggerStorageSQLite::nextBreakingChangeId(bool& failed) {
    {
        auto q = query(Statement::BreakingChangeAddNextEntry, nullptr);
        if (!q.stepDone("Could not add the next entry in the breaking change table."))
            failed = true;
        if (!q.reset("Statement for adding the next entry in the breaking change table could not "
                     "be reset.")) {
            failed = true;
        }
    }
    uint32_t id = 0;
    auto q = query(Statement::BreakingChangeGetLatestId, nullptr);
    const int rc = q.step();
    if (rc == SQLITE_ROW) {
        id = static_cast<uint32_t>(q.columnInt64(0));
    } else if (rc != SQLITE_DONE) {
        q.report("The ID of the amount of entries in the breakingChange table could not be read.",
                 rc);
        failed = true;
    }
    if (!q.reset("Statement for reading the amount of entries in the breakingChange table could "
                 "not be reset.")) {
        failed = true;
    }
    return id;
}

DataLoggerStatusCode DataLoggerStorageSQLite::archive(const DataLoggerStorageChannelInfo& stored,
                                                      std::string& newPath, uint64_t& newHash) {
    bool failed = false;
    const uint32_t id = nextBreakingChangeId(failed);
    pelmoDoLog(log::Trace, "The read breakingChange ID is (%d).", nullptr, static_cast<int>(id));

    const std::string& oldPath = stored.channelInfo().mPath;
    const size_t dot = oldPath.find('.');
    const std::string basicPath = oldPath.substr(0, dot);
    const std::string transformation = dot == std::string::npos ? "" : oldPath.substr(dot);
    if (dot != std::string::npos) {
        pelmoDoLog(log::Debug,
                   "For archiving a channel the path must be renamed and therefore analyzed. The "
                   "full path is (%s), the found basic path is (%s) and the transformation - if "
                   "existent - is (%s).",
                   nullptr, log::untrusted(oldPath).c_str(), log::untrusted(basicPath).c_str(),
                   log::untrusted(transformation).c_str());
    }
    DataLoggerChannelInfo renamed = stored.channelInfo();
    try {
        renamed.mPath = basicPath + "_archive_" +
                        mStorageTypeNames.to_string(renamed.mStorageType) + "_" +
                        std::to_string(id) + transformation;
        newHash = mHash.compute(renamed);
    } catch (const std::exception& e) {
        // Only a row written by someone else can carry a unit or storage type without a name.
        pelmoDoLog(log::Error, "The channel (%s) cannot be archived: %s", nullptr,
                   log::untrusted(oldPath).c_str(), log::untrusted(e.what()).c_str());
        return DataLoggerStatusCode::StorageError;
    }
    pelmoDoLog(log::Debug,
               "The previous path (%s) get's renamed to (%s). The new hash will be (%u).", nullptr,
               log::untrusted(oldPath).c_str(), log::untrusted(renamed.mPath).c_str(),
               low32(newHash));

    std::lock_guard<std::recursive_mutex> lock(mWriteMutex);
    // Moving the rows onto a channel that already exists would merge two histories.
    bool taken = false;
    if (getRegisteredPath(renamed.mPath, taken) != DataLoggerStatusCode::NoError || taken) {
        pelmoDoLog(log::Error,
                   "The channel (%s) cannot be archived: its archive path (%s) is already a "
                   "channel. Its history stays where it is.",
                   nullptr, log::untrusted(oldPath).c_str(), log::untrusted(renamed.mPath).c_str());
        return DataLoggerStatusCode::StorageError;
    }
    DataLoggerStatusCode rc = setForeignKeysInstant(false);
    if (failedCall(rc, "archiveChannel", "setForeignKeysInstant(false)")) return rc;
    // Both updates or neither: rows moved to a hash whose channel row was never renamed would
    // belong to no channel.
    const bool inSavepoint = execute("SAVEPOINT archive;") == DataLoggerStatusCode::NoError;
    bool dataMoved = false;
    {
        auto q = query(Statement::UpdateDataHash,
                       "Binding of the update data hash statement could not be cleared.");
        q.bindInt64(static_cast<int64_t>(newHash), "Update data hash binding for renamed failed.")
            .bindTextNoCopy(oldPath, "Update data hash binding for path failed.");
        dataMoved = inSavepoint && q.bound() &&
                    q.stepDone(("The data table could not be updated. The renamed string is (" +
                                renamed.mPath + ").")
                                   .c_str());
        dataMoved =
            q.reset("Statement for updating the data table could not be reset.") && dataMoved;
    }
    bool channelRenamed = false;
    if (dataMoved) {
        auto q = query(Statement::UpdateChannelPath,
                       "Binding of the update channel path statement could not be cleared.");
        q.bindTextNoCopy(renamed.mPath, "Update channel path binding for pathUpdated failed.")
            .bindInt64(static_cast<int64_t>(newHash),
                       "Update channel path binding for hashArchive failed.")
            .bindTextNoCopy(oldPath, "Update channel path binding for path failed.");
        channelRenamed =
            q.bound() && q.stepDone(("The channel table could not be updated. The hash to archive "
                                     "is (" +
                                     std::to_string(stored.channelHash()) + ") and the path is (" +
                                     oldPath + ").")
                                        .c_str());
        channelRenamed = q.reset("Statement for updating the channel table could not be reset.") &&
                         channelRenamed;
    }
    if (inSavepoint) {
        if (!channelRenamed) execute("ROLLBACK TO archive;");
        if (execute("RELEASE archive;") != DataLoggerStatusCode::NoError) channelRenamed = false;
    }
    rc = setForeignKeysInstant(true);
    if (failedCall(rc, "archiveChannel", "setForeignKeysInstant(true)")) return rc;
    if (failed || !dataMoved || !channelRenamed) return DataLoggerStatusCode::StorageError;
    newPath = renamed.mPath;
    pelmoDoLog(log::Debug,
               "The channel (%s) has been archived successfully. The new path is (%s) and the new "
               "hash is (%u).",
               nullptr, log::untrusted(oldPath).c_str(), log::untrusted(newPath).c_str(),
               low32(newHash));
    return DataLoggerStatusCode::NoError;
}

}  // namespace quorix::pelmo::datalogger
