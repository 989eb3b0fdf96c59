#include "app/DataLoggerDaemon.h"

#include <cmath>
#include <cstdlib>
#include <exception>

#include "engine/DataLoggerCore.h"
#include "inputs/dbus/DataloggerDBusService.h"
#include "inputs/filepoll/FilePollEngine.h"
#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "platform/PeriodicCaller.h"
#include "storage/DataLoggerStorageConfig.h"
#include "storage/DataLoggerStorageSQLite.h"

namespace quorix::pelmo::datalogger {

namespace {
const char* const kMigrationScripts = "/data/datalogger/dbscripts/sqlite";
// Beyond a minute a power cut would lose more than an operator expects of a data logger.
constexpr double kMaxCommitIntervalSeconds = 60;
}  // namespace

DataLoggerDaemon::DataLoggerDaemon(int& argc, char** argv)
    : log::Logger("DataLoggerDaemon", "", std::make_shared<log::LoggerImpl>()),
      utils::QuorixApplication(argc, argv, true),
      mCommitInterval(DataLoggerCore::kDefaultCommitInterval) {}

bool DataLoggerDaemon::parseCustomOptions(const std::vector<std::string>& args) {
    static const std::string kCommitInterval = "--commit-interval";
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (args[i] == kCommitInterval && i + 1 < args.size()) {
            value = args[++i];
        } else if (args[i].rfind(kCommitInterval + "=", 0) == 0) {
            value = args[i].substr(kCommitInterval.size() + 1);
        } else {
            return false;
        }
        char* end = nullptr;
        const double seconds = std::strtod(value.c_str(), &end);
        // Also refuses NaN, which fails both comparisons.
        if (value.empty() || *end != '\0' ||
            !(seconds >= 0 && seconds <= kMaxCommitIntervalSeconds)) {
            return false;
        }
        mCommitInterval = std::chrono::milliseconds(std::llround(seconds * 1000));
    }
    return true;
}

std::string DataLoggerDaemon::customOptionsUsage() const {
    return "  --commit-interval SECONDS  longest time points wait to be written together, 0 to " +
           std::to_string(static_cast<int>(kMaxCommitIntervalSeconds)) + " (default " +
           std::to_string(DataLoggerCore::kDefaultCommitInterval.count() / 1000) + ")\n";
}

DataLoggerDaemon::~DataLoggerDaemon() = default;

int DataLoggerDaemon::preInit() {
    try {
        return buildGraph();
    } catch (const std::exception& e) {
        pelmoDoLog(log::Critical, "Exception during preInit: %s", nullptr,
                   log::untrusted(e.what()).c_str());
    } catch (...) {
        pelmoDoLog(log::Critical, "Unknown exception during preInit", nullptr);
    }
    return 1;
}

int DataLoggerDaemon::buildGraph() {
    pelmoDoLog(log::Debug, "+preInit", nullptr);

    pelmoDoLog(log::Debug, "~preInit: loading storage configuration file", nullptr);
    // Read once: the storages and the core must see the same file, even if it changes meanwhile.
    const DataLoggerStorageConfigFile configFile(mStorageConfigPath);
    mStorageConfig = configFile.getConfig();

    pelmoDoLog(log::Debug, "~preInit: creating periodic caller manager", nullptr);
    mPeriodicCallerManager = std::make_shared<utils::PeriodicCallerManager>(
        utils::PeriodicCallerManager::kSharedThread, "");
    mFilePollCallerManager = std::make_shared<utils::PeriodicCallerManager>(
        utils::PeriodicCallerManager::kThreadPerCaller, "FilePoll");

    pelmoDoLog(log::Info, "creating storages...", nullptr);
    if (!configFile.isValid()) {
        pelmoDoLog(log::Critical, "Failed to parse storage configuration file (%s). Errors were:%s",
                   nullptr, mStorageConfigPath.c_str(), configFile.getErrors().c_str());
        return 10;
    }
    mNonVolatileStorage = std::make_shared<DataLoggerStorageSQLite>(
        kMigrationScripts, mStorageMinSize, mStorageConfig->getNonVolatileSize(),
        std::function<void()>());
    mVolatileStorage = std::make_shared<DataLoggerStorageSQLite>(kMigrationScripts, mStorageMinSize,
                                                                 mStorageConfig->getVolatileSize(),
                                                                 std::function<void()>());
    // Its file lives in memory (tmpfs), where no write wears anything out.
    mVolatileStorage->setPageBytes(DataLoggerStorageSQLite::kMemoryPageBytes);
    pelmoDoLog(log::Info, "storages created (but not yet initialized)", nullptr);

    pelmoDoLog(log::Debug, "~preInit: create and init FirmwareVersionPelmo", nullptr);
    auto firmwareVersion = std::make_shared<utils::FirmwareVersionPelmo>();
    firmwareVersion->init();
    auto deviceIdClient = deviceid::DeviceIdClient::make_client();

    pelmoDoLog(log::Debug, "~preInit: creating core", nullptr);
    // Created uniquely owned, then shared: the core hands out weak references to itself.
    auto core = std::make_unique<DataLoggerCore>(mPeriodicCallerManager, mVolatileStorage,
                                                 mNonVolatileStorage, mStorageConfig,
                                                 firmwareVersion, deviceIdClient);
    mCore = std::shared_ptr<DataLoggerCore>(std::move(core));
    mCore->setCommitInterval(mCommitInterval);
    mCore->initialize();

    pelmoDoLog(log::Info, "initializing DBus service...", nullptr);
    mDBusService = std::make_shared<DataloggerDBusService>(
        mCore, "daemon", Gio::DBus::BUS_TYPE_SYSTEM, [this] { return status(); });
    pelmoDoLog(log::Info, "DBus initialized", nullptr);

    pelmoDoLog(log::Info, "initializing file poll...", nullptr);
    mFilePollEngine =
        std::make_shared<FilePollEngine>(mPollConfigDir, mCore, mFilePollCallerManager);
    pelmoDoLog(log::Info, "file poll initialized", nullptr);

    pelmoDoLog(log::Debug, "-preInit: OK", nullptr);
    return 0;
}

DataLoggerStatus DataLoggerDaemon::status() const {
    DataLoggerStatus status = mCore->status();
    status.version = DATALOGGER_VERSION;
    if (mFilePollEngine) {
        status.pollFilesLoaded = mFilePollEngine->filesLoaded();
        status.pollFilesRefused = mFilePollEngine->filesRefused();
    }
    return status;
}

void DataLoggerDaemon::postRun() {
    // Pollers first: they push into the core. Then the core is stopped explicitly, because
    // releasing it need not destroy it: a statistics emission or the D-Bus service may hold it
    // a while longer, and its threads must be gone before the storages close.
    mFilePollEngine.reset();
    if (mCore) mCore->stop();
    mCore.reset();
    mDBusService.reset();
    if (mNonVolatileStorage) mNonVolatileStorage->finalize();
    if (mVolatileStorage) mVolatileStorage->finalize();
}

}  // namespace quorix::pelmo::datalogger
