#include <gtest/gtest.h>

#include <filesystem>

#include "core/DataLoggerNames.h"
#include "unit/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::LogCapture;
using ::datalogger::test::writeFile;
using namespace storagetest;
using Code = DataLoggerStatusCode;
namespace fs = std::filesystem;

class StorageLifecycle : public ::testing::Test {
  protected:
    // A private copy of the scripts that a test may break.
    std::string copyScripts() {
        fs::copy(scriptsDir(), mDir.file("scripts"));
        return mDir.file("scripts");
    }
    // Initialises with the given scripts and returns what was thrown.
    std::string failingInit(const std::string& scripts) {
        try {
            makeStorage(scripts)->initializeStorage(kMinimumSize, mDb, false);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no exception";
    }

    RamDir mDir;
    std::string mDb = mDir.file("test.db");
};

TEST_F(StorageLifecycle, NewFileRunsEveryScriptInOrderThenAnalyzesAndCurrentFileRunsNone) {
    {
        LogCapture log;
        ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
        std::vector<std::string> steps, expected;
        for (const auto& record : log.records()) {
            if (record.text.rfind("About to migrate from", 0) == 0) steps.push_back(record.text);
        }
        for (int from = 0; from < 4; ++from) {
            const auto f = std::to_string(from), t = std::to_string(from + 1);
            expected.push_back("About to migrate from '" + f + "' to '" + t + "' using file '" +
                               scriptsDir() + "/migration_" + f + "_" + t + ".sql'");
        }
        EXPECT_EQ(steps, expected);
        EXPECT_TRUE(log.contains(log::Trace, "Running sqlite3 ANALYZE now."));
    }
    RawDb raw(mDb);
    EXPECT_EQ(raw.scalar("SELECT * FROM schemaVersion ORDER BY ROWID LIMIT 1"), 4);
    EXPECT_EQ(raw.rows("SELECT fromVersion, toVersion FROM schemaHistory ORDER BY id"),
              (std::vector<std::string>{"0|1", "1|2", "2|3", "3|4"}));
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_stat1'"), 1);
    // The statements read channel rows by position: the column order is part of the contract.
    EXPECT_EQ(raw.rows("SELECT group_concat(name, ' ') FROM pragma_table_info('channel')")[0],
              "hash path unitID storageTypeID description statisticPeriod statisticStorageTypeID "
              "acqPeriodTypical min max expectedMin expectedMax logicalFunctionTags absolute "
              "precision offsetError relativeError calibrated calibrationLastDate "
              "calibrationNextDate recommendRequestDataDuringTypicalMode "
              "recommendRequestDataDuringHighAlertMode acqPeriodChangeable acqPeriodJitter "
              "acqPeriodMin acqPeriodHighAlert acqPeriodMax");
    // The scripts' tables of units and storage types match the name tables.
    std::vector<std::string> units, types;
    for (const auto& [name, unit] : utils::EnumNames<DataLoggerUnit>::entries()) {
        units.push_back(std::to_string(static_cast<int>(unit)) + "|" + name);
    }
    for (const auto& [name, type] : utils::EnumNames<DataLoggerStorageType>::entries()) {
        types.push_back(std::to_string(static_cast<int>(type)) + "|" + name);
    }
    EXPECT_EQ(raw.rows("SELECT id, name FROM unit ORDER BY id"), units);
    EXPECT_EQ(raw.rows("SELECT id, name FROM storageType ORDER BY id"), types);

    LogCapture log;
    ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    EXPECT_FALSE(log.contains("About to migrate from"));
    EXPECT_TRUE(log.contains(log::Trace, "Running sqlite3 ANALYZE now."));
}

TEST_F(StorageLifecycle, MissingScriptThrowsWithItsPath) {
    const std::string path = copyScripts() + "/migration_2_3.sql";
    fs::remove(path);
    EXPECT_EQ(failingInit(mDir.file("scripts")),
              "The requested script (" + path + ") could not be found");
}

TEST_F(StorageLifecycle, ScriptFailingHalfWayIsRolledBack) {
    writeFile(copyScripts() + "/migration_3_4.sql",
              "BEGIN TRANSACTION;\n"
              "CREATE INDEX halfWay ON data (value);\n"
              "UPDATE schemaVersion SET version = 4;\n"
              "INSERT INTO noSuchTable VALUES (1);\n"
              "COMMIT;\n");
    EXPECT_EQ(failingInit(mDir.file("scripts")), "Migration script could not be executed.");
    RawDb raw(mDb);
    EXPECT_EQ(raw.scalar("SELECT version FROM schemaVersion"), 3);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'halfWay'"), 0);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM schemaHistory"), 3);
}

