#include "platform/Logger.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/TimeUtils.h"

namespace quorix::pelmo::log {

namespace {
constexpr const char* kNames[] = {"Critical", "Error", "Warning", "Info", "Debug", "Trace"};
constexpr const char* kJournalPrefixes[] = {SD_CRIT, SD_ERR,   SD_WARNING,
                                            SD_INFO, SD_DEBUG, SD_DEBUG};

// A whole decimal number that fits; a sign, a blank or an overflow makes it none.
bool parseDecimal(std::string_view text, unsigned long long& out) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, out);
    return !text.empty() && error == std::errc() && stop == end;
}

// The last guard against a flood: a message whose values were not bounded one by one is cut
// here, before a character that would be split.
void boundMessage(std::string& text) {
    if (text.size() <= kMaxMessageBytes) return;
    size_t cut = kMaxMessageBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) --cut;
    const size_t dropped = text.size() - cut;
    text.resize(cut);
    text += " \u2026 (" + std::to_string(dropped) + " more bytes)";
}

void emit(Severity severity, const std::string& name, const std::string& secondName,
          LoggerImplInterface* impl, const char* format, LogContext context, va_list args) {
    if (!LoggerProxy::instance().isSeverityEnabled(severity)) return;
    LogRecord record{severity, name, secondName, formatMessage(format, args)};
    if (context != nullptr) record.text += context();
    boundMessage(record.text);
    if (impl != nullptr) {
        impl->write(record);
    } else {
        LoggerProxy::instance().write(record);
    }
}
}  // namespace

const char* severityName(Severity severity) {
    int index = static_cast<int>(severity);
    return index >= 0 && index <= Trace ? kNames[index] : "Unknown";
}

const char* journalPrefix(Severity severity) {
    int index = static_cast<int>(severity);
    return index >= 0 && index <= Trace ? kJournalPrefixes[index] : SD_NOTICE;
}

bool isJournalStream(int fd, const char* journalStream) {
    if (journalStream == nullptr) return false;
    const std::string_view text(journalStream);
    const size_t colon = text.find(':');
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (colon == std::string_view::npos || !parseDecimal(text.substr(0, colon), device) ||
        !parseDecimal(text.substr(colon + 1), inode)) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

bool parseSeverity(std::string_view text, Severity& out) {
    for (int i = Critical; i <= Trace; ++i) {
        if (text == kNames[i] || text == std::to_string(i)) {
            out = static_cast<Severity>(i);
            return true;
        }
    }
    return false;
}

std::string formatMessage(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) return format;
    if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    std::vsnprintf(big.data(), big.size(), format, args);
    return std::string(big.data(), static_cast<size_t>(needed));
}

void LoggerImpl::write(const LogRecord& record) {
    LoggerProxy::instance().write(record);
}

LoggerProxy::LoggerProxy()
    : mJournalPrefix(isJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"))) {}

LoggerProxy& LoggerProxy::instance() {
    static LoggerProxy proxy;
    return proxy;
}

bool LoggerProxy::isSeverityEnabled(Severity severity) const {
    return static_cast<int>(severity) <= mLevel.load(std::memory_order_relaxed);
}

void LoggerProxy::setLevel(Severity level) {
    mLevel.store(level, std::memory_order_relaxed);
}

Severity LoggerProxy::level() const {
    return static_cast<Severity>(mLevel.load());
}

void LoggerProxy::setSink(Sink sink) {
    std::lock_guard<std::mutex> lock(mSinkMutex);
    mSink = std::move(sink);
}

void LoggerProxy::write(const LogRecord& record) {
    std::lock_guard<std::mutex> lock(mSinkMutex);
    if (mSink) {
        mSink(record);
        return;
    }
    const std::string_view prefix = mJournalPrefix ? journalPrefix(record.severity) : "";
    std::string line(prefix);
    line += utils::toUtcString(std::chrono::system_clock::now());
    line += ' ';
    line += severityName(record.severity);
    line += ' ';
    line += record.name;
    if (!record.secondName.empty()) {
        line += '/';
        line += record.secondName;
    }
    line += ": ";
    line += record.text;
    line += '\n';
    // The journal makes an entry of every line, so each line of a message carries the prefix.
    for (size_t at = line.find('\n'); !prefix.empty() && at + 1 < line.size();
         at = line.find('\n', at + 1)) {
        line.insert(at + 1, prefix);
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
}

Logger::Logger(std::string name, std::string secondName, std::shared_ptr<LoggerImplInterface> impl)
    : mName(std::move(name)), mSecondName(std::move(secondName)), mImpl(std::move(impl)) {}

void Logger::pelmoDoLog(Severity severity, const char* format, LogContext context, ...) const {
    va_list args;
    va_start(args, context);
    emit(severity, mName, mSecondName, mImpl.get(), format, context, args);
    va_end(args);
}

void pelmoDoLog(Severity severity, const char* format, LogContext context, ...) {
    va_list args;
    va_start(args, context);
    emit(severity, "datalogger", "", nullptr, format, context, args);
    va_end(args);
}

}  // namespace quorix::pelmo::log
