#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/DataLoggerPushDataIfc.h"
#include "inputs/filepoll/FilePollConfig.h"
#include "inputs/filepoll/IGetFileContent.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"

namespace quorix::pelmo::datalogger {

// Polls one channel: registers it once, then at the section's period reads the text, scales
// the number in it and pushes it as one point.
//
// Ownership: owns its schedule and its content source; shares the section and the push
// interface; keeps no reference to the caller manager.
// Threads: constructed and destroyed on one thread; pollOnce runs on the caller manager's
// threads. Destruction first ends the schedule and waits for a poll in progress.
// Failure: a refused registration or a null argument leaves the poller inert (logged at
// Error); a failed poll is logged at Warning and thrown on.
class FilePoll : public virtual quorix::pelmo::log::Logger {
public:
    FilePoll(std::shared_ptr<FilePollConfig> config,
             const std::shared_ptr<quorix::pelmo::utils::PeriodicCallerManagerIfc>& pcm,
             std::shared_ptr<DataLoggerPushDataIfc> push);
    FilePoll(const FilePoll&) = delete;
    FilePoll& operator=(const FilePoll&) = delete;
    virtual ~FilePoll();

    // One acquisition; throws when there is no text or no number in it.
    void pollOnce();

    bool isInitialised() const { return mInitialised; }
    uint64_t getHash() const { return mHash; }

private:
    // Period 0: one poll about five seconds after start, never repeated.
    void pollOnceThenStop();
    // Takes the schedule out under the lock and destroys it outside, because destroying it
    // waits for a poll in progress, which may itself be the one ending the schedule.
    void dropSchedule();

    std::atomic<bool> mInitialised{false};
    std::shared_ptr<FilePollConfig> mConfig;
    std::shared_ptr<DataLoggerPushDataIfc> mPush;
    std::mutex mCallerMutex;  // guards mCaller
    std::unique_ptr<quorix::pelmo::utils::PeriodicCallerHandle> mCaller;
    std::unique_ptr<IGetFileContent> mContent;
    uint64_t mHash = 0;
};

}  // namespace quorix::pelmo::datalogger
