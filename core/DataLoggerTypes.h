#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quorix::pelmo::datalogger {

// Numeric values travel on D-Bus and into the databases; the names (see DataLoggerNames.cpp)
// travel in the channel hash, the poll files and the DfRM documents. Neither ever changes.
enum class DataLoggerUnit : uint16_t {
    None = 0,
    Percent = 1,
    PartsPerMillion = 2,
    Count = 3,
    Kelvin = 4,
    DegreeCelsius = 5,
    Millikelvin = 6,
    Pascal = 7,
    Kilopascal = 8,
    Millibar = 9,
    Bar = 10,
    Tesla = 11,
    Millitesla = 12,
    Hertz = 13,
    Kilohertz = 14,
    Megahertz = 15,
    Volt = 16,
    Millivolt = 17,
    Ampere = 18,
    Milliampere = 19,
    Ohm = 20,
    Watt = 21,
    LitrePerMinute = 22,
    StandardLitrePerMinute = 23,
    Metre = 24,
    Millimetre = 25,
    Litre = 26,
    Second = 27,
    Hour = 28,
    Byte = 29,
    RelativeHumidity = 30,
};

enum class DataLoggerStorageType : uint8_t {
    Volatile = 1,
    NonVolatile = 2,
};

enum class DataLoggerStatusCode : uint16_t {
    NoError = 0,
    NotFound = 1,
    AlreadyRegistered = 2,
    InvalidArgument = 3,
    SizeBelowMinimum = 5,
    SizeAboveMaximum = 6,
    StorageOpenFailed = 7,
    NoData = 8,
    StorageNoData = 9,
    StorageNotInitialized = 10,
    StorageError = 12,
    StorageUnknownHash = 13,
    BreakingChange = 14,
    NoAssetFound = 16,
    NotYetRegistered = 17,
    QueueFull = 18,  // the push would take the queue past its bound; nothing was queued
};

using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// Integers read from a database may be anything: scaling them saturates instead of overflowing.
int64_t saturatingMultiply(int64_t a, int64_t factor);
// The databases keep times in microseconds since the epoch (truncated toward zero).
inline int64_t toMicros(TimePoint time) {
    return time.time_since_epoch().count() / 1000;
}
inline TimePoint fromMicros(int64_t micros) {
    return TimePoint(std::chrono::nanoseconds(saturatingMultiply(micros, 1000)));
}

class DataLoggerStats {
public:
    DataLoggerStats(DataLoggerStorageType storageType, int64_t periodSeconds)
        : mStorageType(storageType), mPeriod(periodSeconds) {}

    DataLoggerStorageType storageType() const { return mStorageType; }
    // Seconds; 0 means the channel has no statistics channels.
    int64_t period() const { return mPeriod; }

    bool operator==(const DataLoggerStats& other) const {
        return mStorageType == other.mStorageType && mPeriod == other.mPeriod;
    }

private:
    DataLoggerStorageType mStorageType;
    int64_t mPeriod;
};

// Everything a producer says about a channel. Plain value; the field order is the order of
// the constructor, of the channel table's columns (kDataLoggerChannelColumns, which also says
// how each is stored and compared) and of the DfRM channel documents.
struct DataLoggerChannelInfo {
    DataLoggerChannelInfo(std::string path, DataLoggerUnit unit, DataLoggerStats stats,
                          DataLoggerStorageType storageType, std::string description,
                          std::chrono::microseconds acqPeriodTypical, double min, double max,
                          double expectedMin, double expectedMax,
                          std::vector<std::string> logicalFunctionTags, bool absolute,
                          double precision, double offsetError, double relativeError,
                          bool calibrated, TimePoint calibrationLastDate,
                          TimePoint calibrationNextDate, bool recommendRequestDataDuringTypicalMode,
                          bool recommendRequestDataDuringHighAlertMode, bool acqPeriodChangeable,
                          std::chrono::microseconds acqPeriodJitter,
                          std::chrono::microseconds acqPeriodMin,
                          std::chrono::microseconds acqPeriodHighAlert,
                          std::chrono::microseconds acqPeriodMax);

    // A channel described only by what producers without metadata know; every other field
    // takes the defaults the D-Bus service and the pollers use.
    static DataLoggerChannelInfo withDefaults(std::string path, DataLoggerUnit unit,
                                              DataLoggerStats stats,
                                              DataLoggerStorageType storageType,
                                              std::string description);
    // No path, unit or description, volatile and without statistics; the rest as withDefaults.
    static DataLoggerChannelInfo empty();

    bool operator==(const DataLoggerChannelInfo& other) const;
    bool operator!=(const DataLoggerChannelInfo& other) const { return !(*this == other); }

    std::string mPath;
    DataLoggerUnit mUnit;
    DataLoggerStats mStats;
    DataLoggerStorageType mStorageType;
    std::string mDescription;
    std::chrono::microseconds mAcqPeriodTypical;
    double mMin;
    double mMax;
    double mExpectedMin;
    double mExpectedMax;
    std::vector<std::string> mLogicalFunctionTags;
    bool mAbsolute;
    double mPrecision;
    double mOffsetError;
    double mRelativeError;
    bool mCalibrated;
    TimePoint mCalibrationLastDate;
    TimePoint mCalibrationNextDate;
    bool mRecommendRequestDataDuringTypicalMode;
    bool mRecommendRequestDataDuringHighAlertMode;
    bool mAcqPeriodChangeable;
    std::chrono::microseconds mAcqPeriodJitter;
    std::chrono::microseconds mAcqPeriodMin;
    std::chrono::microseconds mAcqPeriodHighAlert;
    std::chrono::microseconds mAcqPeriodMax;
};

// One sample. A plain value held in vectors: every queued, read and answered point costs its
// 16 bytes and no more, so it carries no vtable and nothing derives from it.
class DataLoggerDataPoint {
public:
    DataLoggerDataPoint(double value, TimePoint timestamp) : mValue(value), mTimestamp(timestamp) {}

    double value() const { return mValue; }
    TimePoint timestamp() const { return mTimestamp; }

private:
    double mValue;
    TimePoint mTimestamp;
};
static_assert(sizeof(DataLoggerDataPoint) == 16, "a point is its value and its time stamp");

// Unit of work of the processing queue: moved in and out whole, never copied.
struct DataLoggerChannelPoint {
    uint64_t mHash = 0;
    std::vector<DataLoggerDataPoint> mPoints;
};

class DataLoggerStorageChannelInfo {
public:
    // Hash 0 and DataLoggerChannelInfo::empty(); for out-arguments before they are filled.
    DataLoggerStorageChannelInfo();
    DataLoggerStorageChannelInfo(DataLoggerChannelInfo info, uint64_t hash)
        : mInfo(std::move(info)), mHash(hash) {}

    const DataLoggerChannelInfo& channelInfo() const { return mInfo; }
    uint64_t channelHash() const { return mHash; }

private:
    DataLoggerChannelInfo mInfo;
    uint64_t mHash;
};

}  // namespace quorix::pelmo::datalogger
