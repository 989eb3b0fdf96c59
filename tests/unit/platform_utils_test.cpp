// The small platform pieces: firmware version and device id files, UTC time texts, and outside
// text made safe for log lines, and the journal's priority prefixes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>

#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "platform/Logger.h"
#include "platform/TimeUtils.h"
#include "support/test_support.h"

namespace {

using datalogger::test::writeFile;
using quorix::pelmo::deviceid::DeviceIdClient;
using quorix::pelmo::utils::SystemTimePoint;

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

class PlatformDeviceIdClient : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(mDir.file("meter-2"), "second");
        writeFile(mDir.file("meter-10"), kBinary);
        writeFile(mDir.file("at-limit"), std::string(64 * 1024, 'x'));
        writeFile(mDir.file("over-limit"), std::string(64 * 1024 + 1, 'x'));
        std::filesystem::create_directory(mDir.file("not-a-device"));
    }

    const std::string kBinary{"binary\0\n\xff text\n", 15};
    datalogger::test::TempDir mDir;
    std::shared_ptr<quorix::pelmo::deviceid::DeviceIdClientIfc> mClient =
        DeviceIdClient::make_client(mDir.path());
};

TEST_F(PlatformDeviceIdClient, ListsRegularFilesSortedAndPassesContentOnUnchanged) {
    EXPECT_EQ(mClient->listDevices(),
              (std::vector<std::string>{"at-limit", "meter-10", "meter-2", "over-limit"}));
    EXPECT_EQ(mClient->getDeviceIdInfo("meter-10"), kBinary);
    EXPECT_EQ(mClient->getDeviceIdInfo("at-limit").size(), 64u * 1024);
}

TEST_F(PlatformDeviceIdClient, RefusesWhatIsNotADeviceInThisDirectory) {
    writeFile(mDir.path() + "-outside", "secret");  // reachable only by escaping the directory
    const std::string escape =
        "../" + std::filesystem::path(mDir.path()).filename().string() + "-outside";
    for (const std::string& id : {std::string("unknown"), std::string("not-a-device"),
                                  std::string("over-limit"), std::string(""), std::string("."),
                                  std::string(".."), escape, std::string("meter-2\0x", 9)}) {
        EXPECT_THROW(mClient->getDeviceIdInfo(id), std::runtime_error) << id;
    }
    std::filesystem::remove(mDir.path() + "-outside");
}

TEST(PlatformDeviceIdClientDirectory, UnreadableDirectoryThrows) {
    datalogger::test::TempDir dir;
    EXPECT_THROW(DeviceIdClient::make_client(dir.file("absent"))->listDevices(),
                 std::runtime_error);
}

TEST(PlatformJournal, LinesCarryTheSeverityPrefixWhenTheStreamMatchesDeviceAndInode) {
    namespace ql = quorix::pelmo::log;
    const char* prefixes[] = {"<2>", "<3>", "<4>", "<6>", "<7>", "<7>"};  // Critical to Trace
    for (int i = ql::Critical; i <= ql::Trace; ++i)
        EXPECT_STREQ(ql::journalPrefix(static_cast<ql::Severity>(i)), prefixes[i]);
    int fds[2];
    struct stat st {};
    ASSERT_TRUE(::pipe(fds) == 0 && ::fstat(fds[1], &st) == 0);
    const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
    for (const auto& [text, match] :
         std::vector<std::pair<std::string, bool>>{{dev + ":" + ino, true},
                                                   {dev + ":" + ino + "0", false},
                                                   {dev + "1:" + ino, false},
                                                   {dev + ":+" + ino, false},
                                                   {dev + ino, false}})
        EXPECT_EQ(ql::isJournalStream(fds[1], text.c_str()), match) << text;
    EXPECT_FALSE(ql::isJournalStream(fds[1], nullptr));
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(PlatformLogText, OutsideTextIsCutAndEscapedAndValidCharactersStayWhole) {
    namespace ql = quorix::pelmo::log;
    const std::string e = "\xC3\xA9";             // é, two bytes
    const std::string clef = "\xF0\x9D\x84\x9E";  // U+1D11E, four bytes
    std::string manyE;
    for (int i = 0; i < 300; ++i) manyE += e;
    std::string keptE;
    for (int i = 0; i < 256; ++i) keptE += e;
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain/path_1", "plain/path_1"},
        {std::string(900000, 'p'), std::string(256, 'p') + " \u2026 (899744 more bytes)"},
        {std::string(256, 'p'), std::string(256, 'p')},
        {manyE, keptE + " \u2026 (88 more bytes)"},
        {std::string(255, 'p') + clef + "x",
         std::string(255, 'p') + clef + " \u2026 (1 more bytes)"},
        {"a\nZ Critical DataLoggerCore: forged\r\t\x1b[2J\x7f",
         "a\\nZ Critical DataLoggerCore: forged\\r\\t\\x1B[2J\\x7F"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        // A lone continuation byte, an overlong slash, a surrogate, a code point past U+10FFFF, a
        // sequence cut short by the end, then C1 NEL, a line separator and a direction override.
        {"\x80/\xC0\xAF/\xED\xA0\x80/\xF4\x90\x80\x80/\xE2\x82",
         "\\x80/\\xC0\\xAF/\\xED\\xA0\\x80/\\xF4\\x90\\x80\\x80/\\xE2\\x82"},
        {"\xC2\x85|\xE2\x80\xA8|\xE2\x80\xAE|\xE2\x82\xAC", "\\u0085|\\u2028|\\u202E|\xE2\x82\xAC"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ql::untrusted(c.in), c.out) << c.in.substr(0, 40);
    }

    // A message whose value nobody bounded is still cut, before the character it would split.
    datalogger::test::LogCapture log;
    ql::pelmoDoLog(ql::Error, "x%s", nullptr, manyE.c_str());
    ql::pelmoDoLog(ql::Error, "%s", nullptr, std::string(20000, 'y').c_str());
    const auto records = log.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "x" + manyE);
    std::string bigE;
    for (int i = 0; i < 9000; ++i) bigE += e;
    ql::pelmoDoLog(ql::Error, "x%s", nullptr, bigE.c_str());
    EXPECT_EQ(log.records().back().text,
              "x" + bigE.substr(0, ql::kMaxMessageBytes - 2) + " \u2026 (" +
                  std::to_string(bigE.size() + 2 - ql::kMaxMessageBytes) + " more bytes)");
    EXPECT_EQ(records[1].text,
              std::string(ql::kMaxMessageBytes, 'y') + " \u2026 (3616 more bytes)");
}

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
