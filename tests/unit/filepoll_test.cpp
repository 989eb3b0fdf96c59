#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <locale>
#include <map>
#include <optional>

#include "inputs/filepoll/FilePoll.h"
#include "inputs/filepoll/FilePollConfigFile.h"
#include "inputs/filepoll/FilePollEngine.h"
#include "inputs/filepoll/FileReader.h"
#include "inputs/filepoll/NumberText.h"
#include "inputs/filepoll/PollFileRules.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

namespace ql = quorix::pelmo::log;
using ::datalogger::test::TempDir;
using ::datalogger::test::writeFile;

// A valid section; a change to "-" removes the key.
std::string section(const std::map<std::string, std::string>& changes = {}) {
    std::map<std::string, std::string> keys = {
        {"ChannelPath", "\"he/level\""},     {"Unit", "\"Percent\""},
        {"Storage", "\"NonVolatile\""},      {"PeriodInSeconds", "10"},
        {"StatisticsPeriodInSeconds", "60"}, {"StatisticsStorage", "\"Volatile\""},
        {"FileToRead", "\"/run/he\""},       {"Description", "\"He\""}};
    for (const auto& [key, value] : changes)
        value == "-" ? void(keys.erase(key)) : void(keys[key] = value);
    std::string json;
    for (const auto& [key, value] : keys)
        json += (json.empty() ? "{\"" : ",\"") + key + "\":" + value;
    return json + "}";
}

class PollConfigFile : public ::testing::Test {
protected:
    FilePollConfigFile load(const std::string& json) {
        writeFile(mDir.file("poll.conf"), json);
        return FilePollConfigFile(mDir.file("poll.conf"));
    }
    TempDir mDir;
};

TEST_F(PollConfigFile, BuildsChannelAndSourceFromEachSection) {
    const auto configs =
        load("{\"a\":" + section({{"Factor", "2"}, {"Offset", "\"-1.5\""}}) + ",\"b\":" +
             section({{"FileToRead", "-"},
                      {"FileToExecute", "\"echo '1;2' | cut -f1\""},
                      {"StatisticsPeriodInSeconds", "0"},
                      {"StatisticsStorage", "-"},
                      {"PeriodInSeconds", "\" 5 \""},
                      {"Factor", "\"x\""}}) +
             "}")
            .getConfigs();
    ASSERT_EQ(configs.size(), 2u);
    auto expected = DataLoggerChannelInfo::withDefaults(
        "he/level", DataLoggerUnit::Percent, DataLoggerStats(DataLoggerStorageType::Volatile, 60),
        DataLoggerStorageType::NonVolatile, "He");
    expected.mAcqPeriodTypical = std::chrono::seconds(10);
    auto source = [](const auto& c) {
        return std::make_tuple(c->getFactor(), c->getOffset(), c->getFile(), c->isExecutable(),
                               c->getPeriod().count());
    };
    EXPECT_EQ(*configs[0]->getChannelInfo(), expected);
    EXPECT_EQ(source(configs[0]), std::make_tuple(2.0, -1.5, std::string("/run/he"), false, 10));
    // No statistics: no StatisticsStorage needed, storage type 1 assumed. Bad factor: 1.0.
    expected.mStats = DataLoggerStats(DataLoggerStorageType::Volatile, 0);
    expected.mAcqPeriodTypical = std::chrono::seconds(5);
    EXPECT_EQ(*configs[1]->getChannelInfo(), expected);
    EXPECT_EQ(source(configs[1]),
              std::make_tuple(1.0, 0.0, std::string("echo '1;2' | cut -f1"), true, 5));
}

