#include <string>

#include <gtest/gtest.h>

#include "storage/DataLoggerStorageConfig.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::TempDir;
using ::datalogger::test::writeFile;

std::string section(const std::string& size, const std::string& path) {
    return R"({"Size":)" + size + R"(,"Path":)" + path + "}";
}
const std::string kGood = section("4096", R"("/v.db")");
std::string file(const std::string& v, const std::string& nv = kGood) {
    return R"({"volatile":)" + v + R"(,"nonvolatile":)" + nv + "}";
}
const std::string kMissing = "Attempted to access the value of an uninitialized optional object.";
const std::string kVolatileNotPositive =
    "Volatile Size is invalid. Only positive numbers > 0 are allowed.";

struct ConfigCase {
    const char* name;
    std::string json;
    std::string error;  // empty: valid
};

class StorageConfigFile : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(StorageConfigFile, ReportsTheFirstErrorOnly) {
    TempDir dir;
    writeFile(dir.file("storage.conf"), GetParam().json);
    DataLoggerStorageConfigFile file(dir.file("storage.conf"));
    EXPECT_EQ(file.isValid(), GetParam().error.empty());
    EXPECT_EQ(file.getErrors(), GetParam().error.empty() ? "" : GetParam().error + "\n");
    EXPECT_EQ(file.getConfig() != nullptr, GetParam().error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StorageConfigFile,
    ::testing::Values(
        ConfigCase{"Valid", file(kGood), ""},
        ConfigCase{"SizeAsString", file(section(R"(" 4096 ")", R"("/v")")), ""},
        ConfigCase{"NoSections", "{}", "volatile section is missing"},
        ConfigCase{"NoNonVolatile", R"({"volatile":)" + kGood + "}",
                   "non-volatile section is missing"},
        ConfigCase{"ZeroSize", file(section("0", R"("/v")")),
                   "Volatile Size is invalid. Size leq 0 is not allowed."},
        ConfigCase{"NegativeSize", file(section("-5", R"("/v")")),
                   "Volatile Size is invalid. Size leq 0 is not allowed."},
        ConfigCase{"LettersInSize", file(section(R"("big")", R"("/v")")), kVolatileNotPositive},
        ConfigCase{"FractionSize", file(section("1.5", R"("/v")")), kVolatileNotPositive},
        ConfigCase{"SizeWithUnit", file(section(R"("4096 kB")", R"("/v")")), kVolatileNotPositive},
        ConfigCase{"SizeBeyondInt32", file(kGood, section("2147483648", R"("/n")")),
                   "Non-Volatile Size is invalid. Only positive numbers > 0 are allowed."},
        ConfigCase{"NoSizeKey", file(R"({"Path":"/v"})"), kMissing},
        ConfigCase{"EmptyVolatilePathBeforeBrokenNonVolatile",
                   file(section("4096", R"("")"), R"({"Size":"x"})"),
                   "Invalid Volatile Path. It must not be empty."},
        ConfigCase{"NoNonVolatilePath", file(kGood, R"({"Size":1})"), kMissing},
        ConfigCase{"EmptyNonVolatilePath", file(kGood, section("1", R"("")")),
                   "Invalid Non-Volatile Path. It must not be empty."},
        ConfigCase{"NonVolatileZero", file(kGood, section("0", R"("/n")")),
                   "Non-Volatile Size is invalid. Size leq 0 is not allowed."}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST(StorageConfigFileReading, KeepsSizesAndPathsAsWritten) {
    TempDir dir;
    writeFile(dir.file("storage.conf"), R"({"volatile":{"Size":2097152,"Path":"/run/v.db"},
        "nonvolatile":{"Size":"8388608","Path":"/data/nv.db"}, "other":1})");
    DataLoggerStorageConfigFile file(dir.file("storage.conf"));
    ASSERT_TRUE(file.isValid());
    auto config = file.getConfig();
    EXPECT_EQ(std::make_tuple(config->getVolatileSize(), config->getVolatilePath(),
                              config->getNonVolatileSize(), config->getNonVolatilePath()),
              std::make_tuple(2097152u, std::string("/run/v.db"), 8388608u,
                              std::string("/data/nv.db")));
}

TEST(StorageConfigFileReading, MissingAndHostileFilesAreRefusedWithoutCrashing) {
    TempDir dir;
    DataLoggerStorageConfigFile absent(dir.file("absent.conf"));
    EXPECT_FALSE(absent.isValid());
    EXPECT_EQ(absent.getErrors(), dir.file("absent.conf") + ": cannot open file\n");
    writeFile(dir.file("deep.conf"), std::string(200000, '['));
    writeFile(dir.file("big.conf"), "{\"volatile\":\"" + std::string(1 << 20, 'x') + "\"}");
    writeFile(dir.file("syntax.conf"), "{\"volatile\": {");
    writeFile(dir.file("binary.conf"), std::string("\0\xff\xfe{", 4));
    for (const char* name : {"deep.conf", "big.conf", "syntax.conf", "binary.conf"}) {
        DataLoggerStorageConfigFile file(dir.file(name));
        EXPECT_FALSE(file.isValid()) << name;
        EXPECT_FALSE(file.getErrors().empty()) << name;
    }
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
