#include "core/DataLoggerChannelColumns.h"

#include <algorithm>
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

template <auto Field>
using FieldType = std::remove_reference_t<decltype(std::declval<Info&>().*Field)>;

template <auto Field>
bool same(const Info& a, const Info& b) {
    return a.*Field == b.*Field;
}

template <auto Field>
constexpr DataLoggerChannelColumn text(const char* name) {
    return {name,
            nullptr,
            nullptr,
            Type::Text,
            [](const Info& i) -> Value { return i.*Field; },
            [](Info& i, const Value& v) { i.*Field = std::get<std::string>(v); },
            same<Field>};
}

template <auto Field>
constexpr DataLoggerChannelColumn real(const char* name) {
    return {name,
            nullptr,
            nullptr,
            Type::Real,
            [](const Info& i) -> Value { return i.*Field; },
            [](Info& i, const Value& v) { i.*Field = std::get<double>(v); },
            same<Field>};
}

template <auto Field>
constexpr DataLoggerChannelColumn flag(const char* name) {
    return {name,
            nullptr,
            nullptr,
            Type::Integer,
            [](const Info& i) -> Value { return int64_t{i.*Field ? 1 : 0}; },
            [](Info& i, const Value& v) { i.*Field = std::get<int64_t>(v) != 0; },
            same<Field>};
}

template <auto Field>
constexpr DataLoggerChannelColumn micros(const char* name) {
    return {name,
            nullptr,
            nullptr,
            Type::Integer,
            [](const Info& i) -> Value { return int64_t{(i.*Field).count()}; },
            [](Info& i, const Value& v) { i.*Field = FieldType<Field>(std::get<int64_t>(v)); },
            same<Field>};
}

// Stored to the microsecond, compared to the nanosecond.
template <auto Field>
constexpr DataLoggerChannelColumn time(const char* name) {
    return {name,
            nullptr,
            nullptr,
            Type::Integer,
            [](const Info& i) -> Value { return toMicros(i.*Field); },
            [](Info& i, const Value& v) { i.*Field = fromMicros(std::get<int64_t>(v)); },
            same<Field>};
}

template <auto Field>
constexpr DataLoggerChannelColumn enumeration(const char* name, const char* column,
                                              const char* insertParameter) {
    return {name,
            column,
            insertParameter,
            Type::Integer,
            [](const Info& i) -> Value { return static_cast<int64_t>(i.*Field); },
            [](Info& i, const Value& v) {
                i.*Field = static_cast<FieldType<Field>>(std::get<int64_t>(v));
            },
            same<Field>};
}

}  // namespace

// The statistics setting is one field in two columns, each holding and comparing its half.
constexpr std::array<DataLoggerChannelColumn, 26> kDataLoggerChannelColumns{{
    text<&Info::mPath>("path"),
    enumeration<&Info::mUnit>("unit", "unitID", "unit"),
    enumeration<&Info::mStorageType>("storageType", "storageTypeID", "storageType"),
    text<&Info::mDescription>("description"),
    {"statisticPeriod", nullptr, nullptr, Type::Integer,
     [](const Info& i) -> Value { return saturatingMultiply(i.mStats.period(), 1000000); },
     [](Info& i, const Value& v) {
         i.mStats = DataLoggerStats(i.mStats.storageType(), std::get<int64_t>(v) / 1000000);
     },
     [](const Info& a, const Info& b) { return a.mStats.period() == b.mStats.period(); }},
    {"statisticStorageType", "statisticStorageTypeID", nullptr, Type::Integer,
     [](const Info& i) -> Value { return static_cast<int64_t>(i.mStats.storageType()); },
     [](Info& i, const Value& v) {
         i.mStats = DataLoggerStats(static_cast<DataLoggerStorageType>(std::get<int64_t>(v)),
                                    i.mStats.period());
     },
     [](const Info& a, const Info& b) { return a.mStats.storageType() == b.mStats.storageType(); }},
    micros<&Info::mAcqPeriodTypical>("acqPeriodTypical"),
    real<&Info::mMin>("min"),
    real<&Info::mMax>("max"),
    real<&Info::mExpectedMin>("expectedMin"),
    real<&Info::mExpectedMax>("expectedMax"),
    {"logicalFunctionTags", nullptr, nullptr, Type::Text, encodeTags, decodeTags,
     same<&Info::mLogicalFunctionTags>},
    flag<&Info::mAbsolute>("absolute"),
    real<&Info::mPrecision>("precision"),
    real<&Info::mOffsetError>("offsetError"),
    real<&Info::mRelativeError>("relativeError"),
    flag<&Info::mCalibrated>("calibrated"),
    time<&Info::mCalibrationLastDate>("calibrationLastDate"),
    time<&Info::mCalibrationNextDate>("calibrationNextDate"),
    flag<&Info::mRecommendRequestDataDuringTypicalMode>("recommendRequestDataDuringTypicalMode"),
    flag<&Info::mRecommendRequestDataDuringHighAlertMode>(
        "recommendRequestDataDuringHighAlertMode"),
    flag<&Info::mAcqPeriodChangeable>("acqPeriodChangeable"),
    micros<&Info::mAcqPeriodJitter>("acqPeriodJitter"),
    micros<&Info::mAcqPeriodMin>("acqPeriodMin"),
    micros<&Info::mAcqPeriodHighAlert>("acqPeriodHighAlert"),
    micros<&Info::mAcqPeriodMax>("acqPeriodMax"),
}};

namespace {
// A row left out of the table would be zero-initialised, and found only when called.
constexpr bool everyColumnComplete() {
    for (const auto& column : kDataLoggerChannelColumns) {
        if (!column.name || !column.store || !column.load || !column.same) return false;
    }
    return true;
}
static_assert(everyColumnComplete(), "every column says how it is stored, read and compared");
}  // namespace

DataLoggerChannelInfo channelInfoFromRow(
    const std::function<DataLoggerColumnValue(int position, DataLoggerColumnType type)>& read) {
    DataLoggerChannelInfo info = DataLoggerChannelInfo::empty();
    int position = 1;
    for (const auto& column : kDataLoggerChannelColumns)
        column.load(info, read(position++, column.type));
    return info;
}

}  // namespace quorix::pelmo::datalogger
