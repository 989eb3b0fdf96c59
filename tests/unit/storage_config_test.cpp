#include <gtest/gtest.h>

#include <string>

#include "storage/DataLoggerStorageConfig.h"
#include "support/test_support.h"

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

// What a reader of the file learns: the sizes and paths, or the section and key of the first
// error (only the first is reported) and its text; then the keys it ignored.
std::string outcome(const std::string& path) {
    DataLoggerStorageConfigFile file(path);
    std::string text = file.getErrorSection() + "/" + file.getErrorKey() + ": " + file.getErrors();
    if (const auto c = file.getConfig()) {
        text = std::to_string(c->getVolatileSize()) + " " + c->getVolatilePath() + " " +
               std::to_string(c->getNonVolatileSize()) + " " + c->getNonVolatilePath();
    }
    for (const auto& key : file.getUnknownKeys()) text += " ignored " + key;
    return text;
}

TEST(StorageConfigFileReading, GivesTheConfigurationOrTheFirstErrorWithItsSectionAndKey) {
    const std::pair<std::string, std::string> cases[] = {
        {file(kGood), "4096 /v.db 4096 /v.db"},
        {R"({"volatile":{"Size":2097152,"Path":"/run/v.db"},"nonvolatile":{"Size":" 8388608 ",
            "Path":"/data/nv.db"},"other":1})",
         "2097152 /run/v.db 8388608 /data/nv.db ignored other"},
        {"{}", "/: volatile section is missing\n"},
        {R"({"volatile":)" + kGood + "}", "/: non-volatile section is missing\n"},
        {file(section("0", R"("/v")")),
         "volatile/Size: Volatile Size is invalid. Size leq 0 is not allowed.\n"},
        {file(section("-5", R"("/v")")),
         "volatile/Size: Volatile Size is invalid. Size leq 0 is not allowed.\n"},
        {file(section(R"("big")", R"("/v")")), "volatile/Size: " + kVolatileNotPositive + "\n"},
        {file(section("1.5", R"("/v")")), "volatile/Size: " + kVolatileNotPositive + "\n"},
        {file(section(R"("4096 kB")", R"("/v")")), "volatile/Size: " + kVolatileNotPositive + "\n"},
        {file(kGood, section("2147483648", R"("/n")")),
         "nonvolatile/Size: Non-Volatile Size is invalid. Only positive numbers > 0 are "
         "allowed.\n"},
        {file(R"({"Path":"/v"})"), "volatile/Size: " + kMissing + "\n"},
        // An empty volatile path is found before a broken non-volatile section.
        {file(section("4096", R"("")"), R"({"Size":"x"})"),
         "volatile/Path: Invalid Volatile Path. It must not be empty.\n"},
        {file(kGood, R"({"Size":1})"), "nonvolatile/Path: " + kMissing + "\n"},
        {file(kGood, section("1", R"("")")),
         "nonvolatile/Path: Invalid Non-Volatile Path. It must not be empty.\n"},
        {file(kGood, section("0", R"("/n")")),
         "nonvolatile/Size: Non-Volatile Size is invalid. Size leq 0 is not allowed.\n"},
        {R"({"volatil":1,"volatile":{"Sise":1},"nonvolatile":{}})",
         "volatile/Size: " + kMissing + "\n ignored volatil ignored volatile.Sise"}};
    TempDir dir;
    for (const auto& [json, expected] : cases) {
        writeFile(dir.file("storage.conf"), json);
        EXPECT_EQ(outcome(dir.file("storage.conf")), expected) << json;
    }
}

// Any bytes give an error or a configuration (the fuzz target's corpus); these are too large
// for it.
TEST(StorageConfigFileReading, MissingDeepAndLargeFilesAreRefusedWithoutCrashing) {
    TempDir dir;
    EXPECT_EQ(outcome(dir.file("absent.conf")),
              "/: " + dir.file("absent.conf") + ": cannot open file\n");
    writeFile(dir.file("deep.conf"), std::string(200000, '['));
    writeFile(dir.file("big.conf"), "{\"volatile\":\"" + std::string(1 << 20, 'x') + "\"}");
    for (const char* name : {"deep.conf", "big.conf"}) {
        EXPECT_FALSE(DataLoggerStorageConfigFile(dir.file(name)).getErrors().empty()) << name;
    }
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
