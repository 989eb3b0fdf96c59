#include <chrono>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/ChannelPath.h"

namespace quorix::pelmo::datalogger {
namespace {

class ValidPath : public ::testing::TestWithParam<const char*> {};
TEST_P(ValidPath, IsAccepted) { EXPECT_TRUE(isValidChannelPath(GetParam())); }
INSTANTIATE_TEST_SUITE_P(ChannelPathRule, ValidPath,
                         ::testing::Values("a", "_", "quorix/productA/temperatureUnit/coil/HJ4",
                                           "He_Level/sensor_2", "a/b.min", "a/b.max", "a/b.mean",
                                           "a/b.stddev", "X9"));

class InvalidPath : public ::testing::TestWithParam<const char*> {};
TEST_P(InvalidPath, IsRefused) { EXPECT_FALSE(isValidChannelPath(GetParam())); }
INSTANTIATE_TEST_SUITE_P(ChannelPathRule, InvalidPath,
                         ::testing::Values("", "/a", "a/", "a//b", "a.median", "a.mean.max",
                                           "a.", ".mean", "a-b", "a b", "a/b.meanx", "a.min/b",
                                           "ä", "a\n", "a/.mean"));

// The hand-written matcher must accept exactly what the regular expression accepts; short
// random strings over the interesting alphabet cover every transition.
TEST(ChannelPathRule, AgreesWithTheRegularExpressionOnRandomShortStrings) {
    const std::regex rule("^([a-zA-Z0-9_]+)(\\/[a-zA-Z0-9_]+)*(\\.(min|max|mean|stddev))?$",
                          std::regex::ECMAScript);
    const std::string alphabet = "aZ9_/.-mnxeadstv";
    const std::string words[] = {"min", "max", "mean", "stddev", ".", "/", "a"};
    std::mt19937 random(12345);
    for (int i = 0; i < 20000; ++i) {
        std::string path;
        int length = static_cast<int>(random() % 10);
        for (int j = 0; j < length; ++j) {
            if (random() % 3 == 0) {
                path += words[random() % std::size(words)];
            } else {
                path += alphabet[random() % alphabet.size()];
            }
        }
        ASSERT_EQ(isValidChannelPath(path), std::regex_match(path, rule)) << "path: " << path;
    }
}

TEST(ChannelPathRule, RefusesAHundredThousandCharacterPathQuicklyWithoutCrashing) {
    std::string path;
    for (int i = 0; i < 50000; ++i) path += "a/";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(isValidChannelPath(path));
    EXPECT_TRUE(isValidChannelPath(path + "b.stddev"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(ChannelPathRule, RefusalCarriesThePathInItsText) {
    try {
        checkChannelPath("a//b");
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Cannot register DataLogger channel, invalid path. Path is 'a//b'.");
    }
    EXPECT_NO_THROW(checkChannelPath("a/b.mean"));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
