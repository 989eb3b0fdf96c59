// The core over two real SQLite databases.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "core_on_disk.h"

namespace quorix::pelmo::datalogger {
namespace {

using coretest::CoreOnDisk;
using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::LogCapture;

DataLoggerChannelInfo channel(const std::string& path, int64_t statsPeriod,
                              DataLoggerUnit unit = DataLoggerUnit::Kelvin) {
    return DataLoggerChannelInfo::withDefaults(
        path, unit, DataLoggerStats(DataLoggerStorageType::Volatile, statsPeriod),
        DataLoggerStorageType::NonVolatile, "description");
}

DataLoggerDataPoint at(double value, int64_t seconds) {
    return DataLoggerDataPoint(value, TimePoint(std::chrono::seconds(seconds)));
}

TEST(CoreWithDatabases, BreakingChangeArchivesChannelAndStatisticsWithAllRows) {
    auto callers = std::make_shared<FakePeriodicCallerManager>();
    CoreOnDisk rig(callers);
    uint64_t old = rig.add(channel("magnet/temp", 60));
    rig.mCore->pushData(old, {at(1, 1), at(3, 2)});
    // The processing thread feeds the statistics after writing a row: a period may close
    // before it has seen any value, so the test closes periods until one is emitted.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        callers->fireAll();
    } while (rig.rows(*rig.mVolatile, "magnet/temp.stddev", 1, 100).empty() &&
             std::chrono::steady_clock::now() < deadline);

    LogCapture log;
    uint64_t now = rig.add(channel("magnet/temp", 60, DataLoggerUnit::DegreeCelsius));
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
