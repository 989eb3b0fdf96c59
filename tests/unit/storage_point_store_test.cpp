#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <random>

#include "storage/PointStore.h"
#include "support/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using namespace ::datalogger::test;

struct Stored {
    int64_t time;
    double value;
};

// A database with the whole schema, and the points each channel was given in arrival order: the
// model every read is checked against.
class PointStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The schema as the storage makes it; the points are written here on a connection of
        // the test's own.
        ASSERT_EQ(makeStorage()->initializeStorage(kMaximumSize, mFile, false),
                  DataLoggerStatusCode::NoError);
        ASSERT_EQ(mConnection.open(mFile, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX),
                  SQLITE_OK);
        reopen();
    }
    int exec(const std::string& sql) {
        return sqlite3_exec(mConnection.get(), sql.c_str(), nullptr, nullptr, nullptr);
    }
    void reopen() {
        mStore = std::make_unique<PointStore>(mConnection.get(), mLogger);
        ASSERT_EQ(mStore->load(), SQLITE_OK);
    }
    // One transaction with the given points, round robin over the channels.
    void commit(const std::vector<std::pair<uint64_t, Stored>>& points) {
        ASSERT_EQ(exec("BEGIN;"), SQLITE_OK);
        for (const auto& [hash, point] : points) {
            ASSERT_EQ(mStore->append(
                          hash, DataLoggerDataPoint(
                                    point.value, TimePoint(std::chrono::microseconds(point.time)))),
                      SQLITE_DONE);
            mModel[hash].push_back(point);
        }
        ASSERT_EQ(mStore->prepareCommit(), SQLITE_DONE);
        ASSERT_EQ(exec("COMMIT;"), SQLITE_OK);
        mStore->committed();
    }
    // What a read must give: the model's points newer than `after` in time order (arrival order
    // within a time stamp), the newest `amount`, then the oldest `limit` of those.
    std::vector<Stored> expected(uint64_t hash, int64_t after, uint32_t amount, uint32_t limit) {
        std::vector<Stored> points;
        for (const auto& point : mModel[hash]) {
            if (point.time > after) points.push_back(point);
        }
        std::stable_sort(points.begin(), points.end(),
                         [](const Stored& a, const Stored& b) { return a.time < b.time; });
        if (amount != 0 && points.size() > amount)
            points.erase(points.begin(), points.end() - amount);
        if (limit != 0 && points.size() > limit) points.resize(limit);
        return points;
    }
    void expectRead(uint64_t hash, int64_t after = PointStore::kNoBound, uint32_t amount = 0,
                    uint32_t limit = 0) {
        std::vector<DataLoggerDataPoint> read;
        ASSERT_EQ(mStore->read(hash, after, amount, limit, read), SQLITE_OK);
        const std::vector<Stored> want = expected(hash, after, amount, limit);
        ASSERT_EQ(read.size(), want.size())
            << "after " << after << " amount " << amount << " limit " << limit;
        for (size_t i = 0; i < want.size(); ++i) {
            ASSERT_EQ(read[i].timestamp().time_since_epoch().count() / 1000, want[i].time) << i;
            // Bit for bit, but a NaN read back from the tail is SQLite's own.
            if (std::isnan(want[i].value)) {
                ASSERT_TRUE(std::isnan(read[i].value())) << i;
            } else {
                ASSERT_EQ(read[i].value(), want[i].value) << i;
            }
        }
    }
    int64_t count(const char* sql) { return RawDb(mFile).scalar(sql); }

    RamDir mDir;
    const std::string mFile = mDir.file("points.db");
    SQLiteConnection mConnection;
    LogCapture mLog;
    log::Logger mLogger{"PointStoreTest", "", std::make_shared<log::LoggerImpl>()};
    std::unique_ptr<PointStore> mStore;
    std::map<uint64_t, std::vector<Stored>> mModel;
};

