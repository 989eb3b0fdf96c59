#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "storage/DataLoggerSQLiteStatements.h"
#include "unit/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using namespace storagetest;
using std::chrono::milliseconds;
using Lock = std::shared_lock<std::shared_timed_mutex>;

// A migrated database opened by a plain connection, for exercising the pool on its own.
class StatementPool : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mFile, false),
                  DataLoggerStatusCode::NoError);
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

TEST_F(StatementPool, TokensGetTheirOwnHandlesAndSurplusHandlesAreFinalizedOnReturn) {
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
}

TEST_F(StatementPool, UnknownTableNamesTheStatementInTheError) {
    try {
        statement(1, 10, "SELECT * FROM nowhere;")->prepare();
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Could not prepare 'mpTest' statement (SELECT * FROM nowhere;).");
    }
}

TEST_F(StatementPool, ManagerLendsOnlyWhilePrepared) {
    DataLoggerSQLiteStatementsManager manager(mConnection.get());
    try {
        manager.getGetPageSize(milliseconds(20));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Timed out while waiting for the statements to be prepared");
    }
    manager.prepare();
    manager.prepare();
    EXPECT_NE(manager.getSetData(milliseconds(20))->get(), nullptr);
    manager.destroyAll(milliseconds(20));
    EXPECT_THROW(manager.getSetData(milliseconds(20)), std::runtime_error);
}

TEST_F(StatementPoolThreads, WaitingGetterIsServedByTheNextPrepare) {
    DataLoggerSQLiteStatementsManager manager(mConnection.get());
    auto waiting = std::async(std::launch::async,
                              [&] { return manager.getGetData(milliseconds(10000)) != nullptr; });
    manager.prepare();
    EXPECT_TRUE(waiting.get());
}

TEST_F(StatementPoolThreads, DestroyGivesUpWhileAnotherThreadHoldsAToken) {
    DataLoggerSQLiteStatementsManager manager(mConnection.get());
    manager.prepare();
    std::promise<void> taken, done;
    std::thread holder([&] {
        auto token = manager.getGetPageCount(milliseconds(1000));
        taken.set_value();
        done.get_future().wait();
    });
    taken.get_future().wait();
    try {
        manager.destroyAll(milliseconds(50));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to get the lock to destroy all SQLite statements");
    }
    // Still prepared: other threads go on working.
    EXPECT_NE(manager.getGetPageSize(milliseconds(1000))->get(), nullptr);
    done.set_value();
    holder.join();
    EXPECT_NO_THROW(manager.destroyAll(milliseconds(1000)));
}

// Once ANALYZE has seen one busy and one rare channel, every read of one channel still searches
// the channel index (no scan, no skip-scan through all channels) and deleting the oldest rows
// walks the time index.
TEST(StatementPlans, ReadsSearchTheChannelIndexAfterAnalyze) {
    RamDir dir;
    const std::string file = dir.file("plans.db");
    const auto busy = channel("busy");
    const auto rare = channel("rare");
    {
        auto storage = makeStorage();
        ASSERT_EQ(storage->initializeStorage(kMaximumSize, file, false),
                  DataLoggerStatusCode::NoError);
        for (const auto& info : {busy, rare}) {
            ASSERT_EQ(storage->registerOrUpdateChannel(info), DataLoggerStatusCode::NoError);
        }
    }
    RawDb(file).exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
        "INSERT INTO data SELECT CASE WHEN i % 4000 = 0 THEN " +
        std::to_string(static_cast<int64_t>(rare.channelHash())) + " ELSE " +
        std::to_string(static_cast<int64_t>(busy.channelHash())) + " END, i, i FROM n;");
    auto storage = makeStorage();  // opening analyses the filled tables
    ASSERT_EQ(storage->initializeStorage(kMaximumSize, file, false), DataLoggerStatusCode::NoError);

    SQLiteConnection connection;
    ASSERT_EQ(connection.open(file, SQLITE_OPEN_READWRITE), SQLITE_OK);
    DataLoggerSQLiteStatementsManager manager(connection.get());
    manager.prepare();
    using Manager = DataLoggerSQLiteStatementsManager;
    RawDb raw(file);
    const auto plan = [&](Manager::Token (Manager::*get)(Manager::Timeout)) {
        std::string text;
        for (const auto& row :
             raw.rows(std::string("EXPLAIN QUERY PLAN ") + sqlite3_sql((manager.*get)(milliseconds(1000))->get()))) {
            text += row + "\n";
        }
        return text;
    };
    for (auto get : {&Manager::getGetData, &Manager::getGetDataLastCounterOrDiscardByTime,
                     &Manager::getGetDataLastCounterDiscardByTime, &Manager::getGetDataDiscardByNumber,
                     &Manager::getGetDataLastCounterAndDiscardByNumber,
                     &Manager::getGetDataDiscardByTimeAndNumber,
                     &Manager::getGetDataLastCounterDiscardByTimeAndNumber,
                     &Manager::getGetDataPageAfter, &Manager::getGetDataNewestStart}) {
        const std::string text = plan(get);
        EXPECT_NE(text.find("SEARCH data USING COVERING INDEX dataChannelTimestamp (channelHash=?"),
                  std::string::npos)
            << text;
        // The index's order serves ORDER BY: no sort of a channel's whole history per read.
        EXPECT_EQ(text.find("TEMP B-TREE"), std::string::npos) << text;
    }
    EXPECT_NE(plan(&Manager::getDeleteData).find("SCAN data USING INDEX dataTimestampOrder"),
              std::string::npos);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
