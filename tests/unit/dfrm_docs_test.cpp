// The DfRM documents against fakes of their seams: data request ids and the tag rule, the data
// route, the identification, capabilities, volatile state and channel list documents, and the
// configuration hash they all carry.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "dfrm/DataLoggerDfrmConfigHash.h"
#include "dfrm/DfrmDataRequestHandler.h"
#include "dfrm/DfrmDataRequestIdManager.h"
#include "dfrm/DfrmDataWriter.h"
#include "dfrm/DfrmDocumentHandlers.h"
#include "dfrm/DfrmDocuments.h"
#include "dfrm/DfrmMurmurHash.h"
#include "dfrm/DfrmTagRule.h"
#include "support/dfrm_fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::DfrmRig;
using ::datalogger::test::LogCapture;
using nlohmann::json;

inline TimePoint atMicros(int64_t micros) {
    return TimePoint(std::chrono::microseconds(micros));
}

// 3350977461 for "abc" comes from a 32-bit build; the others, from an independent
// transcription of the same algorithm, cover every tail length and bytes above 0x7f (char is
// signed on one target and unsigned on the other).
TEST(DfrmDocsMurmur, MatchesTheStringHashOfA32BitBuild) {
    const std::pair<std::string, uint32_t> cases[] = {
        {"abc", 3350977461u},         {"", 3990065800u},
        {"a", 2167009006u},           {"ab", 2805137849u},
        {"abcd", 804720481u},         {"abcde", 730143326u},
        {"\xff\xfe\x80", 732479785u}, {"12345quorix/productA/x", 4166376669u}};
    for (const auto& [text, hash] : cases) EXPECT_EQ(murmurHash2(text), hash) << text;
}

// The language itself is checked against the regular expression by the fuzz target.
TEST(DfrmDocsTagRule, ALongTagIsJudgedInLinearTime) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(isValidLogicalFunctionTag(std::string(1000000, 'a') + "!"));
    EXPECT_TRUE(isValidLogicalFunctionTag(std::string(1000000, 'a')));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

std::vector<DfrmChannelRequest> channels(const std::string& path) {
    DfrmChannelRequest request;
    request.mPath = path;
    return {request};
}

// Bit by bit, independent of the table-driven CRC the code uses.
uint32_t referenceCrc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

constexpr int64_t kNewest = 1700000000123456;  // microseconds

// The routes over the rig's fakes. "a/b" has three points up to kNewest; "c/d" has none, "e/f"
// fails and "g/h" answers success without points.
class DfrmRoutes : public ::testing::Test, protected DfrmRig {
protected:
    void SetUp() override {
        pull->data["a/b"] = {DataLoggerStatusCode::NoError,
                             {DataLoggerDataPoint(1.5, atMicros(kNewest - 2500000)),
                              DataLoggerDataPoint(-2.0, atMicros(kNewest - 100000)),
                              DataLoggerDataPoint(3.25, atMicros(kNewest))}};
        pull->data["c/d"] = {DataLoggerStatusCode::StorageNoData, {}};
        pull->data["e/f"] = {DataLoggerStatusCode::StorageError, {}};
        pull->data["g/h"] = {DataLoggerStatusCode::NoError, {}};
    }
    DfrmResponse ask(const std::string& body) { return answerDataRequest(context, body); }
    std::string hash() { return context.configHash().getConfigHash(); }
    // Fills the ids to their limit for the same paths, all different; ids[0] is the least
    // recently used.
    std::vector<uint32_t> fill() {
        std::vector<uint32_t> ids;
        for (int i = 0; i < 100; ++i) ids.push_back(mManager.createDataRequestId(channels("a/b")));
        EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()).size(), 100u);
        return ids;
    }
    // A hash of its own over the rig's sources.
    std::unique_ptr<DataLoggerDfrmConfigHash> make() {
        return std::make_unique<DataLoggerDfrmConfigHash>(firmware, time, devices, pull, callers);
    }
    void setChannels(const std::vector<uint64_t>& hashes) {
        pull->channels.clear();
        for (uint64_t hash : hashes) {
            pull->channels.emplace_back(DataLoggerStorageChannelInfo().channelInfo(), hash);
        }
    }
    // The firmware version, the flags byte, then the channel and device sums in decimal.
    static std::string expected(char flags, const std::string& channels,
                                const std::string& devices) {
        char text[9];
        std::snprintf(text, sizeof(text), "%x",
                      referenceCrc32(std::string("3.2.1") + flags + channels + devices));
        return text;
    }

    DfrmDataRequestIdManager& mManager = context.dataRequestIds();
    LogCapture mLog;
};

