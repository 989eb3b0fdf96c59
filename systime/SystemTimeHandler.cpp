#include "systime/SystemTimeHandler.h"

#include <sys/timex.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace quorix::pelmo::datalogger {

namespace {
constexpr long long kRtcAgreementSeconds = 30;
constexpr double kCheckPeriodSeconds = 60.0;
}  // namespace

const std::vector<std::string>& SystemTimeHandler::defaultRtcDevices() {
    static const std::vector<std::string> devices = {"/dev/rtc0", "/dev/rtc", "/dev/misc/rtc",
                                                     "/dev/efirtc", "/dev/misc/efirtc"};
    return devices;
}

SystemTimeHandler::SystemTimeHandler(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager)
    : SystemTimeHandler(std::move(callerManager), std::make_shared<LinuxSystemTimeSources>(),
                        defaultRtcDevices()) {}

SystemTimeHandler::SystemTimeHandler(std::shared_ptr<utils::PeriodicCallerManagerIfc> callerManager,
                                     std::shared_ptr<SystemTimeSourcesIfc> sources,
                                     std::vector<std::string> rtcDevices)
    : log::Logger("SystemTime", "", std::make_shared<log::LoggerImpl>()),
      mCallerManager(std::move(callerManager)),
      mSources(std::move(sources)),
      mRtcDevices(std::move(rtcDevices)) {}

SystemTimeHandler::~SystemTimeHandler() {
    std::unique_ptr<utils::PeriodicCallerHandle> caller;
    {
        std::lock_guard<std::mutex> lock(mCheckMutex);
        caller = std::move(mCaller);
    }
    // Outside the lock: releasing the handle waits for a check in progress, which needs it.
    caller.reset();
}

bool SystemTimeHandler::isTimeValid() const {
    return mTimeValid.load();
}

bool SystemTimeHandler::isClockSynced() {
    int status = 0;
    if (int error = mSources->clockStatus(status)) {
        pelmoDoLog(log::Error, "Unable to determine if system clock is in sync. errno %d (%s).",
                   nullptr, error, std::strerror(error));
        return false;
    }
    const bool synced = (status & STA_UNSYNC) == 0;
    pelmoDoLog(log::Debug, "Clock is %ssynced.", nullptr, synced ? "" : "not ");
    return synced;
}

int SystemTimeHandler::createClockSetTimer() {
    if (int error = mSources->createClockSetTimer(mTimer)) {
        pelmoDoLog(log::Error,
                   "error creating timer to check for system time updates. errno %d (%s).", nullptr,
                   error, std::strerror(error));
        return error;
    }
    return mTimer->arm();
}

void SystemTimeHandler::initialize() {
    std::lock_guard<std::mutex> lock(mCheckMutex);
    const bool valid = isClockSynced() || isRtcTimeValid(*mSources, mRtcDevices);
    mTimeValid = valid;
    if (valid) {
        pelmoDoLog(log::Info, "System clock is valid. There will be no further time checks.",
                   nullptr);
        return;
    }
    if (int error = createClockSetTimer()) {
        pelmoDoLog(log::Error,
                   "Failed to start a timer to detect when the clock is set. errno %d (%s).",
                   nullptr, error, std::strerror(error));
        mTimer.reset();
        return;
    }
    mCaller = mCallerManager->addPeriodicCaller(kCheckPeriodSeconds, [this] { checkTime(); });
}

void SystemTimeHandler::checkTime() {
    std::lock_guard<std::mutex> lock(mCheckMutex);
    if (!mTimer) return;
    // Only ever raise the flag: a valid decision is never withdrawn.
    if (isClockSynced() || isRtcTimeValid(*mSources, mRtcDevices)) mTimeValid = true;

    char buffer[10] = {};
    int error = 0;
    const long n = mTimer->read(buffer, sizeof(buffer), error);
    if (n < 0 && error == ECANCELED) {
        pelmoDoLog(log::Info, "Clock time was set.", nullptr);
        mTimeValid = true;
        mTimer.reset();
    } else if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        pelmoDoLog(log::Trace, "Timer still running: Time has not been set yet.", nullptr);
    } else if (n < 0) {
        pelmoDoLog(log::Error, "Error accessing clock set timer: Stop polling. errno %d (%s).",
                   nullptr, error, std::strerror(error));
        mTimer.reset();
        // Destroying the handle from inside its own call only stops further calls.
        mCaller.reset();
        return;
    } else {
        const std::string text(buffer, static_cast<size_t>(n));
        pelmoDoLog(log::Error, "Reading timer file descriptor succeeded unexpectedly: %s", nullptr,
                   text.c_str());
    }
    if (mTimeValid) mCaller.reset();
}

bool isRtcTimeClose(SystemTimeSourcesIfc& sources, const std::string& device) {
    std::error_code ignored;
    if (!std::filesystem::exists(device, ignored)) {
        log::pelmoDoLog(log::Debug, "No RTC available in %s.", nullptr, device.c_str());
        return false;
    }
    std::tm rtc{};
    if (int error = sources.readRtc(device, rtc)) {
        log::pelmoDoLog(log::Error, "Reading %s failed with errno %d (%s)", nullptr, device.c_str(),
                        error, std::strerror(error));
        return false;
    }
    const long long rtcSeconds = std::mktime(&rtc);
    const long long systemSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(sources.now().time_since_epoch()).count();
    // 64-bit: a wildly wrong RTC must not wrap around into agreement.
    const long long difference = rtcSeconds - systemSeconds;
    const long long magnitude = std::llabs(difference);
    log::pelmoDoLog(log::Debug, "System time is %lld sec %s than %s.", nullptr, magnitude,
                    difference < 0 ? "faster" : "slower", device.c_str());
    return magnitude < kRtcAgreementSeconds;
}

bool isRtcTimeValid(SystemTimeSourcesIfc& sources, const std::vector<std::string>& devices) {
    for (const auto& device : devices) {
        if (isRtcTimeClose(sources, device)) return true;
    }
    return false;
}

}  // namespace quorix::pelmo::datalogger
