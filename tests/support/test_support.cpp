#include "support/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace datalogger::test {

namespace ql = quorix::pelmo::log;

TempDir::TempDir(const std::string& parent) {
    std::string pattern = parent + "/datalogger-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
    std::filesystem::permissions(path, std::filesystem::perms(0644));
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct LogCapture::Shared {
    mutable std::mutex mutex;  // guards records
    std::vector<ql::LogRecord> records;
};

LogCapture::LogCapture()
    : mPreviousLevel(ql::LoggerProxy::instance().level()), mShared(std::make_shared<Shared>()) {
    auto shared = mShared;
    ql::LoggerProxy::instance().setSink([shared](const ql::LogRecord& record) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->records.push_back(record);
    });
    ql::LoggerProxy::instance().setLevel(ql::Trace);
}

LogCapture::~LogCapture() {
    ql::LoggerProxy::instance().setSink(nullptr);
    ql::LoggerProxy::instance().setLevel(mPreviousLevel);
}

std::vector<ql::LogRecord> LogCapture::records() const {
    std::lock_guard<std::mutex> lock(mShared->mutex);
    return mShared->records;
}

bool LogCapture::contains(const std::string& text) const {
    return count(text) > 0;
}

bool LogCapture::contains(ql::Severity severity, const std::string& text) const {
    for (const auto& record : records()) {
        if (record.severity == severity && record.text.find(text) != std::string::npos) return true;
    }
    return false;
}

size_t LogCapture::count(const std::string& text) const {
    size_t n = 0;
    for (const auto& record : records()) {
        if (record.text.find(text) != std::string::npos) ++n;
    }
    return n;
}

// posix_spawn, not fork: the tests' processes run GLib's and the server's threads.
ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile)
    : mOutputFile(outputFile) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = ::posix_spawnp(&mPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess() {
    if (!mReaped && mPid > 0) {
        ::kill(mPid, SIGKILL);
        ::waitpid(mPid, nullptr, 0);
    }
}

void ChildProcess::signal(int signo) {
    if (!mReaped) ::kill(mPid, signo);
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (output().find(text) != std::string::npos) return true;
        if (wait(0) != -1) return output().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int ChildProcess::wait(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!mReaped) {
        int status = 0;
        pid_t r = ::waitpid(mPid, &status, WNOHANG);
        if (r == mPid) {
            mReaped = true;
            mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return mStatus;
}

std::string ChildProcess::output() const {
    return readFile(mOutputFile);
}

std::string sourceDir() {
    return DATALOGGER_SOURCE_DIR;
}

}  // namespace datalogger::test
