#include <gtest/gtest.h>
#include <sys/timex.h>

#include <cstring>
#include <deque>

#include "support/fakes.h"
#include "support/test_support.h"
#include "systime/SystemTimeHandler.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::LogCapture;
using ::datalogger::test::readFile;
using ::datalogger::test::TempDir;
using ::datalogger::test::writeFile;

// One scripted answer per read, shared with the test; EAGAIN once the script is used up (the
// clock was not set).
using TimerScript = std::deque<std::pair<long, int>>;

class FakeTimer : public ClockSetTimerIfc {
public:
    FakeTimer(std::shared_ptr<TimerScript> script, int armError)
        : mScript(std::move(script)), mArmError(armError) {}
    int arm() override { return mArmError; }
    long read(char* buffer, unsigned long size, int& error) override {
        auto [n, err] = mScript->empty() ? std::make_pair(-1L, EAGAIN) : mScript->front();
        if (!mScript->empty()) mScript->pop_front();
        error = err;
        if (n > 0) std::string("12345678").copy(buffer, std::min<unsigned long>(size, n));
        return n;
    }

private:
    std::shared_ptr<TimerScript> mScript;
    int mArmError;
};

// A fake RTC device is a file holding the RTC's offset to the fake system clock in seconds,
// or "errno N" for a device that fails to read.
class FakeSources : public SystemTimeSourcesIfc {
public:
    int clockStatus(int& status) override {
        status = mStatus;
        return mStatusError;
    }
    int readRtc(const std::string& device, std::tm& time) override {
        mRtcReads.push_back(device);
        const std::string content = readFile(device);
        if (content.rfind("errno ", 0) == 0) return std::stoi(content.substr(6));
        const time_t rtc = std::chrono::system_clock::to_time_t(mNow) + std::stoll(content);
        localtime_r(&rtc, &time);
        time.tm_isdst = -1;
        return 0;
    }
    std::chrono::system_clock::time_point now() override { return mNow; }
    int createClockSetTimer(std::unique_ptr<ClockSetTimerIfc>& timer) override {
        if (mCreateError == 0) timer = std::make_unique<FakeTimer>(mTimer, mArmError);
        return mCreateError;
    }

    int mStatus = STA_UNSYNC;
    int mStatusError = 0;
    int mCreateError = 0;
    int mArmError = 0;
    // Not on a whole second, so truncating the system time matters.
    std::chrono::system_clock::time_point mNow =
        std::chrono::system_clock::from_time_t(1700000000) + std::chrono::milliseconds(700);
    std::shared_ptr<TimerScript> mTimer = std::make_shared<TimerScript>();
    std::vector<std::string> mRtcReads;
};

class SystemTime : public ::testing::Test {
protected:
    SystemTime() {
        for (const char* name : {"rtc0", "rtc", "misc-rtc", "efirtc", "misc-efirtc"}) {
            mDevices.push_back(mDir.file(name));
        }
    }
    std::unique_ptr<SystemTimeHandler> initialized() {
        auto handler = std::make_unique<SystemTimeHandler>(mCaller, mSources, mDevices);
        handler->initialize();
        return handler;
    }

    TempDir mDir;
    std::vector<std::string> mDevices;
    std::shared_ptr<FakeSources> mSources = std::make_shared<FakeSources>();
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
    LogCapture mLog;
};

TEST_F(SystemTime, WithoutSyncAndRtcChecksEveryMinuteUntilTheClockIsSet) {
    auto handler = initialized();
    EXPECT_FALSE(handler->isTimeValid());
    EXPECT_EQ(mCaller->periods(), std::vector<double>{60.0});

    mCaller->fireAll();
    EXPECT_FALSE(handler->isTimeValid());

    mSources->mTimer->push_back({-1, ECANCELED});
    mCaller->fireAll();
    EXPECT_TRUE(handler->isTimeValid());
    EXPECT_EQ(mCaller->liveCallers(), 0u);
}

