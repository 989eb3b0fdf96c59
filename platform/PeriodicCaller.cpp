#include "platform/PeriodicCaller.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <stdexcept>
#include <thread>

namespace quorix::pelmo::utils {

namespace ql = quorix::pelmo::log;
using Clock = std::chrono::steady_clock;

namespace detail {

// One registered callback and its place on the schedule.
struct PeriodicEntry {
    std::function<void()> callback;
    Clock::duration period;
    Clock::time_point next;  // guarded by the serving worker's mutex
    bool removed = false;    // guarded by the serving worker's mutex
};

// A thread and the entries it serves. Shared by the manager and the handles of its entries,
// so whichever of them goes last frees it.
struct PeriodicWorker : public virtual ql::Logger {
    PeriodicWorker(const std::string& managerName, bool exitWhenIdle)
        : Logger("PeriodicCallerManager", managerName, std::make_shared<ql::LoggerImpl>()),
          managerName(managerName),
          exitWhenIdle(exitWhenIdle) {}

    void serve();
    void invoke(PeriodicEntry& entry);
    void remove(const std::shared_ptr<PeriodicEntry>& entry);

    const std::string managerName;
    // A thread-per-caller worker ends once its only entry is gone.
    const bool exitWhenIdle;
    std::thread thread;  // started and joined by the manager only

    std::mutex mutex;                 // guards the members below and every entry's next/removed
    std::condition_variable changed;  // entries, running or stopRequested changed
    std::vector<std::shared_ptr<PeriodicEntry>> entries;
    std::shared_ptr<PeriodicEntry> running;
    std::thread::id runningThread;
    bool stopRequested = false;
    bool finished = false;
};

void PeriodicWorker::serve() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopRequested) {
        if (entries.empty()) {
            if (exitWhenIdle) break;
            changed.wait(lock);
            continue;
        }
        auto due = std::min_element(entries.begin(), entries.end(),
                                    [](const auto& a, const auto& b) { return a->next < b->next; });
        const Clock::time_point deadline = (*due)->next;
        if (Clock::now() < deadline) {
            changed.wait_until(lock, deadline);
            continue;
        }

        std::shared_ptr<PeriodicEntry> entry = *due;
        running = entry;
        runningThread = std::this_thread::get_id();
        lock.unlock();
        invoke(*entry);
        lock.lock();
        running.reset();
        if (!entry->removed) {
            entry->next = nextPeriodicSlot(entry->next, entry->period, Clock::now());
        }
        changed.notify_all();

        // If the handle is already gone this destroys the callback, whose captures may reach
        // back into this worker, so it must happen without the lock.
        lock.unlock();
        entry.reset();
        lock.lock();
    }
    finished = true;
}

void PeriodicWorker::invoke(PeriodicEntry& entry) {
    try {
        entry.callback();
    } catch (const std::exception& e) {
        pelmoDoLog(ql::Warning, "Periodic caller of manager '%s' threw: %s", nullptr,
                   managerName.c_str(), ql::untrusted(e.what()).c_str());
    } catch (...) {
        pelmoDoLog(ql::Warning, "Periodic caller of manager '%s' threw: %s", nullptr,
                   managerName.c_str(), "unknown exception");
    }
}

void PeriodicWorker::remove(const std::shared_ptr<PeriodicEntry>& entry) {
    std::unique_lock<std::mutex> lock(mutex);
    entry->removed = true;
    entries.erase(std::remove(entries.begin(), entries.end(), entry), entries.end());
    changed.notify_all();
    // Waiting for our own call to end would deadlock; being marked removed is enough.
    if (running == entry && runningThread == std::this_thread::get_id()) return;
    changed.wait(lock, [&] { return running != entry; });
}

}  // namespace detail

namespace {

class Handle : public PeriodicCallerHandle {
public:
    Handle(std::shared_ptr<detail::PeriodicWorker> worker,
           std::shared_ptr<detail::PeriodicEntry> entry)
        : mWorker(std::move(worker)), mEntry(std::move(entry)) {}
    ~Handle() override { mWorker->remove(mEntry); }

private:
    std::shared_ptr<detail::PeriodicWorker> mWorker;
    std::shared_ptr<detail::PeriodicEntry> mEntry;
};

}  // namespace

