#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/DataLoggerPushDataIfc.h"
#include "core/DataLoggerStorageIfc.h"
#include "platform/PeriodicCaller.h"

namespace datalogger::test {

namespace qd = quorix::pelmo::datalogger;

// Periodic callers that run only when the test says so.
class FakePeriodicCallerManager : public quorix::pelmo::utils::PeriodicCallerManagerIfc {
public:
    std::unique_ptr<quorix::pelmo::utils::PeriodicCallerHandle> addPeriodicCaller(
        double periodSeconds, std::function<void()> callback) override;

    // Runs every live callback once, in the order they were added.
    void fireAll();
    size_t liveCallers() const;
    std::vector<double> periods() const;

private:
    struct Entry {
        double period;
        std::function<void()> callback;
        bool alive = true;
    };
    mutable std::mutex mMutex;  // guards mEntries
    std::vector<std::shared_ptr<Entry>> mEntries;
};

// A push interface that records what reaches it and answers with chosen statuses, or throws.
// Each path gets one hash, from 1000 up in the order of first registration. Thread-safe; the
// settings are written before the calls they shape.
class RecordingPush : public qd::DataLoggerPushDataIfc {
public:
    struct Channel {
        qd::DataLoggerChannelInfo info;  // as last registered
        uint64_t hash;
        std::vector<qd::DataLoggerDataPoint> points;
    };
    struct Point {
        uint64_t hash;
        double value;
        qd::TimePoint stamp;
    };

    qd::DataLoggerStatusCode registerOrUpdateChannel(const qd::DataLoggerChannelInfo& info,
                                                     uint64_t& hash) override;
    qd::DataLoggerStatusCode pushData(const uint64_t& hash,
                                      const std::vector<qd::DataLoggerDataPoint>& points) override;

    std::vector<Channel> channels() const;
    std::vector<qd::DataLoggerChannelInfo> registrations() const;  // every call, in order
    std::vector<Point> points() const;                             // every point, in order
    size_t pushCalls() const;
    uint64_t lastHashIn() const;  // the hash the last registration passed in
    uint64_t hashOf(const std::string& path) const;

    qd::DataLoggerStatusCode mStatus = qd::DataLoggerStatusCode::NoError;  // both methods
    std::map<std::string, qd::DataLoggerStatusCode> mAnswers;              // registrations, by path
    std::string mThrow;                                                    // both methods throw it
    std::string mThrowFor;          // a path whose registration throws
    int mRefuseFrom = -1;           // from this many channels on, registrations fail
    std::function<void()> mOnPush;  // runs inside every push, before it is recorded

private:
    mutable std::mutex mMutex;  // guards the members below
    std::vector<Channel> mChannels;
    std::vector<qd::DataLoggerChannelInfo> mRegistrations;
    std::vector<Point> mPoints;
    size_t mPushCalls = 0;
    uint64_t mLastHashIn = 0;
};

// Storage that answers the core and the aggregate pull like the SQLite storage does, without
// keeping any points. Thread-safe.
class FakeStorage : public qd::DataLoggerStorageIfc {
public:
    using Code = qd::DataLoggerStatusCode;
    Code getChannel(const std::string&, qd::DataLoggerStorageChannelInfo&) override;
    Code getChannel(uint64_t, qd::DataLoggerStorageChannelInfo&) override;
    Code getChannels(std::vector<qd::DataLoggerStorageChannelInfo>& infos) override;
    Code registerOrUpdateChannel(const qd::DataLoggerStorageChannelInfo& info) override;
    Code archiveChannel(const std::string&, std::string&, uint64_t&) override;
    Code archiveChannel(uint64_t hash, std::string& newPath, uint64_t& newHash) override;
    Code setData(uint64_t hash, const std::vector<qd::DataLoggerDataPoint>& points) override;
    // setData item by item; a throw leaves `stored` as far as it got.
    Code setDataBatch(const std::vector<qd::DataLoggerChannelPoint>& items,
                      std::vector<size_t>& stored) override;
    void syncIfDue() override {}
    Code initializeStorage(uint32_t size, const std::string& filename, bool force) override;
    Code finalize() override;
    Code getData(std::vector<qd::DataLoggerDataPoint>& points, const std::string&, int64_t,
                 std::chrono::microseconds, uint32_t) override {
        return mGetData ? mGetData(points) : Code::NotFound;
    }
    // Filters are the forced answer's business, as for getData.
    Code getDataPage(std::vector<qd::DataLoggerDataPoint>& points, const std::string& path,
                     int64_t lastCounter, std::chrono::microseconds discardOlderThan,
                     uint32_t amount, uint32_t) override {
        return getData(points, path, lastCounter, discardOlderThan, amount);
    }
    Code createLog(const std::string& directory, int logType) override;
    Code clear() override { return Code::NoError; }

    std::vector<std::string> logDirectories() const;
    std::string initializedWith() const;

    // Forces the answer of every archiveChannel call when set to anything but NoError.
    Code mArchiveAnswer = Code::NoError;
    // The next `count` setData calls throw, as a storage whose statement cannot be prepared.
    void failNextWrites(int count);
    size_t pointsWritten() const;
    // While held, setData waits inside the call, as on a stalled database.
    void holdWrites(bool hold);
    bool waitForHeldWrite(std::chrono::milliseconds timeout);
    // A write that overlapped finalize or came after it.
    bool writtenWhileClosed() const;
    // Forces the answer of getData when set.
    std::function<Code(std::vector<qd::DataLoggerDataPoint>&)> mGetData;

private:
    mutable std::mutex mMutex;  // guards every member below
    std::condition_variable mHoldChanged;
    std::map<uint64_t, qd::DataLoggerChannelInfo> mChannels;
    std::vector<std::string> mLogDirectories;
    std::string mInitializedWith;
    int mFailingWrites = 0;
    size_t mPointsWritten = 0;
    bool mHold = false;
    int mWriting = 0;
    int mHeldWrites = 0;
    bool mFinalized = false;
    bool mWrittenWhileClosed = false;
};

}  // namespace datalogger::test
