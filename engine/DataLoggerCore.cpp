#include "engine/DataLoggerCore.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "engine/ChannelManager.h"
#include "engine/LogExportFolder.h"
#include "platform/ServiceWatchdog.h"
#include "stats/DataLoggerStatsManager.h"
#include "storage/DataLoggerStorageConfig.h"
#include "storage/StorageAggregatePull.h"

namespace quorix::pelmo::datalogger {

DataLoggerCore::DataLoggerCore(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager,
                               std::shared_ptr<DataLoggerStorageIfc> volatileStorage,
                               std::shared_ptr<DataLoggerStorageIfc> nonVolatileStorage,
                               std::shared_ptr<DataLoggerStorageConfig> storageConfig,
                               std::shared_ptr<utils::FirmwareVersionIfc> firmwareVersion,
                               std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient)
    : log::Logger("DataLoggerCore", "", std::make_shared<log::LoggerImpl>()),
      mPeriodicCallerManager(std::move(callerManager)),
      mStorageConfig(std::move(storageConfig)),
      mQueue(std::make_shared<utils::SharedQueue<DataLoggerChannelPoint>>()),
      mSystemTimeHandler(std::make_shared<SystemTimeHandler>(mPeriodicCallerManager)),
      mFirmwareVersion(std::move(firmwareVersion)),
      mDeviceIdClient(std::move(deviceIdClient)),
      mVolatileStorage(std::move(volatileStorage)),
      mNonVolatileStorage(std::move(nonVolatileStorage)),
      mAggregatePull(
          std::make_shared<StorageAggregatePull>(mVolatileStorage, mNonVolatileStorage)) {}

DataLoggerCore::~DataLoggerCore() {
    stop();
}

void DataLoggerCore::stop() {
    if (mStopping.exchange(true)) return;
    pelmoDoLog(log::Debug, "+stop", nullptr);
    // First: a running export reads the storages.
    mDeviceLogContributor.reset();
    if (mChannelManager) mChannelManager->stopStatistics();
    std::shared_ptr<DataLoggerDfrm> dfrm;
    {
        std::lock_guard<std::mutex> lock(mDfrmMutex);
        dfrm = std::move(mDfrm);
    }
    // Joins the server thread and ends the configuration hash's refresh; both read the storages.
    dfrm.reset();
    stopProcessing();
    if (mChannelManager) mChannelManager->clear();
    pelmoDoLog(log::Debug, "-stop: OK", nullptr);
}

void DataLoggerCore::stopProcessing() {
    if (!mProcessThread.joinable()) return;
    pelmoDoLog(log::Info, "Stopping the process thread", nullptr);
    mStop = true;
    DataLoggerChannelPoint wakeUp;
    wakeUp.mPoints.emplace_back(0.0, std::chrono::time_point_cast<std::chrono::nanoseconds>(
                                         std::chrono::system_clock::now()));
    mQueue->push(std::move(wakeUp));
    mProcessThread.join();
}

void DataLoggerCore::initialize() {
    pelmoDoLog(log::Debug, "+initialize", nullptr);
    if (mInitialized) {
        pelmoDoLog(log::Critical, "already initialized", nullptr);
        throw std::runtime_error("Already initialized");
    }
    mSystemTimeHandler->initialize();
    mChannelManager = std::make_shared<ChannelManager>(
        mPeriodicCallerManager, std::weak_ptr<DataLoggerPushDataIfc>(shared_from_this()));
    mNonVolatileStorage->initializeStorage(mStorageConfig->getNonVolatileSize(),
                                           mStorageConfig->getNonVolatilePath(), false);
    mVolatileStorage->initializeStorage(mStorageConfig->getVolatileSize(),
                                        mStorageConfig->getVolatilePath(), false);
    mProcessThread = std::thread([this] { processData(); });
    mDfrm =
        std::make_shared<DataLoggerDfrm>(mAggregatePull, mDfrmSocketPath, mSystemTimeHandler,
                                         mFirmwareVersion, mDeviceIdClient, mPeriodicCallerManager);
    mDfrm->start(false);
    mDeviceLogContributor = std::make_unique<DeviceLogContributor>(
        [this](const std::string& path, int type, int id) { createLog(path, type, id); },
        "datalogger", Gio::DBus::BUS_TYPE_SYSTEM);
    mInitialized = true;
    pelmoDoLog(log::Debug, "-initialize: OK", nullptr);
}

DataLoggerStatusCode DataLoggerCore::registerOrUpdateChannel(const DataLoggerChannelInfo& info,
                                                             uint64_t& hash) {
    if (!mInitialized) throw std::runtime_error("Not yet initialized");
    pelmoDoLog(log::Debug, "registerOrUpdateChannel for path %s", nullptr,
               log::untrusted(info.mPath).c_str());
    try {
        hash = mHash.compute(info);
        if (mStopping) return DataLoggerStatusCode::StorageNotInitialized;
        // Refused here, before anything is archived or registered: the statistics producer
        // registers the four derived channels before it asks for its periodic call.
        const int64_t statsPeriod = info.mStats.period();
        if (statsPeriod < 0 || statsPeriod > utils::PeriodicCallerManagerIfc::kMaxPeriodSeconds) {
            throw std::invalid_argument(
                "statistics period " + std::to_string(statsPeriod) + " s is not between 0 and " +
                std::to_string(utils::PeriodicCallerManagerIfc::kMaxPeriodSeconds));
        }
        std::lock_guard<std::recursive_mutex> registration(mRegistrationMutex);
        uint64_t registered = 0;
        if (mChannelManager->findHashOfPath(info.mPath, registered) &&
            !mChannelManager->hasHash(hash)) {
            pelmoDoLog(log::Warning, "Archiving channel at path (%s) with hash (%u)", nullptr,
                       log::untrusted(info.mPath).c_str(), static_cast<unsigned>(hash));
            // The registered channel is the one whose data must move out of the way.
            DataLoggerStatusCode archived = archive(info, registered);
            if (archived != DataLoggerStatusCode::NoError) return archived;
        }
        mChannelManager->add(DataLoggerStorageChannelInfo(info, hash));
        auto& storage = info.mStorageType == DataLoggerStorageType::Volatile ? mVolatileStorage
                                                                             : mNonVolatileStorage;
        DataLoggerStatusCode status =
            storage->registerOrUpdateChannel(DataLoggerStorageChannelInfo(info, hash));
        {
            std::lock_guard<std::mutex> lock(mDfrmMutex);
            if (status == DataLoggerStatusCode::NoError && mDfrm) mDfrm->configurationChanged();
        }
        return status;
    } catch (const std::invalid_argument& e) {
        pelmoDoLog(log::Error, "Channel could not be registered, invalid_argument exception: %s",
                   nullptr, log::untrusted(e.what()).c_str());
        return DataLoggerStatusCode::InvalidArgument;
    }
}

// While stopping, points are taken and dropped, as they would be once the writer has ended: a
// producer still running says nothing about it.
DataLoggerStatusCode DataLoggerCore::pushData(const uint64_t& hash,
                                              const std::vector<DataLoggerDataPoint>& points) {
    if (mStopping) return DataLoggerStatusCode::NoError;
    if (!acceptsPoints(hash)) return DataLoggerStatusCode::NotFound;
    // Not copied before the cheap refusal: the copy is what the bound protects against.
    if (admitPush(points.size()) != DataLoggerStatusCode::NoError) {
        return DataLoggerStatusCode::QueueFull;
    }
    return enqueue(hash, std::vector<DataLoggerDataPoint>(points));
}

DataLoggerStatusCode DataLoggerCore::pushOwnedData(const uint64_t& hash,
                                                   std::vector<DataLoggerDataPoint>&& points) {
    if (mStopping) return DataLoggerStatusCode::NoError;
    if (!acceptsPoints(hash)) return DataLoggerStatusCode::NotFound;
    return enqueue(hash, std::move(points));
}

DataLoggerStatusCode DataLoggerCore::admitPush(size_t points) {
    if (points > kMaxPointsPerPush || mQueue->weight() > queuedPointsBoundFor(points) - points) {
        return refusePush(points);
    }
    return DataLoggerStatusCode::NoError;
}

size_t DataLoggerCore::queuedPoints() const {
    return mQueue->weight();
}

DataLoggerStatusCode DataLoggerCore::enqueue(uint64_t hash,
                                             std::vector<DataLoggerDataPoint>&& points) {
    const size_t count = points.size();
    if (count > kMaxPointsPerPush ||
        !mQueue->tryPush(DataLoggerChannelPoint{hash, std::move(points)}, count,
                         queuedPointsBoundFor(count))) {
        return refusePush(count);
    }
    mPointsAccepted.fetch_add(count, std::memory_order_relaxed);
    // Refusals that ended with a flood are reported once the next push gets through.
    if (mUnreportedRefusals.load(std::memory_order_relaxed) != 0) {
        reportRefusedPushes(std::chrono::steady_clock::now());
    }
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode DataLoggerCore::refusePush(size_t points) {
    mPointsRefused.fetch_add(points, std::memory_order_relaxed);
    ++mUnreportedRefusals;
    reportRefusedPushes(std::chrono::steady_clock::now());
    return DataLoggerStatusCode::QueueFull;
}

// A flood is refused call by call: one line a second at most, counting the refusals since.
void DataLoggerCore::reportRefusedPushes(std::chrono::steady_clock::time_point now) {
    std::lock_guard<std::mutex> lock(mRefusalReportMutex);
    if (mLastRefusalReport && now - *mLastRefusalReport < kRefusedReportInterval) return;
    const size_t refused = mUnreportedRefusals.exchange(0);
    if (refused == 0) return;
    mLastRefusalReport = now;
    pelmoDoLog(log::Warning,
               "pushData refused %zu call(s): the queue holds %zu points, its bound is %zu",
               nullptr, refused, mQueue->weight(), kMaxQueuedPoints);
}

bool DataLoggerCore::acceptsPoints(uint64_t hash) const {
    if (!mInitialized) throw std::runtime_error("Not yet initialized");
    return mChannelManager->hasHash(hash);
}

DataLoggerStatusCode DataLoggerCore::archive(const DataLoggerChannelInfo& info, uint64_t hash) {
    auto assets = mChannelManager->getAssets(hash);
    if (!assets) {
        pelmoDoLog(log::Error, "No asset found for the channel to archive, hash was %u", nullptr,
                   static_cast<unsigned>(hash));
        return DataLoggerStatusCode::NoAssetFound;
    }
    std::vector<uint64_t> hashes;
    if (auto stats = assets->statsManager()) hashes = stats->derivedHashes();
    hashes.push_back(hash);

    for (uint64_t oldHash : hashes) {
        std::string newPath;
        uint64_t newHash = 0;
        DataLoggerStatusCode rc = mVolatileStorage->archiveChannel(oldHash, newPath, newHash);
        if (rc == DataLoggerStatusCode::NotFound) {
            rc = mNonVolatileStorage->archiveChannel(oldHash, newPath, newHash);
        }
        if (rc != DataLoggerStatusCode::NoError) {
            pelmoDoLog(log::Error, "Could not archive hash (%u) with base path (%s), error is %d",
                       nullptr, static_cast<unsigned>(oldHash), log::untrusted(info.mPath).c_str(),
                       static_cast<int>(rc));
            return DataLoggerStatusCode::StorageError;
        }
        pelmoDoLog(log::Debug, "Channel with hash (%u) has been archived to (%s) with hash (%u).",
                   nullptr, static_cast<unsigned>(oldHash), log::untrusted(newPath).c_str(),
                   static_cast<unsigned>(newHash));
    }
    // The statistics channels went with their base channel: a later registration of the same
    // path must find neither in the registry, or it would try to archive them a second time.
    for (uint64_t oldHash : hashes) mChannelManager->remove(oldHash);
    return DataLoggerStatusCode::NoError;
}

void DataLoggerCore::createLog(const std::string& path, int type, int id) {
    pelmoDoLog(log::Info, "creation of log requested", nullptr);
    (void)id;
    const LogExportFolder folder(
        path, {mStorageConfig->getNonVolatilePath(), mStorageConfig->getVolatilePath()});
    const std::pair<const char*, DataLoggerStorageIfc*> targets[] = {
        {"non_volatile", mNonVolatileStorage.get()}, {"volatile", mVolatileStorage.get()}};
    int missing = 0;
    for (const auto& [component, storage] : targets) {
        const std::filesystem::path directory = std::filesystem::path(path) / component;
        if (!folder.makeSubFolder(component)) {
            pelmoDoLog(log::Error, "Could not create directory %s", nullptr,
                       log::untrusted(directory.native()).c_str());
            ++missing;
            continue;
        }
        if (storage->createLog(directory.string(), type) != DataLoggerStatusCode::NoError) {
            ++missing;
        }
    }
    // The log collection learns of a partial export only through the exception.
    if (missing != 0) {
        throw std::runtime_error(std::to_string(missing) + " of 2 database copies not written");
    }
}

void DataLoggerCore::processData() {
    try {
        pelmoDoLog(log::Debug, "processData thread started", nullptr);
        size_t backlog = 0;  // the most points queued since memory was last handed back
        DroppedItems dropped;
        // Pinged from this thread alone, so that a writer stuck in a storage stops the pings and
        // the service manager restarts the daemon. The wait is bounded to keep pinging when idle.
        utils::ServiceWatchdog watchdog;
        // Wakes at least once a second when idle, so that the last commits are synced in time.
        const double wait = std::min(1.0, std::chrono::duration<double>(watchdog.period()).count());
        std::vector<DataLoggerChannelPoint> batch;
        while (!mStop) {
            watchdog.pingIfDue();
            mNonVolatileStorage->syncIfDue();
            mVolatileStorage->syncIfDue();
            DataLoggerChannelPoint item;
            if (!mQueue->waitAndPop(item, wait)) continue;
            // What arrives within one commit interval of the first item is written in one
            // transaction: a commit writes each touched page once for all of its points.
            size_t points = item.mPoints.size();
            batch.push_back(std::move(item));
            const auto deadline = std::chrono::steady_clock::now() + mCommitInterval;
            while (points < kMaxPointsPerCommit && !mStop) {
                const double left =
                    std::chrono::duration<double>(deadline - std::chrono::steady_clock::now())
                        .count();
                if (left <= 0 || !mQueue->waitAndPop(item, left)) break;
                points += item.mPoints.size();
                batch.push_back(std::move(item));
            }
            watchdog.pingIfDue();
            writeBatch(batch, dropped);
            batch.clear();
            const size_t queued = mQueue->weight();
            backlog = std::max(backlog, queued);
            if (queued == 0 && backlog >= kTrimAfterBacklogPoints) {
                releaseFreedMemory();
                backlog = 0;
            }
        }
        if (dropped.unreported > 0) noteDropped(dropped, dropped.lastError, true);
        pelmoDoLog(log::Info, "processData thread exited loop", nullptr);
    } catch (const std::exception& e) {
        pelmoDoLog(log::Critical, "processData thread caught exception, will now STOP: %s", nullptr,
                   log::untrusted(e.what()).c_str());
    } catch (...) {
        pelmoDoLog(log::Critical, "processData thread caught an unknown exception, will now STOP",
                   nullptr);
    }
}

// A failing storage fails for every item: one line a second, counting what was dropped since.
void DataLoggerCore::noteDropped(DroppedItems& dropped, const std::string& error, bool flush) {
    const auto now = std::chrono::steady_clock::now();
    if (!flush) {
        ++dropped.unreported;
        dropped.lastError = error;
        if (dropped.lastReport && now - *dropped.lastReport < kDroppedReportInterval) return;
    }
    pelmoDoLog(log::Critical,
               "processData dropped %zu item(s) it could not write, the last with: %s", nullptr,
               dropped.unreported, log::untrusted(error).c_str());
    dropped.unreported = 0;
    dropped.lastReport = now;
}

// A drained backlog leaves its points' memory with the allocator, which keeps it mapped; on the
// controller that memory is shared with every other process, so it is handed back.
void DataLoggerCore::releaseFreedMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// The items of a batch go to their channels' storages, one batch write each; what a storage
// throws costs only the items it was writing, which are then tried one at a time.
void DataLoggerCore::writeBatch(std::vector<DataLoggerChannelPoint>& batch, DroppedItems& dropped) {
    struct Share {
        DataLoggerStorageIfc* storage;
        std::vector<DataLoggerChannelPoint> items;
        std::vector<std::shared_ptr<ChannelAssets>> assets;
    };
    Share shares[] = {{mNonVolatileStorage.get(), {}, {}}, {mVolatileStorage.get(), {}, {}}};
    for (auto& item : batch) {
        auto assets = mChannelManager->getAssets(item.mHash);
        if (!assets) {
            pelmoDoLog(log::Trace,
                       "processData: got data with unknown channel hash (%u), throwing it away",
                       nullptr, static_cast<unsigned>(item.mHash));
            mPointsDropped.fetch_add(item.mPoints.size(), std::memory_order_relaxed);
            continue;
        }
        pelmoDoLog(log::Trace, "processData: pushing %u points to channel %s", nullptr,
                   static_cast<unsigned>(item.mPoints.size()),
                   log::untrusted(assets->path()).c_str());
        Share& share = shares[assets->isVolatile() ? 1 : 0];
        share.items.push_back(std::move(item));
        share.assets.push_back(std::move(assets));
    }
    for (auto& share : shares) {
        if (share.items.empty()) continue;
        std::vector<size_t> stored;
        const bool alone = share.items.size() == 1;
        if (!writeItems(*share.storage, share.items, stored, alone ? &dropped : nullptr) &&
            !alone) {
            // One item that cannot be written must not end the writing of the others.
            stored.resize(share.items.size(), 0);
            for (size_t i = 0; i < share.items.size(); ++i) {
                const auto& points = share.items[i].mPoints;
                if (stored[i] >= points.size()) continue;
                std::vector<DataLoggerChannelPoint> rest(1);
                rest[0].mHash = share.items[i].mHash;
                rest[0].mPoints.assign(points.begin() + static_cast<std::ptrdiff_t>(stored[i]),
                                       points.end());
                std::vector<size_t> one;
                writeItems(*share.storage, rest, one, &dropped);
                if (!one.empty()) stored[i] += one[0];
            }
        }
        for (size_t i = 0; i < share.items.size(); ++i) {
            const size_t count = share.items[i].mPoints.size();
            mPointsStored.fetch_add(stored[i], std::memory_order_relaxed);
            mPointsDropped.fetch_add(count - std::min(count, stored[i]), std::memory_order_relaxed);
            if (auto stats = share.assets[i]->statsManager()) {
                pelmoDoLog(log::Trace, "processData: pushing points to statistics channels",
                           nullptr);
                for (const auto& point : share.items[i].mPoints) stats->pushPoint(point);
            }
        }
    }
}

bool DataLoggerCore::writeItems(DataLoggerStorageIfc& storage,
                                const std::vector<DataLoggerChannelPoint>& items,
                                std::vector<size_t>& stored, DroppedItems* dropped) {
    try {
        storage.setDataBatch(items, stored);
        return true;
    } catch (const std::exception& e) {
        if (dropped) noteDropped(*dropped, e.what());
    } catch (...) {
        if (dropped) noteDropped(*dropped, "unknown exception");
    }
    return false;
}

DataLoggerStatus DataLoggerCore::status() const {
    DataLoggerStatus status;
    status.uptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now() - mStarted)
                               .count();
    status.queuedPoints = mQueue->weight();
    status.queueBoundPoints = kMaxQueuedPoints;
    status.commitIntervalMs = mCommitInterval.count();
    status.pointsAccepted = mPointsAccepted.load(std::memory_order_relaxed);
    status.pointsStored = mPointsStored.load(std::memory_order_relaxed);
    status.pointsRefused = mPointsRefused.load(std::memory_order_relaxed);
    status.pointsDropped = mPointsDropped.load(std::memory_order_relaxed);
    status.channels = mChannelManager ? mChannelManager->size() : 0;
    status.clockTrusted = mSystemTimeHandler->isTimeValid();
    const struct {
        const char* name;
        std::string path;
        uint32_t size;
        DataLoggerStorageIfc* storage;
    } databases[] = {
        {"NonVolatile", mStorageConfig->getNonVolatilePath(), mStorageConfig->getNonVolatileSize(),
         mNonVolatileStorage.get()},
        {"Volatile", mStorageConfig->getVolatilePath(), mStorageConfig->getVolatileSize(),
         mVolatileStorage.get()},
    };
    for (const auto& database : databases) {
        DataLoggerDatabaseStatus described;
        described.name = database.name;
        described.path = database.path;
        described.sizeLimitBytes = database.size;
        database.storage->describe(described);
        status.databases.push_back(std::move(described));
    }
    return status;
}

}  // namespace quorix::pelmo::datalogger
