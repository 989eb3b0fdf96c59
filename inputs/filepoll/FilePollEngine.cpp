#include "inputs/filepoll/FilePollEngine.h"

#include <boost/filesystem.hpp>

#include "inputs/filepoll/FilePollConfigFile.h"

namespace quorix::pelmo::datalogger {

namespace fs = boost::filesystem;
namespace ql = quorix::pelmo::log;

FilePollEngine::FilePollEngine(
    const std::string& confDirPath, std::shared_ptr<DataLoggerPushDataIfc> push,
    const std::shared_ptr<quorix::pelmo::utils::PeriodicCallerManagerIfc>& pcm)
    : Logger("FilePollEngine", "", std::make_shared<ql::LoggerImpl>()) {
    for (const auto& config : safeLoadConfigs(confDirPath)) {
        try {
            mPollers.push_back(std::make_shared<FilePoll>(config, pcm, push));
        } catch (const std::exception&) {
            pelmoDoLog(ql::Error, "Failed to create FilePoll object for channel path %s", nullptr,
                       ql::untrusted(config->getChannelInfo()->mPath).c_str());
        }
    }
}

std::vector<std::shared_ptr<FilePollConfig>> FilePollEngine::safeLoadConfigs(
    const std::string& confDirPath) {
    pelmoDoLog(ql::Debug, "+safeLoadConfigs(confDirPath = %s)", nullptr, confDirPath.c_str());
    std::vector<std::shared_ptr<FilePollConfig>> result;
    boost::system::error_code ignored;
    const fs::file_type type = fs::status(confDirPath, ignored).type();
    if (type == fs::file_not_found || type == fs::status_error) {
        pelmoDoLog(ql::Warning,
                   "Directory that should contain file poll configuration files doesn't exist. "
                   "Path was %s",
                   nullptr, confDirPath.c_str());
        return result;
    }
    // Every regular file counts, whatever its name: the administrator decides what lies here.
    for (const auto& entry : fs::recursive_directory_iterator(confDirPath)) {
        const fs::path& path = entry.path();
        if (!fs::exists(path) || !fs::is_regular_file(path)) continue;
        const FilePollConfigFile file(path.string());
        if (!file.isValid()) {
            pelmoDoLog(ql::Error, "Failed loading poll configuration file '%s'. Errors are: %s",
                       nullptr, ql::untrusted(path.string()).c_str(), file.getErrors().c_str());
            continue;
        }
        pelmoDoLog(ql::Info, "Loaded poll config from file '%s'", nullptr,
                   ql::untrusted(path.string()).c_str());
        const auto configs = file.getConfigs();
        result.insert(result.end(), configs.begin(), configs.end());
    }
    return result;
}

}  // namespace quorix::pelmo::datalogger
