#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// Finds and runs the SQL scripts that move a schema one version at a time, up or down. Holds
// only the script directory and the file-name pattern; the caller executes each script.
// Immutable after construction, so any thread may call it. migrate() throws
// std::runtime_error when a step's script is missing and lets the callback's exceptions
// through.
class DataLoggerStorageMigration : public virtual log::Logger {
public:
    explicit DataLoggerStorageMigration(std::string scriptDirectory);

    void migrate(uint32_t from, uint32_t to,
                 const std::function<void(const std::string& script)>& execute) const;
    // The script of one step, e.g. "<dir>/migration_0_1.sql".
    std::string scriptPath(uint32_t from, uint32_t to) const;

private:
    const std::string mScriptDirectory;
    const std::string mPrefix = "migration_";
    const std::string mInfix;
    const std::string mExtension = "sql";
};

}  // namespace quorix::pelmo::datalogger
