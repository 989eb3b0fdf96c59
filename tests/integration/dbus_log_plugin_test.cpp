// The device-log contributor on a private system bus: requests through gdbus, completion seen
// through a signal subscription on a connection of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "dbus_support.h"
#include "platform/DeviceLogContributor.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::ClientResult;
using ::datalogger::test::LogCapture;
using ::datalogger::test::PrivateBus;
using ::datalogger::test::runClient;
using ::datalogger::test::runMainContextUntil;
using ::datalogger::test::TempDir;

const char* const kPluginName = "com.quorix.utils.logplugin.datalogger";
const char* const kPluginPath = "/com/quorix/utils/logplugin";
const char* const kPluginInterface = "com.quorix.utils.logplugin.interface";

ClientResult createLog(const std::string& path, int type = 0, int id = 7) {
    return runClient(dbustest::call("createLog", {path, std::to_string(type), std::to_string(id)},
                                    kPluginName, kPluginPath, kPluginInterface));
}

class DeviceLogContributorThread : public ::testing::Test {
protected:
    void SetUp() override {
        mListener = Gio::DBus::Connection::create_for_address_sync(
            mBus.address(), Gio::DBus::CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                Gio::DBus::CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
        mListener->signal_subscribe(
            [this](const Glib::RefPtr<Gio::DBus::Connection>&, const Glib::ustring&,
                   const Glib::ustring&, const Glib::ustring&, const Glib::ustring&,
                   const Glib::VariantContainerBase& parameters) {
                const char* path = nullptr;
                gint32 status = -1;
                g_variant_get(const_cast<GVariant*>(parameters.gobj()), "((&si))", &path, &status);
                mFinished.emplace_back(path, status);
            },
            "", kPluginInterface, "finished", kPluginPath);
        // The bus handles one connection's messages in order: once this returns, the match
        // rule is in place and no signal can slip past.
        mListener->call_sync("/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", {},
                             "org.freedesktop.DBus");
    }
    void TearDown() override {
        mContributor.reset();
        mListener->close_sync();
    }

    void start(DeviceLogContributor::Callback callback) {
        mContributor = std::make_unique<DeviceLogContributor>(std::move(callback), "datalogger",
                                                              Gio::DBus::BUS_TYPE_SYSTEM);
        ASSERT_TRUE(runMainContextUntil([] { return dbustest::hasOwner(kPluginName); }));
    }
    bool waitForFinished(size_t count) {
        return runMainContextUntil([&] { return mFinished.size() >= count; });
    }

    LogCapture mLog;
    PrivateBus mBus;
    Glib::RefPtr<Gio::DBus::Connection> mListener;
    std::vector<std::pair<std::string, int>> mFinished;  // main context only
    std::unique_ptr<DeviceLogContributor> mContributor;
};

TEST_F(DeviceLogContributorThread, CopiesBothDatabasesWhileValuesArePushed) {
    dbustest::CoreOnDisk rig;
    auto core = rig.mCore;
    auto info = [](const char* path, DataLoggerStorageType type) {
        return DataLoggerChannelInfo::withDefaults(path, DataLoggerUnit::Kelvin,
                                                   DataLoggerStats(type, 0), type, "");
    };
    const uint64_t hashes[2] = {rig.add(info("v", DataLoggerStorageType::Volatile)),
                                rig.add(info("nv", DataLoggerStorageType::NonVolatile))};
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        for (int64_t i = 1; !stop; ++i) {
            for (uint64_t hash : hashes) {
                core->pushData(hash, {DataLoggerDataPoint(
                                         double(i), TimePoint(std::chrono::microseconds(i)))});
            }
        }
    });
    rig.rows(*rig.mVolatile, "v", 10);
    start([core](const std::string& path, int type, int id) { core->createLog(path, type, id); });

    TempDir target;
    EXPECT_EQ(createLog(target.path(), 1, 42).output, "()\n");
    const bool finished = waitForFinished(1);
    stop = true;
    pusher.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(mFinished[0], std::make_pair(target.path(), 0));
    for (const char* copy :
         {"non_volatile/datalogger_sqlite.db", "volatile/datalogger_sqlite.db"}) {
        ClientResult check = runClient({"sqlite3", target.file(copy),
                                        "PRAGMA integrity_check; SELECT count(*) > 0 FROM data;"});
        EXPECT_EQ(check.output, "ok\n1\n") << copy;
    }
}

TEST_F(DeviceLogContributorThread, AnExportThatThrowsFinishesWithOne) {
    start([](const std::string&, int, int) { throw std::runtime_error("disk gone"); });
    EXPECT_EQ(createLog("/nowhere").output, "()\n");
    ASSERT_TRUE(waitForFinished(1));
    EXPECT_EQ(mFinished[0], std::make_pair(std::string("/nowhere"), 1));
}

TEST_F(DeviceLogContributorThread, ServesItsNameRefusesRelativePathsAndReleasesTheNameAtShutdown) {
    std::atomic<int> calls{0};
    start([&](const std::string&, int, int) { ++calls; });
    ClientResult name = runClient(dbustest::call("Get", {kPluginInterface, "Name"}, kPluginName,
                                                 kPluginPath, "org.freedesktop.DBus.Properties"));
    EXPECT_EQ(name.output, "(<'datalogger'>,)\n");
    const std::string relative = createLog("relative/dir").output;
    EXPECT_NE(relative.find("org.freedesktop.DBus.Error.InvalidArgs"), std::string::npos)
        << relative;
    mContributor.reset();
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(dbustest::hasOwner(kPluginName));
}

TEST_F(DeviceLogContributorThread, AnswersAtOnceAndBoundsTheRequestsWaitingBehindASlowExport) {
    std::mutex mutex;  // guards entered and released
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    start([&](const std::string&, int, int) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    });
    EXPECT_EQ(createLog("/first").output, "()\n");
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(createLog("/queued").output, "()\n") << i;
    const std::string refused = createLog("/one/too/many").output;
    EXPECT_NE(refused.find("org.freedesktop.DBus.Error.LimitsExceeded"), std::string::npos)
        << refused;
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    ASSERT_TRUE(waitForFinished(9));
    EXPECT_EQ(mFinished.front().first, "/first");
    EXPECT_EQ(mFinished.back().first, "/queued");
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
