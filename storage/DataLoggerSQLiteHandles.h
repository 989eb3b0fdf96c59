#pragma once

#include <memory>
#include <string>

#include "platform/Logger.h"

struct sqlite3;
struct sqlite3_backup;
struct sqlite3_stmt;

namespace quorix::pelmo::datalogger {

// Sole owner of one prepared statement; finalizes it on destruction. Move-only. Used by one
// thread at a time: the pool lends each handle to exactly one token.
class SQLiteStatementHandle {
public:
    SQLiteStatementHandle() = default;
    explicit SQLiteStatementHandle(sqlite3_stmt* statement) noexcept : mStatement(statement) {}
    ~SQLiteStatementHandle();
    SQLiteStatementHandle(SQLiteStatementHandle&& other) noexcept;
    SQLiteStatementHandle& operator=(SQLiteStatementHandle&& other) noexcept;
    SQLiteStatementHandle(const SQLiteStatementHandle&) = delete;
    SQLiteStatementHandle& operator=(const SQLiteStatementHandle&) = delete;

    // sqlite3_prepare_v3 of the whole text; on failure `out` stays empty.
    static int prepare(sqlite3* connection, const std::string& sql, unsigned int flags,
                       SQLiteStatementHandle& out);

    sqlite3_stmt* get() const { return mStatement; }
    explicit operator bool() const { return mStatement != nullptr; }
    // Finalizes now and returns SQLite's code (the error of a failed last step, if any).
    int finalize() noexcept;

private:
    sqlite3_stmt* mStatement = nullptr;
};

// Sole owner of one database connection. Move-only. close() keeps the handle when SQLite
// refuses (statements still open), so the caller can report and retry; the destructor then
// closes lazily (sqlite3_close_v2), which never fails.
class SQLiteConnection {
public:
    SQLiteConnection() = default;
    ~SQLiteConnection();
    SQLiteConnection(SQLiteConnection&& other) noexcept;
    SQLiteConnection& operator=(SQLiteConnection&& other) noexcept;
    SQLiteConnection(const SQLiteConnection&) = delete;
    SQLiteConnection& operator=(const SQLiteConnection&) = delete;

    // sqlite3_open_v2; SQLite may hand out a handle even on failure (for its error message),
    // so the handle is kept either way and must be closed.
    int open(const std::string& filename, int flags);
    int close() noexcept;

    sqlite3* get() const { return mConnection; }
    explicit operator bool() const { return mConnection != nullptr; }

private:
    sqlite3* mConnection = nullptr;
};

// Sole owner of one online backup from the "main" database of one connection into another's;
// finishes it on destruction. Move-only. Both connections must outlive it.
class SQLiteBackup {
public:
    // sqlite3_backup_init; on failure the handle is empty and the target's error says why.
    SQLiteBackup(sqlite3* target, sqlite3* source);

    explicit operator bool() const { return mBackup != nullptr; }
    // Copies up to `pages` pages (-1: all); SQLITE_DONE once everything is copied.
    int step(int pages);
    // Releases the backup now and returns SQLite's verdict on it.
    int finish() noexcept;

private:
    struct Finish {
        void operator()(sqlite3_backup* backup) const;
    };
    std::unique_ptr<sqlite3_backup, Finish> mBackup;
};

// A stored reading of a stepped statement. SQLite keeps a NaN as NULL, which reads as 0.0 and
// would look like a real reading: NULL reads as NaN. Only a 0.0 can be a NULL, so other values
// cost no second call (each takes the connection's lock).
double storedValue(sqlite3_stmt* statement, int column);

// "SQLite status <code>\n---\n<errstr>\n<errmsg>\n---"; connection may be null.
std::string sqliteStatusText(sqlite3* connection, int code);

// A logger that also keeps its last SQLite failure, for the daemon's status.
class SQLiteErrorSink {
public:
    virtual void noteSQLiteError(const std::string& text) const = 0;

protected:
    ~SQLiteErrorSink() = default;
};

// Logs "<message>\n<status text>"; a null logger logs under the process-wide name. An Error or
// Critical failure also reaches the logger's SQLiteErrorSink, if it is one, whatever the level.
void reportSQLite(const log::Logger* logger, log::Severity severity, const std::string& message,
                  sqlite3* connection, int code);

}  // namespace quorix::pelmo::datalogger
