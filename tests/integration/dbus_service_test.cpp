// The data logger service on a private system bus, called by the real command-line clients.
#include <giomm/dbusintrospection.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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

// Accepts everything; throws on demand.
class FakePush : public DataLoggerPushDataIfc {
public:
    DataLoggerStatusCode registerOrUpdateChannel(const DataLoggerChannelInfo&,
                                                 uint64_t&) override {
        return pushData(0, {});
    }
    DataLoggerStatusCode pushData(const uint64_t&, const std::vector<DataLoggerDataPoint>&) override {
        if (!mThrow.empty()) throw std::runtime_error(mThrow);
        return DataLoggerStatusCode::NoError;
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
};
void PrintTo(const FailingCall& call, std::ostream* os) {
    *os << call.name;
}

class DBusServiceFailingCall : public DBusServiceTest,
                               public ::testing::WithParamInterface<FailingCall> {};

TEST_P(DBusServiceFailingCall, GetsAClearAnswerAndTheNextCallIsServed) {
    auto push = std::make_shared<FakePush>();
    start(push);
    push->mThrow = GetParam().fakeThrows;
    ClientResult result = runClient(GetParam().client);
    EXPECT_NE(result.status, -1);
    for (const auto& text : GetParam().expectedOutput) {
        EXPECT_NE(result.output.find(text), std::string::npos) << result.output;
    }
    push->mThrow.clear();
    EXPECT_EQ(gdbusCall("pushData", {"1", "[1.0]", "[5]"}).output, "(uint16 0,)\n");
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DBusServiceFailingCall,
    ::testing::Values(
        FailingCall{"WrongSignature",
                    send("pushData", {"string:1", "array:double:1.0", "array:int64:5"}),
                    "",
                    {"org.freedesktop.DBus.Error.InvalidArgs"}},
        FailingCall{"UnknownMethod",
                    send("pushNothing", {"uint64:1"}),
                    "",
                    {"org.freedesktop.DBus.Error.UnknownMethod", "Method does not exist."}},
        FailingCall{"CoreThrowsOnPush",
                    call("pushData", {"1", "[1.0]", "[5]"}),
                    "Not yet initialized",
                    {"org.freedesktop.DBus.Error.Failed", "Not yet initialized"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(DBusServiceTest, ShutdownReleasesTheNameOnceAndWithdrawsTheObject) {
    start(std::make_shared<FakePush>());
    mService.reset();
    EXPECT_EQ(mLog.count(std::string("onNameLost: name = '") + kName + "'"), 1u);
    EXPECT_TRUE(mLog.contains(log::Warning, std::string("onNameLost: name = '") + kName + "'"));
    EXPECT_FALSE(dbustest::hasOwner(kName));
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

TEST_F(DBusServiceTest, PolicyLetsOnlyRootOwnTheNameButAnyoneCall) {
    if (!::datalogger::test::isRoot()) GTEST_SKIP() << "needs root to run a client as nobody";
    start(std::make_shared<FakePush>());
    auto asNobody = [&](std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return runClient(argv).output;
    };
    const std::string own = asNobody(dbustest::busCall("RequestName", {kName, "0"}));
    EXPECT_NE(own.find("org.freedesktop.DBus.Error.AccessDenied"), std::string::npos) << own;
    EXPECT_EQ(asNobody(call("pushData", {"1", "[1.0]", "[5]"})), "(uint16 0,)\n");
}

// The service over the real core and real databases.
class DBusServiceOverCore : public DBusServiceTest {
protected:
    void SetUp() override { start(mRig.mCore); }

    dbustest::CoreOnDisk mRig;
};

TEST_F(DBusServiceOverCore, RegistrationAnswersTheCoresHashWhateverHashWasPassedIn) {
    const std::string expected = std::to_string(DataLoggerHash().compute(
        DataLoggerChannelInfo::withDefaults("magnet/coil/temperature", DataLoggerUnit::Kelvin,
                                            DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                                            DataLoggerStorageType::NonVolatile, "")));
    EXPECT_EQ(registerChannel("magnet/coil/temperature", "4", "2", "0").output,
              "(uint64 " + expected + ", uint16 0)\n");
    EXPECT_EQ(registerChannel("magnet/coil/temperature", "4", "2", "123456789").output,
              "(uint64 " + expected + ", uint16 2)\n");
}

TEST_F(DBusServiceOverCore, PushedValuesAreStoredAtTheirMicrosecondTimeStamps) {
    ClientResult reg = registerChannel("magnet/helium/level", "1", "2", "0");
    ASSERT_EQ(reg.status, 0) << reg.output;
    const std::string hash = reg.output.substr(8, reg.output.find(',') - 8);
    // Surplus time stamps are ignored; an empty push still reaches the core.
    EXPECT_EQ(gdbusCall("pushData", {hash, "[1.5, 2.5]", "[1000000, 2000000, 3000000]"}).output,
              "(uint16 0,)\n");
    EXPECT_EQ(gdbusCall("pushData", {hash, "@ad []", "@ax []"}).output, "(uint16 0,)\n");
    auto rows = mRig.rows(*mRig.mNonVolatile, "magnet/helium/level", 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::make_pair(rows[0].value(), rows[0].timestamp()),
              std::make_pair(1.5, TimePoint(seconds(1))));
    EXPECT_EQ(std::make_pair(rows[1].value(), rows[1].timestamp()),
              std::make_pair(2.5, TimePoint(seconds(2))));
    EXPECT_EQ(gdbusCall("pushData", {"4242", "[1.0]", "[1]"}).output, "(uint16 1,)\n");
}

TEST_F(DBusServiceOverCore, AnUnknownUnitIsAnErrorReplyAndTheServiceGoesOn) {
    ClientResult bad = registerChannel("magnet/x", "999", "2", "0");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("org.freedesktop.DBus.Error.Failed: Requested enum value not found."),
              std::string::npos)
        << bad.output;
    EXPECT_EQ(registerChannel("magnet/x", "4", "2", "0").status, 0);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