// An evicted id answers "expired" until fifty later evictions push it out of memory.
TEST_F(DfrmRoutes, TheLeastRecentlyUsedExpiresIsForgottenFiftyEvictionsLaterOrIsInvalidated) {
    const std::vector<uint32_t> ids = fill();
    mManager.getById(ids[0]);  // now ids[1] is the oldest
    mManager.createDataRequestId(channels("c/d"));
    EXPECT_NO_THROW(mManager.getById(ids[0]));
    EXPECT_THROW(mManager.getById(ids[1]), std::out_of_range);
    EXPECT_NO_THROW(mManager.getById(ids[2]));  // used: ids[3] is the oldest now
    for (int i = 0; i < 49; ++i) mManager.createDataRequestId(channels("c/d"));
    EXPECT_THROW(mManager.getById(ids[1]), std::out_of_range);
    mManager.createDataRequestId(channels("c/d"));
    EXPECT_THROW(mManager.getById(ids[1]), std::invalid_argument);
    EXPECT_THROW(mManager.getById(ids[3]), std::out_of_range);

    // Invalidating retires an id and frees its place: the next id evicts nothing.
    mManager.invalidate(ids[60]);
    EXPECT_THROW(mManager.getById(ids[60]), std::out_of_range);
    mManager.invalidate(ids[60]);  // not live any more: nothing happens
    mManager.createDataRequestId(channels("c/d"));
    EXPECT_NO_THROW(mManager.getById(ids[53]));  // the oldest live id
}

TEST_F(DfrmRoutes, AFirstRequestAnswersValuesWithOffsetsFromTheNewest) {
    const DfrmResponse response =
        ask(R"({"channelRequests":[{"path":"a/b","fetchItemsByTime":2.5,"fetchItemsCountMax":3},)"
            R"({"path":"c/d","lastCounter":17}]})");
    const json answer = json::parse(response.mBody);
    const std::string id = answer["dataRequestId"];
    EXPECT_EQ(response.mBody,
              "{\"configHash\":\"" + hash() + "\",\"dataRequestId\":\"" + id +
                  "\",\"measurements\":[{\"countLastValue\":1700000000123456,\"hasMoreData\":"
                  "false,\"path\":\"a/b\",\"timeOffsets\":[-2.5,-0.1,0.0],"
                  "\"timeReferenceRelative\":1700000000.123456,\"values\":[1.5,-2.0,3.25]}]}");
    ASSERT_EQ(pull->calls.size(), 2u);
    EXPECT_EQ(pull->calls[0].discardOlderThan, 2500000);
    EXPECT_EQ(pull->calls[0].amount, 3u);
    EXPECT_EQ(pull->calls[1].lastCounter, 17);

    // The limits were for the first answer; the counter moved past the newest value. A valid
    // clock gives an absolute reference.
    time->valid = true;
    pull->data["a/b"].points.emplace_back(4.0, atMicros(kNewest + 1));
    const DfrmResponse again = ask(R"({"dataRequestId":")" + id + "\"}");
    EXPECT_EQ(again.mContentType, ContentType::applicationJson);
    const json next = json::parse(again.mBody)["measurements"][0];
    EXPECT_EQ(next["timeReferenceAbsolute"], "2023-11-14T22:13:20.123457Z");
    EXPECT_FALSE(next.contains("timeReferenceRelative"));
    ASSERT_EQ(pull->calls.size(), 4u);
    EXPECT_EQ(pull->calls[2].lastCounter, kNewest);
    EXPECT_EQ(next["values"], json::array({4.0}));
    EXPECT_EQ(pull->calls[2].discardOlderThan, 0);
    EXPECT_EQ(pull->calls[2].amount, 0u);
    EXPECT_EQ(pull->calls[3].lastCounter, 17);
}

