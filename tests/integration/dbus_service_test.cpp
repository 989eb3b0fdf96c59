// The data logger service on a private system bus, called by the real command-line clients.
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <giomm/dbusintrospection.h>
#include <gtest/gtest.h>

#include "core/DataLoggerHash.h"
#include "dbus_support.h"
#include "inputs/dbus/DataloggerDBusService.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::ClientResult;
using ::datalogger::test::LogCapture;
using ::datalogger::test::PrivateBus;
using ::datalogger::test::runClient;
using ::datalogger::test::runMainContextUntil;
using dbustest::call;
using dbustest::gdbusCall;
using dbustest::kInterface;
using dbustest::kName;
using dbustest::kPath;
using dbustest::send;
using std::chrono::seconds;

ClientResult registerChannel(const std::string& path, const std::string& unit,
                             const std::string& storageType, const std::string& hashIn) {
    return gdbusCall("registerOrUpdateChannel",
                     {path, unit, "1", "0", storageType, "a description", hashIn});
}

// Answers like the core for hash 1 and refuses every other; throws on demand.
class FakePush : public DataLoggerPushDataIfc {
public:
    DataLoggerStatusCode registerOrUpdateChannel(const DataLoggerChannelInfo&,
                                                 uint64_t& hash) override {
        if (!mThrow.empty()) throw std::runtime_error(mThrow);
        hash = 1;
        return DataLoggerStatusCode::NoError;
    }
    DataLoggerStatusCode pushData(const uint64_t& hash,
                                  const std::vector<DataLoggerDataPoint>&) override {
        if (!mThrow.empty()) throw std::runtime_error(mThrow);
        return hash == 1 ? DataLoggerStatusCode::NoError : DataLoggerStatusCode::NotFound;
    }

    std::string mThrow;  // the main loop's thread only
};

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

struct FailingCall {
    const char* name;
    std::vector<std::string> client;
    const char* fakeThrows;  // what the fake core throws, or ""
    std::vector<std::string> expectedOutput;
    const char* expectedLog;  // an Error line, or ""
};
void PrintTo(const FailingCall& call, std::ostream* os) { *os << call.name; }

class DBusServiceFailingCall : public DBusServiceTest,
                               public ::testing::WithParamInterface<FailingCall> {};

TEST_P(DBusServiceFailingCall, GetsAClearAnswerAndTheNextCallIsServed) {
    const FailingCall& c = GetParam();
    auto push = std::make_shared<FakePush>();
    start(push);
    push->mThrow = c.fakeThrows;

    ClientResult result = runClient(c.client);
    EXPECT_NE(result.status, -1);
    for (const auto& text : c.expectedOutput) {
        EXPECT_NE(result.output.find(text), std::string::npos) << result.output;
    }
    if (*c.expectedLog) {
        EXPECT_TRUE(mLog.contains(log::Error, c.expectedLog));
    }

    push->mThrow.clear();
    ClientResult next = gdbusCall("pushData", {"1", "[1.0]", "[5]"});
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_EQ(next.output, "(uint16 0,)\n");
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DBusServiceFailingCall,
    ::testing::Values(
        FailingCall{"UnknownHash", call("pushData", {"99", "[1.0]", "[5]"}), "", {"(uint16 1,)"}, ""},
        FailingCall{"WrongSignature",
                    send("pushData", {"string:1", "array:double:1.0", "array:int64:5"}),
                    "",
                    {"org.freedesktop.DBus.Error.InvalidArgs"},
                    ""},
        FailingCall{"UnknownMethod",
                    send("pushNothing", {"uint64:1"}),
                    "",
                    {"org.freedesktop.DBus.Error.UnknownMethod", "Method does not exist."},
                    "Method 'pushNothing' does not exist"},
        FailingCall{"CoreThrowsOnPush",
                    call("pushData", {"1", "[1.0]", "[5]"}),
                    "Not yet initialized",
                    {"org.freedesktop.DBus.Error.Failed", "Not yet initialized"},
                    "pushData throws Not yet initialized"}),
    [](const auto& info) { return info.param.name; });

