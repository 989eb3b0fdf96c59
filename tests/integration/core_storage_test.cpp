// The core over two real SQLite databases.
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "core/DataLoggerCore.h"
#include "platform/PeriodicCaller.h"
#include "storage/DataLoggerStorageConfig.h"
#include "storage/DataLoggerStorageSQLite.h"
#include "support/Fakes.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::TempDir;
using std::chrono::milliseconds;

DataLoggerChannelInfo channel(const std::string& path, DataLoggerStorageType storage,
                              int64_t statsPeriod = 0, DataLoggerUnit unit = DataLoggerUnit::Kelvin,
                              DataLoggerStorageType statsStorage = DataLoggerStorageType::Volatile) {
    return DataLoggerChannelInfo::withDefaults(path, unit, DataLoggerStats(statsStorage, statsPeriod),
                                               storage, "description");
}

DataLoggerDataPoint at(double value, int64_t seconds) {
    return DataLoggerDataPoint(value, TimePoint(std::chrono::seconds(seconds)));
}

class CoreWithDatabases : public ::testing::Test {
protected:
    void start(std::shared_ptr<utils::PeriodicCallerManagerIfc> callers) {
        auto storage = [] {
            return std::make_shared<DataLoggerStorageSQLite>(
                ::datalogger::test::sourceDir() + "/dbscripts/sqlite", 1048576, 8u * 1048576u,
                std::function<void()>());
        };
        mVolatile = storage();
        mNonVolatile = storage();
        mCore = std::make_shared<DataLoggerCore>(
            std::move(callers), mVolatile, mNonVolatile,
            std::make_shared<DataLoggerStorageConfig>(2097152, mDir.file("v.db"), 2097152,
                                                      mDir.file("nv.db")),
            nullptr, nullptr);
        std::filesystem::permissions(mDir.path(), std::filesystem::perms::group_all,
                                     std::filesystem::perm_options::add);
        mCore->setDfrmSocketPath(mDir.file("dfrm.socket"));
        mCore->initialize();
    }
    void TearDown() override {
        mCore.reset();
        if (mNonVolatile) mNonVolatile->finalize();
        if (mVolatile) mVolatile->finalize();
    }
    uint64_t registered(const DataLoggerChannelInfo& info) {
        uint64_t hash = 0;
        EXPECT_EQ(mCore->registerOrUpdateChannel(info, hash), DataLoggerStatusCode::NoError)
            << info.mPath;
        return hash;
    }
    // Values of path once at least count rows are stored (the processing thread is asynchronous).
    std::vector<double> values(DataLoggerStorageIfc& storage, const std::string& path,
                               size_t count, int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
        std::vector<DataLoggerDataPoint> points;
        do {
            points.clear();
            storage.getData(points, path, 0, std::chrono::microseconds(0), 0);
            if (points.size() >= count) break;
            std::this_thread::sleep_for(milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        std::vector<double> result;
        for (const auto& p : points) result.push_back(p.value());
        return result;
    }

    TempDir mDir;
    std::shared_ptr<DataLoggerStorageSQLite> mVolatile;
    std::shared_ptr<DataLoggerStorageSQLite> mNonVolatile;
    std::shared_ptr<DataLoggerCore> mCore;
};

TEST_F(CoreWithDatabases, ValuesReachTheChannelsDatabaseInOrderAndUnknownHashesNothing) {
    start(std::make_shared<FakePeriodicCallerManager>());
    uint64_t v = registered(channel("magnet/pressure", DataLoggerStorageType::Volatile));
    uint64_t nv = registered(channel("magnet/heliumLevel", DataLoggerStorageType::NonVolatile));
    uint64_t unknown = 7;
    EXPECT_EQ(mCore->pushData(unknown, {at(9, 1)}), DataLoggerStatusCode::NotFound);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(mCore->pushData(v, {at(i, i)}), DataLoggerStatusCode::NoError);
        EXPECT_EQ(mCore->pushData(nv, {at(10 * i, i)}), DataLoggerStatusCode::NoError);
    }
    EXPECT_EQ(values(*mVolatile, "magnet/pressure", 5), (std::vector<double>{1, 2, 3, 4, 5}));
    EXPECT_EQ(values(*mNonVolatile, "magnet/heliumLevel", 5),
              (std::vector<double>{10, 20, 30, 40, 50}));
    std::vector<DataLoggerDataPoint> none;
    EXPECT_EQ(mNonVolatile->getData(none, "magnet/pressure", 0, std::chrono::microseconds(0), 0),
              DataLoggerStatusCode::NotFound);
}

TEST_F(CoreWithDatabases, StatisticsOfOnePeriodAreStoredAlikeAndAnEmptyPeriodEmitsNothing) {
    start(std::make_shared<utils::PeriodicCallerManager>(0, ""));
    uint64_t base = registered(channel("magnet/temp", DataLoggerStorageType::Volatile, 1,
                                       DataLoggerUnit::Kelvin, DataLoggerStorageType::NonVolatile));
    mCore->pushData(base, {at(1, 1), at(2, 2), at(3, 3), at(4, 4)});
    EXPECT_EQ(values(*mNonVolatile, "magnet/temp.max", 1), std::vector<double>{4});
    EXPECT_EQ(values(*mNonVolatile, "magnet/temp.min", 1), std::vector<double>{1});
    EXPECT_EQ(values(*mNonVolatile, "magnet/temp.mean", 1), std::vector<double>{2.5});
    auto stddev = values(*mNonVolatile, "magnet/temp.stddev", 1);
    ASSERT_EQ(stddev.size(), 1u);
    EXPECT_DOUBLE_EQ(stddev[0], std::sqrt(1.25));

    std::vector<DataLoggerDataPoint> max, mean;
    mNonVolatile->getData(max, "magnet/temp.max", 0, std::chrono::microseconds(0), 0);
    mNonVolatile->getData(mean, "magnet/temp.mean", 0, std::chrono::microseconds(0), 0);
    EXPECT_EQ(max.at(0).timestamp(), mean.at(0).timestamp());

    // Two more periods without values: still one value per statistics channel.
    std::this_thread::sleep_for(milliseconds(2200));
    EXPECT_EQ(values(*mNonVolatile, "magnet/temp.max", 1, 0).size(), 1u);
}

TEST_F(CoreWithDatabases, BreakingChangeArchivesChannelAndStatisticsWithAllRows) {
    auto callers = std::make_shared<FakePeriodicCallerManager>();
    start(callers);
    uint64_t old = registered(channel("magnet/temp", DataLoggerStorageType::NonVolatile, 60));
    mCore->pushData(old, {at(1, 1), at(3, 2)});
    values(*mNonVolatile, "magnet/temp", 2);
    // A point reaches the statistics producer only after its row is written: an emission right
    // after the rows appear can still find the period empty, so emit until one was stored.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (values(*mVolatile, "magnet/temp.stddev", 1, 0).empty() &&
           std::chrono::steady_clock::now() < deadline) {
        callers->fireAll();
        values(*mVolatile, "magnet/temp.stddev", 1, 100);
    }

