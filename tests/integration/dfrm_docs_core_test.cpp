// The DfRM documents end to end: curl through lighttpd to the server the real core starts,
// reading two real SQLite databases.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "dbus_support.h"
#include "inputs/dbus/DataloggerDBusService.h"
#include "support/Lighttpd.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::HttpReply;
using ::datalogger::test::Lighttpd;
using nlohmann::json;

class Firmware : public utils::FirmwareVersionIfc {
public:
    std::string getVersion() const override { return "9.8"; }
};

class Devices : public deviceid::DeviceIdClientIfc {
public:
    std::vector<std::string> listDevices() override { return {"magnet", "broken"}; }
    std::string getDeviceIdInfo(const std::string& id) override {
        if (id == "broken") throw std::runtime_error("unreachable");
        return "magnet id text";
    }
};

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class DfrmDocsCoreThread : public ::testing::Test {
protected:
    DataLoggerChannelInfo channel(const std::string& path, DataLoggerStorageType type) {
        return DataLoggerChannelInfo::withDefaults(path, DataLoggerUnit::Bar,
                                                   DataLoggerStats(type, 0), type, "pressure");
    }
    // Pushes (value, time stamp in microseconds) pairs and waits until the path holds total rows.
    void push(uint64_t hash, DataLoggerStorageIfc& storage, const std::string& path,
              const std::vector<std::pair<double, int64_t>>& values, size_t total) {
        std::vector<DataLoggerDataPoint> points;
        for (const auto& [value, micros] : values) {
            points.emplace_back(value, TimePoint(std::chrono::microseconds(micros)));
        }
        ASSERT_EQ(mRig.mCore->pushData(hash, points), DataLoggerStatusCode::NoError);
        ASSERT_GE(mRig.rows(storage, path, total).size(), total) << path;
    }
    HttpReply post(const std::string& body) { return mWeb->request("POST", "/dfrm/data", body); }
    json data(const std::string& body) {
        const HttpReply reply = post(body);
        EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK") << reply.body << reply.curlOutput;
        EXPECT_EQ(reply.header("Content-Type"), "application/json");
        return json::parse(reply.body);
    }
    json resume(const std::string& id) { return data(R"({"dataRequestId":")" + id + "\"}"); }
    void expectText(const HttpReply& reply, const std::string& status, const std::string& body) {
        EXPECT_EQ(reply.statusLine, "HTTP/1.1 " + status) << reply.curlOutput;
        EXPECT_EQ(reply.header("Content-Type"), "text/plain");
        EXPECT_EQ(reply.body, body);
    }

    // First in, last out: the core's log plug-in registers on this bus.
    ::datalogger::test::PrivateBus mBus;
    coretest::CoreOnDisk mRig{std::make_shared<::datalogger::test::FakePeriodicCallerManager>(),
                              std::make_shared<Firmware>(), std::make_shared<Devices>()};
    std::unique_ptr<Lighttpd> mWeb = std::make_unique<Lighttpd>(mRig.socket());
};

// One of the two references, matching the newest value.
void expectReference(const json& measurement, int64_t newestMicros) {
    EXPECT_EQ(measurement["countLastValue"], newestMicros);
    if (measurement.contains("timeReferenceRelative")) {
        EXPECT_FALSE(measurement.contains("timeReferenceAbsolute"));
        EXPECT_NEAR(measurement["timeReferenceRelative"].get<double>(), newestMicros * 1e-6, 1e-6);
    } else {
        EXPECT_TRUE(measurement["timeReferenceAbsolute"].is_string()) << measurement;
    }
}

