#pragma once

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

namespace quorix::pelmo::datalogger {

// Notices a discontinuous set of the realtime clock: reads fail with ECANCELED afterwards.
class ClockSetTimerIfc {
public:
    virtual ~ClockSetTimerIfc() = default;

    // Arms the notification; 0 or an errno value.
    virtual int arm() = 0;
    // As read(2) on a non-blocking descriptor: bytes read, or -1 with the errno value in error.
    virtual long read(char* buffer, unsigned long size, int& error) = 0;
};

// What the system time handler asks the operating system. Every operation answers 0 or an
// errno value instead of setting errno, so callers never race on it.
class SystemTimeSourcesIfc {
public:
    virtual ~SystemTimeSourcesIfc() = default;

    // The kernel clock's status word, read without changing anything.
    virtual int clockStatus(int& status) = 0;
    // The broken-down time an RTC device holds.
    virtual int readRtc(const std::string& device, std::tm& time) = 0;
    virtual std::chrono::system_clock::time_point now() = 0;
    // A new, not yet armed clock-set timer.
    virtual int createClockSetTimer(std::unique_ptr<ClockSetTimerIfc>& timer) = 0;
};

// adjtimex, RTC_RD_TIME on the device, the system clock and a timerfd on CLOCK_REALTIME with
// cancel-on-set. Stateless: any thread.
class LinuxSystemTimeSources : public SystemTimeSourcesIfc {
public:
    int clockStatus(int& status) override;
    int readRtc(const std::string& device, std::tm& time) override;
    std::chrono::system_clock::time_point now() override;
    int createClockSetTimer(std::unique_ptr<ClockSetTimerIfc>& timer) override;
};

}  // namespace quorix::pelmo::datalogger
