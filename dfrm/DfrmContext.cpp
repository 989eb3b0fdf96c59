#include "dfrm/DfrmContext.h"

namespace quorix::pelmo::datalogger {

DfrmContext::DfrmContext(std::shared_ptr<DataLoggerPullDataIfc> pull,
                         std::shared_ptr<SystemTimeHandlerIfc> systemTimeHandler,
                         std::shared_ptr<utils::FirmwareVersionIfc> firmwareVersion,
                         std::shared_ptr<deviceid::DeviceIdClientIfc> deviceIdClient,
                         const std::shared_ptr<utils::PeriodicCallerManagerIfc>& callerManager)
    // The handlers' lines keep the server's name: to an operator they are the server's.
    : log::Logger("DataLoggerDfrm", "", std::make_shared<log::LoggerImpl>()),
      mPull(std::move(pull)),
      mSystemTimeHandler(std::move(systemTimeHandler)),
      mFirmwareVersion(std::move(firmwareVersion)),
      mDeviceIdClient(std::move(deviceIdClient)),
      mConfigHash(mFirmwareVersion, mSystemTimeHandler, mDeviceIdClient, mPull, callerManager) {}

void DfrmContext::configurationChanged() {
    ++mChannelsGeneration;
    mConfigHash.markChannelsChanged();
}

}  // namespace quorix::pelmo::datalogger