// Values 1 µs apart across every slice boundary of a read, a run sharing one time stamp across
// a boundary and a run longer than a slice, then more values 1 µs after the newest delivered:
// read to the end, every value comes once and in time order.
TEST_F(DfrmRoutes, PagingDeliversEveryValueOnceWhateverTheSpacing) {
    auto& points = pull->data["x/y"].points;
    int64_t at = kNewest;
    const auto add = [&](int count, int64_t step) {
        for (int i = 0; i < count; ++i, at += step) {
            points.emplace_back(static_cast<double>(points.size()), atMicros(at));
        }
        at += 1 - step;
    };
    add(1020, 1);
    add(10, 0);  // indexes 1020 to 1029 share one time stamp
    add(2 * 1024 + 7, 1);
    add(1500, 0);
    add(100, 1);

    std::vector<double> delivered;
    const auto readToTheEnd = [&](const std::string& body) {
        std::string next = body;
        for (int answers = 0; answers < 10; ++answers) {
            const json answer = json::parse(ask(next).mBody);
            const json& measurement = answer["measurements"][0];
            for (double value : measurement["values"]) delivered.push_back(value);
            next = R"({"dataRequestId":")" + answer["dataRequestId"].get<std::string>() + "\"}";
            if (measurement["hasMoreData"].get<bool>()) continue;
            EXPECT_EQ(measurement["countLastValue"], at - 1);  // the newest delivered
            return next;
        }
        ADD_FAILURE() << "no end";
        return next;
    };
    const std::string again = readToTheEnd(R"({"channelRequests":[{"path":"x/y"}]})");
    add(3, 1);
    readToTheEnd(again);
    ASSERT_EQ(delivered.size(), points.size());
    for (size_t i = 0; i < delivered.size(); ++i) ASSERT_EQ(delivered[i], i) << "at " << i;
}

// Walks both texts together. Where they differ, both must be in a number of the same notation
// whose texts read back as the same double, ours no longer: the tree writer's digits are not
// always the shortest.
int expectSameDocument(const std::string& tree, const std::string& ours) {
    const auto inNumber = [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == '-' ||
               c == '+';
    };
    size_t i = 0, j = 0;
    int differing = 0;
    while (i < tree.size() && j < ours.size()) {
        if (tree[i] == ours[j]) {
            ++i, ++j;
            continue;
        }
        size_t a = i;
        while (a > 0 && inNumber(tree[a - 1])) --a;
        const size_t b = j - (i - a);
        while (i < tree.size() && inNumber(tree[i])) ++i;
        while (j < ours.size() && inNumber(ours[j])) ++j;
        const std::string x = tree.substr(a, i - a), y = ours.substr(b, j - b);
        EXPECT_TRUE(!x.empty() && !y.empty()) << tree.substr(a, 40) << " vs " << ours.substr(b, 40);
        if (x.empty() || y.empty()) return differing;
        EXPECT_EQ(std::strtod(x.c_str(), nullptr), std::strtod(y.c_str(), nullptr))
            << x << " vs " << y;
        EXPECT_LE(y.size(), x.size()) << x << " vs " << y;
        EXPECT_EQ(x.find('e') == std::string::npos, y.find('e') == std::string::npos)
            << x << " vs " << y;
        ++differing;
    }
    EXPECT_EQ(tree.size() - i, ours.size() - j) << "one text ends early";
    return differing;
}

