// The identification, capabilities, volatile state and channel list documents.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "dfrm/DfrmDocumentHandlers.h"
#include "dfrm/DfrmDocuments.h"
#include "support/TestSupport.h"
#include "tests/unit/dfrm_docs_fakes.h"

namespace quorix::pelmo::datalogger {
namespace {

using docs_test::ServerFixture;
using ::datalogger::test::LogCapture;
using nlohmann::json;

std::string bodyOf(const DfrmResponse& response) {
    return response.mBody.str();
}

class DfrmDocsHandlers : public ::testing::Test, protected ServerFixture {
  protected:
    std::string hash() { return server.configHash().getConfigHash(); }
    LogCapture mLog;
};

DataLoggerChannelInfo dbusDefaults(const std::string& path) {
    return DataLoggerChannelInfo::withDefaults(
        path, DataLoggerUnit::Kelvin, DataLoggerStats(DataLoggerStorageType::Volatile, 0),
        DataLoggerStorageType::Volatile, "coil temperature");
}

TEST_F(DfrmDocsHandlers, FullMetadataIsTranslated) {
    DataLoggerChannelInfo info = dbusDefaults("a/b");
    info.mDescription.clear();
    info.mAcqPeriodTypical = std::chrono::microseconds(5000000);
    info.mAcqPeriodHighAlert = std::chrono::microseconds(1000000);
    info.mAbsolute = false;
    info.mCalibrated = true;
    info.mCalibrationNextDate = docs_test::atMicros(1500000);
    info.mOffsetError = 0.5;
    info.mRelativeError = 1.25;
    info.mLogicalFunctionTags = {"helium level", "Helium", "a ", "a  b", "x"};
    info.mRecommendRequestDataDuringTypicalMode = false;
    info.mRecommendRequestDataDuringHighAlertMode = true;
    info.mAcqPeriodChangeable = true;
    const std::string text = DfrmDataChannel(info).toJson().dump();
    const json channel = json::parse(text);
    EXPECT_NE(text.find("\"acqPeriodTypical\":0.005,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"acqPeriodHighAlert\":0.001,"), std::string::npos) << text;
    EXPECT_EQ(channel["absolute"], false);
    EXPECT_EQ(channel["calibrated"], true);
    EXPECT_FALSE(channel.contains("calibrationLastDate"));
    EXPECT_EQ(channel["calibrationNextDate"], "1970-01-01T00:00:01.500000Z");
    EXPECT_EQ(channel["offsetError"], 0.5);
    EXPECT_EQ(channel["relativeError"], 1.25);
    EXPECT_EQ(channel["logicalFunctionTags"], json({"helium level", "x"}));
    EXPECT_FALSE(channel.contains("recommendRequestDataDuringTypicalMode"));
    EXPECT_EQ(channel["recommendRequestDataDuringHighAlertMode"], true);
    EXPECT_EQ(channel["acqPeriodChangeable"], true);
    EXPECT_FALSE(channel.contains("description"));
    for (const char* dropped : {"(Helium)", "(a )", "(a  b)"}) {
        EXPECT_TRUE(mLog.contains(log::Error, std::string("Element (logicalFunctionTags) with value ") +
                                                  dropped + " on path (a/b) violates the dfrm "
                                                            "tag rule and is dropped."));
    }
}

TEST_F(DfrmDocsHandlers, ACalibratedChannelWithoutNextDateIsLoggedAndWrittenWithTheEpoch) {
    DataLoggerChannelInfo info = dbusDefaults("a/b");
    info.mCalibrated = true;
    info.mCalibrationLastDate = docs_test::atMicros(2000000);
    const json channel = DfrmDataChannel(info).toJson();
    EXPECT_EQ(channel["calibrationLastDate"], "1970-01-01T00:00:02.000000Z");
    EXPECT_EQ(channel["calibrationNextDate"], "1970-01-01T00:00:00.000000Z");
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The path (a/b) has been set to be calibrated but hasn't set "
                              "'calibrationNextDate' field."));
}

