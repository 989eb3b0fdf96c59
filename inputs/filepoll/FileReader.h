#pragma once

#include <string>

#include "inputs/filepoll/IGetFileContent.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// Reads one file's whole content per call. Holds only the path, so getContent may run on any
// thread. Throws std::runtime_error when the file cannot be opened or read, or holds more than
// kMaxContentBytes. A FIFO without a writer or a device without data reads as empty instead
// of blocking the poller.
class FileReader : public IGetFileContent, public virtual quorix::pelmo::log::Logger {
public:
    explicit FileReader(std::string path);

    std::string getContent() override;

private:
    std::string mPath;
};

}  // namespace quorix::pelmo::datalogger
