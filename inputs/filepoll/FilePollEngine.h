#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/DataLoggerPushDataIfc.h"
#include "inputs/filepoll/FilePoll.h"
#include "inputs/filepoll/FilePollConfig.h"
#include "inputs/filepoll/FilePollConfigFile.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"

namespace quorix::pelmo::datalogger {

// Turns the poll configuration directory into running pollers, once, at construction.
//
// Ownership: owns the pollers; destroying the engine ends every poll (waiting for any in
// progress). Threads: construct and destroy on one thread (the main thread during start-up
// and shutdown). Failure: broken files and pollers that cannot be created are logged and
// skipped; file-system errors while walking the directory propagate from the constructor.
class FilePollEngine : public quorix::pelmo::log::Logger {
public:
    // One entry of the directory as the scan judged it; exactly one of the three is set.
    struct Visit {
        std::string skipped;                       // why the name is passed by, at Info
        std::string writers;                       // who else can write it: refused unread
        const FilePollConfigFile* file = nullptr;  // the parse result, accepted or not
    };
    // Called with every entry the scan skips, refuses or parses, in walk order.
    using FileVisitor = std::function<void(const std::string& path, const Visit&)>;

    FilePollEngine(const std::string& confDirPath, std::shared_ptr<DataLoggerPushDataIfc> push,
                   const std::shared_ptr<quorix::pelmo::utils::PeriodicCallerManagerIfc>& pcm);
    // An engine without pollers, for tools that only scan a directory the daemon's way.
    FilePollEngine();

    // Sections of every valid regular file below confDirPath, walked recursively; a file with
    // any error, a skipped name (isSkippedPollFileName, also for directories) and a file that
    // a user other than root can write contribute nothing. A missing directory yields none.
    std::vector<std::shared_ptr<FilePollConfig>> safeLoadConfigs(const std::string& confDirPath,
                                                                 const FileVisitor& visit = {});

    const std::vector<std::shared_ptr<FilePoll>>& pollers() const { return mPollers; }
    // Files safeLoadConfigs took, and refused for an error or for a writer other than root,
    // over every call; skipped names count as neither.
    size_t filesLoaded() const { return mFilesLoaded; }
    size_t filesRefused() const { return mFilesRefused; }

private:
    std::vector<std::shared_ptr<FilePoll>> mPollers;
    size_t mFilesLoaded = 0;
    size_t mFilesRefused = 0;
};

}  // namespace quorix::pelmo::datalogger
