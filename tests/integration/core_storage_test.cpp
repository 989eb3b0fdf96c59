// The core over two real SQLite databases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "core_on_disk.h"
#include "platform/PeriodicCaller.h"

namespace quorix::pelmo::datalogger {
namespace {

using coretest::CoreOnDisk;
using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::LogCapture;
using std::chrono::milliseconds;

DataLoggerChannelInfo channel(
    const std::string& path, DataLoggerStorageType storage, int64_t statsPeriod = 0,
    DataLoggerUnit unit = DataLoggerUnit::Kelvin,
    DataLoggerStorageType statsStorage = DataLoggerStorageType::Volatile) {
    return DataLoggerChannelInfo::withDefaults(
        path, unit, DataLoggerStats(statsStorage, statsPeriod), storage, "description");
}

DataLoggerDataPoint at(double value, int64_t seconds) {
    return DataLoggerDataPoint(value, TimePoint(std::chrono::seconds(seconds)));
}

TEST(CoreWithDatabases, ValuesReachTheChannelsDatabaseInOrderAndUnknownHashesNothing) {
    CoreOnDisk rig;
    uint64_t v = rig.add(channel("magnet/pressure", DataLoggerStorageType::Volatile));
    uint64_t nv = rig.add(channel("magnet/heliumLevel", DataLoggerStorageType::NonVolatile));
    uint64_t unknown = 7;
    EXPECT_EQ(rig.mCore->pushData(unknown, {at(9, 1)}), DataLoggerStatusCode::NotFound);
    EXPECT_EQ(rig.mCore->pushData(v, {}), DataLoggerStatusCode::NoError);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(rig.mCore->pushData(v, {at(i, i)}), DataLoggerStatusCode::NoError);
        EXPECT_EQ(rig.mCore->pushData(nv, {at(10 * i, 2 * i), at(20 * i, 2 * i + 1)}),
                  DataLoggerStatusCode::NoError);
    }
    EXPECT_EQ(rig.values(*rig.mVolatile, "magnet/pressure", 3), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(rig.values(*rig.mNonVolatile, "magnet/heliumLevel", 6),
              (std::vector<double>{10, 20, 20, 40, 30, 60}));
    std::vector<DataLoggerDataPoint> none;
    EXPECT_EQ(
        rig.mNonVolatile->getData(none, "magnet/pressure", 0, std::chrono::microseconds(0), 0),
        DataLoggerStatusCode::NotFound);
}

TEST(CoreWithDatabases, StatisticsOfOnePeriodAreStoredAlikeAndAnEmptyPeriodEmitsNothing) {
    CoreOnDisk rig(std::make_shared<utils::PeriodicCallerManager>(0, ""));
    uint64_t base = rig.add(channel("magnet/temp", DataLoggerStorageType::Volatile, 1,
                                    DataLoggerUnit::Kelvin, DataLoggerStorageType::NonVolatile));
    rig.mCore->pushData(base, {at(1, 1), at(2, 2), at(3, 3), at(4, 4)});
    EXPECT_EQ(rig.values(*rig.mNonVolatile, "magnet/temp.max", 1), std::vector<double>{4});
    EXPECT_EQ(rig.values(*rig.mNonVolatile, "magnet/temp.min", 1), std::vector<double>{1});
    EXPECT_EQ(rig.values(*rig.mNonVolatile, "magnet/temp.mean", 1), std::vector<double>{2.5});
    auto stddev = rig.rows(*rig.mNonVolatile, "magnet/temp.stddev", 1);
    ASSERT_EQ(stddev.size(), 1u);
    EXPECT_DOUBLE_EQ(stddev[0].value(), std::sqrt(1.25));
    EXPECT_EQ(rig.rows(*rig.mNonVolatile, "magnet/temp.max", 1).at(0).timestamp(),
              stddev[0].timestamp());

    // Two more periods without values: still one value per statistics channel.
    std::this_thread::sleep_for(milliseconds(2200));
    EXPECT_EQ(rig.values(*rig.mNonVolatile, "magnet/temp.max", 1, 0).size(), 1u);
}

TEST(CoreWithDatabases, BreakingChangeArchivesChannelAndStatisticsWithAllRows) {
    auto callers = std::make_shared<FakePeriodicCallerManager>();
    CoreOnDisk rig(callers);
    uint64_t old = rig.add(channel("magnet/temp", DataLoggerStorageType::NonVolatile, 60));
    rig.mCore->pushData(old, {at(1, 1), at(3, 2)});
    // The processing thread feeds the statistics after writing a row: a period may close
    // before it has seen any value, so the test closes periods until one is emitted.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        callers->fireAll();
    } while (rig.rows(*rig.mVolatile, "magnet/temp.stddev", 1, 100).empty() &&
             std::chrono::steady_clock::now() < deadline);

    LogCapture log;
    uint64_t now = rig.add(channel("magnet/temp", DataLoggerStorageType::NonVolatile, 60,
                                   DataLoggerUnit::DegreeCelsius));
    EXPECT_NE(now, old);
    EXPECT_TRUE(log.contains(log::Warning, "Archiving channel at path (magnet/temp)"));
    EXPECT_EQ(rig.mCore->pushData(old, {}), DataLoggerStatusCode::NotFound);
    EXPECT_EQ(rig.mCore->pushData(now, {at(5, 5)}), DataLoggerStatusCode::NoError);
    EXPECT_EQ(rig.values(*rig.mNonVolatile, "magnet/temp", 1), std::vector<double>{5});
    // The old channel and its statistics keep their rows under the archive names.
    EXPECT_EQ(rig.values(*rig.mNonVolatile, "magnet/temp_archive_NonVolatile_1", 2),
              (std::vector<double>{1, 3}));
    std::vector<DataLoggerStorageChannelInfo> archived;
    rig.mVolatile->getChannels(archived);
    for (const char* suffix : {".max", ".min", ".mean", ".stddev"}) {
        const auto found = std::find_if(archived.begin(), archived.end(), [&](const auto& info) {
            const std::string& path = info.channelInfo().mPath;
            return path.rfind("magnet/temp_archive_Volatile_", 0) == 0 &&
                   path.substr(path.rfind('.')) == suffix;
        });
        ASSERT_NE(found, archived.end()) << suffix;
        EXPECT_FALSE(rig.rows(*rig.mVolatile, found->channelInfo().mPath, 1).empty()) << suffix;
    }
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
