#include "inputs/filepoll/FileExecutor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/process/args.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/extend.hpp>
#include <boost/process/io.hpp>
#include <boost/process/pipe.hpp>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace quorix::pelmo::datalogger {

namespace {

namespace bp = boost::process;
namespace ql = quorix::pelmo::log;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The launcher creates its exec-error pipe without close-on-exec and sets the flag a moment
// later; a fork on another poller thread in between would carry that pipe into an unrelated
// command and stall this launch until that command ends. Launching one at a time closes the gap.
std::mutex gLaunchMutex;  // guards process creation, from fork to exec, of every FileExecutor

// Killed children that had not ended yet when collecting them was given up (stuck in
// uninterruptible I/O); later calls collect them so they do not stay zombies.
std::mutex gUnreapedMutex;  // guards gUnreaped
std::vector<pid_t> gUnreaped;

void collectUnreaped() {
    std::lock_guard<std::mutex> lock(gUnreapedMutex);
    gUnreaped.erase(std::remove_if(gUnreaped.begin(), gUnreaped.end(),
                                   [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) != 0; }),
                    gUnreaped.end());
}

// The child of one call and the process group it leads. Whatever way a call ends, the
// destructor kills the whole group and collects the child, so nothing the command left in its
// group (a background job with its output redirected, say) outlives the call.
//
// The child is only looked at, not collected, when it ends: until it is collected its pid, and
// with it the group id, cannot be handed to a new process, so the group kill never reaches an
// unrelated group that happens to get the same number.
class CommandProcessGroup {
public:
    explicit CommandProcessGroup(pid_t pid) : mPid(pid) {}
    CommandProcessGroup(const CommandProcessGroup&) = delete;
    CommandProcessGroup& operator=(const CommandProcessGroup&) = delete;
    ~CommandProcessGroup() {
        if (mCollected) return;
        ::kill(-mPid, SIGKILL);
        collectAfterKill();
    }

    // The child's exit code (128 + signal when a signal ended it), or nothing when it is still
    // running at the deadline. Throws "wait_for error" when waiting itself fails.
    std::optional<int> waitUntil(Clock::time_point deadline) {
        auto pause = 1ms;
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(mPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
                if (info.si_pid == mPid) {
                    return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
                }
            } else if (errno == EINTR) {
                continue;
            } else if (errno == ECHILD) {
                // Someone else collected it: it has ended, but its exit code is lost, and its
                // group id may be reused by now, so the group is left alone.
                mCollected = true;
                return 0;
            } else {
                throw std::system_error(errno, std::generic_category(), "wait_for error");
            }
            const auto now = Clock::now();
            if (now >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, 16ms);
        }
    }

    // Kills the child and everything still in its group. A group that is already gone is fine.
    void kill() {
        if (mCollected) return;
        if (::kill(-mPid, SIGKILL) != 0 && errno != ESRCH) {
            throw std::system_error(errno, std::generic_category(), "terminate error");
        }
    }

    // After kill(): a SIGKILLed process ends at once unless it is stuck in the kernel, so wait
    // briefly and hand a straggler to later calls instead of blocking the poller on it.
    void collectAfterKill() {
        if (mCollected) return;
        mCollected = true;
        const auto giveUp = Clock::now() + 1s;
        auto pause = 1ms;
        for (;;) {
            const pid_t result = ::waitpid(mPid, nullptr, WNOHANG);
            if (result == mPid || (result < 0 && errno == ECHILD)) return;
            if (Clock::now() >= giveUp) break;
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, 16ms);
        }
        std::lock_guard<std::mutex> lock(gUnreapedMutex);
        gUnreaped.push_back(mPid);
    }

private:
    pid_t mPid;
    bool mCollected = false;
};

[[noreturn]] void killTimedOut(const ql::Logger& logger, const std::string& command,
                               CommandProcessGroup& group) {
    logger.pelmoDoLog(ql::Error, "Command timed out, will kill the process. Command = '%s'",
                      nullptr, ql::untrusted(command).c_str());
    group.kill();
    group.collectAfterKill();
    throw std::runtime_error("Command timed out");
}

