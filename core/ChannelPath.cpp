#include "core/ChannelPath.h"

#include <stdexcept>

namespace quorix::pelmo::datalogger {

namespace {
bool isSegmentChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
}  // namespace

bool isValidChannelPath(std::string_view path) {
    size_t i = 0;
    const size_t n = path.size();
    while (true) {
        size_t start = i;
        while (i < n && isSegmentChar(path[i])) ++i;
        if (i == start) return false;  // empty segment
        if (i == n) return true;
        if (path[i] == '/') {
            ++i;
            continue;
        }
        if (path[i] != '.') return false;
        std::string_view suffix = path.substr(i + 1);
        return suffix == "min" || suffix == "max" || suffix == "mean" || suffix == "stddev";
    }
}

void checkChannelPath(const std::string& path) {
    if (!isValidChannelPath(path)) {
        throw std::invalid_argument("Cannot register DataLogger channel, invalid path. Path is '" +
                                    path + "'.");
    }
}

}  // namespace quorix::pelmo::datalogger
