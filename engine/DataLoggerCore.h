#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/DataLoggerHash.h"
#include "core/DataLoggerPushDataIfc.h"
#include "core/DataLoggerStatus.h"
#include "core/DataLoggerStorageIfc.h"
#include "dfrm/DataLoggerDfrm.h"
#include "engine/SharedQueue.h"
#include "platform/DeviceIdClient.h"
#include "platform/DeviceLogContributor.h"
#include "platform/FirmwareVersion.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"
#include "systime/SystemTimeHandler.h"

namespace quorix::pelmo::datalogger {

class ChannelManager;
class DataLoggerStorageConfig;
class StorageAggregatePull;

// The centre of the daemon: the push interface of every producer, the channel registry, the
// queue and its processing thread, and the owner of the readers' view of both databases.
//
// Ownership: always owned by a shared pointer (it hands weak references of itself to the
// statistics producers); shares the storages with the daemon.
// Threads: registerOrUpdateChannel and pushData may be called from any thread at once;
// initialize and stop once each, from the owner's thread; createLog from the log export's
// thread. stop must not run inside one of the core's own callbacks.
// Failure: calls before initialize throw std::runtime_error "Not yet initialized"; expected
// failures are status codes; the processing thread stops for good on an exception (Critical).
class DataLoggerCore : public DataLoggerPushDataIfc,
                       public std::enable_shared_from_this<DataLoggerCore>,
                       public virtual log::Logger {
public:
    DataLoggerCore(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager,
                   std::shared_ptr<DataLoggerStorageIfc> volatileStorage,
                   std::shared_ptr<DataLoggerStorageIfc> nonVolatileStorage,
                   std::shared_ptr<DataLoggerStorageConfig> storageConfig,
                   std::shared_ptr<utils::FirmwareVersionIfc> firmwareVersion,
                   std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient);
    // Stops, unless stop() already ran.
    ~DataLoggerCore() override;

    void initialize();
    // Ends everything that runs on its own: the log export, the statistics emissions, the
    // DfRM server and the processing thread (items still queued are dropped), then releases
    // the registry. Afterwards nothing of the core touches the storages, so the owner may
    // finalise them, and whoever holds the last reference destroys no running component.
    // Pushes are then taken and dropped, registrations answered StorageNotInitialized.
    void stop();

    DataLoggerStatusCode registerOrUpdateChannel(const DataLoggerChannelInfo& info,
                                                 uint64_t& hash) override;
    DataLoggerStatusCode pushData(const uint64_t& hash,
                                  const std::vector<DataLoggerDataPoint>& points) override;
    DataLoggerStatusCode pushOwnedData(const uint64_t& hash,
                                       std::vector<DataLoggerDataPoint>&& points) override;
    DataLoggerStatusCode admitPush(size_t points) override;
    size_t queuedPoints() const override;

    // Archives the channel registered under hash, with its statistics channels, in whichever
    // storage holds them, and drops them from the registry.
    DataLoggerStatusCode archive(const DataLoggerChannelInfo& info, uint64_t hash);
    // Writes a copy of each database into <path>/non_volatile and <path>/volatile, which it
    // creates. Throws std::runtime_error when the folder is refused (LogExportFolder) or a copy
    // is missing; a sub-folder that exists already costs only its own copy.
    void createLog(const std::string& path, int type, int id);

    // The core's part of the daemon's status: queue, point counts, databases, channels and
    // clock. Reads the databases (DataLoggerStorageIfc::describe); any thread.
    DataLoggerStatus status() const;

    std::shared_ptr<StorageAggregatePull> aggregatePull() const { return mAggregatePull; }
    // Tests serve DfRM on a socket of their own; call before initialize.
    void setDfrmSocketPath(std::string path) { mDfrmSocketPath = std::move(path); }
    // How long the writer gathers points into one transaction, at most (it also commits at
    // kMaxPointsPerCommit points): the longest an acknowledged point waits before its
    // transaction commits. Call before initialize.
    static constexpr std::chrono::milliseconds kDefaultCommitInterval{1000};
    void setCommitInterval(std::chrono::milliseconds interval) { mCommitInterval = interval; }

private:
    // Throws before initialize; false for a hash that is not registered.
    bool acceptsPoints(uint64_t hash) const;
    // Queues the points unless that would pass the bound; a refusal is counted and reported.
    DataLoggerStatusCode enqueue(uint64_t hash, std::vector<DataLoggerDataPoint>&& points);
    DataLoggerStatusCode refusePush(size_t points);
    void reportRefusedPushes(std::chrono::steady_clock::time_point now);
    void processData();
    void stopProcessing();
    struct DroppedItems {
        size_t unreported = 0;
        std::string lastError;
        std::optional<std::chrono::steady_clock::time_point> lastReport;
    };
    // Writes the batch, counts what was stored and dropped, feeds the statistics.
    void writeBatch(std::vector<DataLoggerChannelPoint>& batch, DroppedItems& dropped);
    // False when the storage threw, which counts as one dropped item unless `dropped` is null;
    // `stored` then holds what the storage had committed.
    bool writeItems(DataLoggerStorageIfc& storage, const std::vector<DataLoggerChannelPoint>& items,
                    std::vector<size_t>& stored, DroppedItems* dropped);
    void noteDropped(DroppedItems& dropped, const std::string& error, bool flush = false);
    static void releaseFreedMemory();

    // Points queued at once after which the drained queue's memory is handed back.
    static constexpr size_t kTrimAfterBacklogPoints = 100000;
    static constexpr std::chrono::seconds kDroppedReportInterval{1};
    static constexpr std::chrono::seconds kRefusedReportInterval{1};

    const std::chrono::steady_clock::time_point mStarted = std::chrono::steady_clock::now();
    bool mInitialized = false;
    std::atomic<bool> mStopping{false};  // stop() has begun
    std::atomic<bool> mStop{false};      // the processing thread is to end
    std::shared_ptr<utils::PeriodicCallerManagerIfc> mPeriodicCallerManager;
    std::shared_ptr<DataLoggerStorageConfig> mStorageConfig;
    std::shared_ptr<utils::SharedQueue<DataLoggerChannelPoint>> mQueue;
    std::shared_ptr<ChannelManager> mChannelManager;
    std::thread mProcessThread;
    DataLoggerHash mHash;
    std::unique_ptr<DeviceLogContributor> mDeviceLogContributor;
    std::shared_ptr<DataLoggerDfrm> mDfrm;
    std::string mDfrmSocketPath = "/run/datalogger/dfrm.socket";
    std::chrono::milliseconds mCommitInterval = kDefaultCommitInterval;
    std::shared_ptr<SystemTimeHandler> mSystemTimeHandler;
    std::mutex mDfrmMutex;  // orders the configuration-change notices to the DfRM server
    // Makes a registration's look-up of the path and its change of the registry one step, so two
    // producers registering one path at once cannot both find it new. Recursive: a statistics
    // producer registers its derived channels from inside its channel's registration. Taken
    // before the registry's mutex.
    std::recursive_mutex mRegistrationMutex;
    // Refused pushes not yet reported, and when the last report was: one Warning a second.
    std::atomic<size_t> mUnreportedRefusals{0};
    std::mutex mRefusalReportMutex;  // guards mLastRefusalReport
    std::optional<std::chrono::steady_clock::time_point> mLastRefusalReport;
    // Points since start, for status(); counted where each event happens, without a lock.
    std::atomic<uint64_t> mPointsAccepted{0};
    std::atomic<uint64_t> mPointsRefused{0};
    std::atomic<uint64_t> mPointsStored{0};   // processing thread only writes
    std::atomic<uint64_t> mPointsDropped{0};  // processing thread only writes
    std::shared_ptr<utils::FirmwareVersionIfc> mFirmwareVersion;
    std::shared_ptr<deviceid::DeviceIdClientIfc> mDeviceIdClient;
    std::shared_ptr<DataLoggerStorageIfc> mVolatileStorage;
    std::shared_ptr<DataLoggerStorageIfc> mNonVolatileStorage;
    std::shared_ptr<StorageAggregatePull> mAggregatePull;
};

}  // namespace quorix::pelmo::datalogger
