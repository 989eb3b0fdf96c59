#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/DataLoggerPushDataIfc.h"
#include "inputs/filepoll/FilePoll.h"
#include "inputs/filepoll/FilePollConfig.h"
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
    FilePollEngine(const std::string& confDirPath, std::shared_ptr<DataLoggerPushDataIfc> push,
                   const std::shared_ptr<quorix::pelmo::utils::PeriodicCallerManagerIfc>& pcm);

    // Sections of every valid regular file below confDirPath, walked recursively; a file with
    // any error, a skipped name (isSkippedPollFileName, also for directories) and a file that
    // a user other than root can write contribute nothing. A missing directory yields none.
    std::vector<std::shared_ptr<FilePollConfig>> safeLoadConfigs(const std::string& confDirPath);

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
