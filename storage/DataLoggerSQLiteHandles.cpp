#include "storage/DataLoggerSQLiteHandles.h"

#include <sqlite3.h>

#include <limits>
#include <utility>

namespace quorix::pelmo::datalogger {

SQLiteStatementHandle::~SQLiteStatementHandle() {
    finalize();
}

SQLiteStatementHandle::SQLiteStatementHandle(SQLiteStatementHandle&& other) noexcept
    : mStatement(std::exchange(other.mStatement, nullptr)) {}

SQLiteStatementHandle& SQLiteStatementHandle::operator=(SQLiteStatementHandle&& other) noexcept {
    if (this != &other) {
        finalize();
        mStatement = std::exchange(other.mStatement, nullptr);
    }
    return *this;
}

int SQLiteStatementHandle::prepare(sqlite3* connection, const std::string& sql, unsigned int flags,
                                   SQLiteStatementHandle& out) {
    sqlite3_stmt* statement = nullptr;
    // Length including the terminator lets SQLite skip its own copy of the text.
    const int rc = sqlite3_prepare_v3(connection, sql.c_str(), static_cast<int>(sql.size() + 1),
                                      flags, &statement, nullptr);
    out = SQLiteStatementHandle(statement);
    return rc;
}

int SQLiteStatementHandle::finalize() noexcept {
    if (mStatement == nullptr) return SQLITE_OK;
    return sqlite3_finalize(std::exchange(mStatement, nullptr));
}

SQLiteConnection::~SQLiteConnection() {
    if (mConnection != nullptr) sqlite3_close_v2(mConnection);
}

SQLiteConnection::SQLiteConnection(SQLiteConnection&& other) noexcept
    : mConnection(std::exchange(other.mConnection, nullptr)) {}

SQLiteConnection& SQLiteConnection::operator=(SQLiteConnection&& other) noexcept {
    if (this != &other) {
        if (mConnection != nullptr) sqlite3_close_v2(mConnection);
        mConnection = std::exchange(other.mConnection, nullptr);
    }
    return *this;
}

int SQLiteConnection::open(const std::string& filename, int flags) {
    if (mConnection != nullptr) sqlite3_close_v2(std::exchange(mConnection, nullptr));
    return sqlite3_open_v2(filename.c_str(), &mConnection, flags, nullptr);
}

int SQLiteConnection::close() noexcept {
    if (mConnection == nullptr) return SQLITE_OK;
    const int rc = sqlite3_close(mConnection);
    if (rc == SQLITE_OK) mConnection = nullptr;
    return rc;
}

SQLiteBackup::SQLiteBackup(sqlite3* target, sqlite3* source)
    : mBackup(sqlite3_backup_init(target, "main", source, "main")) {}

void SQLiteBackup::Finish::operator()(sqlite3_backup* backup) const {
    sqlite3_backup_finish(backup);
}

int SQLiteBackup::step(int pages) {
    return mBackup ? sqlite3_backup_step(mBackup.get(), pages) : SQLITE_MISUSE;
}

int SQLiteBackup::finish() noexcept {
    return mBackup ? sqlite3_backup_finish(mBackup.release()) : SQLITE_OK;
}

double storedValue(sqlite3_stmt* statement, int column) {
    const double value = sqlite3_column_double(statement, column);
    if (value == 0.0 && sqlite3_column_type(statement, column) == SQLITE_NULL) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return value;
}

std::string sqliteStatusText(sqlite3* connection, int code) {
    std::string text = "SQLite status " + std::to_string(code) + "\n---\n";
    text += sqlite3_errstr(code);
    text += "\n";
    // sqlite3_errmsg copes with a null connection (it reports out of memory).
    text += sqlite3_errmsg(connection);
    text += "\n---";
    return text;
}

void reportSQLite(const log::Logger* logger, log::Severity severity, const std::string& message,
                  sqlite3* connection, int code) {
    if (severity <= log::Error) {
        if (const auto* sink = dynamic_cast<const SQLiteErrorSink*>(logger)) {
            sink->noteSQLiteError(message + ": " + sqlite3_errstr(code));
        }
    }
    if (!log::LoggerProxy::instance().isSeverityEnabled(severity)) return;
    const std::string status = sqliteStatusText(connection, code);
    if (logger != nullptr) {
        logger->pelmoDoLog(severity, "%s\n%s", nullptr, message.c_str(), status.c_str());
    } else {
        log::pelmoDoLog(severity, "%s\n%s", nullptr, message.c_str(), status.c_str());
    }
}

}  // namespace quorix::pelmo::datalogger
