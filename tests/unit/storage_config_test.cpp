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

struct ConfigCase {
    const char* name;
    std::string json;
    std::string error;  // empty: valid
};

class StorageConfigFile : public ::testing::TestWithParam<ConfigCase> {
protected:
    TempDir mDir;
};

TEST_P(StorageConfigFile, ReportsTheFirstErrorOnly) {
    const ConfigCase& c = GetParam();
    std::string path = mDir.file("storage.conf");
    writeFile(path, c.json);
    DataLoggerStorageConfigFile file(path);
    if (c.error.empty()) {
        EXPECT_TRUE(file.isValid()) << file.getErrors();
        EXPECT_NE(file.getConfig(), nullptr);
    } else {
        EXPECT_FALSE(file.isValid());
        EXPECT_EQ(file.getErrors(), c.error + "\n");
        EXPECT_EQ(file.getConfig(), nullptr);
    }
}

const std::string kGood = section("4096", R"("/v.db")");
const std::string kMissing = "Attempted to access the value of an uninitialized optional object.";

INSTANTIATE_TEST_SUITE_P(
    Cases, StorageConfigFile,
    ::testing::Values(
        ConfigCase{"Valid", R"({"volatile":)" + kGood + R"(,"nonvolatile":)" + kGood + "}", ""},
        ConfigCase{"SizeAsString",
                   R"({"volatile":)" + section(R"(" 4096 ")", R"("/v")") + R"(,"nonvolatile":)" +
                       kGood + "}",
                   ""},
        ConfigCase{"NoSections", "{}", "volatile section is missing"},
        ConfigCase{"NoNonVolatile", R"({"volatile":)" + kGood + "}",
                   "non-volatile section is missing"},
        ConfigCase{"ZeroSize",
                   R"({"volatile":)" + section("0", R"("/v")") + R"(,"nonvolatile":)" + kGood + "}",
                   "Volatile Size is invalid. Size leq 0 is not allowed."},
        ConfigCase{"NegativeSize",
                   R"({"volatile":)" + section("-5", R"("/v")") + R"(,"nonvolatile":)" + kGood +
                       "}",
                   "Volatile Size is invalid. Size leq 0 is not allowed."},
        ConfigCase{"LettersInSize",
                   R"({"volatile":)" + section(R"("big")", R"("/v")") + R"(,"nonvolatile":)" +
                       kGood + "}",
                   "Volatile Size is invalid. Only positive numbers > 0 are allowed."},
        ConfigCase{"FractionSize",
                   R"({"volatile":)" + section("1.5", R"("/v")") + R"(,"nonvolatile":)" + kGood +
                       "}",
                   "Volatile Size is invalid. Only positive numbers > 0 are allowed."},
        ConfigCase{"SizeWithUnit",
                   R"({"volatile":)" + section(R"("4096 kB")", R"("/v")") + R"(,"nonvolatile":)" +
                       kGood + "}",
                   "Volatile Size is invalid. Only positive numbers > 0 are allowed."},
        ConfigCase{"SizeBeyondInt32",
                   R"({"volatile":)" + kGood + R"(,"nonvolatile":)" +
                       section("2147483648", R"("/n")") + "}",
                   "Non-Volatile Size is invalid. Only positive numbers > 0 are allowed."},
        ConfigCase{"NoSizeKey", R"({"volatile":{"Path":"/v"},"nonvolatile":)" + kGood + "}",
                   kMissing},
        ConfigCase{"EmptyVolatilePathBeforeBrokenNonVolatile",
                   R"({"volatile":)" + section("4096", R"("")") +
                       R"(,"nonvolatile":{"Size":"x"}})",
                   "Invalid Volatile Path. It must not be empty."},
        ConfigCase{"NoNonVolatilePath", R"({"volatile":)" + kGood + R"(,"nonvolatile":{"Size":1}})",
                   kMissing},
        ConfigCase{"EmptyNonVolatilePath",
                   R"({"volatile":)" + kGood + R"(,"nonvolatile":)" + section("1", R"("")") + "}",
                   "Invalid Non-Volatile Path. It must not be empty."},
        ConfigCase{"NonVolatileZero",
                   R"({"volatile":)" + kGood + R"(,"nonvolatile":)" + section("0", R"("/n")") + "}",
                   "Non-Volatile Size is invalid. Size leq 0 is not allowed."}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST(StorageConfigFileReading, KeepsSizesAndPathsAsWritten) {
    TempDir dir;
    writeFile(dir.file("storage.conf"), R"({"volatile":{"Size":2097152,"Path":"/run/v.db"},
        "nonvolatile":{"Size":"8388608","Path":"/data/nv.db"}, "other":1})");
    DataLoggerStorageConfigFile file(dir.file("storage.conf"));
    ASSERT_TRUE(file.isValid());
    auto config = file.getConfig();
    EXPECT_EQ(config->getVolatileSize(), 2097152u);
    EXPECT_EQ(config->getVolatilePath(), "/run/v.db");
    EXPECT_EQ(config->getNonVolatileSize(), 8388608u);
    EXPECT_EQ(config->getNonVolatilePath(), "/data/nv.db");
    EXPECT_EQ(file.getErrors(), "");
}

TEST(StorageConfigFileReading, MissingFileGivesTheReadersMessageAndIsLoggedAtError) {
    TempDir dir;
    ::datalogger::test::LogCapture log;
    DataLoggerStorageConfigFile file(dir.file("absent.conf"));
    EXPECT_FALSE(file.isValid());
    EXPECT_EQ(file.getErrors(), dir.file("absent.conf") + ": cannot open file\n");
    EXPECT_TRUE(log.contains(log::Error,
                             "Parsing storage configuration file with the following errors: "));
}

TEST(StorageConfigFileReading, HostileFilesAreRefusedWithoutCrashing) {
    TempDir dir;
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
