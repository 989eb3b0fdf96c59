#pragma once

#include <memory>

#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// The process-wide SQLite library set-up (serialized threading mode). Exactly one exists: the
// first get() creates it, a function-local static keeps it until program exit, and every
// storage holds a copy so the library outlives its last connection. Failures of the set-up
// are logged at Critical, never thrown. get() may be called from any thread.
class DataLoggerStorageSQLiteInstance : public virtual log::Logger {
public:
    static std::shared_ptr<DataLoggerStorageSQLiteInstance> get();

    DataLoggerStorageSQLiteInstance();
    ~DataLoggerStorageSQLiteInstance() override;
    DataLoggerStorageSQLiteInstance(const DataLoggerStorageSQLiteInstance&) = delete;
    DataLoggerStorageSQLiteInstance& operator=(const DataLoggerStorageSQLiteInstance&) = delete;
};

}  // namespace quorix::pelmo::datalogger
