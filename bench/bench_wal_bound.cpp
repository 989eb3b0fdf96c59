// Usage: bench_wal_bound [DIRECTORY...]   (default: /dev/shm /var/tmp)
// How far a database of Size = 4 MiB and the files beside it grow on disk, against the storage's
// bound of Size + 1 MiB. In a fresh folder under each DIRECTORY, a second thread samples the
// sizes of the database file, its -wal and its -journal every millisecond while
//   (a) points are written one per setData call until the database has filled and deleted its
//       oldest rows ten times;
//   (b) writing goes on while another connection holds a read transaction open for 10 s (the
//       log cannot be checkpointed past that reader); the rows acknowledged are counted back;
//   (c) removeDataEntries(a tenth of the points, true) deletes and vacuums the full database; as
//       many points in the oldest blocks are deleted and VACUUMed through a bare connection on a
//       copy in rollback-journal mode.
// Prints the peak of the sum in each case. Measures only: nothing here fails on a figure.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/Logger.h"
#include "storage/DataLoggerSQLiteHandles.h"
#include "storage/PointStore.h"

using namespace datalogger::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kSize = 4u << 20;
constexpr uint32_t kMinimumSize = 1u << 20;
constexpr long kBound = kSize + (1 << 20);
constexpr int kDeletions = 10;
constexpr auto kReaderHold = std::chrono::seconds(10);
constexpr int kRowsAfterReader = 2000;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_wal_bound: %s\n", what.c_str());
    std::exit(1);
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// Samples file, file-wal and file-journal every millisecond from its own thread until stopped;
// keeps the sample with the largest sum.
class SizeSampler {
public:
    explicit SizeSampler(std::string file) : mFile(std::move(file)) {
        mThread = std::thread([this] {
            while (!mStop) {
                const long db = fileSize(mFile);
                const long wal = fileSize(mFile + "-wal");
                const long journal = fileSize(mFile + "-journal");
                if (db + wal + journal > mDb + mWal + mJournal) {
                    mDb = db;
                    mWal = wal;
                    mJournal = journal;
                }
                mWalPeak = std::max(mWalPeak, wal);
                ++mSamples;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~SizeSampler() { stop(); }
    void stop() {
        mStop = true;
        if (mThread.joinable()) mThread.join();
    }
    // "5,120,000 bytes (db 4,194,304 + wal 925,696 + journal 0) = 0.98 of Size + 1 MiB"
    std::string peak() {
        stop();
        char text[200];
        std::snprintf(text, sizeof text,
                      "%s bytes (db %s + wal %s + journal %s) = %.2f of Size + 1 MiB, largest "
                      "wal %s; %ld samples",
                      grouped(mDb + mWal + mJournal).c_str(), grouped(mDb).c_str(),
                      grouped(mWal).c_str(), grouped(mJournal).c_str(),
                      static_cast<double>(mDb + mWal + mJournal) / kBound,
                      grouped(mWalPeak).c_str(), mSamples);
        return text;
    }
    static std::string grouped(long n) {
        std::string digits = std::to_string(n);
        for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
        return digits;
    }

private:
    const std::string mFile;
    std::atomic<bool> mStop{false};
    long mDb = 0, mWal = 0, mJournal = 0, mWalPeak = 0, mSamples = 0;
    std::thread mThread;
};

sqlite3* openBare(const std::string& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        fail("cannot open " + file);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

int64_t readInteger(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK ||
        sqlite3_step(statement) != SQLITE_ROW) {
        fail(sql + ": " + sqlite3_errmsg(db));
    }
    const int64_t value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

// The points of a database as the storage reads them, on a connection of its own.
class Points {
public:
    explicit Points(const std::string& file) : mStore(openConnection(file), logger()) {
        if (mStore.load() != SQLITE_OK) fail("cannot read the points of " + file);
    }
    qd::PointStore::Figures figures() {
        qd::PointStore::Figures figures;
        if (mStore.figures(figures) != SQLITE_OK) fail("cannot count the points");
        return figures;
    }
    // The channel's points newer than `after`.
    int64_t newerThan(uint64_t hash, int64_t after) {
        std::vector<qd::DataLoggerDataPoint> points;
        if (mStore.read(hash, after, 0, 0, points) != SQLITE_OK) fail("cannot read the points");
        return static_cast<int64_t>(points.size());
    }

private:
    static const quorix::pelmo::log::Logger& logger() {
        static const quorix::pelmo::log::Logger logger(
            "bench_wal_bound", "", std::make_shared<quorix::pelmo::log::LoggerImpl>());
        return logger;
    }
    sqlite3* openConnection(const std::string& file) {
        if (mConnection.open(file, SQLITE_OPEN_READWRITE) != SQLITE_OK) fail("cannot open " + file);
        sqlite3_busy_timeout(mConnection.get(), 5000);
        return mConnection.get();
    }
    qd::SQLiteConnection mConnection;  // outlives mStore, which is declared after it
    qd::PointStore mStore;
};

class Run {
public:
    Run(const std::string& folder)
        : mFile(folder + "/wal_bound.db"),
          mChannel(benchChannel("bench/walbound", qd::DataLoggerStorageType::NonVolatile)) {}

    void open(bool registerChannel) {
        mStorage = std::make_unique<qd::DataLoggerStorageSQLite>(
            DATALOGGER_SCRIPTS_DIR, kMinimumSize, kSize, [this] { ++mDeletions; });
        if (mStorage->initializeStorage(kSize, mFile, false) != qd::DataLoggerStatusCode::NoError ||
            (registerChannel &&
             mStorage->registerOrUpdateChannel(mChannel) != qd::DataLoggerStatusCode::NoError)) {
            fail("cannot set up " + mFile);
        }
    }

    // One point; returns how long the call took.
    double write() {
        const auto start = Clock::now();
        ++mStamp;
        const qd::TimePoint stamp{std::chrono::microseconds(mStamp)};
        if (mStorage->setData(mChannel.channelHash(),
                              {qd::DataLoggerDataPoint(static_cast<double>(mStamp), stamp)}) !=
            qd::DataLoggerStatusCode::NoError) {
            fail("setData failed at row " + std::to_string(mStamp));
        }
        return secondsSince(start);
    }

    void steadyWriting() {
        SizeSampler sampler(mFile);
        const auto start = Clock::now();
        int64_t fullAt = 0;
        while (mDeletions < kDeletions) {
            write();
            if (fullAt == 0 && mDeletions > 0) fullAt = mStamp;
        }
        const double seconds = secondsSince(start);
        std::printf(
            "(a) steady writing: %lld rows in %.1f s (%.0f rows/s), full after %lld rows, "
            "then %d deletions of old rows; %lld rows kept\n    peak %s\n",
            static_cast<long long>(mStamp), seconds, mStamp / seconds,
            static_cast<long long>(fullAt), mDeletions.load(),
            static_cast<long long>(Points(mFile).figures().points), sampler.peak().c_str());
    }

    void heldReader() {
        std::atomic<bool> holding{false};
        std::atomic<bool> released{false};
        const int64_t firstStamp = mStamp + 1;
        SizeSampler sampler(mFile);
        std::thread reader([&] {
            sqlite3* db = openBare(mFile);
            sqlite3_stmt* select = nullptr;
            if (sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK ||
                sqlite3_prepare_v2(db, "SELECT ifnull(max(seq), 0) FROM tail;", -1, &select,
                                   nullptr) != SQLITE_OK ||
                sqlite3_step(select) != SQLITE_ROW) {
                fail(std::string("reader: ") + sqlite3_errmsg(db));
            }
            sqlite3_finalize(select);
            holding = true;
            std::this_thread::sleep_for(kReaderHold);
            sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            released = true;
        });
        const auto start = Clock::now();
        double longest = 0;
        double waited = 0;  // in calls of 10 ms or more
        int64_t releasedAt = 0;
        int64_t acknowledged = 0;
        while (releasedAt == 0 || mStamp < releasedAt + kRowsAfterReader) {
            const double call = write();
            ++acknowledged;
            longest = std::max(longest, call);
            if (call >= 0.01) waited += call;
            if (releasedAt == 0 && released) releasedAt = mStamp;
        }
        reader.join();
        const double seconds = secondsSince(start);
        Points points(mFile);
        const uint64_t hash = mChannel.channelHash();
        const int64_t present = points.newerThan(hash, firstStamp - 1);
        const int64_t presentAfter = points.newerThan(hash, releasedAt);
        const int64_t newest = points.figures().newestUs;
        std::printf(
            "(b) a reader holds a read transaction for %lld s while writing: %lld rows "
            "acknowledged in %.1f s, %lld present; of the %lld written after the reader "
            "ended, %lld present; newest row %s the last acknowledged\n    writes waited "
            "%.2f s in all (calls of 10 ms or more), longest call %.2f s\n    peak %s\n",
            static_cast<long long>(kReaderHold.count()), static_cast<long long>(acknowledged),
            seconds, static_cast<long long>(present), static_cast<long long>(mStamp - releasedAt),
            static_cast<long long>(presentAfter), newest == mStamp ? "is" : "is NOT", waited,
            longest, sampler.peak().c_str());
    }

    void vacuum() {
        // The copy is taken from the closed file, which then holds everything.
        mStorage->finalize();
        mStorage.reset();
        const std::string copy = mFile + ".rollback.db";
        removeDatabaseFiles(copy);
        std::filesystem::copy_file(mFile, copy);
        open(false);
        const int64_t rows = Points(mFile).figures().points;
        const auto count = static_cast<uint32_t>(rows / 10);
        // The copy loses as many points, in the oldest blocks.
        const auto blocks = std::max<size_t>(1, count / qd::PointStore::kBlockPoints);

        SizeSampler walSampler(mFile);
        auto start = Clock::now();
        if (mStorage->removeDataEntries(count, true) != qd::DataLoggerStatusCode::NoError) {
            fail("removeDataEntries failed");
        }
        const double walSeconds = secondsSince(start);
        const std::string walPeak = walSampler.peak();
        const long walAfter = fileSize(mFile) + fileSize(mFile + "-wal");

        sqlite3* db = openBare(copy);
        if (sqlite3_exec(db, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr) !=
                SQLITE_OK ||
            readInteger(db,
                        "SELECT COUNT(*) FROM pragma_journal_mode WHERE journal_mode = "
                        "'delete';") != 1) {
            fail("the copy cannot be put into rollback-journal mode");
        }
        SizeSampler rollbackSampler(copy);
        start = Clock::now();
        const std::string sql =
            "DELETE FROM block WHERE id IN (SELECT id FROM block ORDER BY lastTime, id LIMIT " +
            std::to_string(blocks) + "); VACUUM;";
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(std::string("rollback VACUUM: ") + sqlite3_errmsg(db));
        }
        const double rollbackSeconds = secondsSince(start);
        const std::string rollbackPeak = rollbackSampler.peak();
        sqlite3_close(db);
        std::printf(
            "(c) deleting %u of %lld rows and VACUUM of the full database\n"
            "    write-ahead log (removeDataEntries(n, true)): %.2f s, peak %s; "
            "afterwards %s bytes\n"
            "    rollback journal (bare connection, copy): %.2f s, peak %s; afterwards "
            "%s bytes\n",
            count, static_cast<long long>(rows), walSeconds, walPeak.c_str(),
            SizeSampler::grouped(walAfter).c_str(), rollbackSeconds, rollbackPeak.c_str(),
            SizeSampler::grouped(fileSize(copy)).c_str());
        removeDatabaseFiles(copy);
    }

    void close() {
        mStorage->finalize();
        mStorage.reset();
        removeDatabaseFiles(mFile);
    }

private:
    const std::string mFile;
    const qd::DataLoggerStorageChannelInfo mChannel;
    std::unique_ptr<qd::DataLoggerStorageSQLite> mStorage;
    std::atomic<int> mDeletions{0};
    int64_t mStamp = 0;
};

bool onTmpfs(const std::string& directory) {
    struct statfs fs {};
    return ::statfs(directory.c_str(), &fs) == 0 && fs.f_type == 0x01021994;  // TMPFS_MAGIC
}

}  // namespace

int main(int argc, char** argv) {
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Error);
    std::vector<std::string> directories(argv + 1, argv + argc);
    if (directories.empty()) directories = {"/dev/shm", "/var/tmp"};
    for (const auto& directory : directories) {
        std::string folder = directory + "/bench_wal_bound_XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) fail("cannot create a folder in " + directory);
        std::printf("%s (%s): Size %s bytes, Size + 1 MiB = %s bytes\n", directory.c_str(),
                    onTmpfs(directory) ? "tmpfs" : "disk", SizeSampler::grouped(kSize).c_str(),
                    SizeSampler::grouped(kBound).c_str());
        std::fflush(stdout);
        Run run(folder);
        run.open(true);
        run.steadyWriting();
        std::fflush(stdout);
        run.heldReader();
        std::fflush(stdout);
        run.vacuum();
        run.close();
        std::filesystem::remove_all(folder);
        std::printf("\n");
    }
    return 0;
}
