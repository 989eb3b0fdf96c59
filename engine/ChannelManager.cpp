#include "engine/ChannelManager.h"

#include <vector>

#include "core/ChannelPath.h"
#include "stats/DataLoggerStatsManager.h"

namespace quorix::pelmo::datalogger {

ChannelAssets::ChannelAssets(bool isVolatile, std::shared_ptr<DataLoggerStatsManager> statsManager,
                             std::string path)
    : mVolatile(isVolatile), mStatsManager(std::move(statsManager)), mPath(std::move(path)) {}

ChannelManager::ChannelManager(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager,
                               std::weak_ptr<DataLoggerPushDataIfc> core)
    : mCallerManager(std::move(callerManager)), mCore(std::move(core)) {}

ChannelManager::~ChannelManager() = default;

void ChannelManager::add(const DataLoggerStorageChannelInfo& storageInfo) {
    const DataLoggerChannelInfo& info = storageInfo.channelInfo();
    checkChannelPath(info.mPath);
    std::shared_ptr<ChannelAssets> previous;  // released after the lock, see class comment
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    std::shared_ptr<DataLoggerStatsManager> stats;
    if (info.mStats.period() != 0) {
        stats = std::make_shared<DataLoggerStatsManager>(info, mCore, mCallerManager);
    }
    auto assets = std::make_shared<ChannelAssets>(
        info.mStorageType == DataLoggerStorageType::Volatile, std::move(stats), info.mPath);
    auto& slot = mAssets[storageInfo.channelHash()];
    previous = std::move(slot);
    slot = std::move(assets);
}

bool ChannelManager::hasHash(uint64_t hash) const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mAssets.count(hash) != 0;
}

bool ChannelManager::hasPath(const DataLoggerChannelInfo& info) const {
    uint64_t ignored = 0;
    return findHashOfPath(info.mPath, ignored);
}

bool ChannelManager::findHashOfPath(const std::string& path, uint64_t& hash) const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    for (const auto& [candidate, assets] : mAssets) {
        if (assets->path() == path) {
            hash = candidate;
            return true;
        }
    }
    return false;
}

std::shared_ptr<ChannelAssets> ChannelManager::getAssets(uint64_t hash) const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    auto it = mAssets.find(hash);
    return it == mAssets.end() ? mNoAssets : it->second;
}

void ChannelManager::remove(uint64_t hash) {
    std::shared_ptr<ChannelAssets> previous;  // released after the lock, see class comment
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    auto it = mAssets.find(hash);
    if (it == mAssets.end()) return;
    previous = std::move(it->second);
    mAssets.erase(it);
}

void ChannelManager::stopStatistics() {
    std::vector<std::shared_ptr<DataLoggerStatsManager>> producers;
    {
        std::lock_guard<std::recursive_mutex> lock(mMutex);
        for (const auto& [hash, assets] : mAssets) {
            if (auto stats = assets->statsManager()) producers.push_back(std::move(stats));
        }
    }
    // Without the lock: an emission in progress pushes through the core, which asks the registry.
    for (const auto& stats : producers) stats->stop();
}

void ChannelManager::clear() {
    std::map<uint64_t, std::shared_ptr<ChannelAssets>> previous;  // released after the lock
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    previous.swap(mAssets);
}

size_t ChannelManager::size() const {
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    return mAssets.size();
}

}  // namespace quorix::pelmo::datalogger
