#include "stats/DataLoggerStatsManager.h"

#include <chrono>
#include <limits>
#include <stdexcept>

namespace quorix::pelmo::datalogger {

DataLoggerStatsManager::DataLoggerStatsManager(
    const DataLoggerChannelInfo& info, std::weak_ptr<DataLoggerPushDataIfc> pushInterface,
    const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager)
    : log::Logger("DataLoggerStatsManager", "", std::make_shared<log::LoggerImpl>()),
      mPushInterface(std::move(pushInterface)),
      mPeriodMicroseconds(info.mStats.period() * 1000000) {
    mParams.push_back(std::make_unique<DataLoggerStatMax>());
    mParams.push_back(std::make_unique<DataLoggerStatMin>());
    mParams.push_back(std::make_unique<DataLoggerStatAverage>());
    mParams.push_back(std::make_unique<DataLoggerStatStdDev>());

    mStatus = registerDerivedChannels(info);
    if (mStatus == DataLoggerStatusCode::NoError ||
        mStatus == DataLoggerStatusCode::AlreadyRegistered) {
        mHandle = callerManager->addPeriodicCaller(static_cast<double>(info.mStats.period()),
                                                   [this] { emit(); });
    } else {
        pelmoDoLog(log::Error,
                   "Failed to register or update the statistics channels: no statistics will be "
                   "created, error code = %d",
                   nullptr, static_cast<int>(mStatus));
    }
}

DataLoggerStatsManager::~DataLoggerStatsManager() {
    mHandle.reset();
}

DataLoggerStatusCode DataLoggerStatsManager::registerDerivedChannels(
    const DataLoggerChannelInfo& info) {
    const double lowest = std::numeric_limits<double>::min();
    const double highest = std::numeric_limits<double>::max();
    const std::chrono::microseconds zero(0);
    for (const auto& param : mParams) {
        DataLoggerChannelInfo derived(
            info.mPath + "." + param->name(), info.mUnit,
            DataLoggerStats(DataLoggerStorageType::Volatile, 0), info.mStats.storageType(),
            param->name() + " of " + info.mPath, std::chrono::microseconds(mPeriodMicroseconds),
            lowest, highest, lowest, highest, {}, true, 0.001, 0.0, 1.0, false, TimePoint(),
            TimePoint(), true, false, false, zero, zero, zero, zero);
        auto push = mPushInterface.lock();
        if (!push) {
            pelmoDoLog(log::Error, "Failed to register channel. No interface available.", nullptr);
            throw std::runtime_error("Failed to register channel. No interface available.");
        }
        uint64_t hash = 0;
        DataLoggerStatusCode status = push->registerOrUpdateChannel(derived, hash);
        if (status != DataLoggerStatusCode::NoError &&
            status != DataLoggerStatusCode::AlreadyRegistered) {
            pelmoDoLog(log::Error,
                       "registerOrUpdateChannel failed with error code %d for channel path %s",
                       nullptr, static_cast<int>(status), log::untrusted(info.mPath).c_str());
            return status;
        }
        mHashes.push_back(hash);
    }
    return DataLoggerStatusCode::NoError;
}

void DataLoggerStatsManager::pushPoint(const DataLoggerDataPoint& point) {
    std::lock_guard<std::mutex> lock(mPeriodMutex);
    for (const auto& param : mParams) param->add(point.value());
    mPointPushed = true;
}

void DataLoggerStatsManager::stop() {
    mStopped = true;
    mHandle.reset();
}

void DataLoggerStatsManager::emit() {
    if (mStopped) return;
    std::vector<double> values;
    {
        std::lock_guard<std::mutex> lock(mPeriodMutex);
        const bool pushed = mPointPushed;
        mPointPushed = false;
        if (!pushed || mHashes.empty()) return;
        for (size_t i = 0; i < mHashes.size(); ++i) values.push_back(mParams[i]->getAndReset());
    }
    // Pushed without the lock: the push re-enters the core, and the processing thread must not
    // wait for it to fold in the next values.
    const TimePoint now =
        std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
    for (size_t i = 0; i < mHashes.size() && !mStopped; ++i) {
        auto push = mPushInterface.lock();
        if (!push) {
            pelmoDoLog(log::Error, "Failed to push statistics data point. No interface available.",
                       nullptr);
            throw std::runtime_error(
                "Failed to push statistics data point. No interface available.");
        }
        DataLoggerStatusCode status =
            push->pushData(mHashes[i], {DataLoggerDataPoint(values[i], now)});
        if (status != DataLoggerStatusCode::NoError) {
            pelmoDoLog(log::Error, "Failed to push statistics data point. Error code is %d",
                       nullptr, static_cast<int>(status));
        }
    }
}

}  // namespace quorix::pelmo::datalogger