// At start-up: a synchronised kernel clock is valid at once; otherwise the RTCs are read in
// order until one agrees within 30 s (decades apart must not wrap around into agreement); a
// failing query counts as not valid and is logged.
TEST_F(SystemTime, StartUpTrustsASyncedKernelClockOrTheFirstAgreeingRtc) {
    const struct {
        int status, statusError;
        std::vector<std::string> rtcs;  // offsets to the system clock, in device order
        bool valid;
        size_t reads;
        const char* log;
    } cases[] = {
        {0, 0, {"-400"}, true, 0, nullptr},
        {STA_UNSYNC, 0, {"-29"}, true, 1, nullptr},
        {STA_UNSYNC, 0, {"29"}, true, 1, nullptr},
        {STA_UNSYNC, 0, {"-30"}, false, 1, nullptr},
        {STA_UNSYNC, 0, {"30"}, false, 1, nullptr},
        {STA_UNSYNC, 0, {"-1700000000"}, false, 1, nullptr},
        {STA_UNSYNC, 0, {"", "-400", "3", "0"}, true, 2, nullptr},
        {STA_UNSYNC,
         EPERM,
         {"errno 5"},
         false,
         1,
         "Unable to determine if system clock is in sync. errno 1 ("},
        {STA_UNSYNC, 0, {"errno 5"}, false, 1, "failed with errno 5 ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rtcs.back());
        LogCapture capture;
        for (const auto& device : mDevices) std::remove(device.c_str());
        for (size_t i = 0; i < c.rtcs.size(); ++i) {
            if (!c.rtcs[i].empty()) writeFile(mDevices[i], c.rtcs[i]);
        }
        mSources->mStatus = c.status;
        mSources->mStatusError = c.statusError;
        mSources->mRtcReads.clear();
        auto caller = std::make_shared<FakePeriodicCallerManager>();
        SystemTimeHandler handler(caller, mSources, mDevices);
        handler.initialize();
        EXPECT_EQ(handler.isTimeValid(), c.valid);
        EXPECT_EQ(caller->liveCallers(), c.valid ? 0u : 1u);
        EXPECT_EQ(mSources->mRtcReads.size(), c.reads);
        EXPECT_TRUE(!c.log || capture.contains(log::Error, c.log));
    }
}

TEST_F(SystemTime, ATimerThatCannotBeCreatedOrArmedMeansNoChecks) {
    for (int* error : {&mSources->mCreateError, &mSources->mArmError}) {
        LogCapture capture;
        *error = EMFILE;
        auto handler = initialized();
        EXPECT_FALSE(handler->isTimeValid());
        EXPECT_TRUE(capture.contains(log::Error,
                                     "Failed to start a timer to detect when the clock "
                                     "is set. errno 24 (" +
                                         std::string(std::strerror(EMFILE)) + ")."));
        *error = 0;
    }
    EXPECT_EQ(mCaller->liveCallers(), 0u);
}

// A read error ends the checks for good (even once the clock syncs); an expired timer is only
// reported. Either way the handler's destruction removes what is left.
TEST_F(SystemTime, TimerReadErrorsAndExpiriesAreReported) {
    const struct {
        std::pair<long, int> read;
        const char* line;
        size_t callersLeft;
    } cases[] = {{{-1, EBADF}, "Error accessing clock set timer: Stop polling. errno 9 (", 0},
                 {{8, 0}, "Reading timer file descriptor succeeded unexpectedly: 12345678", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto handler = initialized();
        mSources->mTimer->push_back(c.read);
        mCaller->fireAll();
        EXPECT_TRUE(mLog.contains(log::Error, c.line));
        EXPECT_EQ(mCaller->liveCallers(), c.callersLeft);
        mSources->mStatus = 0;
        mCaller->fireAll();
        EXPECT_EQ(handler->isTimeValid(), c.callersLeft != 0);
        mSources->mStatus = STA_UNSYNC;
        handler.reset();
        EXPECT_EQ(mCaller->liveCallers(), 0u);
    }
}

TEST_F(SystemTime, AValidDecisionIsNeverWithdrawn) {
    auto handler = initialized();
    writeFile(mDevices[3], "-5");
    mCaller->fireAll();
    EXPECT_TRUE(handler->isTimeValid());
    EXPECT_EQ(mCaller->liveCallers(), 0u);
    std::remove(mDevices[3].c_str());
    mSources->mStatus = STA_UNSYNC;
    mCaller->fireAll();
    EXPECT_TRUE(handler->isTimeValid());
}

// The production sources on this machine: no RTC device is needed for these answers.
TEST(SystemTimeLinuxSources, AnswerWithErrnoValuesAndATimerThatHasNotFired) {
    LinuxSystemTimeSources sources;
    int status = -1;
    EXPECT_EQ(sources.clockStatus(status), 0);
    EXPECT_NE(status, -1);

    TempDir dir;
    writeFile(dir.file("not-an-rtc"), "x");
    std::tm time{};
    EXPECT_EQ(sources.readRtc(dir.file("not-an-rtc"), time), ENOTTY);
    EXPECT_EQ(sources.readRtc(dir.file("missing"), time), ENOENT);

    std::unique_ptr<ClockSetTimerIfc> timer;
    ASSERT_EQ(sources.createClockSetTimer(timer), 0);
    ASSERT_EQ(timer->arm(), 0);
    char buffer[10];
    int error = 0;
    EXPECT_EQ(timer->read(buffer, sizeof(buffer), error), -1);
    EXPECT_EQ(error, EAGAIN);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
