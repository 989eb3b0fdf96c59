#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/DataLoggerNames.h"
#include "core/DataLoggerPushDataIfc.h"
#include "core/DataLoggerTypes.h"
#include "platform/PeriodicCaller.h"

namespace quorix::pelmo::datalogger {

class DataLoggerStatsManager;

// What the core knows of one registered channel. Immutable once built; shared with the
// processing thread, which may hold it after the registry dropped it.
class ChannelAssets {
public:
    ChannelAssets(bool isVolatile, std::shared_ptr<DataLoggerStatsManager> statsManager,
                  std::string path);

    bool isVolatile() const { return mVolatile; }
    // Empty for channels without statistics.
    std::shared_ptr<DataLoggerStatsManager> statsManager() const { return mStatsManager; }
    std::string path() const { return mPath; }

private:
    const bool mVolatile;
    const std::shared_ptr<DataLoggerStatsManager> mStatsManager;
    const std::string mPath;
};

// The in-memory channel registry, by channel hash.
// Threads: every operation may be called from any thread. The mutex is recursive because
// adding a channel with statistics creates its producer, which registers the derived channels
// back through the core and so re-enters add() on the same thread.
// Replaced or removed entries are released only after the mutex is let go: releasing a
// statistics producer waits for its running emission, which itself needs the registry.
class ChannelManager {
public:
    ChannelManager(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager,
                   std::weak_ptr<DataLoggerPushDataIfc> core);
    virtual ~ChannelManager();

    // Throws std::invalid_argument for a path that breaks the path rule.
    void add(const DataLoggerStorageChannelInfo& info);
    bool hasHash(uint64_t hash) const;
    bool hasPath(const DataLoggerChannelInfo& info) const;
    // The hash registered under path, if any.
    bool findHashOfPath(const std::string& path, uint64_t& hash) const;
    std::shared_ptr<ChannelAssets> getAssets(uint64_t hash) const;
    void remove(uint64_t hash);
    size_t size() const;
    // Ends every statistics producer's emission, waiting for emissions in progress.
    void stopStatistics();
    // Drops every entry; the producers are released on the calling thread unless the
    // processing thread still holds one.
    void clear();

private:
    utils::EnumUtils<DataLoggerUnit> mUnits;
    utils::EnumUtils<DataLoggerStorageType> mStorageTypes;
    const std::shared_ptr<ChannelAssets> mNoAssets;
    mutable std::recursive_mutex mMutex;  // guards mAssets
    const std::shared_ptr<utils::PeriodicCallerManagerIfc> mCallerManager;
    const std::weak_ptr<DataLoggerPushDataIfc> mCore;
    std::map<uint64_t, std::shared_ptr<ChannelAssets>> mAssets;
};

}  // namespace quorix::pelmo::datalogger
