#pragma once

#include <chrono>
#include <string>

namespace quorix::pelmo::utils {

using SystemTimePoint =
    std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// ISO 8601 in UTC with microseconds and a trailing Z: "2026-12-05T14:24:41.123456Z".
// Times before the epoch are written correctly (the fraction is never negative).
std::string toUtcString(SystemTimePoint timePoint);
// The same for microseconds since the epoch, over the whole range of the count (a time stamp
// read from a database need not fit the nanosecond clock).
std::string toUtcString(std::chrono::microseconds sinceEpoch);

}  // namespace quorix::pelmo::utils
