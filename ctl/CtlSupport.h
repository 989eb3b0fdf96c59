#pragma once

#include <string>
#include <string_view>

#include "platform/Logger.h"

namespace quorix::pelmo::datalogger::ctl {

// The daemon's fixed paths.
inline const std::string kStorageConfigPath = "/etc/datalogger/storage.conf";
inline const std::string kPollDir = "/etc/datalogger/poll";

// Text from a configuration file, a polled file or a database, made safe for a terminal: cut to
// a readable length, control characters escaped.
inline std::string shown(std::string_view text) {
    return log::untrusted(text);
}

// A reader's error text without the line end the daemon's log wants.
inline std::string errorLine(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace quorix::pelmo::datalogger::ctl
