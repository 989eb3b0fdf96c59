#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "inputs/dbus/DBusMethodHandler.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::LogCapture;

// What the handler makes of pushed values is seen end to end, over the bus and the real core.
using ::datalogger::test::RecordingPush;

Glib::VariantContainerBase tuple(const char* format, ...) {
    va_list args;
    va_start(args, format);
    GVariant* value = g_variant_new_va(format, nullptr, &args);
    va_end(args);
    return Glib::VariantContainerBase(value, false);
}

Glib::VariantContainerBase pushTuple(guint64 hash, const std::vector<double>& data,
                                     const std::vector<gint64>& timestamps) {
    GVariant* children[] = {
        g_variant_new_uint64(hash),
        g_variant_new_fixed_array(G_VARIANT_TYPE_DOUBLE, data.data(), data.size(), sizeof(double)),
        g_variant_new_fixed_array(G_VARIANT_TYPE_INT64, timestamps.data(), timestamps.size(),
                                  sizeof(gint64))};
    return Glib::VariantContainerBase(g_variant_new_tuple(children, 3), false);
}

std::string text(const Glib::VariantBase& value) {
    return value.print(false);
}

class DBusMethodHandlerTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingPush> mPush = std::make_shared<RecordingPush>();
    DBusMethodHandler mHandler{mPush};
    LogCapture mLog;
};

TEST_F(DBusMethodHandlerTest, RegistrationBuildsTheDefaultChannelAndRepliesWithTheCoresAnswer) {
    mPush->mStatus = DataLoggerStatusCode::AlreadyRegistered;
    auto reply =
        mHandler.registerOrUpdateChannel(tuple("(sqyuyst)", "magnet/temp", guint16(4), guchar(2),
                                               guint32(60), guchar(1), "coil", guint64(5)));
    EXPECT_EQ(text(reply), "(1000, 2)");
    EXPECT_EQ(reply.get_type_string(), "(tq)");
    EXPECT_EQ(mPush->lastHashIn(), 5u);
    const auto infos = mPush->registrations();
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0], DataLoggerChannelInfo::withDefaults(
                            "magnet/temp", DataLoggerUnit::Kelvin,
                            DataLoggerStats(DataLoggerStorageType::NonVolatile, 60),
                            DataLoggerStorageType::Volatile, "coil"));
    EXPECT_EQ(infos[0].mMin, 2.2250738585072014e-308);
}

// Time stamps are microseconds, surplus ones are ignored, an empty push still reaches the
// core, and the reply is the core's answer.
TEST_F(DBusMethodHandlerTest, PushesReachTheCoreAtTheirMicrosecondTimeStamps) {
    EXPECT_EQ(text(mHandler.pushData(pushTuple(1000, {1.5, 2.5}, {1000000, 2000000, 3000000}))),
              "(0,)");
    mPush->mStatus = DataLoggerStatusCode::NotFound;
    EXPECT_EQ(text(mHandler.pushData(pushTuple(1000, {}, {}))), "(1,)");
    EXPECT_EQ(mPush->pushCalls(), 2u);
    const auto points = mPush->points();
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(std::make_pair(points[0].value, points[0].stamp),
              std::make_pair(1.5, TimePoint(std::chrono::seconds(1))));
    EXPECT_EQ(std::make_pair(points[1].value, points[1].stamp),
              std::make_pair(2.5, TimePoint(std::chrono::seconds(2))));
}

// Time stamps missing or beyond the nanosecond range.
TEST_F(DBusMethodHandlerTest, RefusedPushesAnswerThreeQueueNothingAndWarn) {
    const struct {
        std::vector<double> data;
        std::vector<gint64> timestamps;
        const char* reason;
    } cases[] = {{{1, 2}, {1}, "fewer time stamps than values"},
                 {{1}, {}, "fewer time stamps than values"},
                 {{1, 2}, {1, std::numeric_limits<gint64>::max() / 999}, "time stamp out of range"},
                 {{1}, {std::numeric_limits<gint64>::min()}, "time stamp out of range"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.timestamps.empty() ? 0 : c.timestamps.back());
        LogCapture capture;
        EXPECT_EQ(text(mHandler.pushData(pushTuple(42, c.data, c.timestamps))), "(3,)");
        EXPECT_EQ(mPush->pushCalls(), 0u);
        EXPECT_TRUE(capture.contains(log::Warning,
                                     std::string("pushData for hash 42 refused: ") + c.reason));
    }
}

// A configured path need not be UTF-8; the answer must still be a D-Bus string and JSON.
TEST_F(DBusMethodHandlerTest, StatusIsJsonWithForeignBytesReplacedAndUnreadFiguresLeftOut) {
    DataLoggerStatus status;
    status.pointsStored = 5;
    status.databases.push_back({"volatile", "/run/\xff.db", 4096, 8192, std::nullopt, 1, 2, ""});
    DBusMethodHandler handler(mPush, [&] { return status; });
    const auto reply = handler.getStatus(Glib::VariantContainerBase(g_variant_new("()"), false));
    Glib::Variant<Glib::ustring> answer;
    reply.get_child(answer, 0);
    const auto json = nlohmann::json::parse(answer.get().raw());
    EXPECT_EQ(json["points"]["stored"], 5);
    EXPECT_EQ(json["databases"][0]["path"], "/run/\xef\xbf\xbd.db");
    EXPECT_FALSE(json["databases"][0].contains("rows"));
    EXPECT_EQ(json["databases"][0]["fileBytes"], 8192);
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
