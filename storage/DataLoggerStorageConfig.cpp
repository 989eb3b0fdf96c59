#include "storage/DataLoggerStorageConfig.h"

#include <algorithm>
#include <boost/optional.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "core/JsonFileGuard.h"

namespace quorix::pelmo::datalogger {

namespace pt = boost::property_tree;

namespace {

// The text of a failed optional access, which the configuration reports for absent keys.
const char* const kMissingKey =
    "Attempted to access the value of an uninitialized optional object.";

struct SectionTexts {
    const char* sizeNotANumber;
    const char* sizeNotPositive;
    const char* pathUnreadable;
    const char* pathEmpty;
};

const SectionTexts kVolatileTexts{
    "Volatile Size is invalid. Only positive numbers > 0 are allowed.",
    "Volatile Size is invalid. Size leq 0 is not allowed.", "Invalid Volatile Path.",
    "Invalid Volatile Path. It must not be empty."};

const SectionTexts kNonVolatileTexts{
    "Non-Volatile Size is invalid. Only positive numbers > 0 are allowed.",
    "Non-Volatile Size is invalid. Size leq 0 is not allowed.", "Invalid Non-Volatile Path.",
    "Invalid Non-Volatile Path. It must not be empty."};

// Reads Size and Path of one section; returns the first error, or an empty string, and names
// the key it concerns in `key`.
std::string readSection(const pt::ptree& section, const SectionTexts& texts, uint32_t& size,
                        std::string& path, std::string& key) {
    key = "Size";
    if (!section.get_child_optional("Size")) return kMissingKey;
    // get_optional<int> extracts an int, skips white space and demands the end of the text.
    boost::optional<int> sizeValue = section.get_optional<int>("Size");
    if (!sizeValue) return texts.sizeNotANumber;
    if (*sizeValue <= 0) return texts.sizeNotPositive;
    size = static_cast<uint32_t>(*sizeValue);

    key = "Path";
    if (!section.get_child_optional("Path")) return kMissingKey;
    boost::optional<std::string> pathValue = section.get_optional<std::string>("Path");
    if (!pathValue) return texts.pathUnreadable;
    if (pathValue->empty()) return texts.pathEmpty;
    path = *pathValue;
    key.clear();
    return {};
}

bool isOneOf(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

DataLoggerStorageConfig::DataLoggerStorageConfig(uint32_t volatileSize, std::string volatilePath,
                                                 uint32_t nonVolatileSize,
                                                 std::string nonVolatilePath)
    : mVolatileSize(volatileSize),
      mVolatilePath(std::move(volatilePath)),
      mNonVolatileSize(nonVolatileSize),
      mNonVolatilePath(std::move(nonVolatilePath)) {}

const std::vector<std::string>& DataLoggerStorageConfigFile::sectionNames() {
    static const std::vector<std::string> names{"volatile", "nonvolatile"};
    return names;
}

const std::vector<std::string>& DataLoggerStorageConfigFile::sectionKeys() {
    static const std::vector<std::string> keys{"Size", "Path"};
    return keys;
}

DataLoggerStorageConfigFile::DataLoggerStorageConfigFile(const std::string& path)
    : log::Logger("DataLoggerStorageConfigFile", "", std::make_shared<log::LoggerImpl>()) {
    pelmoDoLog(log::Debug, "parsing storage configuration file at path %s", nullptr, path.c_str());
    std::string error = parse(path);
    if (!error.empty()) mErrors = log::untrusted(error) + "\n";
    mErrorIsMissingKey = error == kMissingKey;
    mValid = mErrors.empty();
    if (!mValid) {
        mConfig.reset();
        pelmoDoLog(log::Error, "Parsing storage configuration file with the following errors: %s",
                   nullptr, mErrors.c_str());
    }
}

std::string DataLoggerStorageConfigFile::parse(const std::string& path) {
    pt::ptree root;
    try {
        std::string refused = checkJsonFileBounds(path);
        if (!refused.empty()) return refused;
        pt::read_json(path, root);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "caught an unknown exception";
    }

    // Array elements have no names: nothing to point at.
    for (const auto& [name, child] : root) {
        if (name.empty()) continue;
        if (!isOneOf(sectionNames(), name)) {
            mUnknownKeys.push_back(name);
            continue;
        }
        for (const auto& entry : child) {
            if (!entry.first.empty() && !isOneOf(sectionKeys(), entry.first)) {
                mUnknownKeys.push_back(name + "." + entry.first);
            }
        }
    }

    auto volatileSection = root.get_child_optional("volatile");
    if (!volatileSection) return "volatile section is missing";
    auto nonVolatileSection = root.get_child_optional("nonvolatile");
    if (!nonVolatileSection) return "non-volatile section is missing";

    uint32_t volatileSize = 0;
    uint32_t nonVolatileSize = 0;
    std::string volatilePath;
    std::string nonVolatilePath;
    mErrorSection = "volatile";
    std::string error =
        readSection(*volatileSection, kVolatileTexts, volatileSize, volatilePath, mErrorKey);
    if (error.empty()) {
        mErrorSection = "nonvolatile";
        error = readSection(*nonVolatileSection, kNonVolatileTexts, nonVolatileSize,
                            nonVolatilePath, mErrorKey);
    }
    if (error.empty()) mErrorSection.clear();
    if (!error.empty()) return error;

    mConfig = std::make_shared<DataLoggerStorageConfig>(volatileSize, volatilePath, nonVolatileSize,
                                                        nonVolatilePath);
    return {};
}

}  // namespace quorix::pelmo::datalogger
