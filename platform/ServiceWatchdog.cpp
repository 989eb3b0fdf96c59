#include "platform/ServiceWatchdog.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace quorix::pelmo::utils {

ServiceWatchdog::ServiceWatchdog() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    mEnabled = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    if (mEnabled && sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        mPeriod = std::min<Clock::duration>(kMaxPeriod, std::chrono::microseconds(usec / 4));
    }
}

void ServiceWatchdog::pingIfDue() {
    if (!mEnabled) return;
    const Clock::time_point now = Clock::now();
    if (mPinged && now - mLastPing < mPeriod) return;
    // A failed send is not worth a message each period: the service manager notices the silence.
    sd_notify(0, "WATCHDOG=1");
    mLastPing = now;
    mPinged = true;
}

}  // namespace quorix::pelmo::utils
