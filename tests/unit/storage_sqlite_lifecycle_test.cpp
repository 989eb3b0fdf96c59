#include <gtest/gtest.h>

#include <filesystem>

#include "core/DataLoggerNames.h"
#include "unit/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::LogCapture;
using ::datalogger::test::readFile;
using ::datalogger::test::writeFile;
using namespace storagetest;
namespace fs = std::filesystem;

class StorageLifecycle : public ::testing::Test {
  protected:
    // A private copy of the scripts that a test may break.
    std::string copyScripts() {
        const std::string dir = mDir.file("scripts");
        fs::create_directory(dir);
        for (const auto& entry : fs::directory_iterator(scriptsDir())) {
            fs::copy_file(entry.path(), dir + "/" + entry.path().filename().string());
        }
        return dir;
    }

    RamDir mDir;
    std::string mDb = mDir.file("test.db");
};

TEST_F(StorageLifecycle, NewFileRunsEveryScriptInOrderThenAnalyzes) {
    LogCapture log;
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), DataLoggerStatusCode::NoError);

    std::vector<std::string> steps;
    for (const auto& record : log.records()) {
        if (record.text.rfind("About to migrate from", 0) == 0) steps.push_back(record.text);
    }
    ASSERT_EQ(steps.size(), 4u);
    for (uint32_t from = 0; from < 4; ++from) {
        EXPECT_EQ(steps[from], "About to migrate from '" + std::to_string(from) + "' to '" +
                                   std::to_string(from + 1) + "' using file '" + scriptsDir() +
                                   "/migration_" + std::to_string(from) + "_" +
                                   std::to_string(from + 1) + ".sql'");
    }
    EXPECT_TRUE(log.contains(log::Trace, "Running sqlite3 ANALYZE now."));
    storage->finalize();

    RawDb raw(mDb);
    EXPECT_EQ(raw.scalar("SELECT * FROM schemaVersion ORDER BY ROWID LIMIT 1"), 4);
    EXPECT_EQ(raw.rows("SELECT fromVersion, toVersion FROM schemaHistory ORDER BY id"),
              (std::vector<std::string>{"0|1", "1|2", "2|3", "3|4"}));
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_stat1'"), 1);
    // The statements read channel rows by position: the column order is part of the contract.
    EXPECT_EQ(raw.rows("SELECT name FROM pragma_table_info('channel') ORDER BY cid"),
              (std::vector<std::string>{"hash",
                                        "path",
                                        "unitID",
                                        "storageTypeID",
                                        "description",
                                        "statisticPeriod",
                                        "statisticStorageTypeID",
                                        "acqPeriodTypical",
                                        "min",
                                        "max",
                                        "expectedMin",
                                        "expectedMax",
                                        "logicalFunctionTags",
                                        "absolute",
                                        "precision",
                                        "offsetError",
                                        "relativeError",
                                        "calibrated",
                                        "calibrationLastDate",
                                        "calibrationNextDate",
                                        "recommendRequestDataDuringTypicalMode",
                                        "recommendRequestDataDuringHighAlertMode",
                                        "acqPeriodChangeable",
                                        "acqPeriodJitter",
                                        "acqPeriodMin",
                                        "acqPeriodHighAlert",
                                        "acqPeriodMax"}));
}

TEST_F(StorageLifecycle, CurrentFileRunsNoScriptButIsAnalyzed) {
    ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mDb, false),
              DataLoggerStatusCode::NoError);
    LogCapture log;
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), DataLoggerStatusCode::NoError);
    EXPECT_FALSE(log.contains("About to migrate from"));
    EXPECT_TRUE(log.contains(log::Trace, "Running sqlite3 ANALYZE now."));
}

