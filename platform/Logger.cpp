#include "platform/Logger.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/TimeUtils.h"

namespace quorix::pelmo::log {

namespace {
constexpr const char* kNames[] = {"Critical", "Error", "Warning", "Info", "Debug", "Trace"};

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

void LoggerImpl::write(const LogRecord& record) { LoggerProxy::instance().write(record); }

LoggerProxy& LoggerProxy::instance() {
    static LoggerProxy proxy;
    return proxy;
}

bool LoggerProxy::isSeverityEnabled(Severity severity) const {
    return static_cast<int>(severity) <= mLevel.load(std::memory_order_relaxed);
}

void LoggerProxy::setLevel(Severity level) { mLevel.store(level, std::memory_order_relaxed); }

Severity LoggerProxy::level() const { return static_cast<Severity>(mLevel.load()); }

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
    std::string line = utils::toUtcString(std::chrono::system_clock::now());
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
