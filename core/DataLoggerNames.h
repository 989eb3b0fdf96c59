#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/DataLoggerTypes.h"
#include "core/EnumUtils.h"

namespace quorix::pelmo::utils {

template <>
struct EnumNames<datalogger::DataLoggerUnit> {
    static const std::vector<std::pair<std::string, datalogger::DataLoggerUnit>>& entries();
};

template <>
struct EnumNames<datalogger::DataLoggerStorageType> {
    static const std::vector<std::pair<std::string, datalogger::DataLoggerStorageType>>& entries();
};

template <>
struct EnumNames<datalogger::DataLoggerStatusCode> {
    static const std::vector<std::pair<std::string, datalogger::DataLoggerStatusCode>>& entries();
};

}  // namespace quorix::pelmo::utils
