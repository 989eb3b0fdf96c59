#include <gtest/gtest.h>

#include <optional>

#include "platform/FirmwareVersion.h"
#include "support/TestSupport.h"

namespace {

struct VersionCase {
    std::optional<std::string> content;  // no file at all when empty
    std::string expected;
};

class PlatformFirmwareVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(PlatformFirmwareVersion, ReadsTheTrimmedFirstLine) {
    datalogger::test::TempDir dir;
    if (GetParam().content) datalogger::test::writeFile(dir.file("version"), *GetParam().content);
    datalogger::test::LogCapture log;
    quorix::pelmo::utils::FirmwareVersionPelmo version(dir.file("version"));
    version.init();
    EXPECT_EQ(version.getVersion(), GetParam().expected);
    EXPECT_EQ(log.contains(quorix::pelmo::log::Warning, dir.file("version")),
              GetParam().expected == "unknown");
}

INSTANTIATE_TEST_SUITE_P(
    Contents, PlatformFirmwareVersion,
    ::testing::Values(VersionCase{"4.2.1\n", "4.2.1"},
                      VersionCase{" \t4.2.1-rc1 \r\nbuild 77\n", "4.2.1-rc1"},
                      VersionCase{std::string(300, 'v'), std::string(256, 'v')},
                      VersionCase{"", "unknown"}, VersionCase{"  \n4.2.1\n", "unknown"},
                      VersionCase{std::nullopt, "unknown"}));

}  // namespace
