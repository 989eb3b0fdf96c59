#pragma once

#include <string>
#include <string_view>

namespace quorix::pelmo::datalogger {

// The channel path rule: segments of [A-Za-z0-9_]+ joined by single slashes, optionally ending
// in one statistics suffix ".min", ".max", ".mean" or ".stddev". Accepts exactly the language
// of ^([a-zA-Z0-9_]+)(\/[a-zA-Z0-9_]+)*(\.(min|max|mean|stddev))?$ in one linear pass, so a
// hostile path of any length costs nothing (a backtracking regex engine recurses per character).
bool isValidChannelPath(std::string_view path);

// Throws std::invalid_argument with the registration refusal text when the path is invalid.
void checkChannelPath(const std::string& path);

}  // namespace quorix::pelmo::datalogger
