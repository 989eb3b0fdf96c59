#include <gtest/gtest.h>

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
        return manager.get(Statement::GetData, milliseconds(10000)) != nullptr;
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
    EXPECT_THROW(manager.get(Statement::SetData, milliseconds(20)), std::runtime_error);
}

// Once ANALYZE has seen one busy and one rare channel, every read of one channel still searches
// the channel index (no scan, no skip-scan through all channels) and deleting the oldest rows
// walks the time index.
TEST(StatementPlans, ReadsSearchTheChannelIndexAfterAnalyze) {
    RamDir dir;
    const std::string file = dir.file("plans.db");
    RawDb raw(file);
    const auto busy = channel("busy");
    const auto rare = channel("rare");
    {
        auto storage = makeStorage();
        ASSERT_EQ(storage->initializeStorage(kMaximumSize, file, false), Code::NoError);
        for (const auto& info : {busy, rare})
            ASSERT_EQ(storage->registerOrUpdateChannel(info), Code::NoError);
    }
    raw.exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
        "INSERT INTO data SELECT CASE WHEN i % 4000 = 0 THEN " +
        std::to_string(static_cast<int64_t>(rare.channelHash())) + " ELSE " +
        std::to_string(static_cast<int64_t>(busy.channelHash())) + " END, i, i FROM n;");
    auto storage = makeStorage();  // opening analyses the filled tables
    ASSERT_EQ(storage->initializeStorage(kMaximumSize, file, false), Code::NoError);

    SQLiteConnection connection;
    ASSERT_EQ(connection.open(file, SQLITE_OPEN_READWRITE), SQLITE_OK);
    DataLoggerSQLiteStatementsManager manager(connection.get());
    manager.prepare();
    const auto plan = [&](Statement statement) {
        std::string text;
        const auto token = manager.get(statement, milliseconds(1000));
        for (const auto& row :
             raw.rows(std::string("EXPLAIN QUERY PLAN ") + sqlite3_sql(token->get())))
            text += row + "\n";
        return text;
    };
    for (auto get :
         {Statement::GetData, Statement::GetDataLastCounterOrDiscardByTime,
          Statement::GetDataLastCounterDiscardByTime, Statement::GetDataDiscardByNumber,
          Statement::GetDataLastCounterAndDiscardByNumber, Statement::GetDataDiscardByTimeAndNumber,
          Statement::GetDataLastCounterDiscardByTimeAndNumber, Statement::GetDataPageAfter,
          Statement::GetDataNewestStart}) {
        const std::string text = plan(get);
        EXPECT_NE(text.find("SEARCH data USING COVERING INDEX dataChannelTimestamp (channelHash=?"),
                  std::string::npos)
            << text;
        // The index's order serves ORDER BY: no sort of a channel's whole history per read.
        EXPECT_EQ(text.find("TEMP B-TREE"), std::string::npos) << text;
    }
    EXPECT_NE(plan(Statement::DeleteData).find("SCAN data USING INDEX dataTimestampOrder"),
              std::string::npos);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
