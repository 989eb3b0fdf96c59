#pragma once

#include <chrono>

namespace quorix::pelmo::utils {

// Tells the service manager that the thread calling pingIfDue is alive, so that a thread that
// hangs gets the process restarted. Outside a service manager (no NOTIFY_SOCKET) it does
// nothing.
//
// Threads: one owner thread; the environment is read at construction and by every ping.
class ServiceWatchdog {
public:
    using Clock = std::chrono::steady_clock;

    ServiceWatchdog();

    // The owner comes by at least this often: a quarter of the service manager's watchdog
    // time, and never more than kMaxPeriod, so two periods stay well inside it.
    Clock::duration period() const { return mPeriod; }
    // Sends WATCHDOG=1 when a period has passed since the last one; the first call sends.
    void pingIfDue();

    static constexpr std::chrono::seconds kMaxPeriod{5};

private:
    bool mEnabled = false;
    Clock::duration mPeriod = kMaxPeriod;
    Clock::time_point mLastPing;
    bool mPinged = false;
};

}  // namespace quorix::pelmo::utils