Clock::time_point nextPeriodicSlot(Clock::time_point scheduled, Clock::duration period,
                                   Clock::time_point now) {
    const Clock::time_point next = scheduled + period;
    if (next >= now) return next;
    const auto missedPeriods = (now - next + period - Clock::duration(1)) / period;
    return next + missedPeriods * period;
}

PeriodicCallerManager::PeriodicCallerManager(int executionStrategy, std::string name)
    : Logger("PeriodicCallerManager", name, std::make_shared<ql::LoggerImpl>()),
      mStrategy(executionStrategy),
      mName(std::move(name)) {
    if (mStrategy != kSharedThread && mStrategy != kThreadPerCaller) {
        throw std::invalid_argument("unknown periodic caller execution strategy " +
                                    std::to_string(mStrategy));
    }
}

PeriodicCallerManager::~PeriodicCallerManager() {
    std::vector<std::shared_ptr<detail::PeriodicWorker>> workers;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        workers.swap(mWorkers);
        mSharedWorker.reset();
    }
    for (auto& worker : workers) {
        std::lock_guard<std::mutex> lock(worker->mutex);
        worker->stopRequested = true;
        worker->changed.notify_all();
    }
    // Outside mMutex: a callback still running may be adding a caller to this manager.
    for (auto& worker : workers) {
        if (worker->thread.joinable()) worker->thread.join();
    }
}

std::unique_ptr<PeriodicCallerHandle> PeriodicCallerManager::addPeriodicCaller(
    double periodSeconds, std::function<void()> callback) {
    // The limit keeps the sum with the current time far from overflowing the clock.
    if (!std::isfinite(periodSeconds) || periodSeconds <= 0 || periodSeconds > kMaxPeriodSeconds) {
        throw std::invalid_argument("invalid period for a periodic caller of manager '" + mName +
                                    "'");
    }
    if (!callback) throw std::invalid_argument("empty periodic caller callback");

    auto entry = std::make_shared<detail::PeriodicEntry>();
    entry->callback = std::move(callback);
    entry->period = std::max(Clock::duration(1), std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(periodSeconds)));
    entry->next = Clock::now() + entry->period;

    reapFinishedWorkers();
    std::shared_ptr<detail::PeriodicWorker> worker;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStrategy == kThreadPerCaller) {
            worker = startWorker(true, entry);
        } else if (!mSharedWorker) {
            mSharedWorker = startWorker(false, entry);
            worker = mSharedWorker;
        } else {
            worker = mSharedWorker;
            std::lock_guard<std::mutex> workerLock(worker->mutex);
            worker->entries.push_back(entry);
            worker->changed.notify_all();
        }
    }
    return std::make_unique<Handle>(std::move(worker), std::move(entry));
}

std::shared_ptr<detail::PeriodicWorker> PeriodicCallerManager::startWorker(
    bool exitWhenIdle, std::shared_ptr<detail::PeriodicEntry> first) {
    auto worker = std::make_shared<detail::PeriodicWorker>(mName, exitWhenIdle);
    // Before the thread starts, so a thread-per-caller worker does not find itself idle.
    worker->entries.push_back(std::move(first));
    // A raw pointer: the manager keeps the worker alive until it has joined the thread, and a
    // thread holding the last reference would have to destroy its own joinable std::thread.
    detail::PeriodicWorker* raw = worker.get();
    worker->thread = std::thread([raw] { raw->serve(); });
    mWorkers.push_back(worker);
    pelmoDoLog(ql::Debug, "Started a periodic caller thread", nullptr);
    return worker;
}

void PeriodicCallerManager::reapFinishedWorkers() {
    std::vector<std::shared_ptr<detail::PeriodicWorker>> finished;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto stillRunning = std::stable_partition(mWorkers.begin(), mWorkers.end(), [](auto& w) {
            std::lock_guard<std::mutex> workerLock(w->mutex);
            return !w->finished;
        });
        std::move(stillRunning, mWorkers.end(), std::back_inserter(finished));
        mWorkers.erase(stillRunning, mWorkers.end());
    }
    for (auto& worker : finished) worker->thread.join();
}

}  // namespace quorix::pelmo::utils
