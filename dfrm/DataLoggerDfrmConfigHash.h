#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/DataLoggerPullDataIfc.h"
#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"
#include "systime/SystemTimeHandlerIfc.h"

namespace quorix::pelmo::datalogger {

// The "configHash" of every DfRM document: CRC-32 (lower-case hex) over the firmware text,
// the clock-validity flag byte, the sum of the channel hashes and the byte sum of the device
// identifications. Inputs are refreshed only when stale (channels: on markChannelsChanged;
// devices: every 300 s; clock: whenever its validity differs), the hash on the next read.
//
// Ownership: shares its sources; owns the periodic device refresh, which ends on destruction.
// Threads: getConfigHash from one reader thread (the DfRM server's); markChannelsChanged from
// any thread; the refresh tick on the caller manager's thread.
// Failure: never fails; an unreadable input counts as empty (a failed device as its id).
class DataLoggerDfrmConfigHash : public virtual log::Logger {
public:
    DataLoggerDfrmConfigHash(const std::shared_ptr<utils::FirmwareVersionIfc>& firmwareVersion,
                             std::shared_ptr<SystemTimeHandlerIfc> systemTimeHandler,
                             std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient,
                             std::shared_ptr<DataLoggerPullDataIfc> pull,
                             const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager);

    std::string getConfigHash();
    void markChannelsChanged();

private:
    bool isStale() const;
    bool isClockValid() const;
    void updateConfigHash();
    void updateChannelHashSum();
    void updateDeviceListChecksum();

    std::string mFirmwareVersion;
    std::shared_ptr<SystemTimeHandlerIfc> mSystemTimeHandler;
    std::shared_ptr<deviceid::DeviceIdClientIfc> mDeviceIdClient;
    std::shared_ptr<DataLoggerPullDataIfc> mPull;
    std::atomic<bool> mChannelsChanged{true};
    std::mutex mChannelMutex;  // guards mChannelHashSum and writes of mChannelsChanged
    uint64_t mChannelHashSum = 0;
    bool mLastClockValid = false;  // reader thread only
    std::atomic<bool> mDeviceListDue{true};
    std::mutex mDeviceMutex;  // guards mDeviceListChecksum and writes of mDeviceListDue
    uint32_t mDeviceListChecksum = 0;
    std::string mHash;  // reader thread only
    // Last, so the tick stops before anything it touches goes away.
    std::unique_ptr<utils::PeriodicCallerHandle> mCaller;
};

}  // namespace quorix::pelmo::datalogger