TEST_F(DfrmDocsCoreThread, AnIdDeliversTheNewestValuesThenOnlyNewOnes) {
    const std::string a = "quorix/test/pressure/a";
    const std::string b = "quorix/test/pressure/b";
    const uint64_t hashA = mRig.add(channel(a, DataLoggerStorageType::Volatile));
    const uint64_t hashB = mRig.add(channel(b, DataLoggerStorageType::NonVolatile));
    const int64_t t0 = nowMicros();
    push(hashA, *mRig.mVolatile, a, {{1.0, t0 - 3000000}, {2.0, t0 - 2000000}, {3.0, t0 - 1000000}},
         3);
    push(hashB, *mRig.mNonVolatile, b, {{7.5, t0}}, 1);

    const json first = data(R"({"channelRequests":[{"path":")" + a +
                            R"(","fetchItemsCountMax":2},{"path":")" + b + "\"}]}");
    const std::string id = first["dataRequestId"];
    ASSERT_EQ(first["measurements"].size(), 2u) << first;
    const json& ma = first["measurements"][0];
    EXPECT_EQ(ma["path"], a);
    EXPECT_EQ(ma["values"], json({2.0, 3.0}));
    EXPECT_EQ(ma["timeOffsets"], json({-1.0, 0.0}));
    EXPECT_EQ(ma["hasMoreData"], false);
    expectReference(ma, t0 - 1000000);
    EXPECT_EQ(first["measurements"][1]["values"], json({7.5}));
    expectReference(first["measurements"][1], t0);

    EXPECT_EQ(resume(id)["measurements"], json::array());

    // Three new values: the count limit of the first answer no longer applies.
    push(hashA, *mRig.mVolatile, a, {{4.0, t0}, {5.0, t0 + 250000}, {6.0, t0 + 500000}}, 6);
    const json later = resume(id);
    EXPECT_EQ(later["dataRequestId"], id);
    ASSERT_EQ(later["measurements"].size(), 1u) << later;
    EXPECT_EQ(later["measurements"][0]["values"], json({4.0, 5.0, 6.0}));
    EXPECT_EQ(later["measurements"][0]["timeOffsets"], json({-0.5, -0.25, 0.0}));
    expectReference(later["measurements"][0], t0 + 500000);
}

TEST_F(DfrmDocsCoreThread, TheAgeLimitAppliesToTheFirstAnswerOnly) {
    const std::string a = "quorix/test/pressure/a";
    const uint64_t hash = mRig.add(channel(a, DataLoggerStorageType::Volatile));
    const int64_t t0 = nowMicros();
    push(hash, *mRig.mVolatile, a, {{1.0, t0 - 100000000}, {2.0, t0 - 90000000}}, 2);

    const json first =
        data(R"({"channelRequests":[{"path":")" + a + R"(","fetchItemsByTime":50}]})");
    EXPECT_EQ(first["measurements"], json::array());
    const json second = resume(first["dataRequestId"]);
    ASSERT_EQ(second["measurements"].size(), 1u) << second;
    EXPECT_EQ(second["measurements"][0]["values"], json({1.0, 2.0}));
}

TEST_F(DfrmDocsCoreThread, EveryRefusalOfTheDataRouteHasItsStatusAndText) {
    const std::string a = "quorix/test/pressure/a";
    const DataLoggerChannelInfo info = channel(a, DataLoggerStorageType::NonVolatile);
    const uint64_t hash = mRig.add(info);
    push(hash, *mRig.mNonVolatile, a, {{1.0, nowMicros()}}, 1);
    const std::string request = R"({"channelRequests":[{"path":")" + a + "\"}]}";
    const std::string parse = "Request parsing failed.\nWhat: ";

    expectText(post(R"({"dataRequestId":"1","channelRequests":[]})"), "400 Bad Request",
               parse + "Only dataRequestId OR channelRequests may be set, not both.\n");
    expectText(post("{}"), "400 Bad Request",
               parse +
                   "Set either dataRequestId (if already got one offered by the device) or "
                   "channelRequests.\n");
    expectText(post(R"({"channelRequests":[]})"), "400 Bad Request",
               "You must provide a non non empty list of channels.");
    expectText(post(R"({"channelRequests":[{"path":"x","fetchItemsByTime":-1}]})"),
               "400 Bad Request", parse + "The 'fetchItemsByTime' value may not be negative.\n");
    expectText(post(R"({"dataRequestId":12})"), "400 Bad Request",
               parse + "[json.exception.type_error.302] type must be string, but is number\n");
    expectText(post(R"({"dataRequestId":"abc"})"), "404 Not Found", "Invalid DataRequestId");
    expectText(post(R"({"dataRequestId":"4294967296"})"), "410 Gone", "DataRequestId expired");

    // The 101st id evicts the least recently used one.
    const std::string oldest = data(request)["dataRequestId"];
    for (int i = 0; i < 100; ++i) data(request);
    expectText(post(R"({"dataRequestId":")" + oldest + "\"}"), "410 Gone", "DataRequestId expired");

    const std::string id = data(request)["dataRequestId"];
    ASSERT_EQ(mRig.mCore->archive(info, hash), DataLoggerStatusCode::NoError);
    expectText(post(R"({"dataRequestId":")" + id + "\"}"), "404 Not Found",
               "Path (" + a +
                   ") is unknown.\n Eventually it is gone or never existed.\n"
                   "Request the available channels again to be up to date.");
    expectText(post(R"({"dataRequestId":")" + id + "\"}"), "410 Gone", "DataRequestId expired");
}