TEST_F(DBusServiceTest, ShutdownReleasesTheNameOnceAndWithdrawsTheObject) {
    start(std::make_shared<FakePush>());
    mService.reset();
    EXPECT_EQ(mLog.count(std::string("onNameLost: name = '") + kName + "'"), 1u);

    ClientResult owner = runClient({"gdbus", "call", "--system", "--dest", "org.freedesktop.DBus",
                                    "--object-path", "/org/freedesktop/DBus", "--method",
                                    "org.freedesktop.DBus.NameHasOwner", kName});
    EXPECT_EQ(owner.output, "(false,)\n");
    // Registering the same interface at the same path fails while anything is still exported.
    auto node = Gio::DBus::NodeInfo::create_for_xml(
        std::string("<node><interface name='") + kInterface + "'/></node>");
    Gio::DBus::InterfaceVTable vtable(
        [](const Glib::RefPtr<Gio::DBus::Connection>&, const Glib::ustring&, const Glib::ustring&,
           const Glib::ustring&, const Glib::ustring&, const Glib::VariantContainerBase&,
           const Glib::RefPtr<Gio::DBus::MethodInvocation>&) {});
    guint id = 0;
    EXPECT_NO_THROW(id = mBus.connection()->register_object(kPath, node->lookup_interface(), vtable));
    if (id != 0) mBus.connection()->unregister_object(id);
}

TEST_F(DBusServiceTest, PolicyLetsOnlyRootOwnTheNameButAnyoneCall) {
    if (!::datalogger::test::isRoot()) GTEST_SKIP() << "needs root to run a client as nobody";
    start(std::make_shared<FakePush>());
    const std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                          "--clear-groups"};
    auto asNobody = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), nobody.begin(), nobody.end());
        return runClient(argv);
    };
    ClientResult own = asNobody({"gdbus", "call", "--system", "--dest", "org.freedesktop.DBus",
                                 "--object-path", "/org/freedesktop/DBus", "--method",
                                 "org.freedesktop.DBus.RequestName", kName, "0"});
    EXPECT_NE(own.output.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos)
        << own.output;
    ClientResult push = asNobody(call("pushData", {"1", "[1.0]", "[5]"}));
    EXPECT_EQ(push.output, "(uint16 0,)\n");
}

// The service over the real core and real databases.
class DBusServiceOverCore : public DBusServiceTest {
protected:
    void SetUp() override { start(mRig.mCore); }
    void TearDown() override { mService.reset(); }

    dbustest::CoreOnDisk mRig;
};

TEST_F(DBusServiceOverCore, RegistrationAnswersTheCoresHashWhateverHashWasPassedIn) {
    const uint64_t expected = DataLoggerHash().compute(DataLoggerChannelInfo::withDefaults(
        "magnet/coil/temperature", DataLoggerUnit::Kelvin,
        DataLoggerStats(DataLoggerStorageType::Volatile, 0), DataLoggerStorageType::NonVolatile, ""));
    ClientResult first = registerChannel("magnet/coil/temperature", "4", "2", "0");
    EXPECT_EQ(first.output, "(uint64 " + std::to_string(expected) + ", uint16 0)\n");
    ClientResult second = registerChannel("magnet/coil/temperature", "4", "2", "123456789");
    EXPECT_EQ(second.output, "(uint64 " + std::to_string(expected) + ", uint16 2)\n");
}

TEST_F(DBusServiceOverCore, PushedValuesAreStoredAtTheirMicrosecondTimeStamps) {
    ClientResult reg = registerChannel("magnet/helium/level", "1", "2", "0");
    ASSERT_EQ(reg.status, 0) << reg.output;
    const std::string hash = reg.output.substr(8, reg.output.find(',') - 8);
    ClientResult push = gdbusCall("pushData", {hash, "[1.5, 2.5]", "[1000000, 2000000]"});
    EXPECT_EQ(push.output, "(uint16 0,)\n");
    auto rows = mRig.waitForRows(*mRig.mNonVolatile, "magnet/helium/level", 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].value(), 1.5);
    EXPECT_EQ(rows[0].timestamp(), TimePoint(seconds(1)));
    EXPECT_EQ(rows[1].value(), 2.5);
    EXPECT_EQ(rows[1].timestamp(), TimePoint(seconds(2)));
    EXPECT_EQ(gdbusCall("pushData", {"4242", "[1.0]", "[1]"}).output, "(uint16 1,)\n");
}

TEST_F(DBusServiceOverCore, AnUnknownUnitIsAnErrorReplyAndTheServiceGoesOn) {
    ClientResult bad = registerChannel("magnet/x", "999", "2", "0");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("org.freedesktop.DBus.Error.Failed: Requested enum value not found."),
              std::string::npos)
        << bad.output;
    EXPECT_TRUE(mLog.contains(log::Error,
                              "registerOrUpdateChannel throws Requested enum value not found."));
    EXPECT_EQ(registerChannel("magnet/x", "4", "2", "0").status, 0);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
