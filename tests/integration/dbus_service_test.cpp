// The data logger service on a private system bus, called by the real command-line clients.
#include <giomm/dbusintrospection.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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

// A wrong signature, an unknown method and a core that throws each get a clear answer, and the
// next call is served.
TEST_F(DBusServiceTest, FailingCallsGetAClearAnswerAndTheNextCallIsServed) {
    auto push = std::make_shared<FakePush>();
    start(push);
    struct Case {
        std::vector<std::string> client;
        const char* fakeThrows;
        std::vector<std::string> expectedOutput;
    };
    const Case cases[] = {
        {send("pushData", {"string:1", "array:double:1.0", "array:int64:5"}), "",
         {"org.freedesktop.DBus.Error.InvalidArgs"}},
        {send("pushNothing", {"uint64:1"}), "",
         {"org.freedesktop.DBus.Error.UnknownMethod", "Method does not exist."}},
        {call("pushData", {"1", "[1.0]", "[5]"}), "Not yet initialized",
         {"org.freedesktop.DBus.Error.Failed", "Not yet initialized"}},
        {call("registerOrUpdateChannel", {"a/b", "4", "1", "0", "2", "d", "0"}), "storage gone",
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

// The service over the real core and real databases.
class DBusServiceOverCore : public DBusServiceTest {
protected:
    void SetUp() override { start(mRig.mCore); }

    dbustest::CoreOnDisk mRig;
};

TEST_F(DBusServiceOverCore, PushedValuesAreStoredAtTheirMicrosecondTimeStamps) {
    ClientResult reg =
        gdbusCall("registerOrUpdateChannel", {"magnet/helium/level", "1", "1", "0", "2", "d", "0"});
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

}  // namespace
}  // namespace quorix::pelmo::datalogger
