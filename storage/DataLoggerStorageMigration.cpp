#include "storage/DataLoggerStorageMigration.h"

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quorix::pelmo::datalogger {

DataLoggerStorageMigration::DataLoggerStorageMigration(std::string scriptDirectory)
    : log::Logger("DataLoggerStorageMigration", "", std::make_shared<log::LoggerImpl>()),
      mScriptDirectory(std::move(scriptDirectory)) {}

std::string DataLoggerStorageMigration::scriptPath(uint32_t from, uint32_t to) const {
    const std::string name =
        mPrefix + std::to_string(from) + "_" + std::to_string(to) + mInfix + "." + mExtension;
    return (boost::filesystem::path(mScriptDirectory) / name).string();
}

void DataLoggerStorageMigration::migrate(
    uint32_t from, uint32_t to,
    const std::function<void(const std::string& script)>& execute) const {
    while (from != to) {
        const uint32_t next = from < to ? from + 1 : from - 1;
        const std::string path = scriptPath(from, next);
        boost::system::error_code ec;
        if (!boost::filesystem::is_regular_file(path, ec)) {
            pelmoDoLog(log::Error,
                       "Migration script not found! Requested migration %d -> %d via file "
                       "located at '%s'.",
                       nullptr, static_cast<int>(from), static_cast<int>(next), path.c_str());
            throw std::runtime_error("The requested script (" + path + ") could not be found");
        }
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        pelmoDoLog(log::Info, "About to migrate from '%d' to '%d' using file '%s'", nullptr,
                   static_cast<int>(from), static_cast<int>(next), path.c_str());
        if (!execute) throw std::bad_function_call();
        execute(text.str());
        from = next;
    }
    pelmoDoLog(log::Info, "Migration finished. The schemaVersion is now %d.", nullptr,
               static_cast<int>(to));
}

}  // namespace quorix::pelmo::datalogger
