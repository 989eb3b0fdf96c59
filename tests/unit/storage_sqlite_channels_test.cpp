#include <gtest/gtest.h>

#include "unit/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::LogCapture;
using namespace storagetest;
using std::chrono::microseconds;
using std::chrono::seconds;

class StorageChannels : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mStorage->initializeStorage(kMinimumSize, mDb, false),
                  DataLoggerStatusCode::NoError);
    }

    std::vector<int64_t> timestamps(const std::vector<DataLoggerDataPoint>& points) {
        std::vector<int64_t> micros;
        for (const auto& p : points) {
            micros.push_back(
                std::chrono::duration_cast<microseconds>(p.timestamp().time_since_epoch()).count());
        }
        return micros;
    }

    RamDir mDir;
    std::string mDb = mDir.file("test.db");
    std::shared_ptr<DataLoggerStorageSQLite> mStorage = makeStorage();
};

TEST_F(StorageChannels, RegistrationDistinguishesNewSameUpdatedAndBreaking) {
    LogCapture log;
    const auto a =
        channel("a/b", DataLoggerStorageType::NonVolatile, DataLoggerUnit::Kelvin, "one");
    EXPECT_EQ(mStorage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    EXPECT_EQ(mStorage->registerOrUpdateChannel(a), DataLoggerStatusCode::AlreadyRegistered);

    const auto described =
        channel("a/b", DataLoggerStorageType::NonVolatile, DataLoggerUnit::Kelvin, "two");
    EXPECT_EQ(mStorage->registerOrUpdateChannel(described), DataLoggerStatusCode::NoError);
    EXPECT_TRUE(log.contains(log::Info,
                             "The channel (a/b) had irrelevant changes in its meta-data "
                             "and has been updated."));
    DataLoggerStorageChannelInfo stored;
    ASSERT_EQ(mStorage->getChannel(a.channelHash(), stored), DataLoggerStatusCode::NoError);
    EXPECT_EQ(stored.channelInfo().mDescription, "two");

    const auto otherUnit = channel("a/b", DataLoggerStorageType::NonVolatile, DataLoggerUnit::Volt);
    EXPECT_EQ(mStorage->registerOrUpdateChannel(otherUnit), DataLoggerStatusCode::BreakingChange);
}

TEST_F(StorageChannels, UnknownUnitOrStorageTypeFailsTheConstraint) {
    LogCapture log;
    for (const auto& info :
         {DataLoggerStorageChannelInfo(DataLoggerChannelInfo::withDefaults(
                                           "u", static_cast<DataLoggerUnit>(999),
                                           DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                                           DataLoggerStorageType::Volatile, ""),
                                       11),
          DataLoggerStorageChannelInfo(
              DataLoggerChannelInfo::withDefaults(
                  "s", DataLoggerUnit::Volt, DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                  static_cast<DataLoggerStorageType>(9), ""),
              12)}) {
        EXPECT_EQ(mStorage->registerOrUpdateChannel(info), DataLoggerStatusCode::StorageError);
    }
    EXPECT_EQ(log.count("Looks like there was no matching storageType or unit and therefore the "
                        "constraint check failed."),
              2u);
}

TEST_F(StorageChannels, EveryFieldSurvivesTheRoundTrip) {
    const TimePoint lastCalibration{std::chrono::nanoseconds(1700000000123456789)};
    DataLoggerChannelInfo info(
        "x/y.max", DataLoggerUnit::Millibar, DataLoggerStats(DataLoggerStorageType::Volatile, 30),
        DataLoggerStorageType::NonVolatile, "text with 'quotes'; and ;", microseconds(1500), -1.5,
        2.5, -0.5, 1.25, {"x", "y"}, false, 0.25, 0.125, 0.0625, true, lastCalibration,
        lastCalibration + seconds(86400), false, true, true, microseconds(7), microseconds(8),
        microseconds(9), microseconds(10));
    const DataLoggerStorageChannelInfo stored(info, DataLoggerHash().compute(info));
    ASSERT_EQ(mStorage->registerOrUpdateChannel(stored), DataLoggerStatusCode::NoError);

    RawDb raw(mDb);
    EXPECT_EQ(raw.rows("SELECT logicalFunctionTags, statisticPeriod, calibrationLastDate FROM "
                       "channel"),
              std::vector<std::string>{"y;x;|30000000|1700000000123456"});

    DataLoggerStorageChannelInfo read;
    ASSERT_EQ(mStorage->getChannel("x/y.max", read), DataLoggerStatusCode::NoError);
    EXPECT_EQ(read.channelHash(), stored.channelHash());
    DataLoggerChannelInfo expected = info;
    expected.mCalibrationLastDate = TimePoint(std::chrono::nanoseconds(1700000000123456000));
    expected.mCalibrationNextDate =
        TimePoint(std::chrono::nanoseconds(1700000000123456000)) + seconds(86400);
    EXPECT_TRUE(read.channelInfo() == expected);
    // Dates compare at the stored resolution, so the read-back info counts as unchanged.
    EXPECT_EQ(mStorage->registerOrUpdateChannel(read), DataLoggerStatusCode::AlreadyRegistered);
}

TEST_F(StorageChannels, EmptyTagsAreDroppedAndOrderIsKept) {
    auto info = DataLoggerChannelInfo::withDefaults(
        "t", DataLoggerUnit::Volt, DataLoggerStats(DataLoggerStorageType::Volatile, 0),
        DataLoggerStorageType::Volatile, "");
    info.mLogicalFunctionTags = {"first", "", "second", "third"};
    ASSERT_EQ(mStorage->registerOrUpdateChannel(
                  DataLoggerStorageChannelInfo(info, DataLoggerHash().compute(info))),
              DataLoggerStatusCode::NoError);
    DataLoggerStorageChannelInfo read;
    ASSERT_EQ(mStorage->getChannel("t", read), DataLoggerStatusCode::NoError);
    EXPECT_EQ(read.channelInfo().mLogicalFunctionTags,
              (std::vector<std::string>{"first", "second", "third"}));
}

TEST_F(StorageChannels, ListingAppendsAndReportsAnEmptyResultOnlyForAnEmptyVector) {
    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(mStorage->getChannels(infos), DataLoggerStatusCode::NotFound);
    infos.emplace_back();
    EXPECT_EQ(mStorage->getChannels(infos), DataLoggerStatusCode::NoError);
    EXPECT_EQ(infos.size(), 1u);

    ASSERT_EQ(mStorage->registerOrUpdateChannel(channel("a")), DataLoggerStatusCode::NoError);
    ASSERT_EQ(mStorage->registerOrUpdateChannel(channel("b")), DataLoggerStatusCode::NoError);
    EXPECT_EQ(mStorage->getChannels(infos), DataLoggerStatusCode::NoError);
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[1].channelInfo().mPath, "a");
    EXPECT_EQ(infos[2].channelInfo().mPath, "b");

    DataLoggerStorageChannelInfo info;
    EXPECT_EQ(mStorage->getChannel("c", info), DataLoggerStatusCode::NotFound);
    EXPECT_EQ(mStorage->getChannel(uint64_t{42}, info), DataLoggerStatusCode::NotFound);
}