TEST_F(StorageLifecycle, FileThatIsNoDatabaseIsReplaced) {
    writeFile(mDb, std::string(8192, 'x'));
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    EXPECT_EQ(storage->registerOrUpdateChannel(channel("a")), Code::NoError);
    storage->finalize();
    EXPECT_EQ(::datalogger::test::readFile(mDb).substr(0, 15), "SQLite format 3");
}

TEST_F(StorageLifecycle, SizesAndConstructionAreCheckedBeforeOpening) {
    EXPECT_EQ(makeStorage()->initializeStorage(kMinimumSize - 1, mDb, false),
              Code::SizeBelowMinimum);
    EXPECT_EQ(makeStorage()->initializeStorage(kMaximumSize + 1, mDb, false),
              Code::SizeAboveMaximum);
    DataLoggerStorageSQLite noScripts(mDir.file("missing"), kMinimumSize, kMaximumSize, {});
    DataLoggerStorageSQLite inverted(scriptsDir(), kMaximumSize, kMinimumSize, {});
    EXPECT_EQ(noScripts.initializeStorage(kMinimumSize, mDb, false), Code::StorageError);
    EXPECT_EQ(inverted.initializeStorage(kMaximumSize, mDb, false), Code::StorageError);
    EXPECT_FALSE(fs::exists(mDb));
    EXPECT_EQ(makeStorage()->initializeStorage(kMaximumSize, mDb, false), Code::NoError);
}

TEST_F(StorageLifecycle, EveryOperationRefusesBeforeInitialization) {
    auto storage = makeStorage();
    DataLoggerStorageChannelInfo info;
    std::vector<DataLoggerStorageChannelInfo> infos;
    std::vector<DataLoggerDataPoint> points;
    std::string newPath;
    uint64_t newHash = 0;
    for (Code code :
         {storage->getChannel("a", info), storage->getChannel(uint64_t{1}, info),
          storage->getChannels(infos), storage->registerOrUpdateChannel(channel("a")),
          storage->archiveChannel("a", newPath, newHash),
          storage->archiveChannel(uint64_t{1}, newPath, newHash),
          storage->setData(1, {DataLoggerDataPoint(1.0, atMicros(1))}),
          storage->getData(points, "a", 0, std::chrono::microseconds(0), 0),
          storage->createLog(mDir.path(), 0), storage->clear()}) {
        EXPECT_EQ(code, Code::StorageNotInitialized);
    }
}

TEST_F(StorageLifecycle, ClearKeepsHistoryAndRebuildsTheSchema) {
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);
    ASSERT_EQ(storage->setData(a.channelHash(), {DataLoggerDataPoint(1.0, atMicros(5))}),
              Code::NoError);
    ASSERT_EQ(storage->clear(), Code::NoError);

    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(storage->getChannels(infos), Code::NotFound);
    EXPECT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);
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
        ASSERT_EQ(storage->initializeStorage(4 * kMinimumSize, mDb, false), Code::NoError);
        ASSERT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);
    }
    RawDb(mDb).exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40000) "
        "INSERT INTO data SELECT " +
        std::to_string(static_cast<int64_t>(a.channelHash())) + ", i, i FROM n;");
    ASSERT_GT(fs::file_size(mDb), 2u * kMinimumSize);

    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    EXPECT_LE(fs::file_size(mDb), kMinimumSize);
    std::vector<DataLoggerDataPoint> newest;
    ASSERT_EQ(storage->getData(newest, "a", 0, std::chrono::microseconds(0), 1), Code::NoError);
    EXPECT_EQ(newest.at(0).timestamp(), atMicros(40000));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
