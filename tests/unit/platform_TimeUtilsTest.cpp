#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "platform/TimeUtils.h"

namespace {

using quorix::pelmo::utils::SystemTimePoint;

struct UtcCase {
    int64_t nanosSinceEpoch;
    const char* expected;
};

class PlatformToUtcString : public ::testing::TestWithParam<UtcCase> {};

TEST_P(PlatformToUtcString, FormatsInstant) {
    const SystemTimePoint instant{std::chrono::nanoseconds(GetParam().nanosSinceEpoch)};
    EXPECT_EQ(quorix::pelmo::utils::toUtcString(instant), GetParam().expected);
}

constexpr int64_t kSecond = 1000000000;

INSTANTIATE_TEST_SUITE_P(
    Instants, PlatformToUtcString,
    ::testing::Values(
        UtcCase{0, "1970-01-01T00:00:00.000000Z"},
        // Sub-microsecond parts are cut, never rounded up.
        UtcCase{kSecond - 1, "1970-01-01T00:00:00.999999Z"},
        // Before the epoch the fraction stays positive (floor, not truncation towards zero).
        UtcCase{-1, "1969-12-31T23:59:59.999999Z"}, UtcCase{-1001, "1969-12-31T23:59:59.999998Z"},
        // Leap-year rules: 2000 is a leap year, 1900 and 2100 are not.
        UtcCase{951868799 * kSecond, "2000-02-29T23:59:59.000000Z"},
        UtcCase{-2203891200 * kSecond, "1900-03-01T00:00:00.000000Z"},
        UtcCase{4107542400 * kSecond, "2100-03-01T00:00:00.000000Z"},
        // Past the end of a 32-bit time_t, and the ends of the representable range.
        UtcCase{2147483648 * kSecond + 123456789, "2038-01-19T03:14:08.123456Z"},
        UtcCase{std::numeric_limits<int64_t>::max(), "2262-04-11T23:47:16.854775Z"},
        UtcCase{std::numeric_limits<int64_t>::min(), "1677-09-21T00:12:43.145224Z"}));

}  // namespace
