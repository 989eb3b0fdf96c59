#include "storage/DataLoggerSQLiteQuery.h"

#include <sqlite3.h>

namespace quorix::pelmo::datalogger {

DataLoggerSQLiteQuery::DataLoggerSQLiteQuery(const log::Logger& logger,
                                             std::unique_ptr<DataLoggerSQLiteStatementToken> token,
                                             const char* clearFailure)
    : mLogger(logger), mToken(std::move(token)) {
    if (!mToken) return;
    mConnection = sqlite3_db_handle(mToken->get());
    const int rc = sqlite3_clear_bindings(mToken->get());
    if (rc != SQLITE_OK && clearFailure != nullptr) report(clearFailure, rc, log::Warning);
}

DataLoggerSQLiteQuery::DataLoggerSQLiteQuery(const log::Logger& logger, sqlite3* connection,
                                             const std::string& sql, const char* prepareFailure)
    : mLogger(logger), mConnection(connection) {
    const int rc = SQLiteStatementHandle::prepare(connection, sql, 0, mOwned);
    if (rc != SQLITE_OK && prepareFailure != nullptr) report(prepareFailure, rc);
    // A text of nothing but comments prepares to no statement.
    if (rc != SQLITE_OK || !mOwned) mOwned = SQLiteStatementHandle();
}

DataLoggerSQLiteQuery::~DataLoggerSQLiteQuery() {
    release();
}

DataLoggerSQLiteQuery::DataLoggerSQLiteQuery(DataLoggerSQLiteQuery&& other) noexcept
    : mLogger(other.mLogger),
      mConnection(other.mConnection),
      mToken(std::move(other.mToken)),
      mOwned(std::move(other.mOwned)),
      mNextPosition(other.mNextPosition),
      mBound(other.mBound),
      mNeedsReset(other.mNeedsReset) {
    other.mNeedsReset = false;
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindResult(int rc, const char* failure) {
    ++mNextPosition;
    if (rc != SQLITE_OK) {
        report(failure, rc);
        mBound = false;
    }
    return *this;
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindInt(int value, const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_int(statement(), mNextPosition, value), failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindInt64(int64_t value, const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_int64(statement(), mNextPosition, value), failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindDouble(double value, const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_double(statement(), mNextPosition, value), failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindText(const std::string& value,
                                                       const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_text64(statement(), mNextPosition, value.data(), value.size(),
                                          SQLITE_TRANSIENT, SQLITE_UTF8),
                      failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindTextNoCopy(const std::string& value,
                                                             const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_text64(statement(), mNextPosition, value.data(), value.size(),
                                          SQLITE_STATIC, SQLITE_UTF8),
                      failure);
}

int DataLoggerSQLiteQuery::step() {
    if (!bound()) return SQLITE_MISUSE;
    mNeedsReset = true;
    return sqlite3_step(statement());
}

bool DataLoggerSQLiteQuery::stepDone(const char* failure) {
    const int rc = step();
    if (rc == SQLITE_DONE) return true;
    report(failure, rc);
    return false;
}

bool DataLoggerSQLiteQuery::reset(const char* failure, log::Severity severity) {
    if (statement() == nullptr) return false;
    mNeedsReset = false;
    const int rc = sqlite3_reset(statement());
    if (rc == SQLITE_OK) return true;
    report(failure, rc, severity);
    return false;
}

void DataLoggerSQLiteQuery::release() {
    if (statement() != nullptr && mNeedsReset) sqlite3_reset(statement());
    mNeedsReset = false;
    mToken.reset();
    mOwned.finalize();
}

bool DataLoggerSQLiteQuery::finalize(const char* failure) {
    mNeedsReset = false;
    const int rc = mOwned.finalize();
    if (rc == SQLITE_OK) return true;
    report(failure, rc);
    return false;
}

void DataLoggerSQLiteQuery::report(const std::string& message, int code,
                                   log::Severity severity) const {
    reportSQLite(&mLogger, severity, message, mConnection, code);
}

int DataLoggerSQLiteQuery::columnCount() const {
    return statement() != nullptr ? sqlite3_column_count(statement()) : 0;
}

int64_t DataLoggerSQLiteQuery::columnInt64(int column) const {
    return column < columnCount() ? sqlite3_column_int64(statement(), column) : 0;
}

double DataLoggerSQLiteQuery::columnDouble(int column) const {
    return column < columnCount() ? sqlite3_column_double(statement(), column) : 0.0;
}

double DataLoggerSQLiteQuery::columnReading(int column) const {
    return column < columnCount() ? storedValue(statement(), column) : 0.0;
}

bool DataLoggerSQLiteQuery::columnIsNull(int column) const {
    return column < columnCount() && sqlite3_column_type(statement(), column) == SQLITE_NULL;
}

std::string DataLoggerSQLiteQuery::columnText(int column) const {
    return std::get<std::string>(columnValue(column, DataLoggerColumnType::Text));
}

DataLoggerColumnValue DataLoggerSQLiteQuery::columnValue(int column,
                                                         DataLoggerColumnType type) const {
    return quorix::pelmo::datalogger::columnValue(statement(), column, type);
}

DataLoggerColumnValue columnValue(sqlite3_stmt* statement, int column, DataLoggerColumnType type) {
    const bool present = statement != nullptr && column < sqlite3_column_count(statement);
    switch (type) {
        case DataLoggerColumnType::Integer:
            return present ? sqlite3_column_int64(statement, column) : int64_t{0};
        case DataLoggerColumnType::Real:
            return present ? sqlite3_column_double(statement, column) : 0.0;
        case DataLoggerColumnType::Text:
            break;
    }
    const auto* text =
        present ? reinterpret_cast<const char*>(sqlite3_column_text(statement, column)) : nullptr;
    if (text == nullptr) return std::string();
    // The byte count, not strlen: a text with an embedded NUL stays whole.
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}

sqlite3* DataLoggerSQLiteQuery::connection() const {
    return mConnection;
}

}  // namespace quorix::pelmo::datalogger
