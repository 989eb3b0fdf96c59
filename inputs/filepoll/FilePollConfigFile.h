#pragma once

#include <memory>
#include <string>
#include <vector>

#include "inputs/filepoll/FilePollConfig.h"

namespace quorix::pelmo::datalogger {

// One section as the reader saw it, for tools that explain a refusal better than the log line.
struct FilePollSectionReport {
    enum class Refusal { None, MissingKey, UnknownName, NotWholeNumber, Rule, Other };

    size_t number = 0;                       // position in the file, from 1
    std::string name;                        // member name; empty for an array element
    std::shared_ptr<FilePollConfig> config;  // null when refused
    Refusal refusal = Refusal::None;
    std::string key;    // the key that refused the section
    std::string value;  // that key's text, empty when it is missing
    std::string error;  // the reader's own words, as in the error line after "section #N: "
    std::vector<std::string> unknownKeys;  // keys the reader ignored
};

// The parse result of one poll configuration file, read and validated in the constructor.
// A file is all or nothing: with any error line it yields no usable sections.
// Never throws; every problem becomes one newline-terminated line of getErrors().
class FilePollConfigFile {
public:
    explicit FilePollConfigFile(const std::string& path);

    bool isValid() const { return mErrors.empty(); }
    std::string getErrors() const { return mErrors; }
    std::vector<std::shared_ptr<FilePollConfig>> getConfigs() const { return mConfigs; }
    // Every section in file order; empty when the file could not be read as JSON.
    const std::vector<FilePollSectionReport>& getSections() const { return mSections; }

    static const std::vector<std::string>& knownKeys();

private:
    void parse(const std::string& path);

    std::string mErrors;
    std::vector<std::shared_ptr<FilePollConfig>> mConfigs;
    std::vector<FilePollSectionReport> mSections;
};

}  // namespace quorix::pelmo::datalogger
