#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "core/DataLoggerNames.h"
#include "support/storage_sqlite_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::LogCapture;
using ::datalogger::test::writeFile;
using namespace ::datalogger::test;
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
        return thrown([&] { makeStorage(scripts)->initializeStorage(kMinimumSize, mDb, false); });
    }

    RamDir mDir;
    std::string mDb = mDir.file("test.db");
};

// That opening a current file analyses it again is the read-plans test's; that the channel
// columns are in the order the statements read them, the round-trip test's.
TEST_F(StorageLifecycle, NewFileRunsEveryScriptInOrderThenAnalyzesAndCurrentFileRunsNone) {
    for (int open = 0; open < 2; ++open) {
        ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    }
    RawDb raw(mDb);
    EXPECT_EQ(raw.scalar("SELECT * FROM schemaVersion ORDER BY ROWID LIMIT 1"), 5);
    EXPECT_EQ(raw.rows("SELECT fromVersion, toVersion FROM schemaHistory ORDER BY id"),
              (std::vector<std::string>{"0|1", "1|2", "2|3", "3|4", "4|5"}));
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'sqlite_stat1'"), 1);
    // The scripts' tables of units and storage types match the name tables.
    const auto rows = [](const auto& entries) {
        std::vector<std::string> out;
        for (const auto& [name, id] : entries) out.push_back(std::to_string(int(id)) + "|" + name);
        return out;
    };
    EXPECT_EQ(raw.rows("SELECT id, name FROM unit ORDER BY id"),
              rows(utils::EnumNames<DataLoggerUnit>::entries()));
    EXPECT_EQ(raw.rows("SELECT id, name FROM storageType ORDER BY id"),
              rows(utils::EnumNames<DataLoggerStorageType>::entries()));
}

// Start-up ends at a missing script, and a script failing half-way is undone whole: the file
// stays at the last version a script completed.
TEST_F(StorageLifecycle, BrokenScriptsThrowAndLeaveTheLastCompletedVersion) {
    const std::string scripts = copyScripts();
    const std::string missing = scripts + "/migration_2_3.sql";
    fs::remove(missing);
    EXPECT_EQ(failingInit(scripts), "The requested script (" + missing + ") could not be found");
    EXPECT_EQ(RawDb(mDb).scalar("SELECT version FROM schemaVersion"), 2);
    fs::copy(scriptsDir() + "/migration_2_3.sql", missing);
    writeFile(scripts + "/migration_3_4.sql",
              "BEGIN TRANSACTION;\n"
              "CREATE INDEX halfWay ON data (value);\n"
              "UPDATE schemaVersion SET version = 4;\n"
              "INSERT INTO noSuchTable VALUES (1);\n"
              "COMMIT;\n");
    EXPECT_EQ(failingInit(scripts), "Migration script could not be executed.");
    RawDb raw(mDb);
    EXPECT_EQ(raw.scalar("SELECT version FROM schemaVersion"), 3);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name = 'halfWay'"), 0);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM schemaHistory"), 3);
}

TEST_F(StorageLifecycle, FileThatIsNoDatabaseIsMovedAside) {
    for (char filler : {'x', 'y'}) {
        writeFile(mDb, std::string(8192, filler));
        writeFile(mDb + "-journal", "old journal");
        ASSERT_EQ(makeStorage()->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
        EXPECT_EQ(::datalogger::test::readFile(mDb).substr(0, 15), "SQLite format 3");
    }
    // Only the newest copy is kept, and no journal of the old file is left beside the new one.
    std::vector<std::string> copies;
    for (const auto& entry : fs::directory_iterator(mDir.path())) {
        if (entry.path().string().rfind(mDb + ".damaged-", 0) == 0) copies.push_back(entry.path());
    }
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(::datalogger::test::readFile(copies[0]), std::string(8192, 'y'));
    EXPECT_FALSE(fs::exists(mDb + "-journal"));
}

// A refused initialisation opens nothing and leaves every operation refused.
TEST_F(StorageLifecycle, SizesAndConstructionAreCheckedBeforeOpening) {
    auto storage = makeStorage();
    EXPECT_EQ(storage->initializeStorage(kMinimumSize - 1, mDb, false), Code::SizeBelowMinimum);
    EXPECT_EQ(storage->initializeStorage(kMaximumSize + 1, mDb, false), Code::SizeAboveMaximum);
    DataLoggerStorageSQLite noScripts(mDir.file("missing"), kMinimumSize, kMaximumSize, {});
    DataLoggerStorageSQLite inverted(scriptsDir(), kMaximumSize, kMinimumSize, {});
    EXPECT_EQ(noScripts.initializeStorage(kMinimumSize, mDb, false), Code::StorageError);
    EXPECT_EQ(inverted.initializeStorage(kMaximumSize, mDb, false), Code::StorageError);
    EXPECT_FALSE(fs::exists(mDb));
    DataLoggerStorageChannelInfo info;
    std::vector<DataLoggerStorageChannelInfo> infos;
    std::vector<DataLoggerDataPoint> points;
    std::string newPath;
    uint64_t newHash = 0;
    for (Code code : {storage->getChannel("a", info), storage->getChannel(uint64_t{1}, info),
                      storage->getChannels(infos), storage->registerOrUpdateChannel(channel("a")),
                      storage->archiveChannel("a", newPath, newHash),
                      storage->archiveChannel(uint64_t{1}, newPath, newHash),
                      storage->setData(1, {DataLoggerDataPoint(1.0, atMicros(1))}),
                      storage->getData(points, "a", 0, std::chrono::microseconds(0), 0),
                      storage->createLog(mDir.path(), 0), storage->clear()}) {
        EXPECT_EQ(code, Code::StorageNotInitialized);
    }
    EXPECT_EQ(storage->initializeStorage(kMaximumSize, mDb, false), Code::NoError);
}

TEST_F(StorageLifecycle, ClearKeepsHistoryAndRebuildsTheSchema) {
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(kMinimumSize, mDb, false), Code::NoError);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);
    ASSERT_EQ(storage->clear(), Code::NoError);

    std::vector<DataLoggerStorageChannelInfo> infos;
    EXPECT_EQ(storage->getChannels(infos), Code::NotFound);
    EXPECT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);
    RawDb raw(mDb);
    EXPECT_EQ(raw.rows("SELECT fromVersion, toVersion, comment FROM schemaHistory WHERE id = 6"),
              std::vector<std::string>{"5|0|Database has been cleared."});
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM schemaHistory"), 11);
}

