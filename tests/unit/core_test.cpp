#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "core/DataLoggerHash.h"
#include "engine/DataLoggerCore.h"
#include "engine/SharedQueue.h"
#include "platform/UniqueFd.h"
#include "storage/DataLoggerStorageConfig.h"
#include "storage/StorageAggregatePull.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::FakeStorage;
using ::datalogger::test::LogCapture;
using ::datalogger::test::TempDir;
using std::chrono::milliseconds;

DataLoggerChannelInfo channel(const std::string& path, DataLoggerStorageType storage,
                              int64_t statsPeriod = 0,
                              DataLoggerUnit unit = DataLoggerUnit::Kelvin) {
    return DataLoggerChannelInfo::withDefaults(path, unit, DataLoggerStats(storage, statsPeriod),
                                               storage, "description");
}

class Core : public ::testing::Test {
protected:
    void SetUp() override {
        mCore = std::make_shared<DataLoggerCore>(
            mCaller, mVolatile, mNonVolatile,
            std::make_shared<DataLoggerStorageConfig>(2000000, "/v.db", 3000000, "/nv.db"), nullptr,
            nullptr);
        std::filesystem::permissions(mDir.path(), std::filesystem::perms::group_all,
                                     std::filesystem::perm_options::add);
        mCore->setDfrmSocketPath(mDir.file("dfrm.socket"));
        mCore->setCommitInterval(milliseconds(20));
    }
    uint64_t registered(const DataLoggerChannelInfo& info,
                        DataLoggerStatusCode expected = DataLoggerStatusCode::NoError) {
        uint64_t hash = 12345;
        EXPECT_EQ(mCore->registerOrUpdateChannel(info, hash), expected) << info.mPath;
        return hash;
    }

    TempDir mDir;
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
    std::shared_ptr<FakeStorage> mVolatile = std::make_shared<FakeStorage>();
    std::shared_ptr<FakeStorage> mNonVolatile = std::make_shared<FakeStorage>();
    std::shared_ptr<DataLoggerCore> mCore;
};

TEST_F(Core, RefusesUseBeforeAndASecondInitialisation) {
    uint64_t hash = 0;
    EXPECT_THROW(
        mCore->registerOrUpdateChannel(channel("a", DataLoggerStorageType::Volatile), hash),
        std::runtime_error);
    EXPECT_THROW(mCore->pushData(hash, {}), std::runtime_error);
    mCore->initialize();
    EXPECT_EQ(mNonVolatile->initializedWith(), "/nv.db:3000000");
    EXPECT_EQ(mVolatile->initializedWith(), "/v.db:2000000");
    EXPECT_THROW(mCore->initialize(), std::runtime_error);
}

TEST_F(Core, DestroyingAnUninitialisedCoreTouchesNothing) {
    mCore.reset();
}

TEST_F(Core, RegistrationReturnsTheHashAndTheStoragesAnswer) {
    mCore->initialize();
    auto info = channel("magnet/temp", DataLoggerStorageType::NonVolatile);
    uint64_t first = registered(info);
    EXPECT_EQ(first, DataLoggerHash().compute(info));
    EXPECT_EQ(registered(info, DataLoggerStatusCode::AlreadyRegistered), first);
    registered(channel("bad//path", DataLoggerStorageType::Volatile),
               DataLoggerStatusCode::InvalidArgument);
}

TEST_F(Core, ArchiveFailuresAreReturnedAndNothingIsRegistered) {
    mCore->initialize();
    uint64_t old = registered(channel("p", DataLoggerStorageType::NonVolatile));
    mNonVolatile->mArchiveAnswer = DataLoggerStatusCode::StorageError;
    LogCapture log;
    uint64_t now = registered(channel("p", DataLoggerStorageType::Volatile),
                              DataLoggerStatusCode::StorageError);
    EXPECT_TRUE(log.contains(log::Error, "Could not archive hash"));
    EXPECT_EQ(mCore->pushData(now, {}), DataLoggerStatusCode::NotFound);
    EXPECT_EQ(mCore->pushData(old, {}), DataLoggerStatusCode::NoError);
    EXPECT_EQ(mCore->archive(channel("x", DataLoggerStorageType::Volatile), 99),
              DataLoggerStatusCode::NoAssetFound);
}

// A D-Bus registration and a poller's at start-up, one path with two units: the second must
// find the first and archive it, never register beside it.
TEST_F(Core, ConcurrentRegistrationsOfOnePathLeaveOneChannel) {
    mCore->initialize();
    for (int round = 0; round < 1000; ++round) {
        const std::string path = "race/" + std::to_string(round);
        const DataLoggerUnit units[] = {DataLoggerUnit::Kelvin, DataLoggerUnit::Volt};
        uint64_t hashes[2] = {};
        std::atomic<int> waiting{2};  // a latch: both threads start at once
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                --waiting;
                while (waiting.load() != 0) std::this_thread::yield();
                const auto info = channel(path, DataLoggerStorageType::Volatile, 0, units[t]);
                EXPECT_EQ(mCore->registerOrUpdateChannel(info, hashes[t]),
                          DataLoggerStatusCode::NoError);
            });
        }
        for (auto& thread : threads) thread.join();
        const bool first = mCore->pushData(hashes[0], {}) == DataLoggerStatusCode::NoError;
        const bool second = mCore->pushData(hashes[1], {}) == DataLoggerStatusCode::NoError;
        ASSERT_NE(first, second) << path << " registered under both hashes";
    }
}

