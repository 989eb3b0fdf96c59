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

TEST_F(StorageLifecycle, FileThatIsNoDatabaseIsMovedAside) {
    const auto damagedCopies = [this] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(mDir.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("test.db.damaged-", 0) == 0) names.push_back(name);
        }
        return names;
    };
    for (char filler : {'x', 'y'}) {
        writeFile(mDb, std::string(8192, filler));
        writeFile(mDb + "-journal", "old journal");
        LogCapture log;
        auto storage = makeStorage();
        ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
        EXPECT_TRUE(log.contains(log::Critical, "was moved aside to " + mDb + ".damaged-"));
        EXPECT_EQ(storage->registerOrUpdateChannel(channel("a")), Code::NoError);
        storage->finalize();
        EXPECT_EQ(::datalogger::test::readFile(mDb).substr(0, 15), "SQLite format 3");
    }
    // Only the newest copy is kept, and no journal of the old file is left beside the new one.
    const auto copies = damagedCopies();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(::datalogger::test::readFile(mDir.file(copies[0])), std::string(8192, 'y'));
    EXPECT_FALSE(fs::exists(mDb + "-journal"));
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

// Rows as producers write them: 8-byte time stamps, values that do not compress, two channels.
void fillRealistically(const std::string& db, const std::vector<uint64_t>& hashes, int rows) {
    RawDb(db).exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows) + ") INSERT INTO data SELECT CASE WHEN i % 10 = 0 THEN " +
        std::to_string(static_cast<int64_t>(hashes[1])) + " ELSE " +
        std::to_string(static_cast<int64_t>(hashes[0])) +
        " END, 1765000000000000 + i * 1000, random() / 1e9 FROM n;");
}

class ShrinkingStorage : public StorageLifecycle {
  protected:
    void SetUp() override {
        auto storage = makeStorage();
        ASSERT_EQ(storage->initializeStorage(4 * kMinimumSize, mDb, false), Code::NoError);
        for (const auto& info : {mBusy, mRare}) {
            ASSERT_EQ(storage->registerOrUpdateChannel(info), Code::NoError);
        }
        storage->finalize();
        fillRealistically(mDb, {mBusy.channelHash(), mRare.channelHash()}, 55000);
        RawDb raw(mDb);
        mRows = raw.scalar("SELECT COUNT(*) FROM data");
        mBytes = raw.scalar("PRAGMA page_count") * raw.scalar("PRAGMA page_size");
        ASSERT_GT(mBytes, 3 * kMinimumSize);
    }
    int64_t rows() { return RawDb(mDb).scalar("SELECT COUNT(*) FROM data"); }
    int64_t newest() { return RawDb(mDb).scalar("SELECT MAX(timestamp) FROM data"); }

    const DataLoggerStorageChannelInfo mBusy = channel("busy");
    const DataLoggerStorageChannelInfo mRare = channel("rare");
    int64_t mRows = 0;
    int64_t mBytes = 0;
};

TEST_F(ShrinkingStorage, LoweredSizeKeepsWhatFitsAndTheNewestRows) {
    const int64_t before = newest();
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(2 * kMinimumSize, mDb, false), Code::NoError);
    storage->finalize();
    EXPECT_LE(fs::file_size(mDb), 2 * kMinimumSize);
    const double fits = static_cast<double>(mRows) * 2 * kMinimumSize / mBytes;
    EXPECT_GE(rows(), 0.9 * fits) << "of " << mRows << " rows in " << mBytes << " bytes";
    EXPECT_EQ(newest(), before);
}

// A VACUUM that fails must not leave the file without a limit: it is held at its size until a
// later reclaim succeeds.
TEST_F(ShrinkingStorage, FailedVacuumHoldsThePresentSizeUntilAReclaimSucceeds) {
    class VacuumFails : public DataLoggerStorageSQLite {
      public:
        VacuumFails()
            : log::Logger("DataLoggerStorageSQLite", "", std::make_shared<log::LoggerImpl>()),
              DataLoggerStorageSQLite(scriptsDir(), kMinimumSize, kMaximumSize, {}) {}
        Code execute(const std::string& sql) override {
            if (mFail && sql == "VACUUM;") return Code::StorageError;
            return DataLoggerStorageSQLite::execute(sql);
        }
        bool mFail = true;
    };
    VacuumFails storage;
    LogCapture log;
    EXPECT_NE(storage.initializeStorage(2 * kMinimumSize, mDb, false), Code::NoError);
    EXPECT_TRUE(log.contains(log::Critical, "could not be shrunk"));
    const auto pages = [this] { return RawDb(mDb).scalar("PRAGMA page_count"); };
    const int64_t held = pages();
    for (int64_t i = 1; i <= 3000; ++i) {
        ASSERT_EQ(storage.setData(mBusy.channelHash(),
                                  {DataLoggerDataPoint(1, atMicros(1765000000000000 + mRows * 1000 + i))}),
                  Code::NoError);
    }
    EXPECT_LE(pages(), held);

    storage.mFail = false;
    ASSERT_EQ(storage.removeDataEntries(1, true), Code::NoError);
    EXPECT_TRUE(log.contains(log::Info, "is held at its limit of 512 pages again"));
    storage.finalize();
    EXPECT_LE(fs::file_size(mDb), 2 * kMinimumSize);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
