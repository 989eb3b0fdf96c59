// Channel and data operations of the SQLite storage: registration, archiving, writing with
// recovery from a full database, deleting the oldest rows and reading with filters.
#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "storage/DataLoggerSQLiteQuery.h"
#include "storage/DataLoggerSQLiteStatements.h"
#include "storage/DataLoggerStorageSQLite.h"
#include "storage/PointStore.h"

namespace quorix::pelmo::datalogger {

namespace {

using std::chrono::microseconds;

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
    for (int attempt = 1; attempt <= SQLiteDatabase::kWriteAttempts; ++attempt) {
        int rc;
        {
            DataLoggerSQLiteQuery q = bound();
            if (!q.bound()) {
                pelmoDoLog(log::Error, "Could not retrieve statement!", nullptr);
                return DataLoggerStatusCode::StorageError;
            }
            rc = q.step();
            // Resets and gives the handle back: making room below may need the whole pool.
            q.release();
        }
        if (rc == SQLITE_DONE) return DataLoggerStatusCode::NoError;
        if (rc == SQLITE_CONSTRAINT) {
            mDatabase.report("The SQLite constraint failed.", rc);
            constraintFailed = true;
            return DataLoggerStatusCode::StorageError;
        }
        if (rc != SQLITE_FULL) {
            mDatabase.report("Unexpected error while removing data entries.", rc);
            return DataLoggerStatusCode::StorageError;
        }
        if (makeRoomAfterFull(rc, attempt == SQLiteDatabase::kWriteAttempts) !=
            DataLoggerStatusCode::NoError) {
            return DataLoggerStatusCode::StorageError;
        }
    }
    return DataLoggerStatusCode::StorageError;
}

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
    auto q = mDatabase.query(Statement::GetChannels, nullptr);
    return readChannels(q, infos);
}

DataLoggerStatusCode DataLoggerStorageSQLite::getChannel(const std::string& path,
                                                         DataLoggerStorageChannelInfo& info) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    std::vector<DataLoggerStorageChannelInfo> found;
    auto q = mDatabase.query(Statement::GetChannelByPath,
                             "Binding for get channel by path could not be cleared.");
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
    auto q = mDatabase.query(Statement::GetChannelByHash,
                             "Binding for get channel by hash could not be cleared.");
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
    auto q = mDatabase.query(Statement::GetChannelHashRegistered,
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
    auto q = mDatabase.query(Statement::GetChannelPathRegistered,
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
    const auto lock = mDatabase.lockWrites();
    bool constraintFailed = false;
    const DataLoggerStatusCode rc = writeWithRecovery(
        [&] {
            auto q =
                mDatabase.query(Statement::SetChannel,
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
    const auto lock = mDatabase.lockWrites();
    auto q = mDatabase.query(Statement::UpdateChannel,
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
    if (failedCall(*this, rc, operation, "getRegisteredHash(info.channelHash(), registeredHash)")) {
        return rc;
    }
    if (registeredHash) {
        DataLoggerStorageChannelInfo registered;
        rc = getChannel(channel.mPath, registered);
        if (failedCall(*this, rc, operation, "getChannel(info.channelInfo().mPath, registered)")) {
            return rc;
        }
        if (sameAsStored(channel, registered.channelInfo())) {
            pelmoDoLog(log::Warning,
                       "The channel already exists. The channel path is (%s) and the hash is (%u)",
                       nullptr, log::untrusted(channel.mPath).c_str(), hash);
            return DataLoggerStatusCode::AlreadyRegistered;
        }
        rc = updateChannel(info);
        if (failedCall(*this, rc, operation, "updateChannel(info)")) return rc;
        pelmoDoLog(log::Info,
                   "The channel (%s) had irrelevant changes in its meta-data and has been updated.",
                   nullptr, log::untrusted(channel.mPath).c_str());
        return DataLoggerStatusCode::NoError;
    }
    bool registeredPath = false;
    rc = getRegisteredPath(channel.mPath, registeredPath);
    if (failedCall(*this, rc, operation,
                   "getRegisteredPath(info.channelInfo().mPath, registeredPath)")) {
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
    failedCall(*this, rc, operation, "setChannel(info)");
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
    if (failedCall(*this, rc, "archiveChannel", "getChannel(path, info)")) return rc;
    return archive(stored, newPath, newHash);
}

DataLoggerStatusCode DataLoggerStorageSQLite::archiveChannel(uint64_t hash, std::string& newPath,
                                                             uint64_t& newHash) {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    pelmoDoLog(log::Info, "About to archive channel with hash (%u).", nullptr, low32(hash));
    DataLoggerStorageChannelInfo stored;
    const DataLoggerStatusCode rc = getChannel(hash, stored);
    if (failedCall(*this, rc, "archiveChannel", "getChannel(hash, info)")) return rc;
    return archive(stored, newPath, newHash);
}

uint32_t DataLoggerStorageSQLite::nextBreakingChangeId(bool& failed) {
    {
        auto q = mDatabase.query(Statement::BreakingChangeAddNextEntry, nullptr);
        if (!q.stepDone("Could not add the next entry in the breaking change table."))
            failed = true;
        if (!q.reset("Statement for adding the next entry in the breaking change table could not "
                     "be reset.")) {
            failed = true;
        }
    }
    uint32_t id = 0;
    auto q = mDatabase.query(Statement::BreakingChangeGetLatestId, nullptr);
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

    const auto lock = mDatabase.lockWrites();
    // Moving the rows onto a channel that already exists would merge two histories.
    bool taken = false;
    if (getRegisteredPath(renamed.mPath, taken) != DataLoggerStatusCode::NoError || taken) {
        pelmoDoLog(log::Error,
                   "The channel (%s) cannot be archived: its archive path (%s) is already a "
                   "channel. Its history stays where it is.",
                   nullptr, log::untrusted(oldPath).c_str(), log::untrusted(renamed.mPath).c_str());
        return DataLoggerStatusCode::StorageError;
    }
    DataLoggerStatusCode rc = mDatabase.setForeignKeysInstant(false);
    if (failedCall(*this, rc, "archiveChannel", "setForeignKeysInstant(false)")) return rc;
    // Both updates or neither: rows moved to a hash whose channel row was never renamed would
    // belong to no channel.
    const bool inSavepoint = execute("SAVEPOINT archive;") == DataLoggerStatusCode::NoError;
    const bool dataMoved =
        inSavepoint && mPoints->rename(stored.channelHash(), newHash) == SQLITE_DONE;
    bool channelRenamed = false;
    if (dataMoved) {
        auto q =
            mDatabase.query(Statement::UpdateChannelPath,
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
    // The open blocks in memory follow what the database now holds.
    if (channelRenamed) {
        mPoints->committed();
    } else {
        mPoints->rolledBack();
    }
    rc = mDatabase.setForeignKeysInstant(true);
    if (failedCall(*this, rc, "archiveChannel", "setForeignKeysInstant(true)")) return rc;
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
