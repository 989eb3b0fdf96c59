#include "inputs/filepoll/FilePoll.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <vector>

namespace quorix::pelmo::datalogger {

namespace ql = quorix::pelmo::log;

namespace {
constexpr double kOneShotDelaySeconds = 5.0;
}  // namespace

FilePoll::FilePoll(std::shared_ptr<FilePollConfig> config,
                   const std::shared_ptr<quorix::pelmo::utils::PeriodicCallerManagerIfc>& pcm,
                   std::shared_ptr<DataLoggerPushDataIfc> push)
    : Logger("FilePoll", "", std::make_shared<ql::LoggerImpl>()),
      mConfig(std::move(config)),
      mPush(std::move(push)) {
    if (!mConfig || !pcm || !mPush) {
        pelmoDoLog(ql::Error, "Either config, pcm or push is nullptr", nullptr);
        return;
    }
    const auto& info = *mConfig->getChannelInfo();
    const DataLoggerStatusCode status = mPush->registerOrUpdateChannel(info, mHash);
    if (status != DataLoggerStatusCode::NoError &&
        status != DataLoggerStatusCode::AlreadyRegistered) {
        pelmoDoLog(ql::Error,
                   "Failed to registerOrUpdateChannel for data channel path "
                   "'%s'.DataLoggerStatusCode was %d",
                   nullptr, ql::untrusted(info.mPath).c_str(), static_cast<int>(status));
        return;
    }
    mContent = mConfig->makeSource();
    // The content source must exist before the first call can start.
    std::unique_ptr<quorix::pelmo::utils::PeriodicCallerHandle> caller;
    if (mConfig->getPeriod().count() != 0) {
        caller = pcm->addPeriodicCaller(static_cast<double>(mConfig->getPeriod().count()),
                                        [this] { pollOnce(); });
    } else {
        caller = pcm->addPeriodicCaller(kOneShotDelaySeconds, [this] { pollOnceThenStop(); });
    }
    {
        std::lock_guard<std::mutex> lock(mCallerMutex);
        mCaller = std::move(caller);
    }
    mInitialised = true;
}

FilePoll::~FilePoll() {
    dropSchedule();
}

void FilePoll::dropSchedule() {
    std::unique_ptr<quorix::pelmo::utils::PeriodicCallerHandle> caller;
    {
        std::lock_guard<std::mutex> lock(mCallerMutex);
        caller = std::move(mCaller);
    }
}

void FilePoll::pollOnceThenStop() {
    try {
        pollOnce();
    } catch (const std::exception& e) {
        pelmoDoLog(ql::Error, "-pollOnce failed, won't try again. Error was %s", nullptr,
                   ql::untrusted(e.what()).c_str());
        mInitialised = false;
    } catch (...) {
        pelmoDoLog(ql::Error, "-pollOnce failed with unknown exception, won't try again", nullptr);
        mInitialised = false;
    }
    dropSchedule();
}

void FilePoll::pollOnce() {
    if (!mContent) throw std::runtime_error("pollOnce called on a poller that is not scheduled");
    const std::string& path = mConfig->getChannelInfo()->mPath;
    pelmoDoLog(ql::Trace, "start polling for datalogger path %s", nullptr,
               ql::untrusted(path).c_str());
    try {
        const std::string text = mContent->getContent();
        const double value = mConfig->valueOf(text);
        pelmoDoLog(ql::Trace, "poll for path %s got value %f", nullptr, ql::untrusted(path).c_str(),
                   value);
        // Stamped after the text arrived: a slow command must not predate its own value.
        const TimePoint now = std::chrono::time_point_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now());
        mPush->pushData(mHash, std::vector<DataLoggerDataPoint>{DataLoggerDataPoint(value, now)});
    } catch (const std::exception& e) {
        pelmoDoLog(ql::Warning, "Failed to poll path %s. Error: %s", nullptr,
                   ql::untrusted(path).c_str(), ql::untrusted(e.what()).c_str());
        throw;
    } catch (...) {
        pelmoDoLog(ql::Warning, "Failed to poll path %s with unknown error", nullptr,
                   ql::untrusted(path).c_str());
        throw;
    }
}

}  // namespace quorix::pelmo::datalogger
