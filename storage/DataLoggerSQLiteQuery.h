#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/DataLoggerChannelColumns.h"
#include "platform/Logger.h"
#include "storage/DataLoggerSQLiteHandles.h"
#include "storage/DataLoggerSQLiteStatements.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quorix::pelmo::datalogger {

// One use of a statement: binds in parameter order, steps, reads and resets, reporting every
// SQLite failure with the text the caller hands in. After the first failed binding the query is
// unusable (bound() is false) and later bindings are skipped. A query that was stepped but not
// reset is reset silently when it goes, so no statement keeps its read transaction open.
// Either pooled (it holds the lent token and gives the handle back) or unpooled (it prepared
// the statement itself and finalizes it), for statements run once, such as pragmas whose text
// carries a value. Lives on one thread for one operation.
class DataLoggerSQLiteQuery {
public:
    // Pooled: clears the previous bindings. A null token (no statement) makes an unusable query.
    DataLoggerSQLiteQuery(const log::Logger& logger,
                          std::unique_ptr<DataLoggerSQLiteStatementToken> token,
                          const char* clearFailure);
    // Unpooled: prepares `sql` on `connection`; a failure is reported with `prepareFailure`
    // (null: not at all) and makes an unusable query.
    DataLoggerSQLiteQuery(const log::Logger& logger, sqlite3* connection, const std::string& sql,
                          const char* prepareFailure);
    ~DataLoggerSQLiteQuery();
    DataLoggerSQLiteQuery(DataLoggerSQLiteQuery&& other) noexcept;
    DataLoggerSQLiteQuery& operator=(DataLoggerSQLiteQuery&&) = delete;
    DataLoggerSQLiteQuery(const DataLoggerSQLiteQuery&) = delete;
    DataLoggerSQLiteQuery& operator=(const DataLoggerSQLiteQuery&) = delete;

    DataLoggerSQLiteQuery& bindInt(int value, const char* failure);
    DataLoggerSQLiteQuery& bindInt64(int64_t value, const char* failure);
    DataLoggerSQLiteQuery& bindDouble(double value, const char* failure);
    // Copied by SQLite: the string may go before the statement is stepped.
    DataLoggerSQLiteQuery& bindText(const std::string& value, const char* failure);
    // Not copied: the caller keeps the string alive until reset.
    DataLoggerSQLiteQuery& bindTextNoCopy(const std::string& value, const char* failure);

    bool bound() const { return statement() != nullptr && mBound; }
    int step();
    // Steps once; anything but "done" is reported with `failure`.
    bool stepDone(const char* failure);
    bool reset(const char* failure, log::Severity severity = log::Error);
    // Gives the statement back early (before a call that must not run with a token held).
    void release();
    // Unpooled: finalizes now; SQLite's verdict on the last step is reported with `failure`.
    bool finalize(const char* failure);
    void report(const std::string& message, int code, log::Severity severity = log::Error) const;

    int columnCount() const;
    int64_t columnInt64(int column) const;
    double columnDouble(int column) const;
    bool columnIsNull(int column) const;
    // A reading column: NULL (a stored NaN) reads as NaN, see storedValue.
    double columnReading(int column) const;
    std::string columnText(int column) const;
    DataLoggerColumnValue columnValue(int column, DataLoggerColumnType type) const;
    sqlite3* connection() const;

private:
    DataLoggerSQLiteQuery& bindResult(int rc, const char* failure);
    sqlite3_stmt* statement() const { return mToken ? mToken->get() : mOwned.get(); }

    const log::Logger& mLogger;
    sqlite3* mConnection = nullptr;
    std::unique_ptr<DataLoggerSQLiteStatementToken> mToken;
    SQLiteStatementHandle mOwned;  // the unpooled statement
    int mNextPosition = 1;
    bool mBound = true;
    bool mNeedsReset = false;
};

// A column of a statement's current row read as `type`, converted as SQLite converts (NULL is
// 0, 0.0 or empty); past the row's last column, the same.
DataLoggerColumnValue columnValue(sqlite3_stmt* statement, int column, DataLoggerColumnType type);

}  // namespace quorix::pelmo::datalogger
