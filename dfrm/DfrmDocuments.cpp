#include "dfrm/DfrmDocuments.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "core/DataLoggerNames.h"
#include "core/EnumUtils.h"
#include "dfrm/DfrmDataRequest.h"
#include "dfrm/DfrmTagRule.h"
#include "platform/Logger.h"
#include "platform/TimeUtils.h"

namespace quorix::pelmo::datalogger {

float toDfrmPeriod(std::chrono::microseconds period) {
    return static_cast<float>(period.count()) / 1000000.0f / 1000.0f;
}

DfrmDataChannel::DfrmDataChannel(const DataLoggerChannelInfo& info)
    : mPath(info.mPath),
      mType(utils::EnumUtils<DataLoggerUnit>().to_string(info.mUnit)),
      mPrecision(info.mPrecision),
      mMin(info.mMin),
      mMax(info.mMax),
      mExpectedMin(info.mExpectedMin),
      mExpectedMax(info.mExpectedMax),
      mAcqPeriodTypical(toDfrmPeriod(info.mAcqPeriodTypical)),
      mAcqPeriodMin(toDfrmPeriod(info.mAcqPeriodMin)),
      mAcqPeriodMax(toDfrmPeriod(info.mAcqPeriodMax)),
      mAcqPeriodJitter(toDfrmPeriod(info.mAcqPeriodJitter)) {
    if (info.mAcqPeriodHighAlert.count() != 0) {
        mAcqPeriodHighAlert = toDfrmPeriod(info.mAcqPeriodHighAlert);
    }
    if (!info.mDescription.empty()) mDescription = info.mDescription;
    if (!info.mAbsolute) mAbsolute = false;
    if (info.mCalibrated) {
        mCalibrated = true;
        if (info.mCalibrationLastDate.time_since_epoch().count() != 0) {
            mCalibrationLastDate = utils::toUtcString(info.mCalibrationLastDate);
        }
        if (info.mCalibrationNextDate.time_since_epoch().count() == 0) {
            log::pelmoDoLog(log::Error,
                            "The path (%s) has been set to be calibrated but hasn't set "
                            "'calibrationNextDate' field.",
                            nullptr, log::untrusted(info.mPath).c_str());
        }
        mCalibrationNextDate = utils::toUtcString(info.mCalibrationNextDate);
    }
    if (info.mOffsetError != 0.0) mOffsetError = info.mOffsetError;
    if (info.mRelativeError != 1.0) mRelativeError = info.mRelativeError;
    std::vector<std::string> tags;
    for (const auto& tag : info.mLogicalFunctionTags) {
        if (isValidLogicalFunctionTag(tag)) {
            tags.push_back(tag);
        } else {
            log::pelmoDoLog(log::Error,
                            "Element (logicalFunctionTags) with value (%s) on path (%s) violates "
                            "the dfrm tag rule and is dropped.",
                            nullptr, log::untrusted(tag).c_str(),
                            log::untrusted(info.mPath).c_str());
        }
    }
    if (!tags.empty()) mLogicalFunctionTags = std::move(tags);
    if (info.mRecommendRequestDataDuringTypicalMode) mRecommendRequestDataDuringTypicalMode = true;
    if (info.mRecommendRequestDataDuringHighAlertMode) {
        mRecommendRequestDataDuringHighAlertMode = true;
    }
    if (info.mAcqPeriodChangeable) mAcqPeriodChangeable = true;
}

void DfrmDataChannel::validate(bool, bool highAlertMode, bool, bool, bool) const {
    if (mLogicalFunctionTags) {
        for (const auto& tag : *mLogicalFunctionTags) {
            if (isValidLogicalFunctionTag(tag)) continue;
            log::pelmoDoLog(log::Error,
                            "Element (logicalFunctionTags) with value (%s) on path (%s) violates "
                            "the dfrm tag rule and is not forwarded.",
                            nullptr, log::untrusted(tag).c_str(), log::untrusted(mPath).c_str());
        }
    }
    if (mCalibrated.value_or(false) && !mCalibrationNextDate) {
        throw std::runtime_error(
            "When the sensor has been calibrated the next calibration must be set, but was not "
            "set.");
    }
    if (highAlertMode && !mAcqPeriodHighAlert) {
        throw std::runtime_error(
            "When the device supports the HighAlertMode you must specify an acquisition period "
            "for each channel. Actually channel (" +
            mPath + ") is missing this information.");
    }
}

nlohmann::json DfrmDataChannel::toJson() const {
    validateAsThisServer();
    nlohmann::json json = {
        {"path", mPath},
        {"type", mType},
        {"precision", mPrecision},
        {"min", mMin},
        {"max", mMax},
        {"expectedMin", mExpectedMin},
        {"expectedMax", mExpectedMax},
        {"acqPeriodTypical", floatForJson(mAcqPeriodTypical)},
        {"acqPeriodMin", floatForJson(mAcqPeriodMin)},
        {"acqPeriodMax", floatForJson(mAcqPeriodMax)},
        {"acqPeriodJitter", floatForJson(mAcqPeriodJitter)},
    };
    if (mAcqPeriodHighAlert) json["acqPeriodHighAlert"] = floatForJson(*mAcqPeriodHighAlert);
    if (mDescription) json["description"] = *mDescription;
    if (mAbsolute) json["absolute"] = *mAbsolute;
    if (mCalibrated) json["calibrated"] = *mCalibrated;
    if (mCalibrationLastDate) json["calibrationLastDate"] = *mCalibrationLastDate;
    if (mCalibrationNextDate) json["calibrationNextDate"] = *mCalibrationNextDate;
    if (mOffsetError) json["offsetError"] = *mOffsetError;
    if (mRelativeError) json["relativeError"] = *mRelativeError;
    if (mLogicalFunctionTags) json["logicalFunctionTags"] = *mLogicalFunctionTags;
    if (mRecommendRequestDataDuringTypicalMode) {
        json["recommendRequestDataDuringTypicalMode"] = *mRecommendRequestDataDuringTypicalMode;
    }
    if (mRecommendRequestDataDuringHighAlertMode) {
        json["recommendRequestDataDuringHighAlertMode"] = *mRecommendRequestDataDuringHighAlertMode;
    }
    if (mAcqPeriodChangeable) json["acqPeriodChangeable"] = *mAcqPeriodChangeable;
    return json;
}

void DfrmDevicesCommon::validate(bool zlioWithTpx, bool, bool, bool, bool) const {
    if (zlioWithTpx && !mFirmwareVersion) {
        throw std::runtime_error("ZLIO device with TPX did miss 'firmwareVersion' in 'common'.");
    }
}

nlohmann::json DfrmDevicesCommon::toJson() const {
    validateAsThisServer();
    nlohmann::json json = {{"protocolVersion", mProtocolVersion}};
    if (mLocation) json["location"] = *mLocation;
    if (mFirmwareVersion) json["firmwareVersion"] = *mFirmwareVersion;
    return json;
}

void DfrmDevicesTpxFallback::validate(bool zlioWithTpx, bool, bool, bool, bool) const {
    if (zlioWithTpx) {
        throw std::runtime_error("ZLIO device with TPX must not use 'tpxFallback' in 'devices'.");
    }
}

nlohmann::json DfrmDevicesTpxFallback::toJson() const {
    validateAsThisServer();
    nlohmann::json json = {
        {"productId", mProductId}, {"serialNo", mSerialNo}, {"name", mName}, {"type", mType}};
    if (mEcl) json["ecl"] = *mEcl;
    if (mVariant) json["variant"] = *mVariant;
    return json;
}

void DfrmDevices::validate(bool zlioWithTpx, bool, bool, bool, bool) const {
    if (zlioWithTpx && !mTpx) {
        throw std::runtime_error("ZLIO devices with TPX must set 'Tpx' in 'devices'.");
    }
}

nlohmann::json DfrmDevices::toJson() const {
    validateAsThisServer();
    nlohmann::json json = {{"common", mCommon.toJson()}};
    if (mTpx) json["tpx"] = *mTpx;
    if (mTpxFallback) json["tpxFallback"] = mTpxFallback->toJson();
    if (mNmrMagnet) {
        json["nmrMagnet"] = {{"prefix", mNmrMagnet->mPrefix},
                             {"wqmNumber", mNmrMagnet->mWqmNumber},
                             {"frequency", mNmrMagnet->mFrequency},
                             {"cryoBore", mNmrMagnet->mCryoBore},
                             {"design", mNmrMagnet->mDesign}};
    }
    return json;
}

void DfrmVolatileState::validate(bool, bool, bool, bool, bool) const {
    if (mAbsoluteTime.has_value() == mRelativeTime.has_value()) {
        throw std::runtime_error("You may only define either absoluteTime OR relative time");
    }
}

nlohmann::json DfrmVolatileState::toJson() const {
    validateAsThisServer();
    nlohmann::json json = nlohmann::json::object();
    if (mAbsoluteTime) json["absoluteTime"] = *mAbsoluteTime;
    if (mRelativeTime) json["relativeTime"] = *mRelativeTime;
    return json;
}

}  // namespace quorix::pelmo::datalogger
