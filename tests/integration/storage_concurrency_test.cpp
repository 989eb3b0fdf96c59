#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>

#include "unit/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using namespace storagetest;
using std::chrono::microseconds;
using Clock = std::chrono::steady_clock;

// Collects what went wrong on any thread; the test fails on the first entry.
class Problems {
  public:
    void add(const std::string& text) {
        std::lock_guard<std::mutex> lock(mMutex);
        mTexts.push_back(text);
    }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mTexts;
    }

  private:
    std::mutex mMutex;  // guards mTexts
    std::vector<std::string> mTexts;
};

template <typename Body>
std::future<void> runUntil(Clock::time_point end, Problems& problems, const char* who, Body body) {
    return std::async(std::launch::async, [=, &problems] {
        try {
            for (int64_t round = 0; Clock::now() < end; ++round) body(round);
        } catch (const std::exception& e) {
            problems.add(std::string(who) + " threw: " + e.what());
        }
    });
}

// One writer, two readers and one log export share a storage for ten seconds.
TEST(StorageConcurrency, WritersReadersAndCopiesDoNotDisturbEachOther) {
    RamDir dir;
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMaximumSize, dir.file("live.db"), false),
              DataLoggerStatusCode::NoError);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);

    Problems problems;
    std::atomic<int64_t> committed{0};
    std::atomic<int64_t> copies{0};
    const auto end = Clock::now() + std::chrono::seconds(10);
    std::vector<std::future<void>> threads;

    threads.push_back(runUntil(end, problems, "writer", [&](int64_t round) {
        const int64_t stamp = round + 1;
        const auto rc =
            storage->setData(a.channelHash(), {DataLoggerDataPoint(1.0, atMicros(stamp))});
        if (rc != DataLoggerStatusCode::NoError) {
            problems.add("setData gave " + std::to_string(static_cast<int>(rc)));
        } else {
            committed = stamp;
        }
    }));
    for (int reader = 0; reader < 2; ++reader) {
        threads.push_back(runUntil(end, problems, "reader", [&, reader](int64_t round) {
            const int64_t seen = committed.load();
            std::vector<DataLoggerDataPoint> points;
            const int64_t lastCounter =
                (round + reader) % 2 == 0 ? 0 : std::max<int64_t>(0, seen - 50);
            const auto rc = storage->getData(points, "a", lastCounter, microseconds(0),
                                             round % 3 == 0 ? 0 : 100);
            if (rc == DataLoggerStatusCode::StorageNoData && seen == 0) return;
            if (rc != DataLoggerStatusCode::NoError) {
                problems.add("getData gave " + std::to_string(static_cast<int>(rc)));
                return;
            }
            for (size_t i = 1; i < points.size(); ++i) {
                if (points[i].timestamp() <= points[i - 1].timestamp()) {
                    problems.add("getData out of order");
                    return;
                }
            }
            if (points.back().timestamp() < atMicros(seen)) problems.add("getData missed a row");
        }));
    }
    threads.push_back(runUntil(end, problems, "log export", [&](int64_t round) {
        const std::string target = dir.file("copy" + std::to_string(round % 2));
        std::filesystem::create_directories(target);
        const int64_t before = committed.load();
        const auto rc = storage->createLog(target, 1);
        if (rc != DataLoggerStatusCode::NoError) {
            problems.add("createLog gave " + std::to_string(static_cast<int>(rc)));
            return;
        }
        RawDb copy(target + "/datalogger_sqlite.db");
        if (copy.rows("PRAGMA integrity_check") != std::vector<std::string>{"ok"}) {
            problems.add("copy failed the integrity check");
        }
        const int64_t held =
            copy.scalar("SELECT COUNT(*) FROM data WHERE timestamp <= " + std::to_string(before));
        if (held != before) {
            problems.add("copy holds " + std::to_string(held) + " of " + std::to_string(before));
        }
        ++copies;
    }));

    for (auto& thread : threads) {
        if (thread.wait_until(end + std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "a thread is stuck";
            std::abort();  // joining would hang the whole test run
        }
    }
    RecordProperty("rows", std::to_string(committed.load()));
    RecordProperty("copies", std::to_string(copies.load()));
    EXPECT_EQ(problems.texts(), std::vector<std::string>{});
    EXPECT_GT(committed.load(), 0);
    EXPECT_GT(copies.load(), 0);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
