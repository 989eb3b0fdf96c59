#pragma once

#include <chrono>
#include <string>

namespace quorix::pelmo::utils {

using SystemTimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// ISO 8601 in UTC with microseconds and a trailing Z: "2026-12-05T14:24:41.123456Z".
// Times before the epoch are written correctly (the fraction is never negative).
std::string toUtcString(SystemTimePoint timePoint);

}  // namespace quorix::pelmo::utils