    uint64_t now = registered(channel("magnet/temp", DataLoggerStorageType::NonVolatile, 60,
                                      DataLoggerUnit::DegreeCelsius));
    EXPECT_NE(now, old);
    std::vector<DataLoggerStorageChannelInfo> nonVolatile, volatileChannels;
    mNonVolatile->getChannels(nonVolatile);
    mVolatile->getChannels(volatileChannels);
    auto pathOf = [](const std::vector<DataLoggerStorageChannelInfo>& infos, uint64_t hash) {
        for (const auto& info : infos) {
            if (info.channelHash() == hash) return info.channelInfo().mPath;
        }
        return std::string();
    };
    EXPECT_EQ(pathOf(nonVolatile, now), "magnet/temp");
    // The old channel and its statistics keep their rows under the archive names.
    EXPECT_EQ(values(*mNonVolatile, "magnet/temp_archive_NonVolatile_1", 2), (std::vector<double>{1, 3}));
    for (const char* suffix : {".max", ".min", ".mean", ".stddev"}) {
        bool found = false;
        for (const auto& info : volatileChannels) {
            const std::string& path = info.channelInfo().mPath;
            if (path.rfind("magnet/temp_archive_Volatile_", 0) == 0 &&
                path.size() > std::string(suffix).size() &&
                path.compare(path.size() - std::string(suffix).size(), std::string::npos, suffix) == 0) {
                found = true;
                EXPECT_FALSE(values(*mVolatile, path, 1).empty()) << path;
            }
        }
        EXPECT_TRUE(found) << suffix;
    }
}

// A storage whose writes block until released: the producer must not notice.
class BlockedStorage : public ::datalogger::test::FakeStorage {
public:
    DataLoggerStatusCode setData(uint64_t hash, const std::vector<DataLoggerDataPoint>& points) override {
        std::unique_lock<std::mutex> lock(mMutex);
        ++mWrites;
        mChanged.notify_all();
        mChanged.wait(lock, [this] { return mReleased; });
        return FakeStorage::setData(hash, points);
    }
    void waitForFirstWrite() {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, std::chrono::seconds(10), [this] { return mWrites > 0; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mMutex);
        mReleased = true;
        mChanged.notify_all();
    }
    int writes() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mWrites;
    }

private:
    std::mutex mMutex;  // guards mWrites and mReleased
    std::condition_variable mChanged;
    int mWrites = 0;
    bool mReleased = false;
};

TEST(CoreQueueThreads, ProducersNeverWaitForASlowDatabaseAndShutdownDropsTheQueue) {
    auto storage = std::make_shared<BlockedStorage>();
    TempDir dir;
    auto core = std::make_shared<DataLoggerCore>(
        std::make_shared<FakePeriodicCallerManager>(), storage, storage,
        std::make_shared<DataLoggerStorageConfig>(1, "v", 1, "nv"), nullptr, nullptr);
    core->setDfrmSocketPath(dir.file("dfrm.socket"));
    core->initialize();
    uint64_t hash = 0;
    core->registerOrUpdateChannel(channel("a", DataLoggerStorageType::Volatile), hash);
    core->pushData(hash, {at(0, 0)});
    storage->waitForFirstWrite();

    // Producers on three threads while the processing thread is stuck in the database.
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> producers;
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back([&] {
            for (int i = 0; i < 33334; ++i) core->pushData(hash, {at(i, i)});
        });
    }
    for (auto& p : producers) p.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    std::thread releaser([&] {
        std::this_thread::sleep_for(milliseconds(50));
        storage->release();
    });
    start = std::chrono::steady_clock::now();
    core.reset();  // joins the processing thread without writing the queued items
    releaser.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(storage->writes(), 1);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
