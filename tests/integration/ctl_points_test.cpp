#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>

#include "storage/DataLoggerSQLiteHandles.h"
#include "storage/PointStore.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

namespace fs = boost::filesystem;
using ::datalogger::test::ChildProcess;
using ::datalogger::test::sourceDir;
using ::datalogger::test::TempDir;

constexpr int64_t kStart = 1700000000000000;  // 2023-11-14T22:13:20Z
constexpr int64_t kDups = 7, kMany = -3;      // channel hashes; -3 stands for a hash above 2^63

using Points = std::vector<std::pair<int64_t, double>>;  // time in µs, value

// Databases built by the migration scripts and written through PointStore, as the daemon
// leaves them: closed blocks, open blocks in the tail, and points that arrived out of order.
class CtlPoints : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(mDir.file("storage.conf"))
            << R"({"volatile": {"Size": 4194304, "Path": ")" << mDir.file("v.db")
            << R"("}, "nonvolatile": {"Size": 268435456, "Path": ")" << mDir.file("nv.db")
            << R"("}})";
    }

    // Up to and including the migration to `version`, with the test's channels.
    void create(const std::string& name, int version) {
        SQLiteConnection db;
        ASSERT_EQ(db.open(mDir.file(name), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), SQLITE_OK);
        for (int to = 1; to <= version; ++to) {
            std::ifstream file(sourceDir() + "/dbscripts/sqlite/migration_" +
                               std::to_string(to - 1) + "_" + std::to_string(to) + ".sql");
            std::stringstream sql;
            sql << file.rdbuf();
            ASSERT_EQ(sqlite3_exec(db.get(), sql.str().c_str(), nullptr, nullptr, nullptr),
                      SQLITE_OK)
                << sqlite3_errmsg(db.get());
        }
        ASSERT_EQ(sqlite3_exec(db.get(),
                               "INSERT INTO channel (hash, path, unitID, storageTypeID) VALUES "
                               "(7, 't/dups', 1, 2), (-3, 't/many', 0, 2), (9, 't/none', 0, 2);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }

    // Appends in transactions of 1000 points, in the given order.
    void write(uint64_t hash, const Points& points) {
        SQLiteConnection db;
        ASSERT_EQ(db.open(mDir.file("nv.db"), SQLITE_OPEN_READWRITE), SQLITE_OK);
        const log::Logger logger("test", "", std::make_shared<log::LoggerImpl>());
        PointStore store(db.get(), logger);
        ASSERT_EQ(store.load(), SQLITE_OK);
        for (size_t i = 0; i < points.size();) {
            ASSERT_EQ(sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
            for (size_t end = std::min(points.size(), i + 1000); i < end; ++i) {
                ASSERT_EQ(store.append(hash, DataLoggerDataPoint(points[i].second,
                                                                 fromMicros(points[i].first))),
                          SQLITE_DONE);
            }
            ASSERT_EQ(store.prepareCommit(), SQLITE_DONE);
            ASSERT_EQ(sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
            store.committed();
        }
    }

    std::string ctl(std::vector<std::string> args, int& status) {
        std::vector<std::string> argv{DATALOGGER_CTL_ARGV};
        args.insert(args.end(), {"--storage", mDir.file("storage.conf")});
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess process(argv, mDir.file("ctl.out"));
        status = process.wait(60000);
        return process.output();
    }

    // The (time, value) pairs of an export's CSV lines, or of a failed run nothing.
    Points exported(const std::vector<std::string>& args) {
        int status = -1;
        std::istringstream lines(ctl(args, status));
        EXPECT_EQ(status, 0);
        Points points;
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::vector<std::string> fields;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell);
            if (fields.size() != 5) {
                ADD_FAILURE() << "not a CSV row: " << line;
                break;
            }
            points.emplace_back(std::stoll(fields[2]), std::stod(fields[3]));
        }
        return points;
    }

    TempDir mDir;
};

// Three points per time stamp, so that chunks of 10,000 end inside a time stamp, and a hundred
// older points that arrive last: an export must give each point once, in time order and, within
// a time stamp, in arrival order, whatever part of it lies in blocks or in the tail.
TEST_F(CtlPoints, ExportGivesEveryPointOnceInOrderAcrossChunks) {
    create("nv.db", 5);
    create("v.db", 5);
    Points dups, late;
    for (int i = 0; i < 25001; ++i) dups.emplace_back(kStart + (i / 3) * 10, i);
    for (int i = 0; i < 100; ++i) late.emplace_back(kStart - 5000000 + i, 100000 + i);
    write(kDups, dups);
    write(kDups, late);
    Points many;
    for (int i = 0; i < 1500; ++i) many.emplace_back(kStart + i, -i);
    write(static_cast<uint64_t>(kMany), many);

    Points expected = late;
    expected.insert(expected.end(), dups.begin(), dups.end());
    EXPECT_EQ(exported({"export", "t/dups"}), expected);
    EXPECT_EQ(exported({"export", "t/many"}), many);

    // From the fourth time stamp to the 5001st, both inside the range's first and last chunk.
    const Points range(dups.begin() + 9, dups.begin() + 15003);
    EXPECT_EQ(exported({"export", "t/dups", "--from", "2023-11-14T22:13:20.000030Z", "--to",
                        "2023-11-14T22:13:20.050000Z"}),
              range);

    int status = -1;
    const std::string channels = ctl({"channels", "t/*"}, status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(channels.find("t/dups  Percent  NonVolatile  25101"), std::string::npos) << channels;
    EXPECT_NE(channels.find("t/many  None     NonVolatile  1500 "), std::string::npos) << channels;
    EXPECT_NE(channels.find("t/none  None     NonVolatile  0 "), std::string::npos) << channels;
    const std::string latest = ctl({"latest", "t/dups"}, status);
    EXPECT_NE(latest.find("t/dups  25000  Percent  2023-11-14T22:13:20.083330Z"), std::string::npos)
        << latest;
}

TEST_F(CtlPoints, ADatabaseInTheFormatBeforeBlocksIsNamed) {
    create("nv.db", 4);
    create("v.db", 5);
    int status = -1;
    const std::string out = ctl({"channels"}, status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find(mDir.file("nv.db") + ": holds points in the format before blocks"),
              std::string::npos)
        << out;
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
