#include "storage/DataLoggerSQLiteStatements.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>

#include "core/DataLoggerChannelColumns.h"

namespace quorix::pelmo::datalogger {

namespace {

// Shared by every token: a token is made per statement use, the sink needs no state.
const std::shared_ptr<log::LoggerImplInterface>& sharedLoggerImpl() {
    static const std::shared_ptr<log::LoggerImplInterface> impl =
        std::make_shared<log::LoggerImpl>();
    return impl;
}

// Both channel statements bind the hash and every column of kDataLoggerChannelColumns, in
// its order: the insert the hash first, the update last.
std::string channelInsertSql() {
    std::string columns = "hash", values = "$hash";
    for (const auto& column : kDataLoggerChannelColumns) {
        columns += std::string(", ") + column.columnName();
        values += std::string(", $") +
                  (column.insertParameter ? column.insertParameter : column.columnName());
    }
    return "INSERT INTO channel (" + columns + ") VALUES (" + values + ");";
}

std::string channelUpdateSql() {
    std::string sql = "UPDATE channel SET ";
    for (const auto& column : kDataLoggerChannelColumns) {
        if (&column != &kDataLoggerChannelColumns.front()) sql += ", ";
        sql += std::string(column.columnName()) + " = $" + column.columnName();
    }
    return sql + " WHERE hash = $hash;";
}

int logSchemaRow(void*, int columns, char** values, char**) {
    std::string line;
    for (int i = 0; i < columns; ++i) {
        line += values[i] != nullptr ? values[i] : "NULL";
        line += ",\t";
    }
    line += "\n";
    log::pelmoDoLog(log::Trace, "%s", nullptr, line.c_str());
    return 0;
}

}  // namespace

// ---- token -------------------------------------------------------------------------------

DataLoggerSQLiteStatementToken::DataLoggerSQLiteStatementToken(
    SQLiteStatementHandle handle, std::shared_lock<std::shared_timed_mutex> gate,
    std::shared_ptr<DataLoggerSQLiteStatementForTokenIfc> owner)
    : log::Logger("DataLoggerSQLiteStatementToken", "", sharedLoggerImpl()),
      mHandle(std::move(handle)),
      mGate(std::move(gate)),
      mOwner(std::move(owner)) {}

DataLoggerSQLiteStatementToken::~DataLoggerSQLiteStatementToken() {
    // The handle must be home before the gate opens: destroyAll finalizes whatever is idle.
    if (mOwner) mOwner->release(std::move(mHandle));
    mOwner.reset();
    if (mGate.owns_lock()) mGate.unlock();
}

// ---- statement ---------------------------------------------------------------------------

DataLoggerSQLiteStatement::DataLoggerSQLiteStatement(sqlite3* connection, std::string sql,
                                                     std::string name, uint32_t initialPrepareCount,
                                                     uint32_t maxPreparedCount)
    : mConnection(connection),
      mSql(std::move(sql)),
      mName(std::move(name)),
      mInitialPrepareCount(initialPrepareCount),
      mMaxPreparedCount(maxPreparedCount) {
    if (maxPreparedCount < initialPrepareCount) {
        log::pelmoDoLog(log::Error,
                        "For statement %s max prepared count %u is lower than initial prepare "
                        "count %u",
                        nullptr, mName.c_str(), maxPreparedCount, initialPrepareCount);
        throw std::invalid_argument("maxPreparedCount lower than initialPrepareCount");
    }
}

SQLiteStatementHandle DataLoggerSQLiteStatement::prepareOne() const {
    SQLiteStatementHandle handle;
    const int rc =
        SQLiteStatementHandle::prepare(mConnection, mSql, SQLITE_PREPARE_PERSISTENT, handle);
    if (rc == SQLITE_OK && handle) return handle;

    const std::string message = "Could not prepare '" + mName + "' statement (" + mSql + ").";
    reportSQLite(nullptr, log::Error, message, mConnection, rc);
    if (log::LoggerProxy::instance().isSeverityEnabled(log::Trace)) {
        const int dumpRc = sqlite3_exec(mConnection, "SELECT * from sqlite_master;", logSchemaRow,
                                        nullptr, nullptr);
        if (dumpRc != SQLITE_OK) {
            reportSQLite(nullptr, log::Error, "Not able to get the database structure.",
                         mConnection, dumpRc);
        }
    }
    throw std::invalid_argument(message);
}

void DataLoggerSQLiteStatement::prepare() {
    std::lock_guard<std::mutex> lock(mMutex);
    while (mPrepared.size() < mInitialPrepareCount) mPrepared.push_back(prepareOne());
}

std::unique_ptr<DataLoggerSQLiteStatementToken> DataLoggerSQLiteStatement::getToken(
    std::shared_lock<std::shared_timed_mutex> gate) {
    SQLiteStatementHandle handle;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mPrepared.empty()) {
            log::pelmoDoLog(log::Trace, "preparing a new statement for %s", nullptr, mName.c_str());
            handle = prepareOne();
        } else {
            handle = std::move(mPrepared.front());
            mPrepared.pop_front();
        }
        mInUse.push_back(handle.get());
    }
    return std::make_unique<DataLoggerSQLiteStatementToken>(std::move(handle), std::move(gate),
                                                            shared_from_this());
}

