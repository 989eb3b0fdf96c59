#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "support/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using namespace ::datalogger::test;
using Code = DataLoggerStatusCode;
using Clock = std::chrono::steady_clock;

// An outside reader that holds its snapshot (sqlite3 piped into less, a long .dump) never makes
// a write fail. Once the snapshot keeps the write-ahead log from being checkpointed, writing
// waits, so that the file and its log stay within Size + 1 MiB, and goes on when it ends.
TEST(StorageConcurrency, OutsideReaderCostsNoPointAndTheLogStaysBounded) {
    constexpr int kPoints = 2000;  // far more log than the budget allows while the reader reads
    RamDir dir;
    const std::string file = dir.file("live.db");
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, file, false), Code::NoError);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);
    RawDb reader(file);
    reader.exec("BEGIN; SELECT COUNT(*) FROM tail;");

    std::atomic<int> written{0};
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 1; i <= kPoints; ++i, ++written) {
            storage->setData(a.channelHash(), {DataLoggerDataPoint(i, atMicros(i))});
        }
    });
    uintmax_t largest = 0;
    const auto sample = [&](Clock::duration period) {
        for (const auto until = Clock::now() + period; Clock::now() < until;) {
            largest = std::max(largest, sizeWithLog(file));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    sample(std::chrono::seconds(3));
    const int writtenWhileRead = written;
    reader.exec("COMMIT;");
    sample(std::chrono::milliseconds(200));
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);

    EXPECT_LT(writtenWhileRead, kPoints) << "writing never waited for the reader";
    EXPECT_LE(largest, kMinimumSize + 1048576u);
    std::vector<DataLoggerDataPoint> points;  // no point failed
    ASSERT_EQ(storage->getData(points, "a", 0, std::chrono::microseconds(0), 0), Code::NoError);
    EXPECT_EQ(points.size(), static_cast<size_t>(kPoints));
}

// One writer, two readers and one log export share a storage for ten seconds.
TEST(StorageConcurrency, WritersReadersAndCopiesDoNotDisturbEachOther) {
    RamDir dir;
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMaximumSize, dir.file("live.db"), false), Code::NoError);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);

    std::mutex mutex;  // guards problems
    std::vector<std::string> problems;
    auto problem = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        problems.push_back(text);
    };
    auto failed = [&](const char* what, DataLoggerStatusCode rc) {
        if (rc != Code::NoError) problem(what + std::to_string(int(rc)));
        return rc != Code::NoError;
    };
    std::atomic<int64_t> committed{0}, copies{0};
    const auto end = Clock::now() + std::chrono::seconds(10);
    std::vector<std::future<void>> threads;
    auto runUntilEnd = [&](std::function<void(int64_t)> body) {
        threads.push_back(std::async(std::launch::async, [&, body] {
            try {
                for (int64_t round = 0; Clock::now() < end; ++round) body(round);
            } catch (const std::exception& e) {
                problem(std::string("threw: ") + e.what());
            }
        }));
    };

    runUntilEnd([&](int64_t round) {
        const auto rc =
            storage->setData(a.channelHash(), {DataLoggerDataPoint(1, atMicros(round + 1))});
        if (!failed("setData gave ", rc)) committed = round + 1;
    });
    for (int reader = 0; reader < 2; ++reader) {
        runUntilEnd([&, reader](int64_t round) {
            const int64_t seen = committed.load();
            std::vector<DataLoggerDataPoint> points;
            const auto rc = storage->getData(
                points, "a", (round + reader) % 2 == 0 ? 0 : std::max<int64_t>(0, seen - 50),
                std::chrono::microseconds(0), round % 3 == 0 ? 0 : 100);
            if ((rc == Code::StorageNoData && seen == 0) || failed("getData gave ", rc)) return;
            for (size_t i = 1; i < points.size(); ++i) {
                if (points[i].timestamp() <= points[i - 1].timestamp())
                    return problem("out of order");
            }
            if (points.back().timestamp() < atMicros(seen)) problem("getData missed a row");
        });
    }
    runUntilEnd([&](int64_t round) {
        const std::string target = dir.file("copy" + std::to_string(round % 2));
        std::filesystem::create_directories(target);
        const int64_t before = committed.load();
        if (failed("createLog gave ", storage->createLog(target, 1))) return;
        const std::string file = target + "/datalogger_sqlite.db";
        if (RawDb(file).rows("PRAGMA integrity_check") != std::vector<std::string>{"ok"})
            problem("corrupt copy");
        // Its points as the daemon would read them after a restart on the copy.
        auto copy = makeStorage();
        std::vector<DataLoggerDataPoint> points;
        if (failed("opening the copy gave ", copy->initializeStorage(kMaximumSize, file, false)) ||
            failed("reading the copy gave ",
                   copy->getData(points, "a", 0, std::chrono::microseconds(0), 0))) {
            return;
        }
        int64_t held = 0;
        for (const auto& point : points) held += point.timestamp() <= atMicros(before) ? 1 : 0;
        if (held != before)
            problem("copy holds " + std::to_string(held) + " of " + std::to_string(before));
        ++copies;
    });

    for (auto& thread : threads) {
        if (thread.wait_until(end + std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "a thread is stuck";
            std::abort();  // joining would hang the whole test run
        }
    }
    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_GT(committed.load(), 0);
    EXPECT_GT(copies.load(), 0);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
