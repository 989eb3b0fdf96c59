#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "dfrm/DataLoggerDfrmValidity.h"

namespace quorix::pelmo::datalogger {

// One entry of "channelRequests". Numbers accept integers, floating point and booleans; a
// floating value that no integer field can hold is refused instead of being cast.
class DfrmChannelRequest : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;

    std::string mPath;
    std::optional<int64_t> mLastCounter;
    std::optional<float> mFetchItemsByTime;  // seconds
    std::optional<uint32_t> mFetchItemsCountMax;
};

// The body of a data request: exactly one of the two keys.
class DataLoggerDfrmDataRequest : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;

    std::optional<std::string> mDataRequestId;
    std::optional<std::vector<DfrmChannelRequest>> mChannelRequests;
};

// Reading throws the JSON library's errors for missing or mistyped keys and std::runtime_error
// for a broken rule.
void from_json(const nlohmann::json& json, DfrmChannelRequest& request);
void from_json(const nlohmann::json& json, DataLoggerDfrmDataRequest& request);

// What a data request id remembers per channel: the read position, advanced in place by the
// data handler, and the limits of the first answer, cleared after it.
struct RequestedDataChannel {
    explicit RequestedDataChannel(const DfrmChannelRequest& request);

    int64_t mLastCounter = 0;
    std::chrono::microseconds mDiscardOlderThan{0};
    uint32_t mAmount = 0;
    std::string mPath;
};

// One measurement of a data answer; every key but "path" is written only when set.
class DfrmDataResponse : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;
    // Validates first; throws std::runtime_error for a broken rule.
    nlohmann::json toJson() const;

    std::string mPath;
    std::optional<int64_t> mCountLastValue;
    std::optional<std::vector<double>> mValues;
    std::optional<std::vector<float>> mTimeOffsets;
    std::optional<std::string> mTimeReferenceAbsolute;
    std::optional<double> mTimeReferenceRelative;
    std::optional<bool> mHasMoreData;
    std::optional<std::string> mStatus;
};

class DataLoggerDfrmDataResponse : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;
    nlohmann::json toJson() const;

    std::string mConfigHash;
    std::optional<std::string> mDataRequestId;
    std::vector<DfrmDataResponse> mMeasurements;
};

// A float as the JSON number of its shortest decimal text (0.005f is written 0.005, not the
// digits of its widened double).
double floatForJson(float value);

}  // namespace quorix::pelmo::datalogger
