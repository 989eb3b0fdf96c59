// The whole core over real databases started and stopped again and again, each time at a random
// moment while two threads push and the statistics of every channel fire: the daemon's shutdown
// under load, for the sanitizers to watch. Takes minutes: CTest label "slow".
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/DataLoggerCore.h"
#include "platform/PeriodicCaller.h"
#include "storage/DataLoggerStorageConfig.h"
#include "storage/DataLoggerStorageSQLite.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using std::chrono::milliseconds;

TEST(CoreShutdownStress, ThreadsPushingWhileTheCoreStopsAtRandomMoments) {
    constexpr int kRounds = 200;
    constexpr int kChannels = 50;
    ::datalogger::test::TempDir dir("/dev/shm");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::group_all,
                                 std::filesystem::perm_options::add);
    // Outlives every core, as the daemon's does.
    auto callers = std::make_shared<utils::PeriodicCallerManager>(0, "");
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> stopAfterMs(0, 1200);

    for (int round = 0; round < kRounds; ++round) {
        std::shared_ptr<DataLoggerStorageSQLite> storages[2];
        for (auto& storage : storages) {
            storage = std::make_shared<DataLoggerStorageSQLite>(
                ::datalogger::test::sourceDir() + "/dbscripts/sqlite", 1048576, 8u * 1048576u,
                std::function<void()>());
        }
        auto core = std::make_shared<DataLoggerCore>(
            callers, storages[0], storages[1],
            std::make_shared<DataLoggerStorageConfig>(4194304, dir.file("volatile.db"), 4194304,
                                                      dir.file("nonvolatile.db")),
            nullptr, nullptr);
        core->setDfrmSocketPath(dir.file("dfrm.socket"));
        core->initialize();

        std::vector<uint64_t> hashes(kChannels);
        for (int i = 0; i < kChannels; ++i) {
            const auto storage =
                i % 2 ? DataLoggerStorageType::Volatile : DataLoggerStorageType::NonVolatile;
            const auto info = DataLoggerChannelInfo::withDefaults(
                "stress/c" + std::to_string(i), DataLoggerUnit::Kelvin,
                DataLoggerStats(DataLoggerStorageType::Volatile, 1), storage, "stress");
            const auto status = core->registerOrUpdateChannel(info, hashes[i]);
            ASSERT_TRUE(status == DataLoggerStatusCode::NoError ||
                        status == DataLoggerStatusCode::AlreadyRegistered);
        }

        // Each producer holds the core, as the D-Bus service and a running emission do, so the
        // last reference may go on either producer's thread.
        std::atomic<bool> done{false};
        auto produce = [&done, &hashes](std::shared_ptr<DataLoggerCore> push, int first) {
            for (double value = 0; !done; ++value) {
                const TimePoint now = std::chrono::time_point_cast<std::chrono::nanoseconds>(
                    std::chrono::system_clock::now());
                for (int i = first; i < kChannels; i += 2)
                    push->pushData(hashes[i], {{value, now}});
                std::this_thread::sleep_for(milliseconds(1));
            }
        };
        std::thread producers[] = {std::thread(produce, core, 0), std::thread(produce, core, 1)};
        std::this_thread::sleep_for(milliseconds(stopAfterMs(random)));

        // The daemon's postRun.
        core->stop();
        core.reset();
        for (int i : {1, 0}) EXPECT_EQ(storages[i]->finalize(), DataLoggerStatusCode::NoError);
        std::this_thread::sleep_for(milliseconds(5));
        done = true;
        for (auto& producer : producers) producer.join();
    }
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
