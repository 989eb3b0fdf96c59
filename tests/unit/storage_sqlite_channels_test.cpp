#include <gtest/gtest.h>

#include <filesystem>

#include "support/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using namespace ::datalogger::test;
using ::datalogger::test::LogCapture;
using std::chrono::microseconds;
using Code = DataLoggerStatusCode;

class StorageChannels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mStorage->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    }
    Code put(const DataLoggerStorageChannelInfo& info, std::vector<int64_t> stamps) {
        std::vector<DataLoggerDataPoint> points;
        for (int64_t t : stamps) points.emplace_back(double(t), atMicros(t));
        return mStorage->setData(info.channelHash(), points);
    }
    Code get(const std::string& path, int64_t lastCounter = 0, uint32_t amount = 0) {
        return mStorage->getData(mPoints, path, lastCounter, microseconds(0), amount);
    }

    RamDir mDir;
    std::string mDb = mDir.file("test.db");
    std::shared_ptr<DataLoggerStorageSQLite> mStorage = makeStorage();
    std::vector<DataLoggerDataPoint> mPoints;
    std::string mNewPath;
    uint64_t mNewHash = 0;
};

TEST_F(StorageChannels, RegistrationDistinguishesNewSameUpdatedAndBreaking) {
    const auto a = channel("a/b", DataLoggerStorageType::NonVolatile, DataLoggerUnit::Kelvin, "1");
    EXPECT_EQ(mStorage->registerOrUpdateChannel(a), Code::NoError);
    EXPECT_EQ(mStorage->registerOrUpdateChannel(a), Code::AlreadyRegistered);
    EXPECT_EQ(mStorage->registerOrUpdateChannel(channel("a/b", DataLoggerStorageType::NonVolatile,
                                                        DataLoggerUnit::Kelvin, "two")),
              Code::NoError);
    DataLoggerStorageChannelInfo stored;
    ASSERT_EQ(mStorage->getChannel(a.channelHash(), stored), Code::NoError);
    EXPECT_EQ(stored.channelInfo().mDescription, "two");
    EXPECT_EQ(mStorage->registerOrUpdateChannel(
                  channel("a/b", DataLoggerStorageType::NonVolatile, DataLoggerUnit::Volt)),
              Code::BreakingChange);
    // An unknown unit or storage type fails the tables' constraint.
    const DataLoggerStats stats(DataLoggerStorageType::Volatile, 0);
    for (const auto& [unit, type] : {std::pair(DataLoggerUnit(999), stats.storageType()),
                                     std::pair(DataLoggerUnit::Volt, DataLoggerStorageType(9))}) {
        EXPECT_EQ(mStorage->registerOrUpdateChannel(DataLoggerStorageChannelInfo(
                      DataLoggerChannelInfo::withDefaults("u", unit, stats, type, ""), 11)),
                  Code::StorageError);
    }
}

TEST_F(StorageChannels, EveryFieldSurvivesTheRoundTripAndEmptyTagsAreDropped) {
    const TimePoint calibrated{std::chrono::nanoseconds(1700000000123456789)};
    DataLoggerChannelInfo info(
        "x/y.max", DataLoggerUnit::Millibar, DataLoggerStats(DataLoggerStorageType::Volatile, 30),
        DataLoggerStorageType::NonVolatile, "text with 'quotes'; and ;", microseconds(1500), -1.5,
        2.5, -0.5, 1.25, {"x", "", "y"}, false, 0.25, 0.125, 0.0625, true, calibrated,
        calibrated + std::chrono::seconds(86400), false, true, true, microseconds(7),
        microseconds(8), microseconds(9), microseconds(10));
    const DataLoggerStorageChannelInfo stored(info, DataLoggerHash().compute(info));
    ASSERT_EQ(mStorage->registerOrUpdateChannel(stored), Code::NoError);
    EXPECT_EQ(RawDb(mDb).rows("SELECT logicalFunctionTags, statisticPeriod, calibrationLastDate "
                              "FROM channel"),
              std::vector<std::string>{"y;;x;|30000000|1700000000123456"});

    DataLoggerStorageChannelInfo read;
    ASSERT_EQ(mStorage->getChannel("x/y.max", read), Code::NoError);
    EXPECT_EQ(read.channelHash(), stored.channelHash());
    DataLoggerChannelInfo expected = info;
    expected.mLogicalFunctionTags = {"x", "y"};
    expected.mCalibrationLastDate = TimePoint(std::chrono::nanoseconds(1700000000123456000));
    expected.mCalibrationNextDate = expected.mCalibrationLastDate + std::chrono::seconds(86400);
    EXPECT_TRUE(read.channelInfo() == expected);
    // Dates compare at the stored resolution, so the read-back info counts as unchanged.
    EXPECT_EQ(mStorage->registerOrUpdateChannel(read), Code::AlreadyRegistered);
}

