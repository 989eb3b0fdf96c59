#pragma once

#include <memory>
#include <string>
#include <vector>

#include "inputs/filepoll/FilePollConfig.h"

namespace quorix::pelmo::datalogger {

// The parse result of one poll configuration file, read and validated in the constructor.
// A file is all or nothing: with any error line it yields no usable sections.
// Never throws; every problem becomes one newline-terminated line of getErrors().
class FilePollConfigFile {
  public:
    explicit FilePollConfigFile(const std::string& path);

    bool isValid() const { return mErrors.empty(); }
    std::string getErrors() const { return mErrors; }
    std::vector<std::shared_ptr<FilePollConfig>> getConfigs() const { return mConfigs; }

  private:
    void parse(const std::string& path);

    std::string mErrors;
    std::vector<std::shared_ptr<FilePollConfig>> mConfigs;
};

}  // namespace quorix::pelmo::datalogger
