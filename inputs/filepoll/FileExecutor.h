#pragma once

#include <chrono>
#include <string>

#include "inputs/filepoll/IGetFileContent.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// Runs one shell command per call through bash and returns its standard output.
//
// Every call starts a fresh child in a process group of its own. Waiting for it and reading
// its output share one 2-second deadline, so a command that hangs, or leaves a background
// process holding its output open, costs the poller at most that long. When the call ends, in
// whatever way, the whole group is killed: no background job of a command outlives its poll.
// A process that leaves the group (setsid) is out of reach here; under systemd it is killed
// with the unit's control group when the daemon stops.
// Ownership: holds only the command and the shell path; no state survives a call.
// Threads: getContent may run on several threads at once.
// Failure: throws std::runtime_error "Command timed out" / "Command failed", or the process
// launcher's error ("execve failed: ..." when there is no bash).
class FileExecutor : public IGetFileContent, public virtual quorix::pelmo::log::Logger {
public:
    static constexpr std::chrono::seconds kTimeout{2};

    // Uses the bash found on PATH when the program started.
    explicit FileExecutor(std::string command);
    FileExecutor(std::string command, std::string shellPath);

    std::string getContent() override;

    // The first "bash" in the colon-separated directories of pathVariable that is a regular
    // file the process may execute; empty when there is none.
    static std::string findBash(const std::string& pathVariable);
    static const std::string& startupShellPath();

private:
    std::string mCommand;
    std::string mShellPath;
};

}  // namespace quorix::pelmo::datalogger
