#include "platform/TimeUtils.h"

#include <cstdint>
#include <cstdio>

namespace quorix::pelmo::utils {

namespace {

// Division rounding towards negative infinity, so that instants before the epoch land in the
// previous second/day instead of producing a negative remainder.
constexpr int64_t floorDiv(int64_t value, int64_t divisor) {
    int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

struct CivilDate {
    int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

// Inverse of the days-from-civil algorithm (proleptic Gregorian calendar, 400-year eras).
// Done by hand because gmtime() is limited to a 32-bit time_t on some of our targets.
constexpr CivilDate civilFromDays(int64_t daysSinceEpoch) {
    const int64_t z = daysSinceEpoch + 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t dayOfEra = z - era * 146097;  // [0, 146096]
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // [0, 399]
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March = 0
    const unsigned day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const unsigned month =
        static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

}  // namespace

std::string toUtcString(SystemTimePoint timePoint) {
    return toUtcString(
        std::chrono::microseconds(floorDiv(timePoint.time_since_epoch().count(), 1000)));
}

std::string toUtcString(std::chrono::microseconds sinceEpoch) {
    const int64_t micros = sinceEpoch.count();
    const int64_t seconds = floorDiv(micros, 1000000);
    const int64_t fraction = micros - seconds * 1000000;
    const int64_t days = floorDiv(seconds, 86400);
    const int64_t secondOfDay = seconds - days * 86400;
    const CivilDate date = civilFromDays(days);

    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02d:%02d:%02d.%06lldZ",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                  static_cast<int>(secondOfDay % 60), static_cast<long long>(fraction));
    return text;
}

}  // namespace quorix::pelmo::utils
