#include "dfrm/DataLoggerDfrmConfigHash.h"

#include <glibmm/error.h>

#include <cstdio>
#include <vector>

#include "core/DataLoggerHash.h"
#include "core/DataLoggerNames.h"

namespace quorix::pelmo::datalogger {

namespace {
constexpr double kDeviceRefreshSeconds = 300.0;
// Three flags, most significant first: clock valid, then two that this system never sets.
constexpr char kClockValidFlag = 0x04;
}  // namespace

DataLoggerDfrmConfigHash::DataLoggerDfrmConfigHash(
    const std::shared_ptr<utils::FirmwareVersionIfc>& firmwareVersion,
    std::shared_ptr<SystemTimeHandlerIfc> systemTimeHandler,
    std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient,
    std::shared_ptr<DataLoggerPullDataIfc> pull,
    const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager)
    : log::Logger("DataLoggerDfrmConfigHash", "", std::make_shared<log::LoggerImpl>()),
      mFirmwareVersion(firmwareVersion ? firmwareVersion->getVersion() : std::string()),
      mSystemTimeHandler(std::move(systemTimeHandler)),
      mDeviceIdClient(std::move(deviceIdClient)),
      mPull(std::move(pull)) {
    if (callerManager) {
        mCaller = callerManager->addPeriodicCaller(kDeviceRefreshSeconds, [this] {
            std::lock_guard<std::mutex> lock(mDeviceMutex);
            mDeviceListDue = true;
        });
    }
}

void DataLoggerDfrmConfigHash::markChannelsChanged() {
    std::lock_guard<std::mutex> lock(mChannelMutex);
    mChannelsChanged = true;
}

bool DataLoggerDfrmConfigHash::isClockValid() const {
    return mSystemTimeHandler && mSystemTimeHandler->isTimeValid();
}

bool DataLoggerDfrmConfigHash::isStale() const {
    return mChannelsChanged || mDeviceListDue || isClockValid() != mLastClockValid;
}

std::string DataLoggerDfrmConfigHash::getConfigHash() {
    if (isStale()) {
        pelmoDoLog(log::Info, "Configuration hash must be updated", nullptr);
        updateConfigHash();
    }
    return mHash;
}

void DataLoggerDfrmConfigHash::updateConfigHash() {
    pelmoDoLog(log::Debug, "+updateConfigHash", nullptr);
    mLastClockValid = isClockValid();

    std::string text = mFirmwareVersion;
    text.push_back(mLastClockValid ? kClockValidFlag : '\0');
    if (mChannelsChanged) updateChannelHashSum();
    {
        std::lock_guard<std::mutex> lock(mChannelMutex);
        text += std::to_string(mChannelHashSum);
    }
    if (mDeviceListDue) updateDeviceListChecksum();
    {
        std::lock_guard<std::mutex> lock(mDeviceMutex);
        text += std::to_string(mDeviceListChecksum);
    }

    char hex[9];
    std::snprintf(hex, sizeof(hex), "%x", static_cast<unsigned>(DataLoggerHash::crc32(text)));
    mHash = hex;
    pelmoDoLog(log::Debug, "-updateConfigHash: new hash is %s", nullptr, mHash.c_str());
}

void DataLoggerDfrmConfigHash::updateChannelHashSum() {
    pelmoDoLog(log::Debug, "+updateChannelHashSum", nullptr);
    std::lock_guard<std::mutex> lock(mChannelMutex);
    pelmoDoLog(log::Trace, "about to pullAllChannelInfo", nullptr);
    std::vector<DataLoggerStorageChannelInfo> channels;
    const DataLoggerStatusCode status =
        mPull ? mPull->pullAllChannelInfo(channels) : DataLoggerStatusCode::NotFound;
    if (status == DataLoggerStatusCode::NotFound) {
        pelmoDoLog(log::Info, "No channels listed.", nullptr);
    } else if (status != DataLoggerStatusCode::NoError) {
        std::string name = std::to_string(static_cast<unsigned>(status));
        try {
            name = utils::EnumUtils<DataLoggerStatusCode>().to_string(status);
        } catch (const std::exception&) {
        }
        pelmoDoLog(log::Error,
                   "The datalogger was unable to get the channels from the backend. The received "
                   "status code is (%s).",
                   nullptr, name.c_str());
    }
    uint32_t sum = 0;
    for (const auto& channel : channels) sum += static_cast<uint32_t>(channel.channelHash());
    // Read back as signed and widened: a sum with its top bit set prints as a huge number.
    mChannelHashSum = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(sum)));
    mChannelsChanged = false;
}

void DataLoggerDfrmConfigHash::updateDeviceListChecksum() {
    pelmoDoLog(log::Debug, "+updateDeviceListChecksum", nullptr);
    std::lock_guard<std::mutex> lock(mDeviceMutex);
    std::vector<std::string> ids;
    try {
        if (mDeviceIdClient) ids = mDeviceIdClient->listDevices();
    } catch (const Glib::Error& e) {
        pelmoDoLog(log::Error,
                   "Failed to retrieve device list, consider empty list for config hash. GLib "
                   "error was %s",
                   nullptr, log::untrusted(e.what().raw()).c_str());
        ids.clear();
    } catch (const std::exception& e) {
        pelmoDoLog(log::Error,
                   "Failed to retrieve device list, consider empty list for config hash. "
                   "Excpetion was %s",
                   nullptr, log::untrusted(e.what()).c_str());
        ids.clear();
    }
    uint32_t checksum = 0;
    for (const auto& id : ids) {
        std::string info;
        try {
            info = mDeviceIdClient->getDeviceIdInfo(id);
        } catch (...) {
            pelmoDoLog(log::Warning,
                       "Failed to retrieve deivce ID information from slot %s as TPX. Use the "
                       "slot name instead",
                       nullptr, log::untrusted(id).c_str());
            info = id;
        }
        for (unsigned char byte : info) checksum += byte;
    }
    mDeviceListChecksum = checksum;
    mDeviceListDue = false;
}

}  // namespace quorix::pelmo::datalogger