// Every broken section is reported, and one of them drops the whole file.
TEST_F(PollConfigFile, ReportsEveryBrokenSection) {
    EXPECT_EQ(load("[" + section() + "," + section({{"ChannelPath", "-"}}) + "]").getErrors(),
              "section #2: failed to process a Poll section: No such node (ChannelPath)\n");
    auto one = [](const std::map<std::string, std::string>& changes) {
        return "[" + section(changes) + "]";
    };
    const std::string kBad = "section #1: failed to process a Poll section: ";
    const std::string kNotJ = kBad + "conversion of data to type \"j\" failed\n";
    const std::pair<std::string, std::string> cases[] = {
        // the file, its errors
        {"{}", ""},
        {one({{"PeriodInSeconds", "0"}, {"FileToExecute", "\"x\""}}),
         "section #1: StatisticsPeriodInSeconds must be set to 0 when PeriodInSeconds is set to "
         "0\n"},
        {one({{"FileToRead", "\"\""}}),
         "section #1: neither FileToRead nor FileToExecute has been specified, exactly one of "
         "those required\n"},
        {one({{"FileToExecute", "\"x\""}}),
         "section #1: both FileToExecute and FileToRead have been specifed, only one at a time "
         "please\n"},
        {one({{"PeriodInSeconds", "5.5"}}), kNotJ},
        {one({{"PeriodInSeconds", "-1"}}), kNotJ},
        {one({{"PeriodInSeconds", "4294967295"}}),
         "section #1: PeriodInSeconds must not exceed 1000000000\n"},
        {one({{"Unit", "\"percent\""}}), kBad + "Could not parse value 'percent' to enum\n"}};
    for (const auto& [json, errors] : cases) {
        SCOPED_TRACE(json);
        EXPECT_EQ(load(json).getErrors(),
                  errors + "the configuration file contains no valid sections\n");
    }
}

// What a tool needs to explain a refusal: the section's name, the key, its text, the fault.
TEST_F(PollConfigFile, TellsWhichKeyRefusedASectionAndWhichKeysItIgnored) {
    using R = FilePollSectionReport::Refusal;
    const std::tuple<std::map<std::string, std::string>, R, std::string, std::string> cases[] = {
        {{{"Fator", "2"}}, R::None, "", ""},
        {{{"ChannelPath", "-"}}, R::MissingKey, "ChannelPath", ""},
        {{{"PeriodInSeconds", "\"5.5\""}}, R::NotWholeNumber, "PeriodInSeconds", "5.5"},
        {{{"StatisticsStorage", "\"Disk\""}}, R::UnknownName, "StatisticsStorage", "Disk"},
        {{{"FileToExecute", "\"x\""}}, R::Rule, "FileToExecute", ""}};
    for (const auto& [changes, refusal, key, value] : cases) {
        const auto file = load("{\"s\":" + section(changes) + "}");
        ASSERT_EQ(file.getSections().size(), 1u);
        const auto& report = file.getSections()[0];
        EXPECT_EQ(std::make_tuple(report.name, report.refusal, report.key, report.value),
                  std::make_tuple(std::string("s"), refusal, key, value));
        EXPECT_EQ(report.config != nullptr, refusal == R::None);
    }
    EXPECT_EQ(load("[" + section({{"Fator", "2"}}) + "]").getSections()[0].unknownKeys,
              std::vector<std::string>{"Fator"});
}

TEST_F(PollConfigFile, SyntaxErrorsAndHostileFilesGiveOneLine) {
    EXPECT_EQ(
        load("[\n{\"Unit\" 1}]").getErrors().rfind(mDir.file("poll.conf") + "(2): expected ':'\n"),
        0u);
    const std::string deep = load(std::string(1000, '[') + std::string(1000, ']')).getErrors();
    EXPECT_NE(deep.find("nested deeper than"), std::string::npos) << deep;
}

// The daemon may run under a decimal-comma locale; poll files and polled texts never use one.
TEST_F(PollConfigFile, NumbersIgnoreADecimalCommaLocale) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan::ScopedDisabler glibcLeaksLocpath;  // on every locale look-up
#endif
    TempDir localeDir;
    locale_t comma = ::newlocale(LC_ALL_MASK, "de_DE.UTF-8", locale_t{});
    if (comma == locale_t{}) {
        if (std::system(
                ("localedef -i de_DE -f UTF-8 " + localeDir.file("de_DE.UTF-8") + " 2>/dev/null")
                    .c_str()) != 0) {
            GTEST_SKIP() << "no decimal-comma locale can be made";
        }
        ::setenv("LOCPATH", localeDir.path().c_str(), 1);
        comma = ::newlocale(LC_ALL_MASK, "de_DE.UTF-8", locale_t{});
    }
    ASSERT_NE(comma, locale_t{});
    ::uselocale(comma);  // this thread's C locale and the global C++ locale
    const std::locale previous = std::locale::global(
        std::locale(std::locale::classic(), std::locale("de_DE.UTF-8"), std::locale::numeric));
    EXPECT_EQ(std::localeconv()->decimal_point, std::string(","));
    const auto good =
        load("[" + section({{"Factor", "\"2.5\""}, {"Offset", "-0.5"}}) + "]").getConfigs();
    const bool groupedValid =
        load("[" + section({{"PeriodInSeconds", "\"1.000\""}}) + "]").isValid();
    const double polled = parseLeadingDouble("  21.5 degC\n");
    std::locale::global(previous);
    ::uselocale(LC_GLOBAL_LOCALE);
    ::freelocale(comma);
    ::unsetenv("LOCPATH");

    ASSERT_EQ(good.size(), 1u);
    EXPECT_EQ(std::make_pair(good[0]->getFactor(), good[0]->getOffset()),
              std::make_pair(2.5, -0.5));
    EXPECT_FALSE(groupedValid);
    EXPECT_EQ(polled, 21.5);
}