TEST_F(StorageLifecycle, ScriptTablesMatchTheNameTables) {
    ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mDb, false),
              DataLoggerStatusCode::NoError);
    RawDb raw(mDb);
    std::vector<std::string> units;
    for (const auto& [name, unit] : utils::EnumNames<DataLoggerUnit>::entries()) {
        units.push_back(std::to_string(static_cast<int>(unit)) + "|" + name);
    }
    EXPECT_EQ(raw.rows("SELECT id, name FROM unit ORDER BY id"), units);
    std::vector<std::string> types;
    for (const auto& [name, type] : utils::EnumNames<DataLoggerStorageType>::entries()) {
        types.push_back(std::to_string(static_cast<int>(type)) + "|" + name);
    }
    EXPECT_EQ(raw.rows("SELECT id, name FROM storageType ORDER BY id"), types);
}

TEST_F(StorageLifecycle, MissingScriptThrowsWithItsPath) {
    const std::string scripts = copyScripts();
    fs::remove(scripts + "/migration_2_3.sql");
    LogCapture log;
    auto storage = makeStorage(scripts);
    const std::string path = scripts + "/migration_2_3.sql";
    try {
        storage->initializeStorage(kMinimumSize, mDb, false);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "The requested script (" + path + ") could not be found");
    }
    EXPECT_TRUE(log.contains(log::Error,
                             "Migration script not found! Requested migration 2 -> 3 "
                             "via file located at '" +
                                 path + "'."));
}

TEST_F(StorageLifecycle, ScriptFailingHalfWayIsRolledBack) {
    const std::string scripts = copyScripts();
    writeFile(scripts + "/migration_3_4.sql",
              "BEGIN TRANSACTION;\n"
              "CREATE INDEX halfWay ON data (value);\n"
              "UPDATE schemaVersion SET version = 4;\n"
              "INSERT INTO noSuchTable VALUES (1);\n"
              "COMMIT;\n");
    LogCapture log;
    auto storage = makeStorage(scripts);
    EXPECT_THROW(
        {
            try {
                storage->initializeStorage(kMinimumSize, mDb, false);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Migration script could not be executed.");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_TRUE(log.contains(log::Info, "Failed migration was reverted."));
    storage.reset();

    RawDb raw(mDb);
    EXPECT_EQ(raw.scalar("SELECT version FROM schemaVersion"), 3);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'halfWay'"), 0);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM schemaHistory"), 3);
}

TEST_F(StorageLifecycle, FileThatIsNoDatabaseIsReplaced) {
    writeFile(mDb, std::string(8192, 'x'));
    LogCapture log;
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), DataLoggerStatusCode::NoError);
    EXPECT_TRUE(log.contains(log::Warning, "First attempt to initialize the DB failed with"));
    EXPECT_FALSE(log.contains("Removing the DB failed !"));
    EXPECT_EQ(storage->registerOrUpdateChannel(channel("a")), DataLoggerStatusCode::NoError);
    storage->finalize();
    EXPECT_EQ(readFile(mDb).substr(0, 15), "SQLite format 3");
}

struct SizeCase {
    const char* name;
    uint32_t size;
    DataLoggerStatusCode expected;
};

class StorageSizeBounds : public StorageLifecycle,
                          public ::testing::WithParamInterface<SizeCase> {};