// A file of an earlier version, with larger pages, takes the page size of new files at its next
// VACUUM, and its limit still holds the bytes of its Size: neither fewer nor more.
TEST_F(StorageLifecycle, LargerPagesChangeAtTheNextReclaimAndTheLimitKeepsItsBytes) {
    RawDb(mDb).exec("PRAGMA page_size=4096; CREATE TABLE made(x); DROP TABLE made;");
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(2 * kMinimumSize, mDb, false), Code::NoError);
    EXPECT_EQ(RawDb(mDb).scalar("PRAGMA page_size"), 4096);
    ASSERT_EQ(storage->removeDataEntries(1, true), Code::NoError);
    EXPECT_EQ(RawDb(mDb).scalar("PRAGMA page_size"), 512);
    const auto a = channel("a");
    ASSERT_EQ(storage->registerOrUpdateChannel(a), Code::NoError);
    std::mt19937_64 rng(5);
    std::vector<DataLoggerChannelPoint> items(1);
    items[0].mHash = a.channelHash();
    for (int64_t i = 1; i <= 300000; ++i) {  // about 3 MB of values that do not compress
        items[0].mPoints.emplace_back(std::ldexp(static_cast<double>(rng()), -40),
                                      atMicros(1765000000000000 + i * 1000));
        if (i % 5000 != 0) continue;
        std::vector<size_t> stored;
        ASSERT_EQ(storage->setDataBatch(items, stored), Code::NoError);
        items[0].mPoints.clear();
    }
    storage->finalize();
    EXPECT_LE(fs::file_size(mDb), 2 * kMinimumSize);
    EXPECT_GE(fs::file_size(mDb), 3 * kMinimumSize / 2);
}

class ShrinkingStorage : public StorageLifecycle {
protected:
    void SetUp() override {
        auto storage = makeStorage();
        ASSERT_EQ(storage->initializeStorage(4 * kMinimumSize, mDb, false), Code::NoError);
        for (const auto& info : {mBusy, mRare}) {
            ASSERT_EQ(storage->registerOrUpdateChannel(info), Code::NoError);
        }
        // Values that do not compress, as producers of full-precision readings write them.
        std::mt19937_64 rng(3);
        std::vector<DataLoggerChannelPoint> items(2);
        items[0].mHash = mBusy.channelHash();
        items[1].mHash = mRare.channelHash();
        for (int64_t i = 1; i <= 330000; ++i) {
            items[i % 10 == 0 ? 1 : 0].mPoints.emplace_back(
                std::ldexp(static_cast<double>(rng()), -40), atMicros(1765000000000000 + i * 1000));
            if (i % 5000 == 0) {
                std::vector<size_t> stored;
                ASSERT_EQ(storage->setDataBatch(items, stored), Code::NoError);
                for (auto& item : items) item.mPoints.clear();
            }
        }
        mRows = held(*storage);
        storage->finalize();
        RawDb raw(mDb);
        mBytes = raw.scalar("PRAGMA page_count") * raw.scalar("PRAGMA page_size");
        ASSERT_GT(mBytes, 5 * kMinimumSize / 2);
    }
    static int64_t held(DataLoggerStorageSQLite& storage) {
        DataLoggerDatabaseStatus status;
        storage.describe(status);
        return status.rows.value_or(-1);
    }
    int64_t newest() {
        return RawDb(mDb).scalar(
            "SELECT max((SELECT max(lastTime) FROM block), (SELECT max(timestamp) FROM tail))");
    }

    const DataLoggerStorageChannelInfo mBusy = channel("busy");
    const DataLoggerStorageChannelInfo mRare = channel("rare");
    int64_t mRows = 0;
    int64_t mBytes = 0;
};

TEST_F(ShrinkingStorage, LoweredSizeKeepsWhatFitsAndTheNewestRows) {
    const int64_t before = newest();
    auto storage = makeStorage();
    ASSERT_EQ(storage->initializeStorage(2 * kMinimumSize, mDb, false), Code::NoError);
    const int64_t kept = held(*storage);
    storage->finalize();
    EXPECT_LE(fs::file_size(mDb), 2 * kMinimumSize);
    const double fits = static_cast<double>(mRows) * 2 * kMinimumSize / mBytes;
    EXPECT_GE(kept, 0.9 * fits) << "of " << mRows << " points in " << mBytes << " bytes";
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
        ASSERT_EQ(storage.setData(
                      mBusy.channelHash(),
                      {DataLoggerDataPoint(1, atMicros(1765000000000000 + mRows * 1000 + i))}),
                  Code::NoError);
    }
    EXPECT_LE(pages(), held);

    storage.mFail = false;
    ASSERT_EQ(storage.removeDataEntries(1, true), Code::NoError);
    EXPECT_TRUE(log.contains(log::Info, "is held at its limit of 4096 pages again"));
    storage.finalize();
    EXPECT_LE(fs::file_size(mDb), 2 * kMinimumSize);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
