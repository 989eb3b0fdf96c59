#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "stats/DataLoggerStatsManager.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::FakePeriodicCallerManager;

using ::datalogger::test::RecordingPush;

DataLoggerChannelInfo baseChannel(int64_t period) {
    return DataLoggerChannelInfo::withDefaults(
        "magnet/heliumLevel", DataLoggerUnit::Percent,
        DataLoggerStats(DataLoggerStorageType::Volatile, period),
        DataLoggerStorageType::NonVolatile, "He level");
}

class StatsManager : public ::testing::Test {
protected:
    std::unique_ptr<DataLoggerStatsManager> make(int64_t period = 10) {
        return std::make_unique<DataLoggerStatsManager>(baseChannel(period), mPush, mCaller);
    }
    double emitted(size_t channel, size_t index = 0) {
        return mPush->channels().at(channel).points.at(index).value();
    }

    std::shared_ptr<RecordingPush> mPush = std::make_shared<RecordingPush>();
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
};

TEST_F(StatsManager, RegistersFourDerivedChannelsInOrderWithTheStatisticsStorageType) {
    auto stats = make(10);
    const auto channels = mPush->channels();
    ASSERT_EQ(channels.size(), 4u);
    const char* names[] = {"max", "min", "mean", "stddev"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(channels[i].info.mPath, std::string("magnet/heliumLevel.") + names[i]);
        EXPECT_EQ(channels[i].info.mDescription, std::string(names[i]) + " of magnet/heliumLevel");
        EXPECT_EQ(channels[i].info.mStorageType, DataLoggerStorageType::Volatile);
    }
    EXPECT_EQ(stats->derivedHashes(), (std::vector<uint64_t>{1000, 1001, 1002, 1003}));
    EXPECT_EQ(mCaller->periods(), std::vector<double>{10.0});
    stats.reset();  // destruction stops the emission
    EXPECT_EQ(mCaller->liveCallers(), 0u);
}

TEST_F(StatsManager, SingleValueGivesZeroDeviationAndEachPeriodStartsAfresh) {
    auto stats = make();
    stats->pushPoint(DataLoggerDataPoint(5.0, TimePoint()));
    mCaller->fireAll();
    mCaller->fireAll();  // a period without values emits nothing
    stats->pushPoint(DataLoggerDataPoint(-7.0, TimePoint()));
    stats->pushPoint(DataLoggerDataPoint(-9.0, TimePoint()));
    mCaller->fireAll();
    const auto channels = mPush->channels();
    for (size_t i = 0; i < 4; ++i) ASSERT_EQ(channels[i].points.size(), 2u);
    EXPECT_EQ(emitted(0, 0), 5.0);
    EXPECT_EQ(emitted(3, 0), 0.0);
    for (size_t i = 1; i < 4; ++i) {  // one time stamp for the four
        EXPECT_EQ(channels[i].points[1].timestamp(), channels[0].points[1].timestamp());
    }
    EXPECT_EQ(emitted(0, 1), -7.0);
    EXPECT_EQ(emitted(1, 1), -9.0);
    EXPECT_EQ(emitted(2, 1), -8.0);
    EXPECT_EQ(emitted(3, 1), 1.0);
}

// A value folded in while an emission is on its way out belongs to the next period, for all
// four statistics alike; and nothing is pushed once the producer has been stopped.
TEST_F(StatsManager, ValueArrivingDuringAnEmissionThreadGoesToTheNextPeriod) {
    auto stats = make();
    stats->pushPoint(DataLoggerDataPoint(1.0, TimePoint()));
    std::promise<void> entered, release;
    bool first = true;
    mPush->mOnPush = [&] {
        if (!std::exchange(first, false)) return;
        entered.set_value();
        release.get_future().wait();
    };
    std::thread emitter([&] { mCaller->fireAll(); });
    entered.get_future().wait();
    stats->pushPoint(DataLoggerDataPoint(2.0, TimePoint()));
    release.set_value();
    emitter.join();
    mCaller->fireAll();
    const std::vector<double> expected[] = {{1, 2}, {1, 2}, {1, 2}, {0, 0}};
    const auto channels = mPush->channels();
    for (size_t i = 0; i < 4; ++i) {
        std::vector<double> values;
        for (const auto& point : channels[i].points) values.push_back(point.value());
        EXPECT_EQ(values, expected[i]) << channels[i].info.mPath;
    }
    stats->pushPoint(DataLoggerDataPoint(3.0, TimePoint()));
    stats->stop();
    EXPECT_EQ(mCaller->liveCallers(), 0u);
    stats->emit();
    EXPECT_EQ(mPush->channels()[0].points.size(), 2u);
}

TEST_F(StatsManager, RefusedRegistrationStopsAtTheFailureAndNeverEmits) {
    mPush->mRefuseFrom = 2;
    ::datalogger::test::LogCapture log;
    auto stats = make();
    EXPECT_EQ(stats->derivedHashes().size(), 2u);
    EXPECT_EQ(stats->registrationStatus(), DataLoggerStatusCode::StorageError);
    EXPECT_EQ(mCaller->liveCallers(), 0u);
    EXPECT_TRUE(log.contains(log::Error, "no statistics will be created, error code = 12"));
}

// Data on which a naive one-pass deviation loses digits: the reference is the two-pass
// figure over compensated sums, and the deviation must agree with it to 1e-9 relative.
struct DeviationCase {
    const char* name;
    double (*value)(size_t index, double noise);
};

double compensatedSum(const std::vector<double>& values, double (*term)(double, double),
                      double mean) {
    double sum = 0.0, lost = 0.0;
    for (double v : values) {
        const double t = term(v, mean), next = sum + t;
        lost += std::fabs(sum) >= std::fabs(t) ? (sum - next) + t : (t - next) + sum;
        sum = next;
    }
    return sum + lost;
}

class StatStdDevAccuracy : public ::testing::TestWithParam<DeviationCase> {};

TEST_P(StatStdDevAccuracy, MillionValuesAgreeWithTheTwoPassFigure) {
    std::mt19937_64 random(30);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    std::vector<double> values(1000000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = GetParam().value(i, noise(random));
    DataLoggerStatStdDev stddev;
    for (double v : values) stddev.add(v);

    const double n = static_cast<double>(values.size());
    const double mean = compensatedSum(
                            values, [](double v, double) { return v; }, 0.0) /
                        n;
    const double expected =
        std::sqrt(compensatedSum(
                      values, [](double v, double m) { return (v - m) * (v - m); }, mean) /
                  n);
    EXPECT_NEAR(stddev.getAndReset(), expected, expected * 1e-9);
}

INSTANTIATE_TEST_SUITE_P(AdversarialData, StatStdDevAccuracy,
                         ::testing::Values(DeviationCase{"LargeOffsetSmallNoise",
                                                         [](size_t, double e) { return 1e9 + e; }},
                                           DeviationCase{"AlternatingSigns",
                                                         [](size_t i, double e) {
                                                             return (i % 2 ? -1 : 1) * (1e9 + e);
                                                         }},
                                           DeviationCase{"FirstValueFarFromTheRest",
                                                         [](size_t i, double e) {
                                                             return 1e9 + (i == 0 ? 1e6 : e);
                                                         }}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorix::pelmo::datalogger
