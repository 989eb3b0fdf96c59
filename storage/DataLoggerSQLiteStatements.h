#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/Logger.h"
#include "storage/DataLoggerSQLiteHandles.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quorix::pelmo::datalogger {

// How a token gives its handle back to the statement that lent it.
class DataLoggerSQLiteStatementForTokenIfc {
public:
    virtual ~DataLoggerSQLiteStatementForTokenIfc() = default;
    virtual void release(SQLiteStatementHandle handle) = 0;
};

// One lent handle. Owns the handle and a shared hold on the pool's gate until destroyed, which
// gives the handle back. Belongs to the thread that took it; never copied or shared.
class DataLoggerSQLiteStatementToken : public virtual log::Logger {
public:
    DataLoggerSQLiteStatementToken(SQLiteStatementHandle handle,
                                   std::shared_lock<std::shared_timed_mutex> gate,
                                   std::shared_ptr<DataLoggerSQLiteStatementForTokenIfc> owner);
    ~DataLoggerSQLiteStatementToken() override;
    DataLoggerSQLiteStatementToken(const DataLoggerSQLiteStatementToken&) = delete;
    DataLoggerSQLiteStatementToken& operator=(const DataLoggerSQLiteStatementToken&) = delete;

    sqlite3_stmt* get() const { return mHandle.get(); }

private:
    SQLiteStatementHandle mHandle;
    // Released after the handle went back (reverse member order), so destroyAll cannot
    // finalize a handle that is still on its way home.
    std::shared_lock<std::shared_timed_mutex> mGate;
    std::shared_ptr<DataLoggerSQLiteStatementForTokenIfc> mOwner;
};

// One named SQL text with its idle and lent handles. Owned by shared_ptr (tokens keep it
// alive); any thread may take and return tokens. prepare() throws std::invalid_argument
// with the SQLite message when the text does not compile against the current schema.
class DataLoggerSQLiteStatement : public DataLoggerSQLiteStatementForTokenIfc,
                                  public std::enable_shared_from_this<DataLoggerSQLiteStatement> {
public:
    DataLoggerSQLiteStatement(sqlite3* connection, std::string sql, std::string name,
                              uint32_t initialPrepareCount, uint32_t maxPreparedCount);

    void prepare();
    std::unique_ptr<DataLoggerSQLiteStatementToken> getToken(
        std::shared_lock<std::shared_timed_mutex> gate);
    void release(SQLiteStatementHandle handle) override;
    void finalizeAll();

    size_t idleCount() const;
    size_t lentCount() const;

private:
    SQLiteStatementHandle prepareOne() const;

    sqlite3* const mConnection;
    const std::string mSql;
    const std::string mName;
    const uint32_t mInitialPrepareCount;
    const uint32_t mMaxPreparedCount;
    mutable std::mutex mMutex;  // guards mPrepared and mInUse
    std::deque<SQLiteStatementHandle> mPrepared;
    std::list<sqlite3_stmt*> mInUse;  // observers only: each lent handle is owned by its token
};

// The statements every open database has, each prepared from its row of the one table in
// DataLoggerSQLiteStatements.cpp (name in log lines, text, handles prepared at once).
enum class Statement {
    BreakingChangeAddNextEntry,
    BreakingChangeGetLatestId,
    UpdateChannelPath,
    GetTableNames,
    IntegrityCheck,
    GetPageCount,
    GetPageSize,
    GetMaxPageCount,
    GetChannelHashRegistered,
    GetChannelPathRegistered,
    GetChannels,
    GetChannelByPath,
    GetChannelByHash,
    SetChannel,
    UpdateChannel,
};

// The statements of one open database and the gate that says whether they may be used.
// Owned by the storage through unique_ptr and destroyed before the connection it was built
// on. Any thread may call the getters; prepare() and destroyAll() must not be called by a
// thread that holds a token. Getters and destroyAll() throw std::runtime_error on time-out.
class DataLoggerSQLiteStatementsManager : public virtual log::Logger {
public:
    using Token = std::unique_ptr<DataLoggerSQLiteStatementToken>;
    using Timeout = std::chrono::milliseconds;

    explicit DataLoggerSQLiteStatementsManager(sqlite3* connection);
    ~DataLoggerSQLiteStatementsManager() override;

    void prepare();
    void destroyAll(Timeout timeout);

    Token get(Statement statement, Timeout timeout);

private:
    std::shared_ptr<DataLoggerSQLiteStatement> add(const char* name, std::string sql,
                                                   uint32_t initialPrepareCount = 0);
    std::shared_lock<std::shared_timed_mutex> waitForPrepared(Timeout timeout);
    Token lend(const std::shared_ptr<DataLoggerSQLiteStatement>& statement, Timeout timeout);

    sqlite3* const mConnection;
    // The gate: held shared by every lent token, exclusively while statements are prepared
    // or destroyed. Guards mPrepared.
    std::shared_timed_mutex mGate;
    bool mPrepared = false;
    std::condition_variable_any mPreparedChanged;  // signalled when mPrepared turns true
    // Set without the gate so that waiters stop queueing for it while destroyAll waits.
    std::atomic<bool> mDestroyRequested{false};
    std::vector<std::shared_ptr<DataLoggerSQLiteStatement>> mStatements;  // by Statement
};

}  // namespace quorix::pelmo::datalogger
