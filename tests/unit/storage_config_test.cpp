#include <gtest/gtest.h>

#include <string>

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

// Each file with the one error it reports (only the first is), or "" when it is valid.
TEST(StorageConfigFileReading, ReportsTheFirstErrorOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {file(kGood), ""},
        {file(section(R"(" 4096 ")", R"("/v")")), ""},
        {"{}", "volatile section is missing"},
        {R"({"volatile":)" + kGood + "}", "non-volatile section is missing"},
        {file(section("0", R"("/v")")), "Volatile Size is invalid. Size leq 0 is not allowed."},
        {file(section("-5", R"("/v")")), "Volatile Size is invalid. Size leq 0 is not allowed."},
        {file(section(R"("big")", R"("/v")")), kVolatileNotPositive},
        {file(section("1.5", R"("/v")")), kVolatileNotPositive},
        {file(section(R"("4096 kB")", R"("/v")")), kVolatileNotPositive},
        {file(kGood, section("2147483648", R"("/n")")),
         "Non-Volatile Size is invalid. Only positive numbers > 0 are allowed."},
        {file(R"({"Path":"/v"})"), kMissing},
        // An empty volatile path is found before a broken non-volatile section.
        {file(section("4096", R"("")"), R"({"Size":"x"})"),
         "Invalid Volatile Path. It must not be empty."},
        {file(kGood, R"({"Size":1})"), kMissing},
        {file(kGood, section("1", R"("")")), "Invalid Non-Volatile Path. It must not be empty."},
        {file(kGood, section("0", R"("/n")")),
         "Non-Volatile Size is invalid. Size leq 0 is not allowed."}};
    TempDir dir;
    for (const auto& [json, error] : cases) {
        SCOPED_TRACE(json);
        writeFile(dir.file("storage.conf"), json);
        DataLoggerStorageConfigFile config(dir.file("storage.conf"));
        EXPECT_EQ(config.isValid(), error.empty());
        EXPECT_EQ(config.getErrors(), error.empty() ? "" : error + "\n");
        EXPECT_EQ(config.getConfig() != nullptr, error.empty());
    }
}

TEST(StorageConfigFileReading, NamesTheSectionAndKeyOfAnErrorAndTheKeysItIgnored) {
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {file(kGood), "", ""},
        {"{}", "", ""},
        {file(section("1", R"("")")), "volatile", "Path"},
        {file(kGood, R"({"Path":"/n"})"), "nonvolatile", "Size"}};
    TempDir dir;
    for (const auto& [json, section, key] : cases) {
        SCOPED_TRACE(json);
        writeFile(dir.file("storage.conf"), json);
        DataLoggerStorageConfigFile config(dir.file("storage.conf"));
        EXPECT_EQ(std::make_pair(config.getErrorSection(), config.getErrorKey()),
                  std::make_pair(section, key));
    }
    writeFile(dir.file("storage.conf"), R"({"volatil":1,"volatile":{"Sise":1},"nonvolatile":{}})");
    EXPECT_EQ(DataLoggerStorageConfigFile(dir.file("storage.conf")).getUnknownKeys(),
              (std::vector<std::string>{"volatil", "volatile.Sise"}));
}

TEST(StorageConfigFileReading, KeepsSizesAndPathsAsWritten) {
    TempDir dir;
    writeFile(dir.file("storage.conf"), R"({"volatile":{"Size":2097152,"Path":"/run/v.db"},
        "nonvolatile":{"Size":"8388608","Path":"/data/nv.db"}, "other":1})");
    DataLoggerStorageConfigFile file(dir.file("storage.conf"));
    ASSERT_TRUE(file.isValid());
    auto config = file.getConfig();
    EXPECT_EQ(
        std::make_tuple(config->getVolatileSize(), config->getVolatilePath(),
                        config->getNonVolatileSize(), config->getNonVolatilePath()),
        std::make_tuple(2097152u, std::string("/run/v.db"), 8388608u, std::string("/data/nv.db")));
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