TEST_P(StorageSizeBounds, AreCheckedBeforeOpening) {
    auto storage = makeStorage();
    EXPECT_EQ(storage->initializeStorage(GetParam().size, mDb, false), GetParam().expected);
    EXPECT_EQ(fs::exists(mDb), GetParam().expected == DataLoggerStatusCode::NoError);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StorageSizeBounds,
    ::testing::Values(
        SizeCase{"BelowMinimum", kMinimumSize - 1, DataLoggerStatusCode::SizeBelowMinimum},
        SizeCase{"Minimum", kMinimumSize, DataLoggerStatusCode::NoError},
        SizeCase{"Maximum", kMaximumSize, DataLoggerStatusCode::NoError},
        SizeCase{"AboveMaximum", kMaximumSize + 1, DataLoggerStatusCode::SizeAboveMaximum}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StorageLifecycle, BrokenConstructionRefusesEveryInitialization) {
    LogCapture log;
    DataLoggerStorageSQLite noScripts(mDir.file("missing"), kMinimumSize, kMaximumSize, {});
    DataLoggerStorageSQLite inverted(scriptsDir(), kMaximumSize, kMinimumSize, {});
    EXPECT_EQ(noScripts.initializeStorage(kMinimumSize, mDb, false),
              DataLoggerStatusCode::StorageError);
    EXPECT_EQ(inverted.initializeStorage(kMaximumSize, mDb, false),
              DataLoggerStatusCode::StorageError);
    EXPECT_TRUE(log.contains(log::Critical, "The passed path (" + mDir.file("missing") +
                                                ") for the migration scripts does not exist."));
    EXPECT_TRUE(log.contains(log::Error,
                             "STORAGE: Configuration error. Maximum size (1048576) < "
                             "minimum size (67108864)."));
    EXPECT_FALSE(fs::exists(mDb));
}

TEST_F(StorageLifecycle, EveryOperationRefusesBeforeInitialization) {
    auto storage = makeStorage();
    DataLoggerStorageChannelInfo info;
    std::vector<DataLoggerStorageChannelInfo> infos;
    std::vector<DataLoggerDataPoint> points;
    std::string newPath;
    uint64_t newHash = 0;
    const auto notInitialized = DataLoggerStatusCode::StorageNotInitialized;
    EXPECT_EQ(storage->getChannel("a", info), notInitialized);
    EXPECT_EQ(storage->getChannel(uint64_t{1}, info), notInitialized);
    EXPECT_EQ(storage->getChannels(infos), notInitialized);
    EXPECT_EQ(storage->registerOrUpdateChannel(channel("a")), notInitialized);
    EXPECT_EQ(storage->archiveChannel("a", newPath, newHash), notInitialized);
    EXPECT_EQ(storage->archiveChannel(uint64_t{1}, newPath, newHash), notInitialized);
    EXPECT_EQ(storage->setData(1, {DataLoggerDataPoint(1.0, atMicros(1))}), notInitialized);
    EXPECT_EQ(storage->getData(points, "a", 0, std::chrono::microseconds(0), 0), notInitialized);
    EXPECT_EQ(storage->createLog(mDir.path(), 0), notInitialized);
    EXPECT_EQ(storage->clear(), notInitialized);
}

TEST_F(StorageLifecycle, ClearKeepsHistoryAndRebuildsTheSchema) {
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), DataLoggerStatusCode::NoError);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    ASSERT_EQ(storage->setData(a.channelHash(), {DataLoggerDataPoint(1.0, atMicros(5))}),
              DataLoggerStatusCode::NoError);

    ASSERT_EQ(storage->clear(), DataLoggerStatusCode::NoError);

    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(storage->getChannels(infos), DataLoggerStatusCode::NotFound);
    EXPECT_EQ(storage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    RawDb raw(mDb);
    EXPECT_EQ(raw.rows("SELECT fromVersion, toVersion, comment FROM schemaHistory WHERE id = 5"),
              std::vector<std::string>{"4|0|Database has been cleared."});
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM schemaHistory"), 9);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM data"), 0);
}

TEST_F(StorageLifecycle, OversizedFileIsShrunkToTheLimitOnOpening) {
    const auto a = channel("a");
    {
        auto storage = makeStorage();
        ASSERT_EQ(storage->initializeStorage(4 * kMinimumSize, mDb, false),
                  DataLoggerStatusCode::NoError);
        ASSERT_EQ(storage->registerOrUpdateChannel(a), DataLoggerStatusCode::NoError);
    }
    {
        RawDb raw(mDb);
        raw.exec(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40000) "
            "INSERT INTO data SELECT " +
            std::to_string(static_cast<int64_t>(a.channelHash())) + ", i, i FROM n;");
    }
    ASSERT_GT(fs::file_size(mDb), 2u * kMinimumSize);

    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), DataLoggerStatusCode::NoError);
    EXPECT_LE(fs::file_size(mDb), kMinimumSize);
    std::vector<DataLoggerDataPoint> newest;
    ASSERT_EQ(storage->getData(newest, "a", 0, std::chrono::microseconds(0), 1),
              DataLoggerStatusCode::NoError);
    EXPECT_EQ(newest.at(0).timestamp(), atMicros(40000));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