TEST(DfrmDataWriter, WritesTheTreeWritersBytesOnRandomDocuments) {
    std::mt19937_64 random(20261206);
    const auto number = [&]() -> double {
        const uint64_t bits = random();
        switch (bits % 7) {
            case 0: {  // any bit pattern: subnormals, NaN, infinities too
                double value;
                std::memcpy(&value, &bits, sizeof value);
                return value;
            }
            case 1:  // a reading of a few digits
                return static_cast<double>(static_cast<int64_t>(random() % 2000000) - 1000000) /
                       std::pow(10.0, static_cast<double>(random() % 8));
            case 2:
                return bits & 8 ? 0.0 : -0.0;
            case 3:  // every decimal exponent, around each layout's edges
                return std::ldexp(static_cast<double>(random() >> 11),
                                  static_cast<int>(random() % 240) - 170);
            case 4:
                return std::pow(10.0, static_cast<double>(random() % 40) - 20);
            default:
                return std::uniform_real_distribution<double>(-1000.0, 1000.0)(random);
        }
    };
    const std::string characters[] = {"a", "/", "Z", "9", "\xC3\xA4", "\"", "\\", "\x01", " "};
    const auto text = [&](size_t length) {
        std::string result;
        while (length-- > 0) result += characters[random() % std::size(characters)];
        return result;
    };
    int numbers = 0, differing = 0;
    for (int round = 0; round < 400; ++round) {
        DataLoggerDfrmDataResponse document;
        document.mConfigHash = text(random() % 12);
        document.mDataRequestId = std::to_string(random() % 100000);
        for (uint64_t m = random() % 4; m > 0; --m) {
            DfrmDataResponse measurement;
            measurement.mPath = text(1 + random() % 20);
            if (random() % 4 != 0) measurement.mCountLastValue = static_cast<int64_t>(random());
            if (random() % 3 != 0) measurement.mHasMoreData = random() % 2 == 0;
            if (random() % 2 == 0) {
                measurement.mTimeReferenceRelative = number();
            } else {
                measurement.mTimeReferenceAbsolute = text(27);
            }
            if (random() % 5 == 0) measurement.mStatus = text(1 + random() % 30);
            if (!measurement.mStatus || random() % 2 == 0) {
                std::vector<double> values(1 + random() % 150);
                std::vector<float> offsets(values.size());
                for (size_t k = 0; k < values.size(); ++k) {
                    values[k] = number();
                    const double offset = number();
                    // Out of range, the cast would be undefined.
                    offsets[k] = std::fabs(offset) > std::numeric_limits<float>::max()
                                     ? static_cast<float>(offset > 0 ? INFINITY : -INFINITY)
                                     : static_cast<float>(offset);
                }
                numbers += 2 * static_cast<int>(values.size());
                measurement.mValues = std::move(values);
                measurement.mTimeOffsets = std::move(offsets);
            }
            document.mMeasurements.push_back(std::move(measurement));
        }
        std::string ours;
        DfrmDataDocumentWriter writer(ours, document.mConfigHash, document.mDataRequestId);
        for (const auto& measurement : document.mMeasurements) writer.add(measurement);
        writer.finish();
        differing += expectSameDocument(dumpDfrmDocument(document.toJson()), ours);
    }
    // Shorter digits are the exception: a layout fault would differ on many numbers.
    EXPECT_LT(differing * 100, numbers) << differing << " of " << numbers;
}

const std::string kParse = "Request parsing failed.\nWhat: ";

