// The channel table: look-ups, registration with its breaking-change check, and archiving.
#include "storage/ChannelStore.h"

#include <sqlite3.h>

#include <algorithm>

#include "storage/DataLoggerSQLiteQuery.h"
#include "storage/DataLoggerSQLiteStatements.h"
#include "storage/PointStore.h"
#include "storage/SQLiteDatabase.h"

namespace quorix::pelmo::datalogger {

namespace {

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

}  // namespace

ChannelStore::ChannelStore(SQLiteDatabase& database, const log::Logger& logger, MakeRoom makeRoom)
    : mDatabase(database), mLogger(logger), mMakeRoom(std::move(makeRoom)) {}

DataLoggerStatusCode ChannelStore::writeWithRecovery(
    const std::function<DataLoggerSQLiteQuery()>& bound, bool& constraintFailed) {
    constraintFailed = false;
    for (int attempt = 1; attempt <= SQLiteDatabase::kWriteAttempts; ++attempt) {
        int rc;
        {
            DataLoggerSQLiteQuery q = bound();
            if (!q.bound()) {
                mLogger.pelmoDoLog(log::Error, "Could not retrieve statement!", nullptr);
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
        if (mMakeRoom(rc, attempt == SQLiteDatabase::kWriteAttempts) !=
            DataLoggerStatusCode::NoError) {
            return DataLoggerStatusCode::StorageError;
        }
    }
    return DataLoggerStatusCode::StorageError;
}

// ---- reading channels --------------------------------------------------------------------

DataLoggerStatusCode ChannelStore::readChannels(DataLoggerSQLiteQuery& q,
                                                std::vector<DataLoggerStorageChannelInfo>& infos) {
    if (!q.bound()) return DataLoggerStatusCode::StorageError;
    int rc;
    while ((rc = q.step()) == SQLITE_ROW) infos.push_back(channelFromRow(q));
    bool ok = rc == SQLITE_DONE;
    if (!ok) q.report("Get channels was not successful.", rc);
    ok = q.reset("Get channel statement could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    if (infos.empty()) return DataLoggerStatusCode::NotFound;
    mLogger.pelmoDoLog(log::Debug, "Get channels was successfully stepped.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode ChannelStore::getAll(std::vector<DataLoggerStorageChannelInfo>& infos) {
    auto q = mDatabase.query(Statement::GetChannels, nullptr);
    return readChannels(q, infos);
}

DataLoggerStatusCode ChannelStore::get(const std::string& path,
                                       DataLoggerStorageChannelInfo& info) {
    std::vector<DataLoggerStorageChannelInfo> found;
    auto q = mDatabase.query(Statement::GetChannelByPath,
                             "Binding for get channel by path could not be cleared.");
    q.bindTextNoCopy(path, "Get channel binding failed for path.");
    const DataLoggerStatusCode rc = readChannels(q, found);
    if (rc != DataLoggerStatusCode::NoError) return rc;
    if (found.size() > 1) {
        mLogger.pelmoDoLog(
            log::Error,
            "There should be no option to get more than one storage channel info object "
            "per path. Maybe this happened because SQLite had a disabled constraint check, "
            "invalid SQLite settings or wrong SQLite statements.",
            nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    info = found.front();
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode ChannelStore::get(uint64_t hash, DataLoggerStorageChannelInfo& info) {
    std::vector<DataLoggerStorageChannelInfo> found;
    auto q = mDatabase.query(Statement::GetChannelByHash,
                             "Binding for get channel by hash could not be cleared.");
    q.bindInt64(static_cast<int64_t>(hash), "Get channel binding failed for hash.");
    const DataLoggerStatusCode rc = readChannels(q, found);
    if (rc != DataLoggerStatusCode::NoError) return rc;
    if (found.size() > 1) {
        mLogger.pelmoDoLog(log::Error, "More than one (%u) channels have been found for hash %u",
                           nullptr, static_cast<unsigned>(found.size()), low32(hash));
        return DataLoggerStatusCode::StorageError;
    }
    info = found.front();
    return DataLoggerStatusCode::NoError;
}

// ---- registration ------------------------------------------------------------------------

DataLoggerStatusCode ChannelStore::getRegisteredHash(uint64_t hash, bool& registered) {
    auto q = mDatabase.query(Statement::GetChannelHashRegistered,
                             "Binding for get channel registered could not be cleared.");
    q.bindInt64(static_cast<int64_t>(hash), "Get channel hash registered binding failed for hash.");
    if (!stepRegistered(q, registered, "Get registered hash statement could not be stepped.",
                        "Get registered hash statement could not be reset.")) {
        return DataLoggerStatusCode::StorageError;
    }
    mLogger.pelmoDoLog(log::Debug, "Get registered hash statement was successful. Result is (%d).",
                       nullptr, registered ? 1 : 0);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode ChannelStore::getRegisteredPath(const std::string& path, bool& registered) {
    auto q = mDatabase.query(Statement::GetChannelPathRegistered,
                             "Binding for get channel registered could not be cleared.");
    q.bindTextNoCopy(path, "Get channel path registered binding failed for path.");
    if (!stepRegistered(q, registered, "Get path registered statement could not be stepped.",
                        "Get path registered statement could not be reset.")) {
        return DataLoggerStatusCode::StorageError;
    }
    mLogger.pelmoDoLog(
        log::Debug, "Get path registered statement was successful. Result is (%d). Path is (%s).",
        nullptr, registered ? 1 : 0, log::untrusted(path).c_str());
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode ChannelStore::setChannel(const DataLoggerStorageChannelInfo& info) {
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
        mLogger.pelmoDoLog(log::Error,
                           "Looks like there was no matching storageType or unit and therefore the "
                           "constraint check failed.",
                           nullptr);
    }
    if (rc == DataLoggerStatusCode::NoError) {
        mLogger.pelmoDoLog(log::Debug, "Set channel was successfully stepped.", nullptr);
    }
    return rc;
}

DataLoggerStatusCode ChannelStore::updateChannel(const DataLoggerStorageChannelInfo& info) {
    const auto lock = mDatabase.lockWrites();
    auto q = mDatabase.query(Statement::UpdateChannel,
                             "Binding of the update channel statement could not be cleared.");
    bindChannelColumns(q, info.channelInfo());
    q.bindInt64(static_cast<int64_t>(info.channelHash()), "Binding channel for hash failed.");
    if (!q.bound()) return DataLoggerStatusCode::StorageError;
    bool ok = q.stepDone("Update channel statement could not be stepped.");
    ok = q.reset("Update channel statement could not be reset.") && ok;
    if (!ok) return DataLoggerStatusCode::StorageError;
    mLogger.pelmoDoLog(log::Debug, "Update channel was successfully stepped.", nullptr);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode ChannelStore::registerOrUpdate(const DataLoggerStorageChannelInfo& info) {
    const DataLoggerChannelInfo& channel = info.channelInfo();
    const unsigned hash = low32(info.channelHash());
    bool registeredHash = false;
    const char* operation = "registerOrUpdateChannel";
    DataLoggerStatusCode rc = getRegisteredHash(info.channelHash(), registeredHash);
    if (failedCall(mLogger, rc, operation,
                   "getRegisteredHash(info.channelHash(), registeredHash)")) {
        return rc;
    }
    if (registeredHash) {
        DataLoggerStorageChannelInfo registered;
        rc = get(channel.mPath, registered);
        if (failedCall(mLogger, rc, operation,
                       "getChannel(info.channelInfo().mPath, registered)")) {
            return rc;
        }
        if (sameAsStored(channel, registered.channelInfo())) {
            mLogger.pelmoDoLog(
                log::Warning,
                "The channel already exists. The channel path is (%s) and the hash is (%u)",
                nullptr, log::untrusted(channel.mPath).c_str(), hash);
            return DataLoggerStatusCode::AlreadyRegistered;
        }
        rc = updateChannel(info);
        if (failedCall(mLogger, rc, operation, "updateChannel(info)")) return rc;
        mLogger.pelmoDoLog(
            log::Info,
            "The channel (%s) had irrelevant changes in its meta-data and has been updated.",
            nullptr, log::untrusted(channel.mPath).c_str());
        return DataLoggerStatusCode::NoError;
    }
    bool registeredPath = false;
    rc = getRegisteredPath(channel.mPath, registeredPath);
    if (failedCall(mLogger, rc, operation,
                   "getRegisteredPath(info.channelInfo().mPath, registeredPath)")) {
        return rc;
    }
    if (registeredPath) {
        mLogger.pelmoDoLog(
            log::Info,
            "This registration would cause a breaking change. The caller may archive the old "
            "path before trying to register again. Requested path (%s) and hash (%u).",
            nullptr, log::untrusted(channel.mPath).c_str(), hash);
        return DataLoggerStatusCode::BreakingChange;
    }
    rc = setChannel(info);
    failedCall(mLogger, rc, operation, "setChannel(info)");
    return rc;
}

// ---- archiving ---------------------------------------------------------------------------

DataLoggerStatusCode ChannelStore::archive(const std::string& path, PointStore& points,
                                           std::string& newPath, uint64_t& newHash) {
    mLogger.pelmoDoLog(log::Info, "About to archive channel with path (%s).", nullptr,
                       log::untrusted(path).c_str());
    DataLoggerStorageChannelInfo stored;
    const DataLoggerStatusCode rc = get(path, stored);
    if (failedCall(mLogger, rc, "archiveChannel", "getChannel(path, info)")) return rc;
    return archive(stored, points, newPath, newHash);
}

DataLoggerStatusCode ChannelStore::archive(uint64_t hash, PointStore& points, std::string& newPath,
                                           uint64_t& newHash) {
    mLogger.pelmoDoLog(log::Info, "About to archive channel with hash (%u).", nullptr, low32(hash));
    DataLoggerStorageChannelInfo stored;
    const DataLoggerStatusCode rc = get(hash, stored);
    if (failedCall(mLogger, rc, "archiveChannel", "getChannel(hash, info)")) return rc;
    return archive(stored, points, newPath, newHash);
}

uint32_t ChannelStore::nextBreakingChangeId(bool& failed) {
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

DataLoggerStatusCode ChannelStore::archive(const DataLoggerStorageChannelInfo& stored,
                                           PointStore& points, std::string& newPath,
                                           uint64_t& newHash) {
    bool failed = false;
    const uint32_t id = nextBreakingChangeId(failed);
    mLogger.pelmoDoLog(log::Trace, "The read breakingChange ID is (%d).", nullptr,
                       static_cast<int>(id));

    const std::string& oldPath = stored.channelInfo().mPath;
    const size_t dot = oldPath.find('.');
    const std::string basicPath = oldPath.substr(0, dot);
    const std::string transformation = dot == std::string::npos ? "" : oldPath.substr(dot);
    if (dot != std::string::npos) {
        mLogger.pelmoDoLog(
            log::Debug,
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
        mLogger.pelmoDoLog(log::Error, "The channel (%s) cannot be archived: %s", nullptr,
                           log::untrusted(oldPath).c_str(), log::untrusted(e.what()).c_str());
        return DataLoggerStatusCode::StorageError;
    }
    mLogger.pelmoDoLog(log::Debug,
                       "The previous path (%s) get's renamed to (%s). The new hash will be (%u).",
                       nullptr, log::untrusted(oldPath).c_str(),
                       log::untrusted(renamed.mPath).c_str(), low32(newHash));

    const auto lock = mDatabase.lockWrites();
    // Moving the rows onto a channel that already exists would merge two histories.
    bool taken = false;
    if (getRegisteredPath(renamed.mPath, taken) != DataLoggerStatusCode::NoError || taken) {
        mLogger.pelmoDoLog(
            log::Error,
            "The channel (%s) cannot be archived: its archive path (%s) is already a "
            "channel. Its history stays where it is.",
            nullptr, log::untrusted(oldPath).c_str(), log::untrusted(renamed.mPath).c_str());
        return DataLoggerStatusCode::StorageError;
    }
    DataLoggerStatusCode rc = mDatabase.setForeignKeysInstant(false);
    if (failedCall(mLogger, rc, "archiveChannel", "setForeignKeysInstant(false)")) return rc;
    // Both updates or neither: rows moved to a hash whose channel row was never renamed would
    // belong to no channel.
    const bool inSavepoint =
        mDatabase.execute("SAVEPOINT archive;") == DataLoggerStatusCode::NoError;
    const bool dataMoved =
        inSavepoint && points.rename(stored.channelHash(), newHash) == SQLITE_DONE;
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
        if (!channelRenamed) mDatabase.execute("ROLLBACK TO archive;");
        if (mDatabase.execute("RELEASE archive;") != DataLoggerStatusCode::NoError)
            channelRenamed = false;
    }
    // The open blocks in memory follow what the database now holds.
    if (channelRenamed) {
        points.committed();
    } else {
        points.rolledBack();
    }
    rc = mDatabase.setForeignKeysInstant(true);
    if (failedCall(mLogger, rc, "archiveChannel", "setForeignKeysInstant(true)")) return rc;
    if (failed || !dataMoved || !channelRenamed) return DataLoggerStatusCode::StorageError;
    newPath = renamed.mPath;
    mLogger.pelmoDoLog(
        log::Debug,
        "The channel (%s) has been archived successfully. The new path is (%s) and the new "
        "hash is (%u).",
        nullptr, log::untrusted(oldPath).c_str(), log::untrusted(newPath).c_str(), low32(newHash));
    return DataLoggerStatusCode::NoError;
}

}  // namespace quorix::pelmo::datalogger
