#include "systime/SystemTimeSources.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <sys/timex.h>

#include <cerrno>

namespace quorix::pelmo::datalogger {

namespace {

// Never meant to expire: the largest signed 32-bit second count. Its only purpose is that
// cancel-on-set reports a stepped clock.
constexpr time_t kClockSetTimerExpiry = 2147483647;

class TimerFdClockSetTimer : public ClockSetTimerIfc {
public:
    explicit TimerFdClockSetTimer(UniqueFd fd) : mFd(std::move(fd)) {}

    int arm() override {
        itimerspec spec{};
        spec.it_value.tv_sec = kClockSetTimerExpiry;
        if (::timerfd_settime(mFd.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec,
                              nullptr) != 0) {
            return errno;
        }
        return 0;
    }

    long read(char* buffer, unsigned long size, int& error) override {
        const ssize_t n = ::read(mFd.get(), buffer, size);
        error = n < 0 ? errno : 0;
        return n;
    }

private:
    UniqueFd mFd;
};

}  // namespace

int LinuxSystemTimeSources::clockStatus(int& status) {
    timex query{};
    query.modes = 0;
    if (::adjtimex(&query) == -1) return errno;
    status = query.status;
    return 0;
}

int LinuxSystemTimeSources::readRtc(const std::string& device, std::tm& time) {
    UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    rtc_time rtc{};
    if (::ioctl(fd.get(), RTC_RD_TIME, &rtc) == -1) return errno;
    time = std::tm{};
    time.tm_sec = rtc.tm_sec;
    time.tm_min = rtc.tm_min;
    time.tm_hour = rtc.tm_hour;
    time.tm_mday = rtc.tm_mday;
    time.tm_mon = rtc.tm_mon;
    time.tm_year = rtc.tm_year;
    time.tm_isdst = -1;
    return 0;
}

std::chrono::system_clock::time_point LinuxSystemTimeSources::now() {
    return std::chrono::system_clock::now();
}

int LinuxSystemTimeSources::createClockSetTimer(std::unique_ptr<ClockSetTimerIfc>& timer) {
    // CLOEXEC: the command executor forks shells, which must not inherit the timer.
    UniqueFd fd(::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!fd.valid()) return errno;
    timer = std::make_unique<TimerFdClockSetTimer>(std::move(fd));
    return 0;
}

}  // namespace quorix::pelmo::datalogger