TEST_F(DfrmRoutes, RefusedBodiesAnswerTheStatusAndText) {
    const struct {
        const char* body;
        int status;
        std::string text;
    } cases[] = {
        {R"({"dataRequestId":"1","channelRequests":[]})", 400,
         kParse + "Only dataRequestId OR channelRequests may be set, not both.\n"},
        {"{}", 400,
         kParse + "Set either dataRequestId (if already got one offered by the device) or "
                  "channelRequests.\n"},
        {R"({"channelRequests":[]})", 400, "You must provide a non non empty list of channels."},
        {R"({"channelRequests":[{"path":"x","fetchItemsByTime":-1}]})", 400,
         kParse + "The 'fetchItemsByTime' value may not be negative.\n"},
        {R"({"dataRequestId":12})", 400,
         kParse + "[json.exception.type_error.302] type must be string, but is number\n"},
        {R"({"dataRequestId":"abc"})", 404, "Invalid DataRequestId"},
        {R"({"dataRequestId":"12345"})", 404, "Invalid DataRequestId"},  // never issued
        {R"({"dataRequestId":"4294967296"})", 410, "DataRequestId expired"},
        {R"({"dataRequestId":"99999999999999999999999"})", 410, "DataRequestId expired"},
        {R"({"channelRequests":[{"path":"a/b","lastCounter":1e300}]})", 400,
         kParse + "The value of 'lastCounter' is out of range.\n"},
        {R"({"channelRequests":[{"path":"a/b","fetchItemsCountMax":"3"}]})", 400,
         kParse + "[json.exception.type_error.302] type must be number, but is string\n"},
        {R"({"channelRequests":[{"lastCounter":1}]})", 400,
         kParse + "[json.exception.out_of_range.403] key 'path' not found\n"},
        {R"({"channelRequests":[{"path":"a/b"},{"path":"e/f"}]})", 500,
         "An error occurred during the fetch data command of the path (e/f). Internal error is "
         "(StorageError)."},
        // Success without points cannot be written: the measurement has no time reference.
        {R"({"channelRequests":[{"path":"g/h"}]})", 400,
         kParse + "DataResponse requires either timeReferenceAbsolute OR timeReferenceRelative.\n"},
        {R"({"channelRequests":[{"path":"gone"}]})", 404,
         "Path (gone) is unknown.\n Eventually it is gone or never existed.\nRequest the "
         "available channels again to be up to date."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const DfrmResponse response = ask(c.body);
        EXPECT_EQ(response.mStatusCode, c.status);
        EXPECT_EQ(response.mContentType, ContentType::textHtml);
        EXPECT_EQ(response.mBody, c.text);
    }
    EXPECT_TRUE(mLog.contains(log::Error,
                              "No data retrieved for channel 'g/h' but NoError "
                              "returned instead of StorageNoData"));
    // Malformed JSON, deep nesting and bytes that are no UTF-8.
    for (const std::string& body :
         {std::string("{\"channelRequests\":["),
          std::string(500000, '[') + std::string(500000, ']'), std::string("\"\xff\"")}) {
        EXPECT_EQ(ask(body).mStatusCode, 400);
    }
}

DataLoggerChannelInfo dbusDefaults(const std::string& path) {
    return DataLoggerChannelInfo::withDefaults(path, DataLoggerUnit::Kelvin,
                                               DataLoggerStats(DataLoggerStorageType::Volatile, 0),
                                               DataLoggerStorageType::Volatile, "coil temperature");
}

TEST_F(DfrmRoutes, FullMetadataIsTranslated) {
    DataLoggerChannelInfo info = dbusDefaults("a/b");
    info.mDescription.clear();
    info.mAcqPeriodTypical = std::chrono::microseconds(5000000);
    info.mAcqPeriodHighAlert = std::chrono::microseconds(1000000);
    info.mAbsolute = false;
    info.mCalibrated = true;
    info.mCalibrationNextDate = atMicros(1500000);
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
    const json present = {{"absolute", false},
                          {"calibrated", true},
                          {"calibrationNextDate", "1970-01-01T00:00:01.500000Z"},
                          {"offsetError", 0.5},
                          {"relativeError", 1.25},
                          {"logicalFunctionTags", json::array({"helium level", "x"})},
                          {"recommendRequestDataDuringHighAlertMode", true},
                          {"acqPeriodChangeable", true}};
    for (const auto& item : present.items()) {
        EXPECT_EQ(channel.at(item.key()), item.value()) << item.key();
    }
    for (const char* key :
         {"calibrationLastDate", "recommendRequestDataDuringTypicalMode", "description"}) {
        EXPECT_FALSE(channel.contains(key)) << key;
    }
    EXPECT_EQ(mLog.count("on path (a/b) violates the dfrm tag rule and is dropped."), 3u);

    // Calibrated without a next date: logged and written with the epoch.
    info.mCalibrationLastDate = atMicros(2000000);
    info.mCalibrationNextDate = TimePoint();
    const json dated = DfrmDataChannel(info).toJson();
    EXPECT_EQ(dated["calibrationLastDate"], "1970-01-01T00:00:02.000000Z");
    EXPECT_EQ(dated["calibrationNextDate"], "1970-01-01T00:00:00.000000Z");
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The path (a/b) has been set to be calibrated but hasn't set "
                              "'calibrationNextDate' field."));
}

