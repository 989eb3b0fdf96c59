#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/DataLoggerTypes.h"
#include "dfrm/DataLoggerDfrmValidity.h"

namespace quorix::pelmo::datalogger {

// One entry of the channel list, translated from the channel model. Keys that are optional are
// written only when set; toJson validates first.
class DfrmDataChannel : public DataLoggerDfrmValidity {
public:
    // Tags that break the tag rule are dropped here (Error log); a calibrated channel without
    // a next calibration date is logged and written with the epoch.
    explicit DfrmDataChannel(const DataLoggerChannelInfo& info);

    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;
    nlohmann::json toJson() const;

    std::string mPath;
    std::string mType;
    double mPrecision = 0.0;
    double mMin = 0.0;
    double mMax = 0.0;
    double mExpectedMin = 0.0;
    double mExpectedMax = 0.0;
    float mAcqPeriodTypical = 0.0f;
    float mAcqPeriodMin = 0.0f;
    float mAcqPeriodMax = 0.0f;
    float mAcqPeriodJitter = 0.0f;
    std::optional<float> mAcqPeriodHighAlert;
    std::optional<std::string> mDescription;
    std::optional<bool> mAbsolute;
    std::optional<bool> mCalibrated;
    std::optional<std::string> mCalibrationLastDate;
    std::optional<std::string> mCalibrationNextDate;
    std::optional<double> mOffsetError;
    std::optional<double> mRelativeError;
    std::optional<std::vector<std::string>> mLogicalFunctionTags;
    std::optional<bool> mRecommendRequestDataDuringTypicalMode;
    std::optional<bool> mRecommendRequestDataDuringHighAlertMode;
    std::optional<bool> mAcqPeriodChangeable;
};

// The period written for a channel: microseconds to single-precision seconds, then divided by
// 1000 once more (5,000,000 us is written 0.005), as the clients expect it.
float toDfrmPeriod(std::chrono::microseconds period);

class DfrmDevicesCommon : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;
    nlohmann::json toJson() const;

    std::string mProtocolVersion;
    std::optional<std::string> mLocation;
    std::optional<std::string> mFirmwareVersion;
};

class DfrmDevicesTpxFallback : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;
    nlohmann::json toJson() const;

    std::string mProductId;
    std::string mSerialNo;
    std::string mName;
    std::string mType;
    std::optional<std::string> mEcl;
    std::optional<std::string> mVariant;
};

struct DfrmNmrMagnet {
    std::string mPrefix;
    std::string mWqmNumber;
    std::string mFrequency;
    std::string mCryoBore;
    std::string mDesign;
};

class DfrmDevices : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;
    nlohmann::json toJson() const;

    DfrmDevicesCommon mCommon;
    std::optional<std::string> mTpx;
    std::optional<DfrmDevicesTpxFallback> mTpxFallback;
    std::optional<DfrmNmrMagnet> mNmrMagnet;
};

// Exactly one of the two times.
class DfrmVolatileState : public DataLoggerDfrmValidity {
public:
    void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime, bool relativeTime,
                  bool dataRequestId) const override;
    nlohmann::json toJson() const;

    std::optional<std::string> mAbsoluteTime;
    std::optional<double> mRelativeTime;
};

}  // namespace quorix::pelmo::datalogger
