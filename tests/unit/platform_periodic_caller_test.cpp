#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <set>
#include <thread>

#include "platform/PeriodicCaller.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using quorix::pelmo::utils::PeriodicCallerHandle;
using quorix::pelmo::utils::PeriodicCallerManager;
using Clock = std::chrono::steady_clock;
constexpr double kPeriod = 0.02;

// Records calls and lets a test wait for a count; the deadline is generous for loaded,
// sanitized CI machines and turns a hang into a failure.
class Calls {
public:
    void hit() {
        std::lock_guard<std::mutex> lock(mMutex);
        mTimes.push_back(Clock::now());
        mThreads.insert(std::this_thread::get_id());
        mChanged.notify_all();
    }
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mMutex);
        return mChanged.wait_for(lock, 20s, [&] { return mTimes.size() >= count; });
    }
    std::vector<Clock::time_point> times() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTimes;
    }
    size_t count() { return times().size(); }
    size_t threads() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mThreads.size();
    }

private:
    std::mutex mMutex;  // guards mTimes and mThreads
    std::condition_variable mChanged;
    std::vector<Clock::time_point> mTimes;
    std::set<std::thread::id> mThreads;
};

class PlatformPeriodicCaller : public ::testing::TestWithParam<int> {
protected:
    PeriodicCallerManager mManager{GetParam(), "pc-test"};
};

TEST_P(PlatformPeriodicCaller, NeverCallsAheadOfItsSlots) {
    Calls calls;
    const auto added = Clock::now();
    auto handle = mManager.addPeriodicCaller(kPeriod, [&] { calls.hit(); });
    ASSERT_TRUE(calls.waitFor(25));
    const std::chrono::duration<double> period(kPeriod);
    const auto times = calls.times();
    for (size_t i = 0; i < 25; ++i) EXPECT_GE(times[i] - added, period * (i + 1.0)) << i;
    EXPECT_LT(times[24] - added, period * 25 + 5s);
}

TEST_P(PlatformPeriodicCaller, DestroyingTheHandleWaitsForTheCallAndStopsLaterOnes) {
    Calls calls, clock;
    std::atomic<bool> gone{false}, callAfterGone{false}, finished{false};
    auto handle = mManager.addPeriodicCaller(0.005, [&] {
        if (gone) callAfterGone = true;
        calls.hit();
        std::this_thread::sleep_for(30ms);  // the call's own work
        finished = true;
    });
    ASSERT_TRUE(calls.waitFor(1));
    handle.reset();
    EXPECT_TRUE(finished);
    gone = true;
    const size_t countWhenGone = calls.count();
    auto clockHandle = mManager.addPeriodicCaller(0.005, [&] { clock.hit(); });
    ASSERT_TRUE(clock.waitFor(10));
    EXPECT_EQ(calls.count(), countWhenGone);
    EXPECT_FALSE(callAfterGone);
}

TEST_P(PlatformPeriodicCaller, OneShotDestroysItsHandleInsideItsCallback) {
    std::mutex mutex;
    std::condition_variable changed;
    std::unique_ptr<PeriodicCallerHandle> handle;  // guarded by mutex once armed
    bool armed = false;                            // guarded by mutex
    std::atomic<int> calls{0};
    handle = mManager.addPeriodicCaller(0.005, [&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return armed; });
        ++calls;
        handle.reset();
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        armed = true;
        changed.notify_all();
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return !handle; }));
    }
    Calls clock;  // the serving thread must live on without the one-shot coming back
    auto clockHandle = mManager.addPeriodicCaller(0.005, [&] { clock.hit(); });
    ASSERT_TRUE(clock.waitFor(10));
    EXPECT_EQ(calls, 1);
}

TEST_P(PlatformPeriodicCaller, ThrowingCallbackIsLoggedAndKeepsItsSchedule) {
    datalogger::test::LogCapture log;
    Calls calls;
    auto handle = mManager.addPeriodicCaller(0.005, [&] {
        calls.hit();
        if (calls.count() == 1) throw std::runtime_error("boom");
        if (calls.count() == 2) throw 42;
    });
    ASSERT_TRUE(calls.waitFor(4));
    EXPECT_TRUE(log.contains(quorix::pelmo::log::Warning,
                             "Periodic caller of manager 'pc-test' threw: boom"));
    EXPECT_TRUE(log.contains(quorix::pelmo::log::Warning, "threw: unknown exception"));
}

TEST_P(PlatformPeriodicCaller, HandlesOutliveTheManager) {
    auto manager = std::make_unique<PeriodicCallerManager>(GetParam(), "short-lived");
    Calls calls, firstCalls, secondCalls;
    auto first = manager->addPeriodicCaller(0.005, [&] {
        calls.hit();
        firstCalls.hit();
    });
    auto second = manager->addPeriodicCaller(0.007, [&] {
        calls.hit();
        secondCalls.hit();
    });
    // Both must have run before the threads are counted, however the machine schedules them.
    ASSERT_TRUE(firstCalls.waitFor(3) && secondCalls.waitFor(3));
    EXPECT_EQ(calls.threads(), GetParam() == PeriodicCallerManager::kSharedThread ? 1u : 2u);
    manager.reset();
    const size_t countWhenGone = calls.count();
    first.reset();
    second.reset();
    EXPECT_EQ(calls.count(), countWhenGone);
}

TEST_P(PlatformPeriodicCaller, RejectsInvalidPeriods) {
    for (double period : {0.0, -1.0, std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        EXPECT_THROW(mManager.addPeriodicCaller(period, [] {}), std::invalid_argument) << period;
    }
}

INSTANTIATE_TEST_SUITE_P(Strategies, PlatformPeriodicCaller,
                         ::testing::Values(PeriodicCallerManager::kSharedThread,
                                           PeriodicCallerManager::kThreadPerCaller));

TEST(PlatformPeriodicCallerIsolation, SlowCallDoesNotDelayOtherCallers) {
    PeriodicCallerManager manager(PeriodicCallerManager::kThreadPerCaller, "isolated");
    Calls fast, slowDone;
    std::atomic<size_t> fastDuringSlowCall{0};
    auto fastHandle = manager.addPeriodicCaller(kPeriod, [&] { fast.hit(); });
    auto slowHandle = manager.addPeriodicCaller(kPeriod, [&] {
        if (slowDone.count() > 0) return;
        const size_t before = fast.count();
        std::this_thread::sleep_for(300ms);  // the slow caller's own work
        fastDuringSlowCall = fast.count() - before;
        slowDone.hit();
    });
    ASSERT_TRUE(slowDone.waitFor(1));
    EXPECT_GE(fastDuringSlowCall, 3u);  // about 15 slots pass
}

TEST(PlatformNextPeriodicSlot, SkipsMissedSlotsWithoutDrifting) {
    auto at = [](int ms) { return Clock::time_point(std::chrono::milliseconds(ms)); };
    // scheduled, period, now, expected; milliseconds
    const int cases[][4] = {{0, 10, 1, 10},  {0, 10, 9, 10},  {0, 10, 10, 10},
                            {0, 10, 11, 20}, {0, 10, 35, 40}, {5, 10, 41, 45}};
    for (const auto& c : cases) {
        EXPECT_EQ(quorix::pelmo::utils::nextPeriodicSlot(at(c[0]), std::chrono::milliseconds(c[1]),
                                                         at(c[2])),
                  at(c[3]))
            << c[0] << " " << c[1] << " " << c[2];
    }
}

}  // namespace
