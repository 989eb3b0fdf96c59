#pragma once

#include <string>
#include <vector>

#include "platform/Logger.h"

namespace datalogger::test {

// A fresh directory under parent, removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& parent = "/tmp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// Mode 0644 whatever the umask: poll files that others can write are refused.
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// Captures every log record while alive (and lets Trace through), restoring the previous
// level and the stderr sink afterwards.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    std::vector<quorix::pelmo::log::LogRecord> records() const;
    bool contains(const std::string& text) const;
    bool contains(quorix::pelmo::log::Severity severity, const std::string& text) const;
    size_t count(const std::string& text) const;

private:
    quorix::pelmo::log::Severity mPreviousLevel;
    struct Shared;
    std::shared_ptr<Shared> mShared;
};

// A child process whose standard output and error go to one file. Killed with SIGKILL if still
// running when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void signal(int signo);
    // Polls the output file until it holds text; false on time-out or when the child ended first.
    bool waitForOutput(const std::string& text, int timeoutMs);
    // Exit status (or 128 + signal); -1 on time-out.
    int wait(int timeoutMs);
    std::string output() const;

private:
    int mPid = -1;
    bool mReaped = false;
    int mStatus = -1;
    std::string mOutputFile;
};

std::string sourceDir();

}  // namespace datalogger::test
