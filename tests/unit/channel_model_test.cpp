#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "core/ChannelPath.h"
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
    EXPECT_THROW(EnumUtils<DataLoggerUnit>().parse("kelvin"), std::invalid_argument);  // case
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
    EXPECT_EQ(hash.compute(channel("magnet/heliumLevel", DataLoggerUnit::Percent,
                                   DataLoggerStorageType::Volatile)),
              0x7A687F1Du);
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
    unit.mUnit = static_cast<DataLoggerUnit>(999);  // a unit without name
    EXPECT_THROW(hash.compute(unit), std::runtime_error);
}

TEST(ChannelPathRule, AcceptsWordsJoinedBySlashesWithAnOptionalStatisticsSuffix) {
    for (const char* path :
         {"a", "_", "quorix/productA/temperatureUnit/coil/HJ4", "He_Level/sensor_2", "a/b.min",
          "a/b.max", "a/b.mean", "a/b.stddev", "X9"}) {
        EXPECT_TRUE(isValidChannelPath(path)) << path;
    }
    for (const char* path : {"", "/a", "a/", "a//b", "a.median", "a.mean.max", "a.", ".mean", "a-b",
                             "a b", "a/b.meanx", "a.min/b", "ä", "a\n", "a/.mean"}) {
        EXPECT_FALSE(isValidChannelPath(path)) << path;
    }
}

TEST(ChannelPathRule, RefusesAHundredThousandCharacterPathQuicklyWithoutCrashing) {
    std::string path;
    for (int i = 0; i < 50000; ++i) path += "a/";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(isValidChannelPath(path));
    EXPECT_TRUE(isValidChannelPath(path + "b.stddev"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
