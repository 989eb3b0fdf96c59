#include "core/DataLoggerTypes.h"

#include <algorithm>
#include <limits>

#include "core/DataLoggerChannelColumns.h"

namespace quorix::pelmo::datalogger {

int64_t saturatingMultiply(int64_t a, int64_t factor) {
    if (a > std::numeric_limits<int64_t>::max() / factor)
        return std::numeric_limits<int64_t>::max();
    if (a < std::numeric_limits<int64_t>::min() / factor)
        return std::numeric_limits<int64_t>::min();
    return a * factor;
}

DataLoggerChannelInfo::DataLoggerChannelInfo(
    std::string path, DataLoggerUnit unit, DataLoggerStats stats, DataLoggerStorageType storageType,
    std::string description, std::chrono::microseconds acqPeriodTypical, double min, double max,
    double expectedMin, double expectedMax, std::vector<std::string> logicalFunctionTags,
    bool absolute, double precision, double offsetError, double relativeError, bool calibrated,
    TimePoint calibrationLastDate, TimePoint calibrationNextDate,
    bool recommendRequestDataDuringTypicalMode, bool recommendRequestDataDuringHighAlertMode,
    bool acqPeriodChangeable, std::chrono::microseconds acqPeriodJitter,
    std::chrono::microseconds acqPeriodMin, std::chrono::microseconds acqPeriodHighAlert,
    std::chrono::microseconds acqPeriodMax)
    : mPath(std::move(path)),
      mUnit(unit),
      mStats(stats),
      mStorageType(storageType),
      mDescription(std::move(description)),
      mAcqPeriodTypical(acqPeriodTypical),
      mMin(min),
      mMax(max),
      mExpectedMin(expectedMin),
      mExpectedMax(expectedMax),
      mLogicalFunctionTags(std::move(logicalFunctionTags)),
      mAbsolute(absolute),
      mPrecision(precision),
      mOffsetError(offsetError),
      mRelativeError(relativeError),
      mCalibrated(calibrated),
      mCalibrationLastDate(calibrationLastDate),
      mCalibrationNextDate(calibrationNextDate),
      mRecommendRequestDataDuringTypicalMode(recommendRequestDataDuringTypicalMode),
      mRecommendRequestDataDuringHighAlertMode(recommendRequestDataDuringHighAlertMode),
      mAcqPeriodChangeable(acqPeriodChangeable),
      mAcqPeriodJitter(acqPeriodJitter),
      mAcqPeriodMin(acqPeriodMin),
      mAcqPeriodHighAlert(acqPeriodHighAlert),
      mAcqPeriodMax(acqPeriodMax) {}

DataLoggerChannelInfo DataLoggerChannelInfo::withDefaults(std::string path, DataLoggerUnit unit,
                                                          DataLoggerStats stats,
                                                          DataLoggerStorageType storageType,
                                                          std::string description) {
    using std::chrono::microseconds;
    const double lowest = std::numeric_limits<double>::min();
    const double highest = std::numeric_limits<double>::max();
    return DataLoggerChannelInfo(
        std::move(path), unit, stats, storageType, std::move(description), microseconds(0), lowest,
        highest, lowest, highest, {}, true, 0.001, 0.0, 1.0, false, TimePoint(), TimePoint(), true,
        false, false, microseconds(0), microseconds(0), microseconds(0), microseconds(0));
}

DataLoggerChannelInfo DataLoggerChannelInfo::empty() {
    return withDefaults("", DataLoggerUnit::None,
                        DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                        DataLoggerStorageType::Volatile, "");
}

bool DataLoggerChannelInfo::operator==(const DataLoggerChannelInfo& other) const {
    return std::all_of(kDataLoggerChannelColumns.begin(), kDataLoggerChannelColumns.end(),
                       [&](const auto& column) { return column.same(*this, other); });
}

DataLoggerStorageChannelInfo::DataLoggerStorageChannelInfo()
    : mInfo(DataLoggerChannelInfo::empty()), mHash(0) {}

}  // namespace quorix::pelmo::datalogger
