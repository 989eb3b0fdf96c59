#include <set>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/DataLoggerHash.h"
#include "core/DataLoggerNames.h"
#include "core/DataLoggerTypes.h"

namespace quorix::pelmo::datalogger {
namespace {

using utils::EnumNames;
using utils::EnumUtils;

// Every name parses back to its own value and every value prints as its own name: the tables
// must be one-to-one, since names enter the channel hash and are parsed from files.
template <typename T>
void expectOneToOne() {
    EnumUtils<T> table;
    const auto& entries = EnumNames<T>::entries();
    EXPECT_EQ(table.count(), entries.size());
    std::set<std::string> names;
    for (const auto& [name, value] : entries) {
        EXPECT_TRUE(names.insert(name).second) << "duplicate name " << name;
        EXPECT_EQ(table.parse(name), value);
        EXPECT_EQ(table.to_string(value), name);
    }
}

TEST(NameTables, AreOneToOne) {
    expectOneToOne<DataLoggerUnit>();
    expectOneToOne<DataLoggerStorageType>();
    expectOneToOne<DataLoggerStatusCode>();
}

TEST(NameTables, KeepTheirReleasedNames) {
    EnumUtils<DataLoggerStatusCode> status;
    EnumUtils<DataLoggerStorageType> storage;
    EXPECT_EQ(status.to_string(DataLoggerStatusCode::NoError), "NoError");
    EXPECT_EQ(status.to_string(DataLoggerStatusCode::StorageNoData), "StorageNoData");
    EXPECT_EQ(static_cast<int>(storage.parse("Volatile")), 1);
    EXPECT_EQ(static_cast<int>(storage.parse("NonVolatile")), 2);
    EXPECT_EQ(EnumUtils<DataLoggerUnit>().parse("Kelvin"), DataLoggerUnit::Kelvin);
}

TEST(NameTables, UnknownValuesAndNamesThrowWithTheirTexts) {
    EnumUtils<DataLoggerUnit> units;
    try {
        units.to_string(static_cast<DataLoggerUnit>(999));
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Requested enum value not found.");
    }
    try {
        units.parse("kelvin");  // look-up is case-sensitive
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Could not parse value 'kelvin' to enum");
    }
}

TEST(StorageChannelInfo, DefaultIsTheFixedExampleWithHashZero) {
    DataLoggerStorageChannelInfo info;
    EXPECT_EQ(info.channelHash(), 0u);
    EXPECT_EQ(info.channelInfo().mPath, "quorix/productA/temperatureUnit/coil/sensorTop/HJ4");
    EXPECT_EQ(static_cast<int>(info.channelInfo().mUnit), 4);
    EXPECT_EQ(info.channelInfo().mStats.period(), 10);
    EXPECT_EQ(info.channelInfo().mMin, 2.2250738585072014e-308);
    EXPECT_EQ(info.channelInfo().mExpectedMax, 1.7976931348623157e+308);
    EXPECT_TRUE(info.channelInfo().mRecommendRequestDataDuringTypicalMode);
    EXPECT_FALSE(info.channelInfo().mRecommendRequestDataDuringHighAlertMode);
}

DataLoggerChannelInfo channel(const std::string& path, DataLoggerUnit unit,
                              DataLoggerStorageType storage) {
    return DataLoggerChannelInfo::withDefaults(path, unit, DataLoggerStats(storage, 0), storage,
                                               "description");
}

TEST(ChannelHash, IsTheStandardCrc32OfPathUnitNameAndStorageTypeName) {
    EXPECT_EQ(DataLoggerHash::crc32("123456789"), 0xCBF43926u);
    DataLoggerHash hash;
    // Reference value computed independently: zlib.crc32(b"magnet/heliumLevelPercentVolatile").
    uint64_t value =
        hash.compute(channel("magnet/heliumLevel", DataLoggerUnit::Percent,
                             DataLoggerStorageType::Volatile));
    EXPECT_EQ(value, DataLoggerHash::crc32("magnet/heliumLevelPercentVolatile"));
    EXPECT_EQ(value, 0x7A687F1Du);
    EXPECT_LE(value, 4294967295u);
}

TEST(ChannelHash, IgnoresEverythingButPathUnitAndStorageType) {
    DataLoggerHash hash;
    DataLoggerChannelInfo base =
        channel("a/b", DataLoggerUnit::Kelvin, DataLoggerStorageType::NonVolatile);
    DataLoggerChannelInfo metadata = base;
    metadata.mDescription = "other";
    metadata.mStats = DataLoggerStats(DataLoggerStorageType::Volatile, 60);
    metadata.mLogicalFunctionTags = {"x"};
    metadata.mPrecision = 5;
    EXPECT_EQ(hash.compute(base), hash.compute(metadata));

    DataLoggerChannelInfo unit = base;
    unit.mUnit = DataLoggerUnit::DegreeCelsius;
    DataLoggerChannelInfo storage = base;
    storage.mStorageType = DataLoggerStorageType::Volatile;
    EXPECT_NE(hash.compute(base), hash.compute(unit));
    EXPECT_NE(hash.compute(base), hash.compute(storage));
}

TEST(ChannelHash, ThrowsForAUnitWithoutName) {
    DataLoggerHash hash;
    DataLoggerChannelInfo info =
        channel("a", static_cast<DataLoggerUnit>(999), DataLoggerStorageType::Volatile);
    EXPECT_THROW(hash.compute(info), std::runtime_error);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
