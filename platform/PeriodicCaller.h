#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Logger.h"

namespace quorix::pelmo::utils {

namespace detail {
struct PeriodicEntry;
struct PeriodicWorker;
}  // namespace detail

// Keeps one periodic caller alive. Destroying it guarantees that no call of the callback
// starts afterwards and waits for a call in progress, unless it is destroyed from inside that
// very call (then it only stops further calls).
class PeriodicCallerHandle {
public:
    virtual ~PeriodicCallerHandle() = default;
};

class PeriodicCallerManagerIfc {
public:
    // The longest period every manager accepts (about 31 years). Whoever takes a period from
    // outside checks it against this before acting on it, so a period that a manager would
    // refuse is refused before anything else was done for it.
    static constexpr uint32_t kMaxPeriodSeconds = 1000000000;

    virtual ~PeriodicCallerManagerIfc() = default;

    // Calls callback every periodSeconds (0 < periodSeconds <= kMaxPeriodSeconds), the first
    // time one period from now.
    virtual std::unique_ptr<PeriodicCallerHandle> addPeriodicCaller(
        double periodSeconds, std::function<void()> callback) = 0;
};

// Runs periodic callers on threads of its own, at a fixed rate on the steady clock: a late
// call does not shift later ones, and slots missed by an overrunning call are skipped rather
// than made up in a burst.
//
// Ownership: the manager owns its threads; handles share each caller's state with the
// thread serving it, so handles may outlive the manager (their callbacks just stop).
// Threads: every member may be called from any thread, including from a callback, except the
// destructor, which must not run inside one of this manager's callbacks.
// Failure: invalid arguments throw std::invalid_argument; an exception escaping a callback is
// logged at Warning and the caller keeps its schedule.
class PeriodicCallerManager : public PeriodicCallerManagerIfc,
                              public virtual quorix::pelmo::log::Logger {
public:
    static constexpr int kSharedThread = 0;     // one thread serves every caller
    static constexpr int kThreadPerCaller = 1;  // a slow callback never delays another caller

    PeriodicCallerManager(int executionStrategy, std::string name);
    PeriodicCallerManager(const PeriodicCallerManager&) = delete;
    PeriodicCallerManager& operator=(const PeriodicCallerManager&) = delete;
    // Stops and joins every thread, waiting for calls in progress.
    ~PeriodicCallerManager() override;

    std::unique_ptr<PeriodicCallerHandle> addPeriodicCaller(
        double periodSeconds, std::function<void()> callback) override;

private:
    // Caller holds mMutex.
    std::shared_ptr<detail::PeriodicWorker> startWorker(
        bool exitWhenIdle, std::shared_ptr<detail::PeriodicEntry> first);
    // Joins threads that stopped after their only caller was removed.
    void reapFinishedWorkers();

    const int mStrategy;
    const std::string mName;
    std::mutex mMutex;  // guards mWorkers and mSharedWorker
    std::vector<std::shared_ptr<detail::PeriodicWorker>> mWorkers;
    std::shared_ptr<detail::PeriodicWorker> mSharedWorker;
};

// The first slot at or after `now` on the grid scheduled + k * period (k >= 1); exposed for
// its tests.
std::chrono::steady_clock::time_point nextPeriodicSlot(
    std::chrono::steady_clock::time_point scheduled, std::chrono::steady_clock::duration period,
    std::chrono::steady_clock::time_point now);

}  // namespace quorix::pelmo::utils
