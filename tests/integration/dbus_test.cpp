// The data logger service and the device-log contributor on a private system bus, called by
// the real command-line clients.
#include <giomm/dbusintrospection.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/DataLoggerCore.h"
#include "inputs/dbus/DataloggerDBusService.h"
#include "platform/DeviceLogContributor.h"
#include "storage/DataLoggerStorageConfig.h"
#include "support/fakes.h"
#include "support/private_bus.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::ClientResult;
using ::datalogger::test::LogCapture;
using ::datalogger::test::PrivateBus;
using ::datalogger::test::runClient;
using ::datalogger::test::runMainContextUntil;
using std::chrono::seconds;

const char* const kName = "com.quorix.datalogger.daemon";
const char* const kPath = "/com/quorix/datalogger/daemon";
const char* const kInterface = "com.quorix.datalogger.interface";

std::vector<std::string> call(const std::string& method, std::vector<std::string> args,
                              const std::string& dest = kName, const std::string& path = kPath,
                              const std::string& interface = kInterface) {
    std::vector<std::string> argv{"gdbus",  "call",     "--system",
                                  "--dest", dest,       "--object-path",
                                  path,     "--method", interface + "." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// dbus-send types every argument itself: the way to send a wrong signature on purpose.
std::vector<std::string> send(const std::string& method, std::vector<std::string> args) {
    args.insert(args.begin(),
                {"dbus-send", "--system", "--print-reply", std::string("--dest=") + kName, kPath,
                 std::string(kInterface) + "." + method});
    return args;
}

ClientResult gdbusCall(const std::string& method, std::vector<std::string> args) {
    return runClient(call(method, std::move(args)));
}

bool hasOwner(const std::string& name) {
    return runClient(call("NameHasOwner", {name}, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus"))
               .output == "(true,)\n";
}

using ::datalogger::test::RecordingPush;

class DBusServiceTest : public ::testing::Test {
protected:
    void start(std::shared_ptr<DataLoggerPushDataIfc> push) {
        mService = std::make_unique<DataloggerDBusService>(std::move(push), "daemon",
                                                           Gio::DBus::BUS_TYPE_SYSTEM);
        ASSERT_TRUE(runMainContextUntil([this] { return mService->isNameAcquired(); }));
    }
    void TearDown() override { mService.reset(); }

    LogCapture mLog;
    PrivateBus mBus;
    std::unique_ptr<DataloggerDBusService> mService;
};

// A wrong signature, an unknown method and a core that throws each get a clear answer, and the
// next call is served.
TEST_F(DBusServiceTest, FailingCallsGetAClearAnswerAndTheNextCallIsServed) {
    auto push = std::make_shared<RecordingPush>();
    start(push);
    struct Case {
        std::vector<std::string> client;
        const char* fakeThrows;
        std::vector<std::string> expectedOutput;
    };
    const Case cases[] = {{send("pushData", {"string:1", "array:double:1.0", "array:int64:5"}),
                           "",
                           {"org.freedesktop.DBus.Error.InvalidArgs"}},
                          {send("pushNothing", {"uint64:1"}),
                           "",
                           {"org.freedesktop.DBus.Error.UnknownMethod", "Method does not exist."}},
                          {call("pushData", {"1", "[1.0]", "[5]"}),
                           "Not yet initialized",
                           {"org.freedesktop.DBus.Error.Failed", "Not yet initialized"}},
                          {call("registerOrUpdateChannel", {"a/b", "4", "1", "0", "2", "d", "0"}),
                           "storage gone",
                           {"org.freedesktop.DBus.Error.Failed: storage gone"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.client[0] + " " + c.client.back());
        push->mThrow = c.fakeThrows;
        ClientResult result = runClient(c.client);
        EXPECT_NE(result.status, -1);
        for (const auto& text : c.expectedOutput) {
            EXPECT_NE(result.output.find(text), std::string::npos) << result.output;
        }
        push->mThrow.clear();
        EXPECT_EQ(gdbusCall("pushData", {"1", "[1.0]", "[5]"}).output, "(uint16 0,)\n");
    }
}

TEST_F(DBusServiceTest, ShutdownReleasesTheNameOnceAndWithdrawsTheObject) {
    start(std::make_shared<RecordingPush>());
    mService.reset();
    EXPECT_EQ(mLog.count(std::string("onNameLost: name = '") + kName + "'"), 1u);
    EXPECT_FALSE(hasOwner(kName));
    // Registering the same interface at the same path fails while anything is still exported.
    auto node = Gio::DBus::NodeInfo::create_for_xml(std::string("<node><interface name='") +
                                                    kInterface + "'/></node>");
    Gio::DBus::InterfaceVTable vtable(
        [](const Glib::RefPtr<Gio::DBus::Connection>&, const Glib::ustring&, const Glib::ustring&,
           const Glib::ustring&, const Glib::ustring&, const Glib::VariantContainerBase&,
           const Glib::RefPtr<Gio::DBus::MethodInvocation>&) {});
    guint id = 0;
    EXPECT_NO_THROW(
        id = mBus.connection()->register_object(kPath, node->lookup_interface(), vtable));
    if (id != 0) mBus.connection()->unregister_object(id);
}

// Pushes 100,000 points a call to argv[1] until refused, then one point to argv[2] and one
// call of 1,000,001 points; prints the number of accepted calls and each later answer.
const char* const kFloodClient = R"(
import array, sys, gi
gi.require_version('Gio', '2.0')
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SYSTEM)
def fixed(kind, code, items):
    data = GLib.Bytes(array.array(code, items).tobytes())
    return GLib.Variant.new_from_bytes(GLib.VariantType('a' + kind), data, True)
def push(hash, n):
    args = GLib.Variant.new_tuple(GLib.Variant('t', hash), fixed('d', 'd', [1.0] * n),
                                  fixed('x', 'q', range(n)))
    try:
        return str(bus.call_sync('com.quorix.datalogger.daemon', '/com/quorix/datalogger/daemon',
                                 'com.quorix.datalogger.interface', 'pushData', args,
                                 GLib.VariantType('(q)'), 0, 30000, None).unpack()[0])
    except GLib.Error as e:
        return e.message
accepted = 0
while accepted < 100 and (answer := push(int(sys.argv[1]), 100000)) == '0':
    accepted += 1
print(accepted)
print(answer)
print(push(int(sys.argv[2]), 1))
print(push(int(sys.argv[1]), 1000001))
)";

// The service over the core whose writer is stuck in a write, as on a stalled database: a flood of
// large pushes fills the queue up to its bound and no further, small producers go on, and the
// queue drains into the storage once the writer moves again.
TEST_F(DBusServiceTest, QueueBoundRefusesAFloodButNotSmallPushesAndDrainsAfterwards) {
    ::datalogger::test::TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms::group_all,
                                 std::filesystem::perm_options::add);
    auto storage = std::make_shared<::datalogger::test::FakeStorage>();
    auto core = std::make_shared<DataLoggerCore>(
        std::make_shared<::datalogger::test::FakePeriodicCallerManager>(), storage,
        std::make_shared<::datalogger::test::FakeStorage>(),
        std::make_shared<DataLoggerStorageConfig>(2097152, "/v.db", 2097152, "/nv.db"), nullptr,
        nullptr);
    core->setDfrmSocketPath(dir.file("dfrm.socket"));
    core->initialize();
    start(core);
    uint64_t flooded = 0;
    uint64_t small = 0;
    for (auto [path, hash] : {std::pair{"flood/a", &flooded}, std::pair{"flood/b", &small}}) {
        ASSERT_EQ(
            core->registerOrUpdateChannel(
                DataLoggerChannelInfo::withDefaults(
                    path, DataLoggerUnit::Volt, DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                    DataLoggerStorageType::Volatile, "d"),
                *hash),
            DataLoggerStatusCode::NoError);
    }
    storage->holdWrites(true);
    ASSERT_EQ(core->pushData(small, {DataLoggerDataPoint(0, TimePoint())}),
              DataLoggerStatusCode::NoError);
    ASSERT_TRUE(storage->waitForHeldWrite(std::chrono::milliseconds(10000)));

    ClientResult flood = runClient(
        {"/usr/bin/python3", "-c", kFloodClient, std::to_string(flooded), std::to_string(small)},
        60000);
    const std::string refused =
        "GDBus.Error:org.freedesktop.DBus.Error.LimitsExceeded: pushData of ";
    EXPECT_EQ(flood.output,
              "19\n" + refused +
                  "100000 points refused: 1900000 points are queued, the bound is 1980000 for a "
                  "call of this size (2000000 for calls of at most 1000 points)\n0\n" +
                  refused + "1000001 points refused: one call may carry at most 1000000 points\n");
    EXPECT_TRUE(mLog.contains(log::Warning,
                              "pushData refused 1 call(s): the queue holds 1900000 points, its "
                              "bound is 2000000"));
    EXPECT_LE(mLog.count("pushData refused"), 2u);

    storage->holdWrites(false);
    EXPECT_EQ(gdbusCall("pushData", {std::to_string(flooded), "[2.0]", "[3]"}).output,
              "(uint16 0,)\n");
    const size_t expected = 1 + 1900000 + 1 + 1;
    const auto deadline = std::chrono::steady_clock::now() + seconds(30);
    while (storage->pointsWritten() < expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(storage->pointsWritten(), expected);
    EXPECT_EQ(core->queuedPoints(), 0u);
    mService.reset();
    core->stop();
}

const char* const kPluginName = "com.quorix.utils.logplugin.datalogger";
const char* const kPluginPath = "/com/quorix/utils/logplugin";
const char* const kPluginInterface = "com.quorix.utils.logplugin.interface";

ClientResult createLog(const std::string& path, int type = 0, int id = 7) {
    return runClient(call("createLog", {path, std::to_string(type), std::to_string(id)},
                          kPluginName, kPluginPath, kPluginInterface));
}

// Records the log plug-in's finished signals, on a connection of its own.
class FinishedListener {
public:
    explicit FinishedListener(const std::string& address)
        : mConnection(Gio::DBus::Connection::create_for_address_sync(
              address, Gio::DBus::CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                           Gio::DBus::CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION)) {
        mConnection->signal_subscribe(
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
        mConnection->call_sync("/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId", {},
                               "org.freedesktop.DBus");
    }
    ~FinishedListener() { mConnection->close_sync(); }

    bool waitFor(size_t count) {
        return runMainContextUntil([&] { return mFinished.size() >= count; });
    }

    std::vector<std::pair<std::string, int>> mFinished;  // main context only

private:
    Glib::RefPtr<Gio::DBus::Connection> mConnection;
};

class DeviceLogContributorThread : public ::testing::Test {
protected:
    void start(DeviceLogContributor::Callback callback) {
        mContributor = std::make_unique<DeviceLogContributor>(std::move(callback), "datalogger",
                                                              Gio::DBus::BUS_TYPE_SYSTEM);
        ASSERT_TRUE(runMainContextUntil([] { return hasOwner(kPluginName); }));
    }

    LogCapture mLog;
    PrivateBus mBus;
    FinishedListener mListener{mBus.address()};
    std::vector<std::pair<std::string, int>>& mFinished = mListener.mFinished;
    std::unique_ptr<DeviceLogContributor> mContributor;
};

// An export that throws finishes with status 1.
TEST_F(DeviceLogContributorThread, ServesItsNameRefusesRelativePathsAndReleasesTheNameAtShutdown) {
    std::atomic<int> calls{0};
    start([&](const std::string&, int, int) {
        ++calls;
        throw std::runtime_error("disk gone");
    });
    EXPECT_EQ(createLog("/nowhere").output, "()\n");
    ASSERT_TRUE(mListener.waitFor(1));
    EXPECT_EQ(mFinished[0], std::make_pair(std::string("/nowhere"), 1));
    ClientResult name = runClient(call("Get", {kPluginInterface, "Name"}, kPluginName, kPluginPath,
                                       "org.freedesktop.DBus.Properties"));
    EXPECT_EQ(name.output, "(<'datalogger'>,)\n");
    const std::string relative = createLog("relative/dir").output;
    EXPECT_NE(relative.find("org.freedesktop.DBus.Error.InvalidArgs"), std::string::npos)
        << relative;
    mContributor.reset();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(hasOwner(kPluginName));
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
    ASSERT_TRUE(mListener.waitFor(9));
    EXPECT_EQ(mFinished.front().first, "/first");
    EXPECT_EQ(mFinished.back().first, "/queued");
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
