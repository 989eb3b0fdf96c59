#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/DataLoggerPullDataIfc.h"
#include "dfrm/DataLoggerDfrmConfigHash.h"
#include "dfrm/DfrmAnswerCache.h"
#include "dfrm/DfrmDataRequestIdManager.h"
#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"
#include "systime/SystemTimeHandlerIfc.h"

namespace quorix::pelmo::datalogger {

// Everything the DfRM route handlers read and keep between requests: the sources of the
// documents, the configuration hash, the data request ids and the kept channel list. Knows
// nothing of sockets or FastCGI, so the handlers run without a server.
//
// Ownership: shares its sources with the core; owns the configuration hash (and through it a
// periodic device refresh of callerManager), the ids and the kept answer.
// Threads: the handlers from one thread at a time (the server's); configurationChanged from
// any thread.
// Failure: construction never fails; the handlers log through this object.
class DfrmContext : public virtual log::Logger {
public:
    DfrmContext(std::shared_ptr<DataLoggerPullDataIfc> pull,
                std::shared_ptr<SystemTimeHandlerIfc> systemTimeHandler,
                std::shared_ptr<utils::FirmwareVersionIfc> firmwareVersion,
                std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient,
                const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager);
    DfrmContext(const DfrmContext&) = delete;
    DfrmContext& operator=(const DfrmContext&) = delete;

    // A channel was registered or changed: the hash and the kept channel list are stale.
    void configurationChanged();

    const std::shared_ptr<DataLoggerPullDataIfc>& pull() const { return mPull; }
    const std::shared_ptr<SystemTimeHandlerIfc>& systemTimeHandler() const {
        return mSystemTimeHandler;
    }
    const std::shared_ptr<utils::FirmwareVersionIfc>& firmwareVersion() const {
        return mFirmwareVersion;
    }
    const std::shared_ptr<deviceid::DeviceIdClientIfc>& deviceIdClient() const {
        return mDeviceIdClient;
    }
    const std::string& protocolVersion() const { return mProtocolVersion; }
    DataLoggerDfrmConfigHash& configHash() { return mConfigHash; }
    DfrmDataRequestIdManager& dataRequestIds() { return mDataRequestIds; }
    // Counts configurationChanged calls.
    uint64_t channelsGeneration() const { return mChannelsGeneration.load(); }
    DfrmAnswerCache& channelListAnswer() { return mChannelListAnswer; }

private:
    std::shared_ptr<DataLoggerPullDataIfc> mPull;
    std::shared_ptr<SystemTimeHandlerIfc> mSystemTimeHandler;
    std::shared_ptr<utils::FirmwareVersionIfc> mFirmwareVersion;
    std::shared_ptr<deviceid::DeviceIdClientIfc> mDeviceIdClient;
    const std::string mProtocolVersion = "0.113";
    DataLoggerDfrmConfigHash mConfigHash;
    DfrmDataRequestIdManager mDataRequestIds{100, 50};
    std::atomic<uint64_t> mChannelsGeneration{0};
    DfrmAnswerCache mChannelListAnswer;  // handler thread only
};

}  // namespace quorix::pelmo::datalogger