TEST_F(StorageChannels, DataNeedsARegisteredHash) {
    const auto a = channel("a");
    ASSERT_EQ(mStorage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    EXPECT_EQ(mStorage->setData(a.channelHash() + 1, {DataLoggerDataPoint(1.0, atMicros(1))}),
              DataLoggerStatusCode::StorageUnknownHash);
    EXPECT_EQ(mStorage->setData(a.channelHash(), {}), DataLoggerStatusCode::NoError);
    // Points before the unknown one stay written.
    EXPECT_EQ(mStorage->setData(a.channelHash(), {DataLoggerDataPoint(1.0, atMicros(1)),
                                                  DataLoggerDataPoint(2.0, atMicros(2))}),
              DataLoggerStatusCode::NoError);
    std::vector<DataLoggerDataPoint> points;
    EXPECT_EQ(mStorage->getData(points, "a", 0, microseconds(0), 0), DataLoggerStatusCode::NoError);
    EXPECT_EQ(timestamps(points), (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(points[1].value(), 2.0);
}

TEST_F(StorageChannels, GetDataTellsUnknownPathFromChannelWithoutMatches) {
    ASSERT_EQ(mStorage->registerOrUpdateChannel(channel("a")), DataLoggerStatusCode::NoError);
    std::vector<DataLoggerDataPoint> points;
    EXPECT_EQ(mStorage->getData(points, "a", 0, microseconds(0), 0),
              DataLoggerStatusCode::StorageNoData);
    EXPECT_EQ(mStorage->getData(points, "zzz", 0, microseconds(0), 0),
              DataLoggerStatusCode::NotFound);
    EXPECT_EQ(mStorage->getData(points, "", 0, microseconds(0), 0),
              DataLoggerStatusCode::StorageError);
    EXPECT_TRUE(points.empty());
}

TEST_F(StorageChannels, ArchivingRenamesTheChannelAndMovesItsData) {
    const auto mean = channel("a/b.mean", DataLoggerStorageType::Volatile);
    const auto plain = channel("c", DataLoggerStorageType::NonVolatile);
    for (const auto& info : {mean, plain}) {
        ASSERT_EQ(mStorage->registerOrUpdateChannel(info), DataLoggerStatusCode::NoError);
        ASSERT_EQ(mStorage->setData(info.channelHash(), {DataLoggerDataPoint(3.0, atMicros(7))}),
                  DataLoggerStatusCode::NoError);
    }

    std::string newPath;
    uint64_t newHash = 0;
    ASSERT_EQ(mStorage->archiveChannel(mean.channelHash(), newPath, newHash),
              DataLoggerStatusCode::NoError);
    EXPECT_EQ(newPath, "a/b_archive_Volatile_1.mean");
    auto renamed = mean.channelInfo();
    renamed.mPath = newPath;
    EXPECT_EQ(newHash, DataLoggerHash().compute(renamed));
    ASSERT_EQ(mStorage->archiveChannel("c", newPath, newHash), DataLoggerStatusCode::NoError);
    EXPECT_EQ(newPath, "c_archive_NonVolatile_2");

    std::vector<DataLoggerDataPoint> points;
    EXPECT_EQ(mStorage->getData(points, "a/b_archive_Volatile_1.mean", 0, microseconds(0), 0),
              DataLoggerStatusCode::NoError);
    EXPECT_EQ(timestamps(points), std::vector<int64_t>{7});
    EXPECT_EQ(mStorage->getData(points, "a/b.mean", 0, microseconds(0), 0),
              DataLoggerStatusCode::NotFound);
    // The old path is free again and the data went with the archive.
    EXPECT_EQ(mStorage->registerOrUpdateChannel(mean), DataLoggerStatusCode::NoError);
    EXPECT_EQ(mStorage->getData(points, "a/b.mean", 0, microseconds(0), 0),
              DataLoggerStatusCode::StorageNoData);
    EXPECT_EQ(mStorage->archiveChannel("nothing", newPath, newHash),
              DataLoggerStatusCode::NotFound);
}

TEST_F(StorageChannels, HostileRowsAreReadWithoutHarm) {
    const auto a = channel("a");
    ASSERT_EQ(mStorage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    {
        RawDb raw(mDb);
        raw.exec(
            "PRAGMA foreign_keys = OFF;"
            "INSERT INTO channel (hash, path, unitID, storageTypeID, description, "
            "statisticPeriod, calibrationLastDate, logicalFunctionTags, min) VALUES "
            "(-5, 'evil', 70000, 'text', NULL, 'x', 9223372036854775807, x'00ff3b', 'abc');"
            "INSERT INTO data VALUES (-5, 'not a time', NULL);"
            "INSERT INTO data VALUES (-5, -9223372036854775808, 1e308);"
            "INSERT INTO data (channelHash, timestamp, value) VALUES (" +
            std::to_string(static_cast<int64_t>(a.channelHash())) + ", 1, zeroblob(1000000));");
    }
    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(mStorage->getChannels(infos), DataLoggerStatusCode::NoError);
    EXPECT_EQ(infos.size(), 2u);
    std::vector<DataLoggerDataPoint> points;
    EXPECT_EQ(mStorage->getData(points, "evil", 0, microseconds(0), 0),
              DataLoggerStatusCode::NoError);
    EXPECT_EQ(points.size(), 2u);
    EXPECT_EQ(mStorage->getData(points, "a", 0, microseconds(0), 0), DataLoggerStatusCode::NoError);
    std::string newPath;
    uint64_t newHash = 0;
    EXPECT_EQ(mStorage->archiveChannel("evil", newPath, newHash),
              DataLoggerStatusCode::StorageError);
}

// ---- getData filters ----------------------------------------------------------------------

struct FilterCase {
    const char* name;
    int lastCounterIndex;  // -1: filter off
    bool discardOlderThanFiveAndAHalfSeconds;
    uint32_t amount;
    std::vector<int> expected;  // indices of the points, ages 10 s (index 0) down to 1 s
};

class StorageGetData : public StorageChannels, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(StorageGetData, ReturnsTheMatchingPointsInAscendingOrder) {
    const FilterCase& c = GetParam();
    const auto a = channel("a");
    const auto b = channel("b");
    ASSERT_EQ(mStorage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    ASSERT_EQ(mStorage->registerOrUpdateChannel(b), DataLoggerStatusCode::NoError);
    const int64_t now = std::chrono::duration_cast<microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    std::vector<int64_t> stamps;
    // Written out of order and interleaved with another channel: order comes from the query.
    for (int i : {3, 0, 9, 1, 8, 2, 7, 4, 6, 5}) {
        const int64_t t = now - (10 - i) * 1000000;
        ASSERT_EQ(mStorage->setData(a.channelHash(), {DataLoggerDataPoint(i, atMicros(t))}),
                  DataLoggerStatusCode::NoError);
        ASSERT_EQ(mStorage->setData(b.channelHash(), {DataLoggerDataPoint(-1, atMicros(t + 1))}),
                  DataLoggerStatusCode::NoError);
    }
    for (int i = 0; i < 10; ++i) stamps.push_back(now - (10 - i) * 1000000);

    std::vector<DataLoggerDataPoint> points{DataLoggerDataPoint(-7, atMicros(0))};
    const int64_t lastCounter = c.lastCounterIndex < 0 ? 0 : stamps[c.lastCounterIndex];
    const microseconds age(c.discardOlderThanFiveAndAHalfSeconds ? 5500000 : 0);
    ASSERT_EQ(mStorage->getData(points, "a", lastCounter, age, c.amount),
              DataLoggerStatusCode::NoError);

    std::vector<int64_t> expected{0};
    for (int i : c.expected) expected.push_back(stamps[i]);
    EXPECT_EQ(timestamps(points), expected);
    for (size_t i = 1; i < points.size(); ++i) {
        EXPECT_EQ(points[i].value(), c.expected[i - 1]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, StorageGetData,
    ::testing::Values(FilterCase{"None", -1, false, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      FilterCase{"Amount", -1, false, 3, {7, 8, 9}},
                      FilterCase{"LastCounter", 3, false, 0, {4, 5, 6, 7, 8, 9}},
                      FilterCase{"LastCounterAndAmount", 3, false, 8, {4, 5, 6, 7, 8, 9}},
                      FilterCase{"LastCounterLimitedByAmount", 3, false, 2, {8, 9}},
                      FilterCase{"Age", -1, true, 0, {5, 6, 7, 8, 9}},
                      FilterCase{"AgeAndAmount", -1, true, 8, {5, 6, 7, 8, 9}},
                      FilterCase{"AgeLimitedByAmount", -1, true, 2, {8, 9}},
                      FilterCase{"AgeStricterThanLastCounter", 3, true, 0, {5, 6, 7, 8, 9}},
                      FilterCase{"LastCounterStricterThanAge", 7, true, 0, {8, 9}},
                      FilterCase{"AllWithAgeStrictest", 3, true, 8, {5, 6, 7, 8, 9}},
                      FilterCase{"AllWithCounterStrictest", 6, true, 8, {7, 8, 9}},
                      FilterCase{"AllWithAmountStrictest", 3, true, 1, {9}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StorageChannels, LastCounterAtTheNewestPointFindsNoData) {
    const auto a = channel("a");
    ASSERT_EQ(mStorage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    ASSERT_EQ(mStorage->setData(a.channelHash(), {DataLoggerDataPoint(1, atMicros(100)),
                                                  DataLoggerDataPoint(2, atMicros(200))}),
              DataLoggerStatusCode::NoError);
    std::vector<DataLoggerDataPoint> points;
    EXPECT_EQ(mStorage->getData(points, "a", 200, microseconds(0), 0),
              DataLoggerStatusCode::StorageNoData);
}

// ---- log export ---------------------------------------------------------------------------

TEST_F(StorageChannels, LogCopyHoldsTheDataAndOverwritesAnEarlierCopy) {
    const auto a = channel("a");
    ASSERT_EQ(mStorage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    ASSERT_EQ(mStorage->setData(a.channelHash(), {DataLoggerDataPoint(1, atMicros(1))}),
              DataLoggerStatusCode::NoError);
    const std::string dir = mDir.path() + "/";
    ASSERT_EQ(mStorage->createLog(dir, 3), DataLoggerStatusCode::NoError);
    ASSERT_EQ(mStorage->setData(a.channelHash(), {DataLoggerDataPoint(2, atMicros(2))}),
              DataLoggerStatusCode::NoError);
    ASSERT_EQ(mStorage->createLog(dir, 3), DataLoggerStatusCode::NoError);

    RawDb copy(mDir.file("datalogger_sqlite.db"));
    EXPECT_EQ(copy.rows("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(copy.scalar("SELECT COUNT(*) FROM data"), 2);
    EXPECT_EQ(copy.scalar("SELECT version FROM schemaVersion"), 4);
}

TEST_F(StorageChannels, LogIntoMissingDirectoryFails) {
    LogCapture log;
    EXPECT_EQ(mStorage->createLog(mDir.file("missing"), 0), DataLoggerStatusCode::StorageError);
    EXPECT_TRUE(
        log.contains(log::Error, "backup file for log creation failed. Expected db path is (" +
                                     mDir.file("missing") + "/datalogger_sqlite.db)."));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