// Starts bash -c command with its standard output on outputPipe, leading a process group of
// its own. Throws a process_error naming the failed step.
pid_t launch(const std::string& shellPath, const std::string& command, bp::pipe& outputPipe) {
    std::lock_guard<std::mutex> lock(gLaunchMutex);
    // Asking for the error by code is the only way to learn the pid of a child whose execve
    // failed: it has exited already and must be collected here or it stays a zombie. The
    // launcher keeps its own step text to itself in this mode, so the step is rebuilt from
    // which handler saw the failure.
    std::error_code error;
    const char* step = "pipe(2) failed";
    pid_t failedChild = -1;
    bp::child child(
        bp::exe = shellPath, bp::args = {"-c", command}, bp::std_out > outputPipe,
        bp::std_err > "/dev/null", bp::extend::on_exec_setup([](auto&) { ::setpgid(0, 0); }),
        bp::extend::on_fork_error([&](auto&, const std::error_code&) { step = "fork() failed"; }),
        bp::extend::on_error([&](auto& executor, const std::error_code&) {
            if (executor.pid > 0) {
                failedChild = executor.pid;
                step = "execve failed";
            }
        }),
        error);
    if (error) {
        if (failedChild > 0) ::waitpid(failedChild, nullptr, 0);
        throw bp::process_error(error, step);
    }
    const pid_t pid = child.id();
    // Waiting and killing are done on the pid below; the launcher's own wait is unreliable.
    child.detach();
    return pid;
}

}  // namespace

std::string FileExecutor::findBash(const std::string& pathVariable) {
    size_t start = 0;
    while (start <= pathVariable.size()) {
        size_t end = pathVariable.find(':', start);
        if (end == std::string::npos) end = pathVariable.size();
        // An empty entry would mean the working directory: never run a bash from there.
        if (end > start) {
            const std::string candidate = pathVariable.substr(start, end - start) + "/bash";
            struct stat info {};
            if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                ::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return {};
}

const std::string& FileExecutor::startupShellPath() {
    static const std::string path = [] {
        const char* variable = std::getenv("PATH");
        return findBash(variable != nullptr ? variable : "");
    }();
    return path;
}

namespace {
// Resolves the shell during static initialisation, before main and any thread exists, so a
// later change of PATH cannot change which bash runs the commands.
[[maybe_unused]] const bool gShellResolved = !FileExecutor::startupShellPath().empty();
}  // namespace

FileExecutor::FileExecutor(std::string command)
    : FileExecutor(std::move(command), startupShellPath()) {}

FileExecutor::FileExecutor(std::string command, std::string shellPath)
    : Logger("FileExecutor", "", std::make_shared<ql::LoggerImpl>()),
      mCommand(std::move(command)),
      mShellPath(std::move(shellPath)) {}

std::string FileExecutor::getContent() {
    pelmoDoLog(ql::Trace, "executing command %s -c %s", nullptr, mShellPath.c_str(),
               ql::untrusted(mCommand).c_str());
    collectUnreaped();

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw bp::process_error(std::error_code(errno, std::system_category()), "pipe(2) failed");
    }
    bp::pipe outputPipe(fds[0], fds[1]);
    CommandProcessGroup group(launch(mShellPath, mCommand, outputPipe));

    const auto deadline = Clock::now() + kTimeout;
    const std::optional<int> exitCode = group.waitUntil(deadline);
    if (!exitCode) killTimedOut(*this, mCommand, group);
    if (*exitCode != 0) {
        pelmoDoLog(ql::Error, "Command failed with exit code %d. Command = '%s'", nullptr,
                   *exitCode, ql::untrusted(mCommand).c_str());
        throw std::runtime_error("Command failed");
    }

    // The shell has ended, but a process it left in the background may still hold the pipe
    // open: end of file is only awaited until the same deadline.
    std::string output;
    char buffer[4096];
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) killTimedOut(*this, mCommand, group);
        pollfd readable{outputPipe.native_source(), POLLIN, 0};
        const int ready =
            ::poll(&readable, 1,
                   static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        if (ready < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "poll on command output");
        }
        if (ready <= 0) continue;
        const ssize_t n = ::read(outputPipe.native_source(), buffer, sizeof buffer);
        if (n == 0) return output;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw std::system_error(errno, std::generic_category(), "read of command output");
        }
        if (output.size() + static_cast<size_t>(n) > kMaxContentBytes) {
            pelmoDoLog(ql::Error,
                       "Command wrote more than %zu bytes, will kill the process. Command = '%s'",
                       nullptr, kMaxContentBytes, ql::untrusted(mCommand).c_str());
            group.kill();
            throw std::runtime_error("Command output too large");
        }
        output.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace quorix::pelmo::datalogger