TEST(PollFileRules, HiddenNamesAndLeftoverCopiesAreSkipped) {
    for (const char* name : {"a.conf", "/etc/.d/a", "a.bak.conf", "a~b", "swp"})
        EXPECT_FALSE(isSkippedPollFileName(name)) << name;
    for (const char* name : {".a", "/p/.a", "a~", "a.bak", "a.swp", "a.dpkg-old", "a.ucf-old",
                             "a.dpkg-new", "a.dpkg-dist", "a.dpkg-tmp", "a.ucf-new", "a.ucf-dist"})
        EXPECT_TRUE(isSkippedPollFileName(name)) << name;
}

TEST_F(PollConfigFile, DirectoryWalkSkipsLeftoversRefusesFilesOthersCanWriteAndDropsBroken) {
    if (::geteuid() != 0) GTEST_SKIP() << "only files root owns are loaded";
    ::datalogger::test::LogCapture log;
    auto push = std::make_shared<::datalogger::test::RecordingPush>();
    std::shared_ptr<utils::PeriodicCallerManagerIfc> caller =
        std::make_shared<::datalogger::test::FakePeriodicCallerManager>();
    TempDir outside;
    ::mkdir(mDir.file("sub").c_str(), 0755);
    ::mkdir(mDir.file(".git").c_str(), 0755);
    for (const char* name : {"a.conf", "a.conf~", "sub/b", ".git/c", "group", "user"})
        writeFile(mDir.file(name), "[" + section({{"ChannelPath", "\"a\""}}) + "]");
    ::chmod(mDir.file("group").c_str(), 0664);
    ::chown(mDir.file("user").c_str(), 1, 0);
    writeFile(mDir.file("bad"), "[" + section({{"ChannelPath", "\"c\""}}) + ",{}]");
    writeFile(mDir.file("sub/e"), "[" + section({{"ChannelPath", "\"e\""}}) + "]");
    writeFile(outside.file("d"), "[" + section({{"ChannelPath", "\"d\""}}) + "]");
    push->mThrowFor = "e";
    ::symlink(outside.path().c_str(), mDir.file("linked").c_str());
    ::symlink(mDir.file("gone").c_str(), mDir.file("dangling").c_str());

    EXPECT_EQ(FilePollEngine(mDir.path(), push, caller).pollers().size(), 2u);
    std::vector<std::string> paths;
    for (const auto& info : push->registrations()) paths.push_back(info.mPath);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"a", "a"}));
    EXPECT_TRUE(log.contains(
        ql::Error,
        "Failed loading poll configuration file '" + mDir.file("bad") +
            "'. Errors are: section #2: failed to process a Poll section: No such node (Unit)\n"));
    EXPECT_TRUE(log.contains(ql::Info, "Skipping '" + mDir.file(".git") + "'"));
    EXPECT_TRUE(log.contains(ql::Error, "group': a user other than root can write it (group-"));
    EXPECT_TRUE(log.contains(ql::Error, "user': a user other than root can write it (owned by"));

    EXPECT_TRUE(FilePollEngine(mDir.file("absent"), push, caller).pollers().empty());
    EXPECT_TRUE(log.contains(ql::Warning, "doesn't exist. Path was " + mDir.file("absent")));
    EXPECT_THROW(FilePollEngine(mDir.file("a.conf"), push, caller), std::exception);
}

std::shared_ptr<FilePollConfig> pollConfig(const std::string& path, const std::string& file,
                                           int64_t period = 10, double factor = 1) {
    return std::make_shared<FilePollConfig>(
        std::make_shared<DataLoggerChannelInfo>(DataLoggerChannelInfo::withDefaults(
            path, DataLoggerUnit::Kelvin, DataLoggerStats(DataLoggerStorageType::Volatile, 0),
            DataLoggerStorageType::Volatile, "")),
        factor, factor == 1 ? 0 : -1, file, false, std::chrono::seconds(period));
}