TEST_F(DfrmDocsHandlers, ChannelListStatuses) {
    pull->channelStatus = DataLoggerStatusCode::NotFound;
    EXPECT_EQ(bodyOf(answerDataChannels(server)),
              "{\"configHash\":\"" + hash() + "\",\"dataChannels\":[]}");

    pull->channelStatus = DataLoggerStatusCode::StorageNotInitialized;
    const DfrmResponse failed = answerDataChannels(server);
    const std::string text =
        "The datalogger was unable to get the channels from the backend. The received status "
        "code is (StorageNotInitialized).";
    EXPECT_EQ(failed.mStatusCode, 500);
    EXPECT_EQ(failed.mContentType, ContentType::textHtml);
    EXPECT_EQ(bodyOf(failed), text);
    EXPECT_TRUE(mLog.contains(log::Error, text));
}

TEST_F(DfrmDocsHandlers, ADescriptionThatIsNotUtf8FailsTheDocument) {
    pull->channels.emplace_back(dbusDefaults("a/b"), 1);
    pull->channels.back() = DataLoggerStorageChannelInfo(
        DataLoggerChannelInfo::withDefaults("a/b", DataLoggerUnit::None,
                                            DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                                            DataLoggerStorageType::Volatile, "bad \xff"),
        1);
    EXPECT_THROW(answerDataChannels(server), json::type_error);
}

TEST_F(DfrmDocsHandlers, IdentificationListsTheDevicesThatAnsweredAndFailsWithoutAny) {
    devices->devices = {{"dev1", "tpx one"}, {"dev2", "!"}};
    const DfrmResponse response = answerIdentification(server);
    EXPECT_EQ(response.mStatusCode, 200);
    EXPECT_EQ(response.mContentType, ContentType::applicationJson);
    EXPECT_EQ(bodyOf(response), "{\"configHash\":\"" + hash() +
                                    "\",\"devices\":[{\"common\":{\"firmwareVersion\":\"3.2.1\","
                                    "\"protocolVersion\":\"0.113\"},\"tpx\":\"tpx one\"}]}");
    EXPECT_TRUE(mLog.contains(log::Error,
                              "Severe issue: The device with the id (dev2) failed to give its "
                              "device-id information with: no answer from dev2"));

    for (int listFails : {0, 1}) {
        devices->devices = {{"dev1", "!"}};
        devices->listFails = listFails;
        const DfrmResponse response = answerIdentification(server);
        EXPECT_EQ(response.mStatusCode, 500);
        EXPECT_EQ(response.mContentType, ContentType::textHtml);
        EXPECT_EQ(bodyOf(response),
                  listFails ? "Identification request failed with 'device service gone'"
                            : "No device returned it's device-id data for dfrm.");
    }
}

TEST_F(DfrmDocsHandlers, CapabilitiesAndVolatileStateFollowTheClock) {
    EXPECT_EQ(bodyOf(answerCapabilities(server)),
              "{\"capabilities\":{\"clockType\":\"relative\"},\"configHash\":\"" + hash() + "\"}");
    const double before = std::chrono::duration<double>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const json relative = json::parse(bodyOf(answerVolatileState(server)));
    EXPECT_EQ(relative["volatileState"].size(), 1u);
    EXPECT_GE(relative["volatileState"]["relativeTime"].get<double>(), before - 0.001);
    EXPECT_LT(relative["volatileState"]["relativeTime"].get<double>(), before + 60);

    time->valid = true;
    const DfrmResponse capabilities = answerCapabilities(server);
    EXPECT_EQ(capabilities.mContentType, ContentType::applicationJson);
    EXPECT_EQ(bodyOf(capabilities),
              "{\"capabilities\":{\"clockType\":\"absolute\"},\"configHash\":\"" + hash() + "\"}");
    const json absolute = json::parse(bodyOf(answerVolatileState(server)));
    EXPECT_EQ(absolute["configHash"], hash());
    EXPECT_EQ(absolute["volatileState"].size(), 1u);
    EXPECT_EQ(absolute["volatileState"]["absoluteTime"].get<std::string>().size(),
              std::string("2026-12-05T14:24:41.123456Z").size());
}

TEST(DfrmDocsValidity, ObjectsRefuseToBeWrittenBroken) {
    DfrmVolatileState state;
    EXPECT_THROW(state.toJson(), std::runtime_error);
    state.mAbsoluteTime = "x";
    state.mRelativeTime = 1.0;
    EXPECT_THROW(state.toJson(), std::runtime_error);
    DfrmDevices device;
    EXPECT_NO_THROW(device.toJson());
    EXPECT_THROW(device.validate(true, false, false, false, false), std::runtime_error);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
