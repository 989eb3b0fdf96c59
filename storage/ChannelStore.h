#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/DataLoggerHash.h"
#include "core/DataLoggerNames.h"
#include "core/DataLoggerTypes.h"
#include "core/EnumUtils.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

class DataLoggerSQLiteQuery;
class PointStore;
class SQLiteDatabase;

// The channel rows of one database: looking channels up by path or hash, registering and
// updating them, and archiving one (its row and its points move to a new path and hash). Keeps
// nothing of its own but the names archives are built from: every row is read and written
// through the database's statement pool.
// Ownership: owned by the storage beside the database it was built on, which outlives it.
// Threads: any thread; every write holds the database's write lock, so that no statement of
// another thread runs inside archiving's savepoint.
// Failures: logged with the storage's logger and returned as status codes: NotFound when no
// channel matches, AlreadyRegistered for a registration that changes nothing, BreakingChange
// for one that would give a registered path another hash. A pool time-out throws
// std::runtime_error.
class ChannelStore {
public:
    // Called, under the write lock, when writing a channel found the database full (rc), to make
    // room before the write is tried again; with `reclaim`, the freed pages go back to the file
    // system too.
    using MakeRoom = std::function<DataLoggerStatusCode(int rc, bool reclaim)>;

    ChannelStore(SQLiteDatabase& database, const log::Logger& logger, MakeRoom makeRoom);
    ChannelStore(const ChannelStore&) = delete;
    ChannelStore& operator=(const ChannelStore&) = delete;

    DataLoggerStatusCode get(const std::string& path, DataLoggerStorageChannelInfo& info);
    DataLoggerStatusCode get(uint64_t hash, DataLoggerStorageChannelInfo& info);
    DataLoggerStatusCode getAll(std::vector<DataLoggerStorageChannelInfo>& infos);
    DataLoggerStatusCode registerOrUpdate(const DataLoggerStorageChannelInfo& info);
    // Renames the channel to "<path>_archive_<storage type>_<n><transformation>" and moves its
    // points in `points` along; both or neither.
    DataLoggerStatusCode archive(const std::string& path, PointStore& points, std::string& newPath,
                                 uint64_t& newHash);
    DataLoggerStatusCode archive(uint64_t hash, PointStore& points, std::string& newPath,
                                 uint64_t& newHash);

private:
    DataLoggerStatusCode archive(const DataLoggerStorageChannelInfo& stored, PointStore& points,
                                 std::string& newPath, uint64_t& newHash);
    uint32_t nextBreakingChangeId(bool& failed);
    DataLoggerStatusCode setChannel(const DataLoggerStorageChannelInfo& info);
    DataLoggerStatusCode updateChannel(const DataLoggerStorageChannelInfo& info);
    DataLoggerStatusCode writeWithRecovery(const std::function<DataLoggerSQLiteQuery()>& bound,
                                           bool& constraintFailed);
    DataLoggerStatusCode getRegisteredHash(uint64_t hash, bool& registered);
    DataLoggerStatusCode getRegisteredPath(const std::string& path, bool& registered);
    DataLoggerStatusCode readChannels(DataLoggerSQLiteQuery& query,
                                      std::vector<DataLoggerStorageChannelInfo>& infos);

    SQLiteDatabase& mDatabase;
    const log::Logger& mLogger;
    const MakeRoom mMakeRoom;
    const utils::EnumUtils<DataLoggerStorageType> mStorageTypeNames;
    const DataLoggerHash mHash;
};

}  // namespace quorix::pelmo::datalogger