TEST_F(Core, LogExportSkipsAnExistingDirectoryCopiesTheOtherAndReportsBoth) {
    mCore->initialize();
    TempDir dir;
    std::filesystem::create_directory(dir.file("non_volatile"));
    LogCapture log;
    EXPECT_THROW(mCore->createLog(dir.path(), 1, 7), std::runtime_error);
    EXPECT_TRUE(log.contains(log::Error, "Could not create directory " + dir.file("non_volatile")));
    EXPECT_TRUE(mNonVolatile->logDirectories().empty());
    EXPECT_EQ(mVolatile->logDirectories(), std::vector<std::string>{dir.file("volatile")});
    // A trailing slash or dot would make the open follow the link after all.
    TempDir elsewhere;
    std::filesystem::create_directory_symlink(elsewhere.path(), dir.file("link"));
    for (const char* refused : {"link/", "link/.", "missing/parent"}) {
        EXPECT_THROW(mCore->createLog(dir.file(refused), 1, 7), std::runtime_error) << refused;
    }
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

// A storage that throws drops the one item; the thread writes on, and says so once a second.
// What arrives within one commit interval is written as one batch, also when the writer stops; a
// batch that throws is written again item by item, so it costs only the items that throw. The
// first drop is reported at once, later ones at most once a second and when the thread ends.
TEST_F(Core, AThrowingWriteCostsOnlyItsItemsAndAStopWritesWhatWasGathered) {
    mCore->setCommitInterval(std::chrono::hours(1));
    mCore->initialize();
    const uint64_t hash = registered(channel("a", DataLoggerStorageType::Volatile));
    mVolatile->failNextWrites(4);  // the batch, then its first three items
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(mCore->pushData(hash, {DataLoggerDataPoint(i, TimePoint())}),
                  DataLoggerStatusCode::NoError);
    }
    // Items still queued at the stop are dropped: the writer must have gathered them first.
    for (int i = 0; i < 10000 && mCore->queuedPoints() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(mCore->queuedPoints(), 0u);
    LogCapture log;
    mCore.reset();
    EXPECT_EQ(mVolatile->pointsWritten(), 2u);
    EXPECT_TRUE(log.contains(log::Critical,
                             "processData dropped 1 item(s) it could not write, "
                             "the last with: Could not prepare 'mpSetData'"));
    EXPECT_TRUE(log.contains(log::Critical, "processData dropped 2 item(s)"));
    EXPECT_EQ(log.count("processData dropped"), 2u);
    EXPECT_FALSE(log.contains("will now STOP"));
}

// The daemon's shutdown while something else (an emission in progress, the D-Bus service) still
// holds the core: stop() must outlast a write in progress, so the storages are finalised only
// after it; afterwards no statistics producer runs and nothing reaches a storage.
TEST_F(Core, StopEndsTheWriterThreadBeforeTheStoragesClose) {
    mCore->initialize();
    const uint64_t hash = registered(channel("a", DataLoggerStorageType::NonVolatile, 1));
    mNonVolatile->holdWrites(true);
    ASSERT_EQ(mCore->pushData(hash, {DataLoggerDataPoint(1, TimePoint())}),
              DataLoggerStatusCode::NoError);
    ASSERT_TRUE(mNonVolatile->waitForHeldWrite(std::chrono::seconds(10)));
    const std::shared_ptr<DataLoggerCore> held = mCore;
    std::atomic<bool> closed{false};
    std::thread postRun([&] {
        mCore->stop();
        mCore.reset();
        mNonVolatile->finalize();
        mVolatile->finalize();
        closed = true;
    });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(closed);
    mNonVolatile->holdWrites(false);
    postRun.join();
    EXPECT_FALSE(mNonVolatile->writtenWhileClosed());

    const auto periods = mCaller->periods();
    EXPECT_EQ(std::count(periods.begin(), periods.end(), 1.0), 0);
    mCaller->fireAll();
    EXPECT_EQ(held->pushData(hash, {DataLoggerDataPoint(2, TimePoint())}),
              DataLoggerStatusCode::NoError);
    uint64_t ignored = 0;
    EXPECT_EQ(held->registerOrUpdateChannel(channel("b", DataLoggerStorageType::Volatile), ignored),
              DataLoggerStatusCode::StorageNotInitialized);
    EXPECT_FALSE(mVolatile->writtenWhileClosed() || mNonVolatile->writtenWhileClosed());
}

// A service manager's notification socket, named by NOTIFY_SOCKET with a watchdog time of
// 200 ms (a ping due every 50 ms) while it lives.
class FakeServiceManager {
public:
    explicit FakeServiceManager(const std::string& path)
        : mSocket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(mSocket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
        ::setenv("WATCHDOG_USEC", "200000", 1);
    }
    ~FakeServiceManager() {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
    }
    // Watchdog pings arriving within window; with 0, those already waiting.
    int pings(milliseconds window) {
        int count = 0;
        const auto deadline = std::chrono::steady_clock::now() + window;
        while (true) {
            const auto left = std::chrono::duration_cast<milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{mSocket.get(), POLLIN, 0};
            if (::poll(&ready, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0) {
                return count;
            }
            char message[256];
            const ssize_t size = ::recv(mSocket.get(), message, sizeof(message), 0);
            if (size > 0 && std::string(message, size) == "WATCHDOG=1") ++count;
        }
    }

private:
    UniqueFd mSocket;
};

TEST_F(Core, WatchdogThreadPingsWhileTheWriterRunsAndFallsSilentWhenItsStorageHangs) {
    FakeServiceManager manager(mDir.file("notify"));
    mCore->initialize();
    const uint64_t hash = registered(channel("a", DataLoggerStorageType::NonVolatile));
    EXPECT_GE(manager.pings(milliseconds(500)), 3);  // idle, waiting for work
    mNonVolatile->holdWrites(true);
    ASSERT_EQ(mCore->pushData(hash, {DataLoggerDataPoint(1, TimePoint())}),
              DataLoggerStatusCode::NoError);
    ASSERT_TRUE(mNonVolatile->waitForHeldWrite(std::chrono::seconds(10)));
    manager.pings(milliseconds(0));
    EXPECT_EQ(manager.pings(milliseconds(500)), 0);
    mNonVolatile->holdWrites(false);
    EXPECT_GE(manager.pings(milliseconds(500)), 1);
    mCore.reset();  // before the environment goes: every ping reads it
}

TEST(SharedQueueThreads, PopWaitsForAPushFromAnotherThreadAndTimesOutWhenEmpty) {
    utils::SharedQueue<int> queue;
    int item = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.waitAndPop(item, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(50));
    EXPECT_FALSE(queue.waitAndPop(item, 1e-10));

    std::thread producer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        queue.push(7);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(queue.waitAndPop(item, 30.0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(item, 7);
    producer.join();
    queue.push(1);
    queue.push(2);
    EXPECT_TRUE(queue.waitAndPop(item, 0) && item == 1);
    EXPECT_TRUE(queue.waitAndPop(item, 0) && item == 2);
}

class AggregatePull : public ::testing::Test {
protected:
    static auto answer(DataLoggerStatusCode code, double value = 0) {
        return [code, value](std::vector<DataLoggerDataPoint>& points) {
            if (code == DataLoggerStatusCode::NoError) points.emplace_back(value, TimePoint());
            return code;
        };
    }
    std::shared_ptr<FakeStorage> mFirst = std::make_shared<FakeStorage>();
    std::shared_ptr<FakeStorage> mSecond = std::make_shared<FakeStorage>();
    StorageAggregatePull mPull{mFirst, mSecond};
    std::vector<DataLoggerDataPoint> mPoints;
};

TEST_F(AggregatePull, FirstStorageWithDataAnswersAndNoDataBeatsNotFound) {
    auto pull = [&] { return mPull.pullData(mPoints, "p", 0, std::chrono::microseconds(0), 0); };
    mFirst->mGetData = answer(DataLoggerStatusCode::NoError, 1);
    mSecond->mGetData = answer(DataLoggerStatusCode::NoError, 2);
    EXPECT_EQ(pull(), DataLoggerStatusCode::NoError);
    ASSERT_EQ(mPoints.size(), 1u);
    EXPECT_EQ(mPoints[0].value(), 1);
    mFirst->mGetData = nullptr;  // not found in one is skipped
    EXPECT_EQ(pull(), DataLoggerStatusCode::NoError);
    mFirst->mGetData = answer(DataLoggerStatusCode::StorageNoData);
    mSecond->mGetData = answer(DataLoggerStatusCode::NotFound);
    EXPECT_EQ(pull(), DataLoggerStatusCode::StorageNoData);
    mFirst->mGetData = mSecond->mGetData = nullptr;
    EXPECT_EQ(pull(), DataLoggerStatusCode::NotFound);
}

TEST_F(AggregatePull, EmptyListingReportsEachStorageAndReturnsNotFound) {
    LogCapture log;
    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(mPull.pullAllChannelInfo(infos), DataLoggerStatusCode::NotFound);
    EXPECT_EQ(log.count("pullAllChannelInfo failed with 1"), 2u);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