// Three channels interleaved in transactions of every size, with points out of order, backfills
// older than everything, runs sharing one time stamp and gaps: every filter combination reads
// what the model says, before and after a restart rebuilds the open blocks from the tail.
TEST_F(PointStoreTest, ReadsMatchTheModelForEveryFilterAcrossBlocksTheTailAndARestart) {
    std::mt19937_64 rng(11);
    const int64_t start = 1700000000000000;
    int64_t clock[3] = {start, start, start};
    int64_t previous[3] = {start, start, start};
    size_t batch = 1;
    for (int round = 0; round < 40; ++round, batch = batch * 3 % 701 + 1) {
        std::vector<std::pair<uint64_t, Stored>> points;
        for (size_t i = 0; i < batch; ++i) {
            const uint64_t hash = i % 3 + 1;
            int64_t& now = clock[hash - 1];
            const int kind = static_cast<int>(rng() % 10);
            int64_t time = now += 10000000 + static_cast<int64_t>(rng() % 5000);
            if (kind == 0)
                time = start - static_cast<int64_t>(rng() % 1000) * 1000000;  // a backfill
            if (kind == 1) time = previous[hash - 1];                         // same stamp
            previous[hash - 1] = time;
            double value = std::round(static_cast<double>(rng() % 100000)) / 100;
            if (kind == 2) value = std::nan("");
            if (kind == 3) value = std::ldexp(static_cast<double>(rng()), -80);  // full precision
            points.push_back({hash, {time, value}});
        }
        commit(points);
    }
    EXPECT_GT(count("SELECT count(*) FROM block;"), 20);
    // The tail keeps only what the open blocks hold, and a little it is still trimming.
    EXPECT_LE(count("SELECT count(*) FROM tail;"),
              3 * static_cast<int64_t>(PointStore::kBlockPoints));
    for (int restart = 0; restart < 2; ++restart) {
        for (uint64_t hash = 1; hash <= 3; ++hash) {
            const auto& all = mModel[hash];
            const int64_t middle = all[all.size() / 2].time;
            expectRead(hash);
            for (uint32_t amount : {0u, 1u, 700u, 5000u}) {
                for (uint32_t limit : {0u, 3u, 1025u}) {
                    expectRead(hash, PointStore::kNoBound, amount, limit);
                    expectRead(hash, middle, amount, limit);
                }
            }
        }
        reopen();
    }
    expectRead(4);  // no such channel: nothing
}

// A rolled back transaction leaves memory as the database is, and a channel that rarely gets a
// point does not hold the tail back. Damaged blocks, retention and renaming are the storage's
// tests' (hostile rows, size limit, archiving).
TEST_F(PointStoreTest, ARollbackLeavesMemoryAsTheFileAndASlowChannelDoesNotHoldTheTail) {
    std::vector<std::pair<uint64_t, Stored>> points;
    for (int64_t i = 0; i < 1100; ++i)
        points.push_back({1, {1000000 * i, 0.25 * static_cast<double>(i)}});
    points.push_back({2, {5, 1.5}});
    commit(points);
    ASSERT_EQ(count("SELECT count(*) FROM block;"), 2);

    ASSERT_EQ(exec("BEGIN;"), SQLITE_OK);
    for (int64_t i = 0; i < 600; ++i) {
        ASSERT_EQ(
            mStore->append(1, DataLoggerDataPoint(9, TimePoint(std::chrono::seconds(5000 + i)))),
            SQLITE_DONE);
    }
    ASSERT_EQ(mStore->prepareCommit(), SQLITE_DONE);
    ASSERT_EQ(exec("ROLLBACK;"), SQLITE_OK);
    mStore->rolledBack();
    expectRead(1);
    commit({{1, {2000000000, 7.0}}});  // the tail rows' numbers are handed out again
    expectRead(1);

    // Channel 2 has one open point; once the tail has moved on by half its bound, it is closed.
    for (size_t written = 0; written < PointStore::kMaxTailRows / 2;) {
        std::vector<std::pair<uint64_t, Stored>> busy;
        for (int i = 0; i < 4000; ++i, ++written)
            busy.push_back({3, {static_cast<int64_t>(written), 1.0}});
        commit(busy);
    }
    EXPECT_EQ(count("SELECT count(*) FROM block WHERE channelHash = 2;"), 1);
    EXPECT_LT(count("SELECT count(*) FROM tail;"), static_cast<int64_t>(PointStore::kBlockPoints));
    reopen();
    for (uint64_t hash : {1, 2, 3}) expectRead(hash);
    PointStore::Figures figures;
    ASSERT_EQ(mStore->figures(figures), SQLITE_OK);
    EXPECT_EQ(figures.points,
              static_cast<int64_t>(mModel[1].size() + mModel[2].size() + mModel[3].size()));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