// A channel registered over D-Bus carries only its defaults.
TEST_F(DfrmDocsCoreThread, DocumentsDescribeTheCoreAndItsChannels) {
    DataloggerDBusService service(mRig.mCore, "daemon", Gio::DBus::BUS_TYPE_SYSTEM);
    ASSERT_TRUE(::datalogger::test::runMainContextUntil([&] { return service.isNameAcquired(); }));
    const auto reply = dbustest::gdbusCall(
        "registerOrUpdateChannel", {"quorix/test/line", "10", "1", "0", "1", "line pressure", "0"});
    ASSERT_NE(reply.output.find("uint16 0)"), std::string::npos) << reply.output;

    const HttpReply channels = mWeb->request("GET", "/dfrm/datachannels");
    EXPECT_EQ(channels.statusLine, "HTTP/1.1 200 OK") << channels.curlOutput;
    EXPECT_EQ(channels.header("Content-Type"), "application/json");
    const std::string hash = json::parse(channels.body)["configHash"];
    EXPECT_EQ(channels.body,
              "{\"configHash\":\"" + hash +
                  "\",\"dataChannels\":[{\"acqPeriodJitter\":0.0,\"acqPeriodMax\":0.0,"
                  "\"acqPeriodMin\":0.0,\"acqPeriodTypical\":0.0,\"description\":\"line "
                  "pressure\",\"expectedMax\":1.7976931348623157e+308,\"expectedMin\":2."
                  "2250738585072014e-308,\"max\":1.7976931348623157e+308,\"min\":2."
                  "2250738585072014e-308,\"path\":\"quorix/test/line\",\"precision\":0.001,"
                  "\"recommendRequestDataDuringTypicalMode\":true,\"type\":\"Bar\"}]}");

    const HttpReply identification = mWeb->request("PUT", "/dfrm/identification", "ignored");
    EXPECT_EQ(identification.statusLine, "HTTP/1.1 200 OK") << identification.curlOutput;
    EXPECT_EQ(identification.body,
              "{\"configHash\":\"" + hash +
                  "\",\"devices\":[{\"common\":{\"firmwareVersion\":\"9.8\",\"protocolVersion\":"
                  "\"0.113\"},\"tpx\":\"magnet id text\"}]}");

    const json capabilities = json::parse(mWeb->request("GET", "/dfrm/capabilities").body);
    const json state = json::parse(mWeb->request("GET", "/dfrm/volatilestate").body);
    EXPECT_EQ(capabilities["configHash"], hash);
    EXPECT_EQ(state["configHash"], hash);
    const bool absolute = capabilities["capabilities"]["clockType"] == "absolute";
    EXPECT_EQ(state["volatileState"].contains("absoluteTime"), absolute) << state;
    EXPECT_EQ(state["volatileState"].contains("relativeTime"), !absolute) << state;
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
