#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/DataLoggerStatus.h"
#include "platform/Application.h"
#include "platform/Logger.h"
#include "storage/DataLoggerStorageConfig.h"

namespace quorix::pelmo::utils {
class PeriodicCallerManager;
}

namespace quorix::pelmo::datalogger {

class DataLoggerCore;
class DataLoggerStorageSQLite;
class DataloggerDBusService;
class FilePollEngine;

// The application object: builds the object graph in preInit, tears it down in postRun, and
// holds it in between. Holds no logic of its own. Runs on the main thread only.
class DataLoggerDaemon : public virtual log::Logger, public utils::QuorixApplication {
public:
    DataLoggerDaemon(int& argc, char** argv);
    ~DataLoggerDaemon() override;

    // --commit-interval SECONDS (0 to 60, fractions allowed).
    bool parseCustomOptions(const std::vector<std::string>& args) override;
    std::string customOptionsUsage() const override;
    // 0 on success, 10 for an invalid storage configuration, 1 when an exception escaped.
    int preInit() override;
    void postRun() override;

private:
    int buildGraph();
    // What getStatus on the bus answers; main thread.
    DataLoggerStatus status() const;

    // Declaration order is destruction order, reversed.
    std::string mPollConfigDir = "/etc/datalogger/poll";
    std::string mStorageConfigPath = "/etc/datalogger/storage.conf";
    uint32_t mStorageMinSize = kStorageMinimumSize;
    std::chrono::milliseconds mCommitInterval;  // the core's default unless an option says
    std::shared_ptr<utils::PeriodicCallerManager> mPeriodicCallerManager;
    std::shared_ptr<utils::PeriodicCallerManager> mFilePollCallerManager;
    std::shared_ptr<DataLoggerStorageSQLite> mVolatileStorage;
    std::shared_ptr<DataLoggerStorageSQLite> mNonVolatileStorage;
    std::shared_ptr<DataLoggerStorageConfig> mStorageConfig;
    std::shared_ptr<FilePollEngine> mFilePollEngine;
    std::shared_ptr<DataLoggerCore> mCore;
    std::shared_ptr<DataloggerDBusService> mDBusService;
};

}  // namespace quorix::pelmo::datalogger
