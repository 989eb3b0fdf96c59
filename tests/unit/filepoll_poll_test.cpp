#include <gtest/gtest.h>

#include <optional>

#include "inputs/filepoll/FilePoll.h"
#include "inputs/filepoll/FileReader.h"
#include "support/Fakes.h"
#include "support/TestSupport.h"
#include "tests/unit/filepoll_fakes.h"

namespace quorix::pelmo::datalogger {
namespace {

namespace ql = quorix::pelmo::log;
using ::datalogger::test::writeFile;

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
        return std::make_shared<FilePoll>(pollConfig(path, file, period, factor), mCallerIfc,
                                          mPush);
    }
    ::datalogger::test::TempDir mDir;
    std::shared_ptr<::datalogger::test::PollPushRecorder> mPush =
        std::make_shared<::datalogger::test::PollPushRecorder>();
    std::shared_ptr<::datalogger::test::FakePeriodicCallerManager> mCaller =
        std::make_shared<::datalogger::test::FakePeriodicCallerManager>();
    std::shared_ptr<utils::PeriodicCallerManagerIfc> mCallerIfc = mCaller;
    ::datalogger::test::LogCapture mLog;
};

struct ValueCase {
    const char* name;
    std::string content;
    std::optional<double> pushed;  // with factor 2 and offset -1; none: the poll fails with "stod"
};
class FilePollValues : public FilePollFake, public ::testing::WithParamInterface<ValueCase> {};

INSTANTIATE_TEST_SUITE_P(
    Text, FilePollValues,
    ::testing::Values(ValueCase{"NumberWithUnitAndLineEnd", "  21.5 degC\n", 42.0},
                      ValueCase{"Hexadecimal", "0x10", 31.0},
                      ValueCase{"Word", "none", std::nullopt}, ValueCase{"Empty", "", std::nullopt},
                      ValueCase{"Overflow", "1e400", std::nullopt},
                      ValueCase{"Underflow", "1e-400", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FilePollValues, ScalesTheLeadingNumberOrPushesNothing) {
    writeFile(mDir.file("value"), GetParam().content);
    auto poll = poller("cryo/t", mDir.file("value"), 10, 2.0);
    ASSERT_EQ(mCaller->periods(), std::vector<double>{10.0});
    if (GetParam().pushed) {
        mCaller->fireAll();
        ASSERT_EQ(mPush->points().size(), 1u);
        EXPECT_EQ(mPush->points()[0].value, *GetParam().pushed);
        EXPECT_EQ(mPush->points()[0].hash, mPush->hashOf("cryo/t"));
    } else {
        EXPECT_THROW(mCaller->fireAll(), std::exception);
        EXPECT_TRUE(mPush->points().empty());
        EXPECT_TRUE(mLog.contains(ql::Warning, "Failed to poll path cryo/t. Error: stod"));
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
    FilePoll noPush(pollConfig("x", mDir.file("value")), mCallerIfc, nullptr);
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
