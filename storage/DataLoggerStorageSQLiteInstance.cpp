#include "storage/DataLoggerStorageSQLiteInstance.h"

#include <sqlite3.h>

namespace quorix::pelmo::datalogger {

std::shared_ptr<DataLoggerStorageSQLiteInstance> DataLoggerStorageSQLiteInstance::get() {
    static const std::shared_ptr<DataLoggerStorageSQLiteInstance> instance =
        std::make_shared<DataLoggerStorageSQLiteInstance>();
    return instance;
}

DataLoggerStorageSQLiteInstance::DataLoggerStorageSQLiteInstance()
    : log::Logger("DataLoggerStorageSQLiteInstance", "", std::make_shared<log::LoggerImpl>()) {
    // The threading mode can only be changed while the library is shut down.
    int rc = sqlite3_shutdown();
    if (rc != SQLITE_OK) {
        pelmoDoLog(log::Critical,
                   "The connection could not be shut down before preparing the new connection. "
                   "The received status code is (%d).",
                   nullptr, rc);
    }
    const int configRc = sqlite3_config(SQLITE_CONFIG_SERIALIZED);
    if (configRc != SQLITE_OK) {
        pelmoDoLog(log::Critical,
                   "The serialized parameter for safe multithreading could not be set. The "
                   "received status code is (%d).",
                   nullptr, configRc);
    }
    const int initRc = sqlite3_initialize();
    if (initRc != SQLITE_OK) {
        pelmoDoLog(log::Critical,
                   "SQLite library was not able to initialize. The received status code is (%d).",
                   nullptr, initRc);
    }
    if (rc == SQLITE_OK && configRc == SQLITE_OK && initRc == SQLITE_OK) {
        pelmoDoLog(log::Debug, "SQLite libraries successfully initialized.", nullptr);
    }
}

DataLoggerStorageSQLiteInstance::~DataLoggerStorageSQLiteInstance() {
    const int rc = sqlite3_shutdown();
    if (rc != SQLITE_OK) {
        pelmoDoLog(log::Critical,
                   "The connection could not be shut down. The received status code is (%d).",
                   nullptr, rc);
    }
}

}  // namespace quorix::pelmo::datalogger
