#pragma once

#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace quorix::pelmo::datalogger {

// The folder a log export writes into, held open from the checks to the last copy: the copies'
// folders are created in the folder that was checked, whatever its name is made to point at
// meanwhile.
//
// Ownership: owns one descriptor of the folder.
// Threads: one thread at a time.
// Failure: the constructor refuses with std::runtime_error naming the reason; makeSubFolder
// throws std::runtime_error for anything but an existing name.
class LogExportFolder {
public:
    // Opens path, which must be a folder and not a symbolic link. liveDatabases are the files
    // whose copies will be written into it: if it shares a file system with one of them, that
    // file system must keep at least twice their size free after all the copies, or the live
    // databases could no longer grow or be rebuilt.
    LogExportFolder(const std::string& path, const std::vector<std::string>& liveDatabases);

    // Creates the folder name inside, owner-writable only; false if the name already exists.
    bool makeSubFolder(const std::string& name) const;

private:
    std::string mPath;
    UniqueFd mFd;
};

}  // namespace quorix::pelmo::datalogger
