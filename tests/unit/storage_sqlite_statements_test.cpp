#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "storage/DataLoggerSQLiteStatements.h"
#include "unit/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::LogCapture;
using namespace storagetest;
using std::chrono::milliseconds;

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

TEST_F(StatementPool, ConcurrentTokensGetTheirOwnHandlesAndComeBackIdle) {
    auto s = statement(1, 10);
    s->prepare();
    auto first = s->getToken(std::shared_lock<std::shared_timed_mutex>(mGate));
    auto second = s->getToken(std::shared_lock<std::shared_timed_mutex>(mGate));
    EXPECT_NE(first->get(), second->get());
    EXPECT_EQ(s->lentCount(), 2u);
    first.reset();
    second.reset();
    EXPECT_EQ(s->idleCount(), 2u);
    EXPECT_EQ(s->lentCount(), 0u);
}

TEST_F(StatementPool, SurplusHandlesAreFinalizedOnReturn) {
    auto s = statement(0, 10);
    std::vector<std::unique_ptr<DataLoggerSQLiteStatementToken>> tokens;
    for (int i = 0; i < 11; ++i) {
        tokens.push_back(s->getToken(std::shared_lock<std::shared_timed_mutex>(mGate)));
    }
    tokens.clear();
    EXPECT_EQ(s->idleCount(), 10u);
}

TEST_F(StatementPool, CountsAreChecked) {
    EXPECT_NO_THROW(statement(3, 3));
    EXPECT_THROW(statement(4, 3), std::invalid_argument);
}

TEST_F(StatementPool, UnknownTableNamesTheStatementInTheError) {
    auto s = statement(1, 10, "SELECT * FROM nowhere;");
    try {
        s->prepare();
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Could not prepare 'mpTest' statement (SELECT * FROM nowhere;).");
    }
}

TEST_F(StatementPool, ManagerPreparesOnceAndLendsOnlyWhilePrepared) {
    LogCapture log;
    DataLoggerSQLiteStatementsManager manager(mConnection.get());
    EXPECT_THROW(
        {
            try {
                manager.getGetPageSize(milliseconds(20));
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Timed out while waiting for the statements to be prepared");
                throw;
            }
        },
        std::runtime_error);
    manager.prepare();
    manager.prepare();
    EXPECT_TRUE(log.contains(log::Info, "Already prepared: return without doing anything"));
    EXPECT_NE(manager.getSetData(milliseconds(20))->get(), nullptr);

    manager.destroyAll(milliseconds(20));
    EXPECT_THROW(manager.getSetData(milliseconds(20)), std::runtime_error);
}

TEST_F(StatementPool, WaitingGetterIsServedByTheNextPrepare) {
    DataLoggerSQLiteStatementsManager manager(mConnection.get());
    auto waiting = std::async(std::launch::async,
                              [&] { return manager.getGetData(milliseconds(10000)) != nullptr; });
    manager.prepare();
    EXPECT_TRUE(waiting.get());
}

TEST_F(StatementPool, DestroyGivesUpWhileAnotherThreadHoldsAToken) {
    DataLoggerSQLiteStatementsManager manager(mConnection.get());
    manager.prepare();
    std::promise<void> taken;
    std::promise<void> done;
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

}  // namespace
}  // namespace quorix::pelmo::datalogger
