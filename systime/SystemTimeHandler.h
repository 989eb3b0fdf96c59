#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"
#include "systime/SystemTimeHandlerIfc.h"
#include "systime/SystemTimeSources.h"

namespace quorix::pelmo::datalogger {

// Decides once at start whether the system clock is valid (kernel synchronised, an RTC within
// 30 s, or the clock set since start) and, while it is not, checks again every 60 s on the
// caller manager's thread. Valid is final.
//
// Ownership: shares the caller manager and the sources; owns the periodic check and the
// clock-set timer, both released on destruction (which ends the checks).
// Threads: initialize once (core start-up); isTimeValid from any thread; checks run on a
// thread of the caller manager.
// Failure: every failed system call is logged and counts as "not valid"; nothing throws.
class SystemTimeHandler : public SystemTimeHandlerIfc, public virtual log::Logger {
public:
    static const std::vector<std::string>& defaultRtcDevices();

    explicit SystemTimeHandler(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager);
    SystemTimeHandler(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager,
                      std::shared_ptr<SystemTimeSourcesIfc> sources,
                      std::vector<std::string> rtcDevices);
    ~SystemTimeHandler() override;

    bool isTimeValid() const override;
    void initialize() override;

private:
    bool isClockSynced();
    int createClockSetTimer();
    void checkTime();

    std::shared_ptr<utils::PeriodicCallerManagerIfc> mCallerManager;
    std::shared_ptr<SystemTimeSourcesIfc> mSources;
    const std::vector<std::string> mRtcDevices;
    std::atomic<bool> mTimeValid{false};
    std::mutex mCheckMutex;  // guards mCaller and mTimer between initialize and the checks
    std::unique_ptr<ClockSetTimerIfc> mTimer;
    std::unique_ptr<utils::PeriodicCallerHandle> mCaller;
};

// Whether the RTC at device is within 30 s of the system clock; false when it is absent or
// unreadable.
bool isRtcTimeClose(SystemTimeSourcesIfc& sources, const std::string& device);
// The first device in agreement ends the search.
bool isRtcTimeValid(SystemTimeSourcesIfc& sources, const std::vector<std::string>& devices);

}  // namespace quorix::pelmo::datalogger