TEST_F(DfrmRoutes, ChannelListStatusesAndTheKeptList) {
    pull->channelStatus = DataLoggerStatusCode::NotFound;
    const std::string empty = "{\"configHash\":\"" + hash() + "\",\"dataChannels\":[]}";
    EXPECT_EQ(answerDataChannels(context).mBody, empty);

    // Kept until a registration: the storage is not asked again.
    pull->channelStatus = DataLoggerStatusCode::StorageNotInitialized;
    const int calls = pull->channelCalls;
    EXPECT_EQ(answerDataChannels(context).mBody, empty);
    EXPECT_EQ(pull->channelCalls, calls);
    context.configurationChanged();
    const DfrmResponse failed = answerDataChannels(context);
    const std::string text =
        "The datalogger was unable to get the channels from the backend. The received status "
        "code is (StorageNotInitialized).";
    EXPECT_EQ(failed.mStatusCode, 500);
    EXPECT_EQ(failed.mBody, text);
    EXPECT_TRUE(mLog.contains(log::Error, text));

    DataLoggerChannelInfo info = dbusDefaults("a/b");
    info.mDescription = "bad \xff";
    pull->channels.emplace_back(info, 1);
    pull->channelStatus = DataLoggerStatusCode::NoError;
    context.configurationChanged();
    EXPECT_THROW(answerDataChannels(context), json::type_error);
}

TEST_F(DfrmRoutes, IdentificationListsTheDevicesThatAnsweredAndFailsWithoutAny) {
    const struct {
        std::map<std::string, std::string> devices;
        int listFails;
        int status;
        std::string text;  // the one device's identification, or the refusal
    } cases[] = {
        {{{"dev1", "tpx one"}, {"dev2", "!"}}, 0, 200, "tpx one"},
        {{{"dev1", "!"}}, 0, 500, "No device returned it's device-id data for dfrm."},
        {{{"dev1", "!"}}, 1, 500, "Identification request failed with 'device service gone'"}};
    for (const auto& c : cases) {
        devices->devices = c.devices;
        devices->listFails = c.listFails;
        const DfrmResponse response = answerIdentification(context);
        EXPECT_EQ(response.mStatusCode, c.status);
        if (c.status != 200) {
            EXPECT_EQ(response.mBody, c.text);
        } else {
            EXPECT_EQ(json::parse(response.mBody)["devices"][0]["tpx"], c.text);
        }
    }
    EXPECT_TRUE(mLog.contains(log::Error,
                              "Severe issue: The device with the id (dev2) failed to give its "
                              "device-id information with: no answer from dev2"));
}

TEST_F(DfrmRoutes, CapabilitiesAndVolatileStateFollowTheClock) {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (const bool valid : {false, true}) {
        time->valid = valid;
        const DfrmResponse capabilities = answerCapabilities(context);
        EXPECT_EQ(capabilities.mContentType, ContentType::applicationJson);
        EXPECT_EQ(json::parse(capabilities.mBody)["capabilities"]["clockType"],
                  valid ? "absolute" : "relative");
        const json state = json::parse(answerVolatileState(context).mBody)["volatileState"];
        ASSERT_EQ(state.size(), 1u);
        EXPECT_TRUE(valid ? state["absoluteTime"].get<std::string>().size() == 27u
                          : std::fabs(state["relativeTime"].get<double>() - now) < 60);
    }
}

