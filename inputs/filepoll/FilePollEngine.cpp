#include "inputs/filepoll/FilePollEngine.h"

#include <boost/filesystem.hpp>

#include "inputs/filepoll/FilePollConfigFile.h"
#include "inputs/filepoll/PollFileRules.h"

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

FilePollEngine::FilePollEngine()
    : Logger("FilePollEngine", "", std::make_shared<ql::LoggerImpl>()) {}

std::vector<std::shared_ptr<FilePollConfig>> FilePollEngine::safeLoadConfigs(
    const std::string& confDirPath, const FileVisitor& visit) {
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
    const fs::recursive_directory_iterator end;
    for (fs::recursive_directory_iterator entry(confDirPath); entry != end; ++entry) {
        const fs::path& path = entry->path();
        if (isSkippedPollFileName(path.string())) {
            entry.disable_recursion_pending();
            if (visit) visit(path.string(), {"hidden file or backup copy", "", nullptr});
            pelmoDoLog(ql::Info,
                       "Skipping '%s': hidden files and backup or package-manager copies are not "
                       "poll configuration files",
                       nullptr, ql::untrusted(path.string()).c_str());
            continue;
        }
        if (!fs::exists(path) || !fs::is_regular_file(path)) continue;
        const std::string writers = nonRootWriters(path.string());
        if (!writers.empty()) {
            pelmoDoLog(ql::Error,
                       "Refusing poll configuration file '%s': a user other than root can write "
                       "it (%s)",
                       nullptr, ql::untrusted(path.string()).c_str(), writers.c_str());
            if (visit) visit(path.string(), {"", writers, nullptr});
            ++mFilesRefused;
            continue;
        }
        const FilePollConfigFile file(path.string());
        if (visit) visit(path.string(), {"", "", &file});
        if (!file.isValid()) {
            pelmoDoLog(ql::Error, "Failed loading poll configuration file '%s'. Errors are: %s",
                       nullptr, ql::untrusted(path.string()).c_str(), file.getErrors().c_str());
            ++mFilesRefused;
            continue;
        }
        pelmoDoLog(ql::Info, "Loaded poll config from file '%s'", nullptr,
                   ql::untrusted(path.string()).c_str());
        ++mFilesLoaded;
        const auto configs = file.getConfigs();
        result.insert(result.end(), configs.begin(), configs.end());
    }
    return result;
}

}  // namespace quorix::pelmo::datalogger