// What reads and writes answer when there is nothing to give.
TEST_F(StorageChannels, EmptyAnswersTellTheCasesApart) {
    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(mStorage->getChannels(infos), Code::NotFound);
    infos.emplace_back();
    EXPECT_EQ(mStorage->getChannels(infos), Code::NoError);  // only an empty vector counts
    const auto a = channel("a");
    ASSERT_EQ(mStorage->registerOrUpdateChannel(a), Code::NoError);
    EXPECT_EQ(mStorage->getChannels(infos), Code::NoError);
    EXPECT_EQ(infos.size(), 2u);  // appended
    EXPECT_EQ(mStorage->getChannel(uint64_t{42}, infos[0]), Code::NotFound);
    EXPECT_EQ(mStorage->setData(a.channelHash() + 1, {DataLoggerDataPoint(1.0, atMicros(1))}),
              Code::StorageUnknownHash);
    EXPECT_EQ(put(a, {}), Code::NoError);
    EXPECT_EQ(get("a"), Code::StorageNoData);
    EXPECT_EQ(get("zzz"), Code::NotFound);
    EXPECT_EQ(get(""), Code::StorageError);
    EXPECT_TRUE(mPoints.empty());
}

// Archiving a path without a full stop, and the archive's data, are the acceptance script's.
TEST_F(StorageChannels, ArchivingRenamesAllOrNothingAndNeverIntoAnotherChannel) {
    const auto mean = channel("a/b.mean", DataLoggerStorageType::Volatile);
    const auto x = channel("x");
    const auto squatter = channel("x_archive_NonVolatile_2");
    for (const auto& [info, stamps] :
         {std::pair(mean, std::vector<int64_t>{7}), {x, {1, 2}}, {squatter, {5}}}) {
        ASSERT_EQ(mStorage->registerOrUpdateChannel(info), Code::NoError);
        ASSERT_EQ(put(info, stamps), Code::NoError);
    }
    ASSERT_EQ(mStorage->archiveChannel(mean.channelHash(), mNewPath, mNewHash), Code::NoError);
    EXPECT_EQ(mNewPath, "a/b_archive_Volatile_1.mean");
    auto renamed = mean.channelInfo();
    renamed.mPath = mNewPath;
    EXPECT_EQ(mNewHash, DataLoggerHash().compute(renamed));
    // The old path is free again and the data went with the archive.
    EXPECT_EQ(mStorage->registerOrUpdateChannel(mean), Code::NoError);
    EXPECT_EQ(get("a/b.mean"), Code::StorageNoData);
    EXPECT_EQ(mStorage->archiveChannel("nothing", mNewPath, mNewHash), Code::NotFound);
    {
        LogCapture log;
        EXPECT_EQ(mStorage->archiveChannel("x", mNewPath, mNewHash), Code::StorageError);
        EXPECT_TRUE(log.contains(log::Error,
                                 "its archive path (x_archive_NonVolatile_2) is "
                                 "already a channel"));
    }
    // The rename of the channel row fails after its rows were moved: both stay where they were.
    RawDb(mDb).exec(
        "CREATE TRIGGER noRename BEFORE UPDATE OF path ON channel "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EXPECT_EQ(mStorage->archiveChannel("x", mNewPath, mNewHash), Code::StorageError);
    for (const auto& [path, stamps] : {std::pair<std::string, std::vector<int64_t>>{"x", {1, 2}},
                                       {"x_archive_NonVolatile_2", {5}}}) {
        mPoints.clear();
        EXPECT_EQ(get(path), Code::NoError);
        EXPECT_EQ(timestamps(mPoints), stamps) << path;
    }
    EXPECT_EQ(RawDb(mDb).scalar("SELECT (SELECT COUNT(*) FROM tail WHERE channelHash NOT IN "
                                "(SELECT hash FROM channel)) + (SELECT COUNT(*) FROM block WHERE "
                                "channelHash NOT IN (SELECT hash FROM channel))"),
              0);
}

TEST_F(StorageChannels, HostileRowsAreReadWithoutHarm) {
    const auto a = channel("a");
    ASSERT_EQ(mStorage->registerOrUpdateChannel(a), Code::NoError);
    RawDb(mDb).exec(
        "PRAGMA foreign_keys = OFF;"
        "INSERT INTO channel (hash, path, unitID, storageTypeID, description, statisticPeriod, "
        "calibrationLastDate, logicalFunctionTags, min) VALUES "
        "(-5, 'evil', 70000, 'text', NULL, 'x', 9223372036854775807, x'00ff3b', 'abc');"
        "INSERT INTO tail VALUES (7, -5, 'not a time', NULL);"
        "INSERT INTO tail VALUES (8, -5, -9223372036854775808, 1e308);"
        "INSERT INTO tail VALUES (9, " +
        std::to_string(static_cast<int64_t>(a.channelHash())) +
        ", 1, zeroblob(1000));"
        // A block that claims what its bytes do not hold.
        "INSERT INTO block VALUES (1, " +
        std::to_string(static_cast<int64_t>(a.channelHash())) + ", 0, 5, 3, 2, 2, x'020304');");
    // The points are read from the file when it is opened.
    mStorage = makeStorage();
    ASSERT_EQ(mStorage->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(mStorage->getChannels(infos), Code::NoError);
    EXPECT_EQ(infos.size(), 2u);
    EXPECT_EQ(get("evil"), Code::NoError);
    EXPECT_EQ(mPoints.size(), 2u);
    LogCapture log;
    EXPECT_EQ(get("a"), Code::NoError);  // the block is skipped with one line, the tail read
    EXPECT_EQ(log.count("from 0 to 5 µs could not be decoded and is skipped"), 1u);
    EXPECT_EQ(mStorage->archiveChannel("evil", mNewPath, mNewHash), Code::StorageError);
}

// The filters' meaning is the point store's test's; here, how the storage hands them on.
struct FilterCase {
    const char* name;
    int lastCounterIndex;  // -1: filter off
    bool discardOlderThanFiveAndAHalfSeconds;
    uint32_t amount;
    // Indices of the points, ages 10 s (index 0) down to 1 s; none: the answer is StorageNoData.
    std::vector<int> expected;
};

class StorageGetData : public StorageChannels, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(StorageGetData, ReturnsTheMatchingPointsInAscendingOrder) {
    const FilterCase& c = GetParam();
    const auto a = channel("a");
    const auto b = channel("b");
    for (const auto& info : {a, b})
        ASSERT_EQ(mStorage->registerOrUpdateChannel(info), Code::NoError);
    const int64_t now = micros(DataLoggerDataPoint(0, std::chrono::system_clock::now()));
    auto stamp = [now](int i) { return now - (10 - i) * 1000000; };
    // Written out of order and interleaved with another channel: order comes from the query.
    for (int i : {3, 0, 9, 1, 8, 2, 7, 4, 6, 5}) {
        ASSERT_EQ(put(a, {stamp(i)}), Code::NoError);
        ASSERT_EQ(put(b, {stamp(i) + 1}), Code::NoError);
    }
    mPoints = {DataLoggerDataPoint(0, atMicros(0))};
    ASSERT_EQ(mStorage->getData(
                  mPoints, "a", c.lastCounterIndex < 0 ? 0 : stamp(c.lastCounterIndex),
                  microseconds(c.discardOlderThanFiveAndAHalfSeconds ? 5500000 : 0), c.amount),
              c.expected.empty() ? Code::StorageNoData : Code::NoError);
    std::vector<int64_t> expected{0};  // the point that was there before
    for (int i : c.expected) expected.push_back(stamp(i));
    EXPECT_EQ(timestamps(mPoints), expected);
    for (const auto& p : mPoints) EXPECT_EQ(p.value(), double(micros(p)));  // put's values
}

INSTANTIATE_TEST_SUITE_P(
    Filters, StorageGetData,
    ::testing::Values(FilterCase{"None", -1, false, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      FilterCase{"Amount", -1, false, 3, {7, 8, 9}},
                      FilterCase{"LastCounter", 3, false, 0, {4, 5, 6, 7, 8, 9}},
                      FilterCase{"LastCounterAtTheNewest", 9, false, 0, {}},
                      FilterCase{"Age", -1, true, 0, {5, 6, 7, 8, 9}},
                      FilterCase{"AgeStricterThanLastCounter", 3, true, 0, {5, 6, 7, 8, 9}},
                      FilterCase{"LastCounterStricterThanAge", 7, true, 0, {8, 9}},
                      FilterCase{"AllWithAmountStrictest", 3, true, 1, {9}}),
    [](const auto& info) { return std::string(info.param.name); });

// That a copy is whole and holds every committed row, also when overwritten, is owned by the
// concurrency test and the acceptance script.
TEST_F(StorageChannels, LogCopyNeedsNoLogBesideItAndFollowsNoLink) {
    ASSERT_EQ(mStorage->createLog(mDir.path() + "/", 3), Code::NoError);
    // Openable by a reader that may not create a log beside it.
    EXPECT_EQ(RawDb(mDir.file("datalogger_sqlite.db")).rows("PRAGMA journal_mode"),
              std::vector<std::string>{"delete"});
    EXPECT_EQ(mStorage->createLog(mDir.file("missing"), 0), Code::StorageError);
    // Not even an earlier copy is overwritten through a symbolic link in the path.
    std::filesystem::create_directory_symlink(mDir.path(), mDir.file("link"));
    EXPECT_EQ(mStorage->createLog(mDir.file("link"), 0), Code::StorageError);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
