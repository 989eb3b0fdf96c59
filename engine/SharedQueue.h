#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace quorix::pelmo::utils {

// Multi-producer queue with a timed pop; items are moved in and out, never copied.
// push never waits for the consumer, so producers never wait for the database behind it.
// Each item carries a weight (the core's: its number of points); tryPush refuses an item that
// would take the queued weight past the caller's limit, which is how the queue stays bounded
// without ever blocking a producer.
// Threads: any number of producers, one consumer. Destruction wakes every waiter first.
template <typename T>
class SharedQueue {
public:
    SharedQueue() = default;
    SharedQueue(const SharedQueue&) = delete;
    SharedQueue& operator=(const SharedQueue&) = delete;

    ~SharedQueue() {
        mStop = true;
        { std::lock_guard<std::mutex> lock(mMutex); }
        mCondition.notify_all();
    }

    // Queues whatever the queued weight; for items the queue must never refuse (a wake-up).
    void push(T&& item, size_t weight = 0) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mItems.push_back({std::move(item), weight});
            mWeight += weight;
        }
        mCondition.notify_one();
    }

    // Queues item unless the queued weight would then pass limit; a refused item is left as it
    // was. The check and the append are one step, so concurrent producers cannot overshoot.
    bool tryPush(T&& item, size_t weight, size_t limit) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (weight > limit || mWeight.load(std::memory_order_relaxed) > limit - weight) {
                return false;
            }
            mItems.push_back({std::move(item), weight});
            mWeight += weight;
        }
        mCondition.notify_one();
        return true;
    }

    // Waits at most timeoutSeconds (rounded up to whole nanoseconds) for an item. False on
    // time-out, and whenever the stop flag is set, even if items remain.
    bool waitAndPop(T& item, const double& timeoutSeconds) {
        std::unique_lock<std::mutex> lock(mMutex);
        const auto timeout = std::chrono::nanoseconds(
            static_cast<std::chrono::nanoseconds::rep>(std::ceil(timeoutSeconds * 1e9)));
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (mItems.empty()) {
            if (mStop) return false;
            if (mCondition.wait_until(lock, deadline) == std::cv_status::timeout) break;
        }
        if (mStop || mItems.empty()) return false;
        item = std::move(mItems.front().item);
        mWeight -= mItems.front().weight;
        mItems.pop_front();
        return true;
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mItems.size();
    }

    // The summed weight of the items queued now; popped items no longer count. Read without the
    // lock, so producers can ask before they build an item: the answer may be stale at once.
    size_t weight() const { return mWeight.load(std::memory_order_relaxed); }

private:
    struct Entry {
        T item;
        size_t weight;
    };
    std::atomic<bool> mStop{false};
    std::deque<Entry> mItems;        // guarded by mMutex
    std::atomic<size_t> mWeight{0};  // written under mMutex: the sum of mItems' weights
    mutable std::mutex mMutex;       // guards mItems and mWeight
    std::condition_variable mCondition;
};

}  // namespace quorix::pelmo::utils
