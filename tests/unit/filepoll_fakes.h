#pragma once

#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/DataLoggerPushDataIfc.h"

namespace datalogger::test {

namespace qd = quorix::pelmo::datalogger;

// Records registrations and pushed points; answers or throws for chosen paths (set them before
// the pollers exist). One hash per path, 1000 upwards. Thread-safe.
class PollPushRecorder : public qd::DataLoggerPushDataIfc {
  public:
    struct Point {
        uint64_t hash;
        double value;
        qd::TimePoint stamp;
    };

    qd::DataLoggerStatusCode registerOrUpdateChannel(const qd::DataLoggerChannelInfo& info,
                                                     uint64_t& hash) override {
        std::lock_guard<std::mutex> lock(mMutex);
        if (info.mPath == mThrowFor) throw std::runtime_error("registration exploded");
        mRegistered.push_back(info.mPath);
        hash = mHashes.emplace(info.mPath, 1000 + mHashes.size()).first->second;
        auto answer = mAnswers.find(info.mPath);
        return answer == mAnswers.end() ? qd::DataLoggerStatusCode::NoError : answer->second;
    }
    qd::DataLoggerStatusCode pushData(const uint64_t& hash,
                                      const std::vector<qd::DataLoggerDataPoint>& points) override {
        std::lock_guard<std::mutex> lock(mMutex);
        for (const auto& p : points) mPoints.push_back({hash, p.value(), p.timestamp()});
        return qd::DataLoggerStatusCode::NoError;
    }

    std::vector<Point> points() const { return locked(mPoints); }
    std::vector<std::string> registered() const { return locked(mRegistered); }
    uint64_t hashOf(const std::string& path) const { return locked(mHashes).at(path); }

    std::map<std::string, qd::DataLoggerStatusCode> mAnswers;  // written before use only
    std::string mThrowFor;                                     // written before use only

  private:
    template <typename T>
    T locked(const T& member) const {
        std::lock_guard<std::mutex> lock(mMutex);
        return member;
    }

    mutable std::mutex mMutex;  // guards the members below
    std::map<std::string, uint64_t> mHashes;
    std::vector<std::string> mRegistered;
    std::vector<Point> mPoints;
};

}  // namespace datalogger::test
