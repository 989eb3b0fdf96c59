#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>

#include "storage/DataLoggerSQLiteStatements.h"
#include "support/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using namespace ::datalogger::test;
using Code = DataLoggerStatusCode;
using std::chrono::milliseconds;
using Lock = std::shared_lock<std::shared_timed_mutex>;

// A migrated database opened by a plain connection, for exercising the pool on its own.
class StatementPool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mFile, false), Code::NoError);
        ASSERT_EQ(mConnection.open(mFile, SQLITE_OPEN_READWRITE), SQLITE_OK);
    }
    std::shared_ptr<DataLoggerSQLiteStatement> statement(uint32_t initial, uint32_t max,
                                                         const char* sql = "PRAGMA PAGE_SIZE;") {
        return std::make_shared<DataLoggerSQLiteStatement>(mConnection.get(), sql, "mpTest",
                                                           initial, max);
    }

    RamDir mDir;
    std::string mFile = mDir.file("pool.db");
    SQLiteConnection mConnection;
    std::shared_timed_mutex mGate;
};
using StatementPoolThreads = StatementPool;

TEST_F(StatementPool, TokensGetTheirOwnHandlesSurplusHandlesAreFinalizedAndBadSqlIsNamed) {
    auto s = statement(1, 10);
    s->prepare();
    std::vector<std::unique_ptr<DataLoggerSQLiteStatementToken>> tokens;
    for (int i = 0; i < 11; ++i) tokens.push_back(s->getToken(Lock(mGate)));
    EXPECT_NE(tokens[0]->get(), tokens[1]->get());
    EXPECT_EQ(s->lentCount(), 11u);
    tokens.clear();
    EXPECT_EQ(s->idleCount(), 10u);
    EXPECT_EQ(s->lentCount(), 0u);
    EXPECT_NO_THROW(statement(3, 3));
    EXPECT_THROW(statement(4, 3), std::invalid_argument);
    EXPECT_EQ(thrown([&] { statement(1, 10, "SELECT * FROM nowhere;")->prepare(); }),
              "Could not prepare 'mpTest' statement (SELECT * FROM nowhere;).");
}

TEST_F(StatementPoolThreads, ManagerLendsOnlyWhilePreparedAndDestroysOnlyWhenNothingIsLent) {
    DataLoggerSQLiteStatementsManager manager(mConnection.get());
    EXPECT_EQ(thrown([&] { manager.get(Statement::GetPageSize, milliseconds(20)); }),
              "Timed out while waiting for the statements to be prepared");
    auto waiting = std::async(std::launch::async, [&] {
        return manager.get(Statement::GetChannels, milliseconds(10000)) != nullptr;
    });
    manager.prepare();
    manager.prepare();
    EXPECT_TRUE(waiting.get());
    std::promise<void> taken, done;
    std::thread holder([&] {
        auto token = manager.get(Statement::GetPageCount, milliseconds(1000));
        taken.set_value();
        done.get_future().wait();
    });
    taken.get_future().wait();
    EXPECT_EQ(thrown([&] { manager.destroyAll(milliseconds(50)); }),
              "Failed to get the lock to destroy all SQLite statements");
    // Still prepared: other threads go on working.
    EXPECT_NE(manager.get(Statement::GetPageSize, milliseconds(1000))->get(), nullptr);
    done.set_value();
    holder.join();
    manager.destroyAll(milliseconds(1000));
    EXPECT_THROW(manager.get(Statement::SetChannel, milliseconds(20)), std::runtime_error);
}

// A database of the row format is converted when it is opened: every readable row comes back
// from the blocks and the tail, in time order; rows of no channel or without a time are gone.
TEST(PointFormat, AVersionFourDatabaseKeepsEveryRowWhenItIsOpened) {
    RamDir dir;
    const std::string file = dir.file("old.db");
    RawDb raw(file);
    const auto busy = channel("busy");
    const auto rare = channel("rare");
    {
        auto storage = makeStorage();
        ASSERT_EQ(storage->initializeStorage(kMaximumSize, file, false), Code::NoError);
        for (const auto& info : {busy, rare})
            ASSERT_EQ(storage->registerOrUpdateChannel(info), Code::NoError);
    }
    // The file is at version 5 now: build version 4's data table again beside the channels.
    raw.exec(
        "DROP TABLE block; DROP TABLE tail; UPDATE schemaVersion SET version = 4;"
        "CREATE TABLE data (channelHash INTEGER NOT NULL REFERENCES channel(hash), "
        "timestamp INTEGER NOT NULL, value REAL);");
    raw.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
        "INSERT INTO data SELECT CASE WHEN i % 4000 = 0 THEN " +
        std::to_string(static_cast<int64_t>(rare.channelHash())) + " ELSE " +
        std::to_string(static_cast<int64_t>(busy.channelHash())) +
        " END, 20001 - i, CASE WHEN i % 7 = 0 THEN NULL ELSE i * 0.25 END FROM n;"
        "INSERT INTO data VALUES (-5, 3, 1.0);");
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMaximumSize, file, false), Code::NoError);
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE name = 'data'"), 0);
    for (const auto& [info, count] : {std::pair{busy, 19995}, std::pair{rare, 5}}) {
        std::vector<DataLoggerDataPoint> points;
        ASSERT_EQ(
            storage->getData(points, info.channelInfo().mPath, 0, std::chrono::microseconds(0), 0),
            Code::NoError);
        ASSERT_EQ(points.size(), static_cast<size_t>(count));
        for (size_t k = 0; k < points.size(); ++k) {
            const int64_t time = points[k].timestamp().time_since_epoch().count() / 1000;
            const int64_t i = 20001 - time;
            ASSERT_EQ(i % 4000 == 0, info.channelHash() == rare.channelHash()) << time;
            if (i % 7 == 0) {
                ASSERT_TRUE(std::isnan(points[k].value())) << time;
            } else {
                ASSERT_EQ(points[k].value(), static_cast<double>(i) * 0.25) << time;
            }
            if (k > 0) {
                ASSERT_LT(points[k - 1].timestamp(), points[k].timestamp());
            }
        }
    }
    EXPECT_GT(raw.scalar("SELECT count(*) FROM block"), 30);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
