#include "app/DataLoggerDaemon.h"

#include <exception>

#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "platform/PeriodicCaller.h"
#include "storage/DataLoggerStorageConfig.h"

namespace quorix::pelmo::datalogger {

DataLoggerDaemon::DataLoggerDaemon(int& argc, char** argv)
    : log::Logger("DataLoggerDaemon", "", std::make_shared<log::LoggerImpl>()),
      utils::QuorixApplication(argc, argv, true) {}

DataLoggerDaemon::~DataLoggerDaemon() = default;

int DataLoggerDaemon::preInit() {
    try {
        return buildGraph();
    } catch (const std::exception& e) {
        pelmoDoLog(log::Critical, "Exception during preInit: %s", nullptr, e.what());
    } catch (...) {
        pelmoDoLog(log::Critical, "Unknown exception during preInit", nullptr);
    }
    return 1;
}

int DataLoggerDaemon::buildGraph() {
    pelmoDoLog(log::Debug, "+preInit", nullptr);

    pelmoDoLog(log::Debug, "~preInit: loading storage configuration file", nullptr);
    mStorageConfig = DataLoggerStorageConfigFile(mStorageConfigPath).getConfig();

    pelmoDoLog(log::Debug, "~preInit: creating periodic caller manager", nullptr);
    mPeriodicCallerManager = std::make_shared<utils::PeriodicCallerManager>(0, "");
    mFilePollCallerManager = std::make_shared<utils::PeriodicCallerManager>(1, "FilePoll");

    pelmoDoLog(log::Info, "creating storages...", nullptr);
    DataLoggerStorageConfigFile configFile(mStorageConfigPath);
    if (!configFile.isValid()) {
        pelmoDoLog(log::Critical, "Failed to parse storage configuration file (%s). Errors were:%s",
                   nullptr, mStorageConfigPath.c_str(), configFile.getErrors().c_str());
        return 10;
    }
    // The two SQLite storages are created here from configFile.getConfig() once they exist.

    pelmoDoLog(log::Debug, "~preInit: create and init FirmwareVersionPelmo", nullptr);
    auto firmwareVersion = std::make_shared<utils::FirmwareVersionPelmo>();
    firmwareVersion->init();
    auto deviceIdClient = deviceid::DeviceIdClient::make_client();

    // Still to be wired: the core (given the caller manager, both storages, the configuration,
    // the firmware version and the device-id client), the D-Bus service and the file poll
    // engine, in that order.

    pelmoDoLog(log::Debug, "-preInit: OK", nullptr);
    return 0;
}

void DataLoggerDaemon::postRun() {
    // The file poll engine, the core and the D-Bus service are released here, in that order,
    // then the non-volatile and the volatile storage are finalised.
}

}  // namespace quorix::pelmo::datalogger
