#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace quorix::pelmo::utils {

// Unbounded multi-producer queue with a timed pop; items are moved in and out, never copied.
// push never waits for the consumer, so producers never wait for the database behind it.
// Threads: any number of producers, one consumer. Destruction wakes every waiter first.
template <typename T>
class SharedQueue {
public:
    SharedQueue() = default;
    SharedQueue(const SharedQueue&) = delete;
    SharedQueue& operator=(const SharedQueue&) = delete;

    ~SharedQueue() {
        mStop = true;
        {
            std::lock_guard<std::mutex> lock(mMutex);
        }
        mCondition.notify_all();
    }

    void push(T&& item) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mItems.push_back(std::move(item));
        }
        mCondition.notify_one();
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
        item = std::move(mItems.front());
        mItems.pop_front();
        return true;
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(mMutex);
        return mItems.size();
    }

private:
    std::atomic<bool> mStop{false};
    std::deque<T> mItems;             // guarded by mMutex
    mutable std::mutex mMutex;        // guards mItems
    std::condition_variable mCondition;
};

}  // namespace quorix::pelmo::utils