class FilePollFake : public ::testing::Test {
protected:
    std::shared_ptr<FilePoll> poller(const std::string& path, const std::string& file,
                                     int64_t period = 10, double factor = 1) {
        return std::make_shared<FilePoll>(pollConfig(path, file, period, factor), mCaller, mPush);
    }
    ::datalogger::test::TempDir mDir;
    std::shared_ptr<::datalogger::test::RecordingPush> mPush =
        std::make_shared<::datalogger::test::RecordingPush>();
    std::shared_ptr<::datalogger::test::FakePeriodicCallerManager> mCaller =
        std::make_shared<::datalogger::test::FakePeriodicCallerManager>();
    ::datalogger::test::LogCapture mLog;
};

// With factor 2 and offset -1; no value: the poll fails with "stod".
TEST_F(FilePollFake, ScalesTheLeadingNumberOrPushesNothing) {
    const std::pair<std::string, std::optional<double>> cases[] = {
        {"  21.5 degC\n", 42.0}, {"0x10", 31.0},          {"none", std::nullopt},
        {"", std::nullopt},      {"1e400", std::nullopt}, {"1e-400", std::nullopt}};
    for (const auto& [content, pushed] : cases) {
        SCOPED_TRACE(content);
        ::datalogger::test::LogCapture log;
        mCaller = std::make_shared<::datalogger::test::FakePeriodicCallerManager>();
        writeFile(mDir.file("value"), content);
        auto poll = poller("cryo/t", mDir.file("value"), 10, 2.0);
        ASSERT_EQ(mCaller->periods(), std::vector<double>{10.0});
        const size_t before = mPush->points().size();
        if (pushed) {
            mCaller->fireAll();
            ASSERT_EQ(mPush->points().size(), before + 1);
            EXPECT_EQ(mPush->points().back().value, *pushed);
            EXPECT_EQ(mPush->points().back().hash, mPush->hashOf("cryo/t"));
        } else {
            EXPECT_THROW(mCaller->fireAll(), std::exception);
            EXPECT_EQ(mPush->points().size(), before);
            EXPECT_TRUE(log.contains(ql::Warning, "Failed to poll path cryo/t. Error: stod"));
        }
    }
}

TEST_F(FilePollFake, UnreadableFilesAreReportedByReaderAndPoller) {
    EXPECT_THROW(poller("cryo/t", mDir.file("absent"))->pollOnce(), std::runtime_error);
    EXPECT_TRUE(mLog.contains(
        ql::Warning, "Failed to poll path cryo/t. Error: Could not open the file at path '" +
                         mDir.file("absent") + "'."));
    writeFile(mDir.file("huge"), std::string(IGetFileContent::kMaxContentBytes + 1, '7'));
    EXPECT_THROW(FileReader(mDir.file("huge")).getContent(), std::runtime_error);
    EXPECT_TRUE(mPush->points().empty());
}

TEST_F(FilePollFake, RefusedRegistrationOrMissingPartLeavesPollerInert) {
    mPush->mAnswers = {{"bad-path", DataLoggerStatusCode::InvalidArgument},
                       {"known", DataLoggerStatusCode::AlreadyRegistered}};
    writeFile(mDir.file("value"), "3");
    auto refused = poller("bad-path", mDir.file("value"));
    auto known = poller("known", mDir.file("value"));
    FilePoll noPush(pollConfig("x", mDir.file("value")), mCaller, nullptr);
    FilePoll noCaller(pollConfig("y", mDir.file("value")), nullptr, mPush);
    EXPECT_FALSE(refused->isInitialised() || noPush.isInitialised() || noCaller.isInitialised());
    mCaller->fireAll();
    ASSERT_EQ(mPush->points().size(), 1u);
    EXPECT_EQ(mPush->points()[0].hash, mPush->hashOf("known"));
}

TEST_F(FilePollFake, PeriodZeroPollsOnceAfterFiveSecondsEvenWhenThatFails) {
    writeFile(mDir.file("value"), "4");
    auto once = poller("once", mDir.file("value"), 0);
    auto failing = poller("failing", mDir.file("absent"), 0);
    EXPECT_EQ(mCaller->periods(), (std::vector<double>{5.0, 5.0}));
    mCaller->fireAll();
    mCaller->fireAll();
    EXPECT_EQ(mPush->points().size(), 1u);
    EXPECT_EQ(mCaller->liveCallers(), 0u);
    EXPECT_TRUE(once->isInitialised());
    EXPECT_FALSE(failing->isInitialised());
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
