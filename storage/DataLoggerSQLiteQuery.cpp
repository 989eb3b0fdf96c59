#include "storage/DataLoggerSQLiteQuery.h"

#include <sqlite3.h>

namespace quorix::pelmo::datalogger {

DataLoggerSQLiteQuery::DataLoggerSQLiteQuery(const log::Logger& logger,
                                             std::unique_ptr<DataLoggerSQLiteStatementToken> token,
                                             const char* clearFailure)
    : mLogger(logger), mToken(std::move(token)) {
    if (!mToken) return;
    const int rc = sqlite3_clear_bindings(mToken->get());
    if (rc != SQLITE_OK) report(clearFailure, rc, log::Warning);
}

DataLoggerSQLiteQuery::~DataLoggerSQLiteQuery() {
    release();
}

DataLoggerSQLiteQuery::DataLoggerSQLiteQuery(DataLoggerSQLiteQuery&& other) noexcept
    : mLogger(other.mLogger),
      mToken(std::move(other.mToken)),
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
    return bindResult(sqlite3_bind_int(mToken->get(), mNextPosition, value), failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindInt64(int64_t value, const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_int64(mToken->get(), mNextPosition, value), failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindDouble(double value, const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_double(mToken->get(), mNextPosition, value), failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindText(const std::string& value,
                                                       const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_text64(mToken->get(), mNextPosition, value.data(), value.size(),
                                          SQLITE_TRANSIENT, SQLITE_UTF8),
                      failure);
}

DataLoggerSQLiteQuery& DataLoggerSQLiteQuery::bindTextNoCopy(const std::string& value,
                                                             const char* failure) {
    if (!bound()) return *this;
    return bindResult(sqlite3_bind_text64(mToken->get(), mNextPosition, value.data(), value.size(),
                                          SQLITE_STATIC, SQLITE_UTF8),
                      failure);
}

int DataLoggerSQLiteQuery::step() {
    if (!bound()) return SQLITE_MISUSE;
    mNeedsReset = true;
    return sqlite3_step(mToken->get());
}

bool DataLoggerSQLiteQuery::stepDone(const char* failure) {
    const int rc = step();
    if (rc == SQLITE_DONE) return true;
    report(failure, rc);
    return false;
}

bool DataLoggerSQLiteQuery::reset(const char* failure, log::Severity severity) {
    if (!mToken) return false;
    mNeedsReset = false;
    const int rc = sqlite3_reset(mToken->get());
    if (rc == SQLITE_OK) return true;
    report(failure, rc, severity);
    return false;
}

void DataLoggerSQLiteQuery::release() {
    if (mToken && mNeedsReset) sqlite3_reset(mToken->get());
    mNeedsReset = false;
    mToken.reset();
}

void DataLoggerSQLiteQuery::report(const std::string& message, int code,
                                   log::Severity severity) const {
    reportSQLite(&mLogger, severity, message, connection(), code);
}

int DataLoggerSQLiteQuery::columnCount() const {
    return mToken ? sqlite3_column_count(mToken->get()) : 0;
}

int64_t DataLoggerSQLiteQuery::columnInt64(int column) const {
    return column < columnCount() ? sqlite3_column_int64(mToken->get(), column) : 0;
}

double DataLoggerSQLiteQuery::columnDouble(int column) const {
    return column < columnCount() ? sqlite3_column_double(mToken->get(), column) : 0.0;
}

bool DataLoggerSQLiteQuery::columnIsNull(int column) const {
    return column < columnCount() && sqlite3_column_type(mToken->get(), column) == SQLITE_NULL;
}

std::string DataLoggerSQLiteQuery::columnText(int column) const {
    if (column >= columnCount()) return {};
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(mToken->get(), column));
    if (text == nullptr) return {};
    // The byte count, not strlen: a text with an embedded NUL stays whole.
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(mToken->get(), column)));
}

sqlite3* DataLoggerSQLiteQuery::connection() const {
    return mToken ? sqlite3_db_handle(mToken->get()) : nullptr;
}

}  // namespace quorix::pelmo::datalogger
