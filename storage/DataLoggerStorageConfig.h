#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// The smallest Size the daemon opens a database with. The file's reader accepts smaller ones;
// the storage then stays closed, so tools that judge the file must apply it themselves.
inline constexpr uint32_t kStorageMinimumSize = 1048576;

// Where the two databases live and how large each may grow. Immutable; shared between the
// daemon (which creates the storages from it) and the core (which opens them).
class DataLoggerStorageConfig {
public:
    DataLoggerStorageConfig(uint32_t volatileSize, std::string volatilePath,
                            uint32_t nonVolatileSize, std::string nonVolatilePath);

    uint32_t getVolatileSize() const { return mVolatileSize; }
    const std::string& getVolatilePath() const { return mVolatilePath; }
    uint32_t getNonVolatileSize() const { return mNonVolatileSize; }
    const std::string& getNonVolatilePath() const { return mNonVolatilePath; }

private:
    const uint32_t mVolatileSize;
    const std::string mVolatilePath;
    const uint32_t mNonVolatileSize;
    const std::string mNonVolatilePath;
};

// Reads and validates a storage configuration file once, in its constructor, which never
// throws. The result is either a configuration or a text of error lines (each ending in a
// newline); the first error ends the checks.
class DataLoggerStorageConfigFile : public virtual log::Logger {
public:
    explicit DataLoggerStorageConfigFile(const std::string& path);

    bool isValid() const { return mValid; }
    std::shared_ptr<DataLoggerStorageConfig> getConfig() const { return mConfig; }
    std::string getErrors() const { return mErrors; }
    // The section ("volatile", "nonvolatile") and key ("Size", "Path") the error is about;
    // empty when it concerns the whole file or a whole section.
    const std::string& getErrorSection() const { return mErrorSection; }
    const std::string& getErrorKey() const { return mErrorKey; }
    // The error is that getErrorKey() is not there (its text is the library's, which says not).
    bool isErrorAMissingKey() const { return mErrorIsMissingKey; }
    // Keys the reader ignored, "section.key" inside a section and the bare name at the top.
    const std::vector<std::string>& getUnknownKeys() const { return mUnknownKeys; }

    static const std::vector<std::string>& sectionNames();
    static const std::vector<std::string>& sectionKeys();

private:
    std::string parse(const std::string& path);

    bool mValid = false;
    std::string mErrors;
    std::string mErrorSection;
    std::string mErrorKey;
    bool mErrorIsMissingKey = false;
    std::vector<std::string> mUnknownKeys;
    std::shared_ptr<DataLoggerStorageConfig> mConfig;
};

}  // namespace quorix::pelmo::datalogger
