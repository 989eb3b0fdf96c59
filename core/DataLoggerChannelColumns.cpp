#include "core/DataLoggerChannelColumns.h"

#include <algorithm>
#include <chrono>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorix::pelmo::datalogger {

namespace {

using Info = DataLoggerChannelInfo;
using Value = DataLoggerColumnValue;
using Type = DataLoggerColumnType;

// Last tag first, each followed by ';' — the stored form older databases already hold.
Value encodeTags(const Info& info) {
    std::string text;
    const auto& tags = info.mLogicalFunctionTags;
    for (auto it = tags.rbegin(); it != tags.rend(); ++it) text += *it + ";";
    return text;
}

void decodeTags(Info& info, const Value& value) {
    std::string text = std::get<std::string>(value);
    while (!text.empty() && text.back() == ';') text.pop_back();
    std::vector<std::string> tags;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const size_t end = std::min(text.find(';', start), text.size());
        tags.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::reverse(tags.begin(), tags.end());
    tags.erase(std::remove(tags.begin(), tags.end(), std::string()), tags.end());
    info.mLogicalFunctionTags = std::move(tags);
}

// The stored form of a field by its type: text and reals as they are; flags as 0 or 1,
// durations in microseconds, times in microseconds since the epoch (so compared to the
// nanosecond but kept to the microsecond), enumerations by their value.
template <typename T>
constexpr Type storedType() {
    if constexpr (std::is_same_v<T, std::string>) {
        return Type::Text;
    } else if constexpr (std::is_same_v<T, double>) {
        return Type::Real;
    } else {
        return Type::Integer;
    }
}

template <typename T>
Value toStored(const T& field) {
    if constexpr (storedType<T>() != Type::Integer) {
        return field;
    } else if constexpr (std::is_same_v<T, bool>) {
        return int64_t{field ? 1 : 0};
    } else if constexpr (std::is_same_v<T, std::chrono::microseconds>) {
        return int64_t{field.count()};
    } else if constexpr (std::is_same_v<T, TimePoint>) {
        return toMicros(field);
    } else {
        return static_cast<int64_t>(field);
    }
}

template <typename T>
T fromStored(const Value& value) {
    if constexpr (storedType<T>() != Type::Integer) {
        return std::get<T>(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        return std::get<int64_t>(value) != 0;
    } else if constexpr (std::is_same_v<T, TimePoint>) {
        return fromMicros(std::get<int64_t>(value));
    } else {
        return static_cast<T>(std::get<int64_t>(value));  // durations and enumerations
    }
}

template <auto Field>
using FieldType = std::remove_reference_t<decltype(std::declval<Info&>().*Field)>;

// A column holding one field in the field's stored form.
template <auto Field>
constexpr DataLoggerChannelColumn field(const char* name, const char* column = nullptr,
                                        const char* insertParameter = nullptr) {
    return {name,
            column,
            insertParameter,
            storedType<FieldType<Field>>(),
            [](const Info& i) { return toStored(i.*Field); },
            [](Info& i, const Value& v) { i.*Field = fromStored<FieldType<Field>>(v); },
            [](const Info& a, const Info& b) { return a.*Field == b.*Field; }};
}

}  // namespace

// The statistics setting is one field in two columns, each holding and comparing its half.
constexpr std::array<DataLoggerChannelColumn, 26> kDataLoggerChannelColumns{{
    field<&Info::mPath>("path"),
    field<&Info::mUnit>("unit", "unitID", "unit"),
    field<&Info::mStorageType>("storageType", "storageTypeID", "storageType"),
    field<&Info::mDescription>("description"),
    {"statisticPeriod", nullptr, nullptr, Type::Integer,
     [](const Info& i) -> Value { return saturatingMultiply(i.mStats.period(), 1000000); },
     [](Info& i, const Value& v) {
         i.mStats = DataLoggerStats(i.mStats.storageType(), std::get<int64_t>(v) / 1000000);
     },
     [](const Info& a, const Info& b) { return a.mStats.period() == b.mStats.period(); }},
    {"statisticStorageType", "statisticStorageTypeID", nullptr, Type::Integer,
     [](const Info& i) { return toStored(i.mStats.storageType()); },
     [](Info& i, const Value& v) {
         i.mStats = DataLoggerStats(fromStored<DataLoggerStorageType>(v), i.mStats.period());
     },
     [](const Info& a, const Info& b) { return a.mStats.storageType() == b.mStats.storageType(); }},
    field<&Info::mAcqPeriodTypical>("acqPeriodTypical"),
    field<&Info::mMin>("min"),
    field<&Info::mMax>("max"),
    field<&Info::mExpectedMin>("expectedMin"),
    field<&Info::mExpectedMax>("expectedMax"),
    {"logicalFunctionTags", nullptr, nullptr, Type::Text, encodeTags, decodeTags,
     [](const Info& a, const Info& b) { return a.mLogicalFunctionTags == b.mLogicalFunctionTags; }},
    field<&Info::mAbsolute>("absolute"),
    field<&Info::mPrecision>("precision"),
    field<&Info::mOffsetError>("offsetError"),
    field<&Info::mRelativeError>("relativeError"),
    field<&Info::mCalibrated>("calibrated"),
    field<&Info::mCalibrationLastDate>("calibrationLastDate"),
    field<&Info::mCalibrationNextDate>("calibrationNextDate"),
    field<&Info::mRecommendRequestDataDuringTypicalMode>("recommendRequestDataDuringTypicalMode"),
    field<&Info::mRecommendRequestDataDuringHighAlertMode>(
        "recommendRequestDataDuringHighAlertMode"),
    field<&Info::mAcqPeriodChangeable>("acqPeriodChangeable"),
    field<&Info::mAcqPeriodJitter>("acqPeriodJitter"),
    field<&Info::mAcqPeriodMin>("acqPeriodMin"),
    field<&Info::mAcqPeriodHighAlert>("acqPeriodHighAlert"),
    field<&Info::mAcqPeriodMax>("acqPeriodMax"),
}};

DataLoggerChannelInfo channelInfoFromRow(
    const std::function<DataLoggerColumnValue(int position, DataLoggerColumnType type)>& read) {
    DataLoggerChannelInfo info = DataLoggerChannelInfo::empty();
    int position = 1;
    for (const auto& column : kDataLoggerChannelColumns)
        column.load(info, read(position++, column.type));
    return info;
}

}  // namespace quorix::pelmo::datalogger
