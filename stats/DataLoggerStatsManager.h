#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/DataLoggerPushDataIfc.h"
#include "core/DataLoggerTypes.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"
#include "stats/DataLoggerStatParam.h"

namespace quorix::pelmo::datalogger {

// The statistics producer of one channel: registers the derived channels <path>.max, .min,
// .mean and .stddev through the push interface, folds in every value of the base channel and
// pushes one value per derived channel at the end of every period in which values arrived.
//
// Ownership: owned by the channel registry; holds the push interface weakly.
// Threads: constructed on the registering thread (which re-enters the registry), pushPoint on
// the processing thread, emit on the caller manager's thread, stop on the core's owner.
// Failure: a vanished push interface throws std::runtime_error; a refused registration leaves
// the producer without periodic emission (logged at Error).
class DataLoggerStatsManager : public virtual log::Logger {
public:
    DataLoggerStatsManager(const DataLoggerChannelInfo& info,
                           std::weak_ptr<DataLoggerPushDataIfc> pushInterface,
                           const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager);
    ~DataLoggerStatsManager() override;

    void pushPoint(const DataLoggerDataPoint& point);
    void emit();
    // Ends the periodic emission: waits for one in progress (unless called from it), and no
    // emission starts or pushes afterwards. pushPoint still folds values in.
    void stop();

    // Hashes of the registered derived channels, in the order max, min, mean, stddev.
    const std::vector<uint64_t>& derivedHashes() const { return mHashes; }
    DataLoggerStatusCode registrationStatus() const { return mStatus; }

private:
    DataLoggerStatusCode registerDerivedChannels(const DataLoggerChannelInfo& info);

    // First member: destroyed last would let an emission run on a half-destroyed object, so
    // the destructor resets it explicitly before anything else.
    std::unique_ptr<utils::PeriodicCallerHandle> mHandle;
    std::vector<std::unique_ptr<DataLoggerStatParam>> mParams;
    std::vector<uint64_t> mHashes;
    std::weak_ptr<DataLoggerPushDataIfc> mPushInterface;
    DataLoggerStatusCode mStatus = DataLoggerStatusCode::NotYetRegistered;
    int64_t mPeriodMicroseconds;
    std::atomic<bool> mStopped{false};
    // Guards mPointPushed and the accumulators, which have no lock of their own: one lock per
    // point, and a read-out between the values and the flag would leave the flag set over
    // empty accumulators.
    std::mutex mPeriodMutex;
    bool mPointPushed = false;
};

}  // namespace quorix::pelmo::datalogger