// A channel list that failed contributes what it returned: nothing. Only the low 32 bits of a
// channel hash count, and the sum is widened as signed.
TEST_F(DfrmRoutes, ConfigHashOneReadHashesFirmwareClockFlagChannelSumAndDeviceSum) {
    EXPECT_EQ(referenceCrc32("123456789"), 0xCBF43926u);  // the reference itself
    const std::string listFailed =
        "Failed to retrieve device list, consider empty list for config hash. ";
    using Code = DataLoggerStatusCode;
    const struct {
        Code channelStatus;
        std::vector<uint64_t> channels;
        std::map<std::string, std::string> devices;
        int listFails;
        std::string channelSum, deviceSum;
        log::Severity severity;
        std::string log;
    } cases[] = {
        {Code::NotFound, {}, {}, 0, "0", "0", log::Error, ""},
        {Code::StorageNotInitialized, {}, {}, 0, "0", "0", log::Error, ""},
        {Code::NoError,
         {0x80000000u, 0x100000001ull},
         {},
         0,
         "18446744071562067969",
         "0",
         log::Error,
         ""},
        {Code::NoError,
         {},
         {{"slot1", "!"}},
         0,
         "0",
         std::to_string('s' + 'l' + 'o' + 't' + '1'),
         log::Warning,
         "Failed to retrieve deivce ID information from slot slot1 as TPX. Use the slot name "
         "instead"},
        {Code::NoError,
         {},
         {{"slot1", "TPX-1"}},
         1,
         "0",
         "0",
         log::Error,
         listFailed + "Excpetion was device service gone"},
        {Code::NoError,
         {},
         {{"slot1", "TPX-1"}},
         2,
         "0",
         "0",
         log::Error,
         listFailed + "GLib error was no service"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channelSum + " " + c.log);
        pull->channelStatus = c.channelStatus;
        setChannels(c.channels);
        devices->devices = c.devices;
        devices->listFails = c.listFails;
        EXPECT_EQ(make()->getConfigHash(), expected('\0', c.channelSum, c.deviceSum));
        EXPECT_TRUE(c.log.empty() || mLog.contains(c.severity, c.log));
    }
}

TEST_F(DfrmRoutes, ConfigHashReadsWithoutChangeComputeOnceAndRegistrationsAtTheNextRead) {
    setChannels({7});
    auto hash = make();
    const std::string first = hash->getConfigHash();
    EXPECT_EQ(hash->getConfigHash(), first);
    EXPECT_EQ(pull->channelCalls, 1);

    hash->markChannelsChanged();
    EXPECT_EQ(hash->getConfigHash(), first);  // same channels: same sum, same text
    EXPECT_EQ(pull->channelCalls, 2);

    setChannels({7, 5});
    EXPECT_EQ(hash->getConfigHash(), first);  // not marked: not reread
    hash->markChannelsChanged();
    EXPECT_EQ(hash->getConfigHash(), expected('\0', "12", "0"));

    // The clock becoming valid changes the hash by itself, without rereading the channels.
    time->valid = true;
    EXPECT_EQ(hash->getConfigHash(), expected('\x04', "12", "0"));
    EXPECT_EQ(pull->channelCalls, 3);
}

TEST_F(DfrmRoutes, ConfigHashTheDeviceListIsReadAgainEveryFiveMinutes) {
    devices->devices = {{"slot1", "A"}};
    const size_t others = callers->liveCallers();  // the context's own hash
    auto hash = make();
    EXPECT_EQ(callers->periods().back(), 300.0);
    const std::string before = hash->getConfigHash();
    devices->devices = {{"slot1", "B"}};
    EXPECT_EQ(hash->getConfigHash(), before);
    callers->fireAll();
    EXPECT_EQ(hash->getConfigHash(), expected('\0', "0", std::to_string(unsigned('B'))));
    EXPECT_EQ(devices->listCalls, 2);
    hash.reset();
    EXPECT_EQ(callers->liveCallers(), others);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
