// Commands run for real through bash; the 2-second deadline and the one-shot delay are measured
// on the real clock because the timing is what these tests are about.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "inputs/filepoll/FileExecutor.h"
#include "inputs/filepoll/FilePoll.h"
#include "inputs/filepoll/FilePollEngine.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

namespace ql = quorix::pelmo::log;
using ::datalogger::test::readFile;
using ::datalogger::test::TempDir;
using ::datalogger::test::writeFile;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Children of this process not yet collected, zombies included.
size_t childCount() {
    size_t n = 0;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = ::readdir(proc)) {
        std::string line;
        std::getline(std::ifstream(std::string("/proc/") + entry->d_name + "/stat"), line);
        const size_t end = line.rfind(") ");
        n += end != std::string::npos && std::stoi(line.substr(end + 4)) == ::getpid();
    }
    ::closedir(proc);
    return n;
}

// True once a process (not necessarily ours) has ended.
bool ended(const std::string& pidFile) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, std::stoi(readFile(pidFile)), 0));
    if (fd < 0) return errno == ESRCH;
    pollfd exited{fd, POLLIN, 0};
    const bool done = ::poll(&exited, 1, 2000) == 1;
    ::close(fd);
    return done;
}

std::string run(const std::string& command,
                const std::string& shell = FileExecutor::startupShellPath()) {
    try {
        return FileExecutor(command, shell).getContent();
    } catch (const std::exception& e) {
        return std::string("thrown: ") + e.what();
    }
}

TEST(FileExecutor, ReturnsStandardOutputOrNamesTheFailureAndLeavesNoProcessBehind) {
    ::datalogger::test::LogCapture log;
    TempDir dir;
    EXPECT_EQ(run("echo 21.5"), "21.5\n");
    // A background job that let go of the output returns the value at once, and dies with it.
    EXPECT_EQ(run("sleep 300 >/dev/null 2>&1 & echo $! >" + dir.file("pid") + "; echo 5"), "5\n");
    EXPECT_TRUE(ended(dir.file("pid")));
    EXPECT_EQ(run("echo out; echo err >&2; printf '%s;%s' 'a b' c | tr a-z A-Z"), "out\nA B;C");
    EXPECT_EQ(run("exit 3"), "thrown: Command failed");
    EXPECT_TRUE(log.contains(ql::Error, "Command failed with exit code 3. Command = 'exit 3'"));
    EXPECT_EQ(run("kill -9 $$"), "thrown: Command failed");
    EXPECT_EQ(run("echo 1", "").rfind("thrown: execve failed", 0), 0u);
    EXPECT_EQ(run("yes & exit 0"), "thrown: Command output too large");
    EXPECT_EQ(childCount(), 0u);
    EXPECT_EQ(FileExecutor::findBash(":/nonexistent:" + TempDir().path() + ":/usr/bin:/bin"),
              "/usr/bin/bash");
}

TEST(FileExecutor, PollerStampsAfterTheCommandAndPushesNothingOnTimeOut) {
    ::datalogger::test::LogCapture log;
    auto push = std::make_shared<::datalogger::test::RecordingPush>();
    std::shared_ptr<utils::PeriodicCallerManagerIfc> caller =
        std::make_shared<::datalogger::test::FakePeriodicCallerManager>();
    auto poller = [&](const std::string& path, const std::string& command) {
        auto info = DataLoggerChannelInfo::withDefaults(
            path, DataLoggerUnit::None, DataLoggerStats(DataLoggerStorageType::Volatile, 0),
            DataLoggerStorageType::Volatile, "");
        return FilePoll(
            std::make_shared<FilePollConfig>(std::make_shared<DataLoggerChannelInfo>(info), 1.0,
                                             0.0, command, true, std::chrono::seconds(1)),
            caller, push);
    };
    const auto before = std::chrono::system_clock::now();
    poller("late", "sleep 0.3; echo 1").pollOnce();
    EXPECT_THROW(poller("slow", "sleep 5").pollOnce(), std::runtime_error);

    ASSERT_EQ(push->points().size(), 1u);
    EXPECT_GE(push->points()[0].stamp, before + 300ms);
    EXPECT_TRUE(log.contains(ql::Warning, "Failed to poll path slow. Error: Command timed out"));
}

// Each of many polls timing out at once (asleep, flooding its pipe, or leaving a child behind)
// is killed at its own deadline and not before, a fast command beside them is not held up by
// their pipes, and nothing they started survives.
TEST(FileExecutorConcurrency, TwentyTimedOutPollsLeaveNoProcessBehind) {
    ::datalogger::test::LogCapture log;
    TempDir dir;
    std::vector<std::thread> threads;
    std::atomic<int> timedOut{0};
    std::mutex mutex;
    Clock::time_point firstTimeOut = Clock::time_point::max();  // guarded by mutex
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        const std::string command =
            i % 2 ? "sleep 30 & echo $! > " + dir.file(std::to_string(i)) + "; echo 5"
                  : (i % 4 ? "head -c 200000 /dev/zero" : "sleep 5");
        threads.emplace_back([&, command] {
            const auto started = Clock::now();
            timedOut += run(command) == "thrown: Command timed out";
            EXPECT_GE(Clock::now() - started, 1900ms) << command;
            std::lock_guard<std::mutex> lock(mutex);
            firstTimeOut = std::min(firstTimeOut, Clock::now());
        });
    }
    EXPECT_EQ(run("echo 7"), "7\n");
    const auto fastDone = Clock::now();
    for (auto& thread : threads) thread.join();

    // Compared with the others rather than with the clock, so a loaded machine cannot fail it.
    EXPECT_LT(fastDone, firstTimeOut);
    EXPECT_EQ(timedOut, 20);
    // One after the other they would take 40 s.
    EXPECT_LT(Clock::now() - start, 20s);
    EXPECT_EQ(childCount(), 0u);
    for (int i = 1; i < 20; i += 2) EXPECT_TRUE(ended(dir.file(std::to_string(i))));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