void DataLoggerSQLiteStatement::release(SQLiteStatementHandle handle) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = std::find(mInUse.begin(), mInUse.end(), handle.get());
    if (it != mInUse.end()) mInUse.erase(it);
    // A surplus handle is finalized by going out of scope here.
    if (mPrepared.size() < mMaxPreparedCount) mPrepared.push_back(std::move(handle));
    log::pelmoDoLog(log::Trace,
                    "statement token released for %s, mPrepared.size() = %u, mInUse.size() = %u",
                    nullptr, mName.c_str(), static_cast<unsigned>(mPrepared.size()),
                    static_cast<unsigned>(mInUse.size()));
}

void DataLoggerSQLiteStatement::finalizeAll() {
    log::pelmoDoLog(log::Trace, "+finalize %s", nullptr, mName.c_str());
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& handle : mPrepared) {
        const int rc = handle.finalize();
        if (rc != SQLITE_OK) {
            reportSQLite(nullptr, log::Warning,
                         "Finalize statement failed, most probably because previous evaluation "
                         "failed. Statement name " +
                             mName,
                         mConnection, rc);
        }
    }
    mPrepared.clear();
    // Lent handles belong to their tokens, which finalize them when they come back; the
    // manager only gets here with the gate held exclusively, i.e. with none lent.
    mInUse.clear();
}

size_t DataLoggerSQLiteStatement::idleCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPrepared.size();
}

size_t DataLoggerSQLiteStatement::lentCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mInUse.size();
}

// ---- manager -----------------------------------------------------------------------------

namespace {
constexpr uint32_t kMaxPrepared = 10;
}

namespace {

struct StatementText {
    Statement id;
    const char* name;
    std::string sql;
    uint32_t initialPrepareCount;
};

std::vector<StatementText> statementTexts() {
    return {
        {Statement::BreakingChangeAddNextEntry, "mpBreakingChangeAddNextEntry",
         "INSERT INTO breakingChange VALUES(null);", 0},
        {Statement::BreakingChangeGetLatestId, "mpBreakingChangeGetLatestId",
         "SELECT * FROM breakingChange ORDER BY id DESC LIMIT 1;", 0},
        {Statement::UpdateChannelPath, "mpUpdateChannelPath",
         "UPDATE channel SET path = $pathUpdated, hash = $hashUpdated WHERE path = $path;", 0},
        {Statement::GetTableNames, "mpGetTableNames",
         "SELECT name FROM sqlite_master WHERE type IN ('table') AND name NOT "
         "IN ('schemaHistory', 'sqlite_sequence');",
         0},
        {Statement::IntegrityCheck, "mpIntegrityCheck", "PRAGMA INTEGRITY_CHECK;", 0},
        {Statement::GetPageCount, "mpGetPageCount", "PRAGMA PAGE_COUNT;", 0},
        {Statement::GetPageSize, "mpGetPageSize", "PRAGMA PAGE_SIZE;", 1},
        {Statement::GetMaxPageCount, "mpGetMaxPageCount", "PRAGMA MAX_PAGE_COUNT;", 0},
        {Statement::GetChannelHashRegistered, "mpGetChannelHashRegistered",
         "SELECT hash FROM channel WHERE hash = $hash;", 0},
        {Statement::GetChannelPathRegistered, "mpGetChannelPathRegistered",
         "SELECT path FROM channel WHERE path = $path;", 0},
        {Statement::GetChannels, "mpGetChannels", "SELECT * FROM channel;", 0},
        {Statement::GetChannelByPath, "mpGetChannelByPath",
         "SELECT * FROM channel WHERE path = $path;", 0},
        {Statement::GetChannelByHash, "mpGetChannelByHash",
         "SELECT * FROM channel WHERE hash = $hash;", 0},
        {Statement::SetChannel, "mpSetChannel", channelInsertSql(), 0},
        {Statement::UpdateChannel, "mpUpdateChannel", channelUpdateSql(), 0},
    };
}

}  // namespace

