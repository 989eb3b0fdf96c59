#include "dfrm/DfrmDataRequest.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace quorix::pelmo::datalogger {

namespace {

// Casting a floating value outside the target's range is undefined; such a value is refused.
int64_t readInteger(const nlohmann::json& value, const char* key) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        // 2^63 exactly; every double below it fits.
        if (!(number > -9223372036854775808.0 && number < 9223372036854775808.0)) {
            throw std::out_of_range(std::string("The value of '") + key + "' is out of range.");
        }
        return static_cast<int64_t>(number);
    }
    return value.get<int64_t>();
}

// A double beyond the float range becomes infinity instead of an undefined cast.
float toFloat(double value) {
    if (value > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
    if (value < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

// The storage turns the age into nanoseconds before now; beyond this that would overflow.
constexpr int64_t kMaxDiscardOlderThanUs = 9'000'000'000'000'000;

std::chrono::microseconds toDiscardOlderThan(const std::optional<float>& seconds) {
    if (!seconds || std::isnan(*seconds)) return std::chrono::microseconds(0);
    const double micros = static_cast<double>(*seconds) * 1000000.0;
    if (micros >= static_cast<double>(kMaxDiscardOlderThanUs)) {
        return std::chrono::microseconds(kMaxDiscardOlderThanUs);
    }
    return std::chrono::microseconds(static_cast<int64_t>(micros));
}

}  // namespace

double floatForJson(float value) {
    if (!std::isfinite(value)) return static_cast<double>(value);
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text) - 1, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

void DfrmChannelRequest::validate(bool, bool, bool, bool, bool) const {
    if (mFetchItemsByTime && *mFetchItemsByTime < 0) {
        throw std::runtime_error("The 'fetchItemsByTime' value may not be negative.");
    }
}

void DataLoggerDfrmDataRequest::validate(bool, bool, bool, bool, bool) const {
    if (mDataRequestId && mChannelRequests) {
        throw std::runtime_error("Only dataRequestId OR channelRequests may be set, not both.");
    }
    if (!mDataRequestId && !mChannelRequests) {
        throw std::runtime_error(
            "Set either dataRequestId (if already got one offered by the device) or "
            "channelRequests.");
    }
}

void from_json(const nlohmann::json& json, DfrmChannelRequest& request) {
    request = DfrmChannelRequest();
    request.mPath = json.at("path").get<std::string>();
    if (json.contains("lastCounter")) {
        request.mLastCounter = readInteger(json.at("lastCounter"), "lastCounter");
    }
    if (json.contains("fetchItemsByTime")) {
        request.mFetchItemsByTime = toFloat(json.at("fetchItemsByTime").get<double>());
    }
    if (json.contains("fetchItemsCountMax")) {
        request.mFetchItemsCountMax =
            static_cast<uint32_t>(readInteger(json.at("fetchItemsCountMax"), "fetchItemsCountMax"));
    }
    request.validateAsThisServer();
}

void from_json(const nlohmann::json& json, DataLoggerDfrmDataRequest& request) {
    request = DataLoggerDfrmDataRequest();
    if (json.contains("dataRequestId")) {
        request.mDataRequestId = json.at("dataRequestId").get<std::string>();
    }
    if (json.contains("channelRequests")) {
        request.mChannelRequests =
            json.at("channelRequests").get<std::vector<DfrmChannelRequest>>();
    }
    request.validateAsThisServer();
}

RequestedDataChannel::RequestedDataChannel(const DfrmChannelRequest& request)
    : mLastCounter(request.mLastCounter.value_or(0)),
      mDiscardOlderThan(toDiscardOlderThan(request.mFetchItemsByTime)),
      mAmount(request.mFetchItemsCountMax.value_or(0)),
      mPath(request.mPath) {}

void DfrmDataResponse::validate(bool, bool, bool absoluteTime, bool relativeTime, bool) const {
    if (mTimeReferenceAbsolute.has_value() == mTimeReferenceRelative.has_value()) {
        throw std::runtime_error(
            "DataResponse requires either timeReferenceAbsolute OR timeReferenceRelative.");
    }
    if (absoluteTime && !mTimeReferenceAbsolute) {
        throw std::runtime_error(
            "DataResponse is missing 'timeReferenceAbsolute' but device capability is given.");
    }
    if (relativeTime && !mTimeReferenceRelative) {
        throw std::runtime_error(
            "DataResponse is missing 'timeReferenceRelative' but device capability is given.");
    }
    const bool hasValues = mValues && !mValues->empty();
    const bool hasStatus = mStatus && !mStatus->empty();
    if (!hasValues && !hasStatus) {
        throw std::runtime_error(
            "DataResponse has no 'values' and no 'status' (or empty). One of them has to be "
            "set.");
    }
    if (mValues.has_value() != mTimeOffsets.has_value() ||
        (mValues && mValues->size() != mTimeOffsets->size())) {
        throw std::runtime_error(
            "DataResponse requires both 'values' and 'timeOffsets' (with the same amount of "
            "entries) when one of them is set.");
    }
}

nlohmann::json DfrmDataResponse::toJson() const {
    validateAsThisServer();
    nlohmann::json json = {{"path", mPath}};
    if (mCountLastValue) json["countLastValue"] = *mCountLastValue;
    if (mValues) json["values"] = *mValues;
    if (mTimeOffsets) {
        nlohmann::json offsets = nlohmann::json::array();
        for (float offset : *mTimeOffsets) offsets.push_back(floatForJson(offset));
        json["timeOffsets"] = std::move(offsets);
    }
    if (mTimeReferenceAbsolute) json["timeReferenceAbsolute"] = *mTimeReferenceAbsolute;
    if (mTimeReferenceRelative) json["timeReferenceRelative"] = *mTimeReferenceRelative;
    if (mHasMoreData) json["hasMoreData"] = *mHasMoreData;
    if (mStatus) json["status"] = *mStatus;
    return json;
}

void DataLoggerDfrmDataResponse::validate(bool, bool, bool, bool, bool dataRequestId) const {
    if (dataRequestId && !mDataRequestId) {
        throw std::runtime_error(
            "The device supports the dataRequestId mechanism, so it must set the "
            "dataRequestId!");
    }
}

nlohmann::json DataLoggerDfrmDataResponse::toJson() const {
    nlohmann::json measurements = nlohmann::json::array();
    for (const auto& measurement : mMeasurements) measurements.push_back(measurement.toJson());
    nlohmann::json json = {{"configHash", mConfigHash}, {"measurements", std::move(measurements)}};
    if (mDataRequestId) json["dataRequestId"] = *mDataRequestId;
    validateAsThisServer();
    return json;
}

}  // namespace quorix::pelmo::datalogger
