#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "support/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using namespace ::datalogger::test;
using Code = DataLoggerStatusCode;

// Row by row into a database held at the smallest allowed size: the file and its write-ahead log
// never outgrow the page limit and the log's budget, the oldest rows make room for the newest,
// and a full database costs no point.
TEST(StorageSizeLimit, FullDatabaseMakesRoomForEveryNewPoint) {
    constexpr int64_t kPoints = 300000;
    RamDir dir;
    const std::string file = dir.file("full.db");
    int64_t firstFull = -1, failures = 0, firstFailure = -1;
    bool full = false;
    auto storage = makeStorage(scriptsDir(), [&full] { full = true; });
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, file, false), Code::NoError);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);

    uintmax_t largest = 0;
    std::mt19937_64 rng(5);  // values that do not compress, so that the file fills
    for (int64_t i = 1; i <= kPoints; ++i) {
        const double value = std::ldexp(static_cast<double>(rng()), -40);
        const auto rc =
            storage->setData(a.channelHash(), {DataLoggerDataPoint(value, atMicros(i))});
        if (full && firstFull < 0) firstFull = i;
        if (rc != Code::NoError && failures++ == 0) firstFailure = i;
        largest = std::max(largest, sizeWithLog(file));
    }
    ASSERT_GT(firstFull, 0) << "the database never filled up";
    EXPECT_EQ(failures, 0) << "first failing point " << firstFailure << ", first full "
                           << firstFull;
    EXPECT_LE(largest, kMinimumSize + 1048576u);

    std::vector<DataLoggerDataPoint> kept;
    ASSERT_EQ(storage->getData(kept, "a", 0, std::chrono::microseconds(0), 0), Code::NoError);
    // The newest points, without a gap, up to the last one written.
    EXPECT_EQ(micros(kept.back()), kPoints);
    EXPECT_GT(micros(kept.front()), 1);
    EXPECT_EQ(micros(kept.back()) - micros(kept.front()) + 1, static_cast<int64_t>(kept.size()));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