DataLoggerSQLiteStatementsManager::DataLoggerSQLiteStatementsManager(sqlite3* connection)
    : log::Logger("DataLoggerSQLiteStatementsManager", "", sharedLoggerImpl()),
      mConnection(connection) {
    std::vector<StatementText> texts = statementTexts();
    mStatements.resize(texts.size());
    for (auto& text : texts) {
        mStatements[static_cast<size_t>(text.id)] = std::make_shared<DataLoggerSQLiteStatement>(
            mConnection, std::move(text.sql), text.name, text.initialPrepareCount, kMaxPrepared);
    }
}

DataLoggerSQLiteStatementsManager::~DataLoggerSQLiteStatementsManager() {
    if (mPrepared) {
        for (auto& statement : mStatements) statement->finalizeAll();
        mPrepared = false;
    }
}

void DataLoggerSQLiteStatementsManager::prepare() {
    pelmoDoLog(log::Debug, "prepare", nullptr);
    try {
        std::unique_lock<std::shared_timed_mutex> gate(mGate);
        if (mPrepared) {
            pelmoDoLog(log::Info, "Already prepared: return without doing anything", nullptr);
            return;
        }
        for (auto& statement : mStatements) statement->prepare();
        mPrepared = true;
        gate.unlock();
        mPreparedChanged.notify_all();
        pelmoDoLog(log::Trace, "-prepare", nullptr);
    } catch (const std::exception& e) {
        pelmoDoLog(log::Critical, "An error occurred while preparing the statement: %s", nullptr,
                   e.what());
        throw;
    } catch (...) {
        pelmoDoLog(log::Critical, "An unknown error ocurred while preparing the statements",
                   nullptr);
        throw;
    }
}

void DataLoggerSQLiteStatementsManager::destroyAll(Timeout timeout) {
    pelmoDoLog(log::Debug, "destroyAll(timeout = %u ms)", nullptr,
               static_cast<unsigned>(timeout.count()));
    mDestroyRequested = true;
    std::unique_lock<std::shared_timed_mutex> gate(mGate, std::defer_lock);
    if (!gate.try_lock_until(std::chrono::system_clock::now() + timeout)) {
        mDestroyRequested = false;
        // Waiters parked because of the request may use the still prepared statements again.
        mPreparedChanged.notify_all();
        throw std::runtime_error("Failed to get the lock to destroy all SQLite statements");
    }
    mDestroyRequested = false;
    if (!mPrepared) {
        pelmoDoLog(log::Info, "destroyAll: statements not prepared, nothing to do", nullptr);
        return;
    }
    for (auto& statement : mStatements) statement->finalizeAll();
    mPrepared = false;
    pelmoDoLog(log::Trace, "-destroyAll", nullptr);
}

std::shared_lock<std::shared_timed_mutex> DataLoggerSQLiteStatementsManager::waitForPrepared(
    Timeout timeout) {
    const auto deadline = std::chrono::system_clock::now() + timeout;
    std::shared_lock<std::shared_timed_mutex> gate(mGate, deadline);
    if (!gate.owns_lock()) {
        throw std::runtime_error("Failed to wait for the statements to be prepared");
    }
    if (!mPreparedChanged.wait_until(gate, deadline,
                                     [this] { return mPrepared && !mDestroyRequested; })) {
        throw std::runtime_error("Timed out while waiting for the statements to be prepared");
    }
    return gate;
}

DataLoggerSQLiteStatementsManager::Token DataLoggerSQLiteStatementsManager::lend(
    const std::shared_ptr<DataLoggerSQLiteStatement>& statement, Timeout timeout) {
    return statement->getToken(waitForPrepared(timeout));
}

DataLoggerSQLiteStatementsManager::Token DataLoggerSQLiteStatementsManager::get(Statement statement,
                                                                                Timeout timeout) {
    return lend(mStatements.at(static_cast<size_t>(statement)), timeout);
}

}  // namespace quorix::pelmo::datalogger
