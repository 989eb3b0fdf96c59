#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace quorix::pelmo::log {

enum Severity : int { Critical = 0, Error = 1, Warning = 2, Info = 3, Debug = 4, Trace = 5 };

const char* severityName(Severity severity);
bool parseSeverity(std::string_view text, Severity& out);

// Optional extra text appended to a message; every call site passes nullptr.
using LogContext = std::string (*)();

struct LogRecord {
    Severity severity;
    std::string name;
    std::string secondName;
    std::string text;
};

// Where formatted lines go. One per logging object; all of ours forward to the proxy.
class LoggerImplInterface {
public:
    virtual ~LoggerImplInterface() = default;
    virtual void write(const LogRecord& record) = 0;
};

// Hands every record to the process-wide proxy.
class LoggerImpl : public LoggerImplInterface {
public:
    void write(const LogRecord& record) override;
};

// Process-wide level and sink. The default sink writes one line per record to standard error:
// "2026-12-05T14:24:41.123456Z Info DataLoggerDaemon: text". When standard error is the journal's
// stream at the proxy's creation, each line starts with its priority prefix ("<3>" for Error),
// so that the journal files the line under that priority.
// Thread rule: every member may be called from any thread.
class LoggerProxy {
public:
    using Sink = std::function<void(const LogRecord&)>;

    static LoggerProxy& instance();

    bool isSeverityEnabled(Severity severity) const;
    void setLevel(Severity level);
    Severity level() const;

    // Replaces the sink (tests capture records with it); an empty function restores stderr.
    void setSink(Sink sink);
    void write(const LogRecord& record);

private:
    LoggerProxy();

    const bool mJournalPrefix;  // decided once: stderr cannot become the journal later
    std::atomic<int> mLevel{Info};
    std::mutex mSinkMutex;  // guards mSink and serialises lines on stderr
    Sink mSink;
};

// Base of every class that logs: carries the component name printed with each line.
class Logger {
public:
    Logger(std::string name, std::string secondName, std::shared_ptr<LoggerImplInterface> impl);
    virtual ~Logger() = default;

    // printf-style; the format is checked by the compiler.
    void pelmoDoLog(Severity severity, const char* format, LogContext context, ...) const
        __attribute__((format(printf, 3, 5)));

    const std::string& loggerName() const { return mName; }

private:
    std::string mName;
    std::string mSecondName;
    std::shared_ptr<LoggerImplInterface> mImpl;
};

// For code without a logger base; logs under the name "datalogger".
void pelmoDoLog(Severity severity, const char* format, LogContext context, ...)
    __attribute__((format(printf, 2, 4)));

// The syslog priority prefix the journal reads off the start of a line; Trace shares Debug's.
const char* journalPrefix(Severity severity);

// Whether fd is the stream the service manager connected to the journal: journalStream is the
// JOURNAL_STREAM variable ("DEV:INODE" in decimal) or null when unset.
bool isJournalStream(int fd, const char* journalStream);

// Shared formatting step, exposed so both entry points use it.
std::string formatMessage(const char* format, va_list args);

// Every value from outside the daemon (client requests, bus callers, polled files and command
// output, configuration files, exception texts quoting any of these) goes through this before it
// is put into a log line, so that no value can flood the log or forge a line of its own: at most
// kUntrustedChars characters are kept and " … (N more bytes)" tells what was cut; control
// characters, invalid UTF-8 and line or direction separators are escaped (\n, \t, \r, \xNN,
// \uNNNN). Valid multi-byte characters are kept whole.
constexpr size_t kUntrustedChars = 256;
std::string untrusted(std::string_view text);

// A whole message is cut to this many bytes (on a character boundary) whatever its values.
constexpr size_t kMaxMessageBytes = 16384;

}  // namespace quorix::pelmo::log
