// The data route against a fake pull interface: request reading, statuses, the measurement
// document and the per-id read positions.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "dfrm/DfrmDataRequestHandler.h"
#include "support/TestSupport.h"
#include "tests/unit/dfrm_docs_fakes.h"

namespace quorix::pelmo::datalogger {
namespace {

using docs_test::atMicros;
using ::datalogger::test::LogCapture;
using nlohmann::json;

constexpr int64_t kNewest = 1700000000123456;  // microseconds

class DfrmDocsData : public ::testing::Test, protected docs_test::ServerFixture {
  protected:
    void SetUp() override {
        pull->data["a/b"] = {DataLoggerStatusCode::NoError,
                             {DataLoggerDataPoint(1.5, atMicros(kNewest - 2500000)),
                              DataLoggerDataPoint(-2.0, atMicros(kNewest - 100000)),
                              DataLoggerDataPoint(3.25, atMicros(kNewest))}};
        pull->data["c/d"] = {DataLoggerStatusCode::StorageNoData, {}};
    }
    DfrmResponse ask(const std::string& body) { return answerDataRequest(server, body); }
    json askJson(const std::string& body) {
        const DfrmResponse response = ask(body);
        EXPECT_EQ(response.mStatusCode, 200) << response.mBody.str();
        EXPECT_EQ(response.mContentType, ContentType::applicationJson);
        return json::parse(response.mBody.str());
    }
    LogCapture mLog;
};

TEST_F(DfrmDocsData, AFirstRequestAnswersValuesWithOffsetsFromTheNewest) {
    const DfrmResponse response = ask(
        R"({"channelRequests":[{"path":"a/b","fetchItemsByTime":2.5,"fetchItemsCountMax":3},)"
        R"({"path":"c/d","lastCounter":17}]})");
    const json answer = json::parse(response.mBody.str());
    const std::string id = answer["dataRequestId"];
    EXPECT_EQ(response.mBody.str(),
              "{\"configHash\":\"" + server.configHash().getConfigHash() +
                  "\",\"dataRequestId\":\"" + id +
                  "\",\"measurements\":[{\"countLastValue\":1700000000123456,\"hasMoreData\":"
                  "false,\"path\":\"a/b\",\"timeOffsets\":[-2.5,-0.1,0.0],"
                  "\"timeReferenceRelative\":1700000000.123456,\"values\":[1.5,-2.0,3.25]}]}");
    ASSERT_EQ(pull->calls.size(), 2u);
    EXPECT_EQ(pull->calls[0].discardOlderThan, 2500000);
    EXPECT_EQ(pull->calls[0].amount, 3u);
    EXPECT_EQ(pull->calls[1].lastCounter, 17);

    // The limits were for the first answer; the counter moved past the newest value.
    askJson(R"({"dataRequestId":")" + id + "\"}");
    ASSERT_EQ(pull->calls.size(), 4u);
    EXPECT_EQ(pull->calls[2].lastCounter, kNewest + 1);
    EXPECT_EQ(pull->calls[2].discardOlderThan, 0);
    EXPECT_EQ(pull->calls[2].amount, 0u);
    EXPECT_EQ(pull->calls[3].lastCounter, 17);
}

TEST_F(DfrmDocsData, AValidClockGivesAnAbsoluteReference) {
    time->valid = true;
    const json answer = askJson(R"({"channelRequests":[{"path":"a/b"}]})");
    EXPECT_EQ(answer["measurements"][0]["timeReferenceAbsolute"], "2023-11-14T22:13:20.123456Z");
    EXPECT_FALSE(answer["measurements"][0].contains("timeReferenceRelative"));
}

struct BadRequest {
    const char* body;
    int status;
    std::string text;
};

class DfrmDocsDataRefused : public DfrmDocsData, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(DfrmDocsDataRefused, AnswersTheStatusAndText) {
    const DfrmResponse response = ask(GetParam().body);
    EXPECT_EQ(response.mStatusCode, GetParam().status);
    EXPECT_EQ(response.mContentType, ContentType::textHtml);
    EXPECT_EQ(response.mBody.str(), GetParam().text);
}

const std::string kParse = "Request parsing failed.\nWhat: ";

INSTANTIATE_TEST_SUITE_P(
    Bodies, DfrmDocsDataRefused,
    ::testing::Values(
        BadRequest{R"({"dataRequestId":"1","channelRequests":[]})", 400,
                   kParse + "Only dataRequestId OR channelRequests may be set, not both.\n"},
        BadRequest{"{}", 400,
                   kParse + "Set either dataRequestId (if already got one offered by the device) "
                            "or channelRequests.\n"},
        BadRequest{R"({"channelRequests":[]})", 400,
                   "You must provide a non non empty list of channels."},
        BadRequest{R"({"channelRequests":[{"path":"x","fetchItemsByTime":-1}]})", 400,
                   kParse + "The 'fetchItemsByTime' value may not be negative.\n"},
        BadRequest{R"({"dataRequestId":12})", 400,
                   kParse + "[json.exception.type_error.302] type must be string, but is number\n"},
        BadRequest{R"({"dataRequestId":"abc"})", 404, "Invalid DataRequestId"},
        BadRequest{R"({"dataRequestId":"4294967296"})", 410, "DataRequestId expired"},
        BadRequest{R"({"channelRequests":[{"path":"a/b","lastCounter":1e300}]})", 400,
                   kParse + "The value of 'lastCounter' is out of range.\n"},
        BadRequest{R"({"channelRequests":[{"path":"a/b","fetchItemsCountMax":"3"}]})", 400,
                   kParse +
                       "[json.exception.type_error.302] type must be number, but is string\n"},
        BadRequest{R"({"channelRequests":[{"lastCounter":1}]})", 400,
                   kParse + "[json.exception.out_of_range.403] key 'path' not found\n"},
        BadRequest{R"({"dataRequestId":"99999999999999999999999"})", 410,
                   "DataRequestId expired"},
        BadRequest{R"({"channelRequests":[{"path":"gone"}]})", 404,
                   "Path (gone) is unknown.\n Eventually it is gone or never existed.\nRequest "
                   "the available channels again to be up to date."}));

TEST_F(DfrmDocsData, MalformedJsonAndDeepNestingAreRefused) {
    EXPECT_EQ(ask("{\"channelRequests\":[").mStatusCode, 400);
    EXPECT_EQ(ask(std::string(500000, '[') + std::string(500000, ']')).mStatusCode, 400);
    EXPECT_EQ(ask("\"\xff\"").mStatusCode, 400);
}

TEST_F(DfrmDocsData, StorageFaultsFailTheWholeAnswer) {
    pull->data["c/d"] = {DataLoggerStatusCode::StorageError, {}};
    const DfrmResponse failed = ask(R"({"channelRequests":[{"path":"a/b"},{"path":"c/d"}]})");
    EXPECT_EQ(failed.mStatusCode, 500);
    EXPECT_EQ(failed.mBody.str(),
              "An error occurred during the fetch data command of the path (c/d). Internal "
              "error is (StorageError).");

    // Success without points cannot be written: the measurement has no time reference.
    pull->data["c/d"] = {DataLoggerStatusCode::NoError, {}};
    const DfrmResponse empty = ask(R"({"channelRequests":[{"path":"c/d"}]})");
    EXPECT_EQ(empty.mStatusCode, 400);
    EXPECT_EQ(empty.mBody.str(), kParse +
                                     "DataResponse requires either timeReferenceAbsolute OR "
                                     "timeReferenceRelative.\n");
    EXPECT_TRUE(mLog.contains(log::Error,
                              "No data retrieved for channel 'c/d' but NoError returned instead "
                              "of StorageNoData"));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
