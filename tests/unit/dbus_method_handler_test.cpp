#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "inputs/dbus/DBusMethodHandler.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::LogCapture;
using std::chrono::seconds;

// Records what reaches the core and answers with a chosen status, or throws.
class RecordingPush : public DataLoggerPushDataIfc {
public:
    DataLoggerStatusCode registerOrUpdateChannel(const DataLoggerChannelInfo& info,
                                                 uint64_t& hash) override {
        if (mThrow) throw std::runtime_error(mThrow);
        mInfos.push_back(info);
        mHashIn = hash;
        hash = 777;
        return mStatus;
    }
    DataLoggerStatusCode pushData(const uint64_t& hash,
                                  const std::vector<DataLoggerDataPoint>& points) override {
        if (mThrow) throw std::runtime_error(mThrow);
        mPushes.push_back({hash, points});
        return mStatus;
    }

    DataLoggerStatusCode mStatus = DataLoggerStatusCode::NoError;
    const char* mThrow = nullptr;
    std::vector<DataLoggerChannelInfo> mInfos;
    uint64_t mHashIn = 0;
    std::vector<DataLoggerChannelPoint> mPushes;
};

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
    EXPECT_EQ(text(reply), "(777, 2)");
    EXPECT_EQ(reply.get_type_string(), "(tq)");
    EXPECT_EQ(mPush->mHashIn, 5u);
    ASSERT_EQ(mPush->mInfos.size(), 1u);
    EXPECT_EQ(mPush->mInfos[0], DataLoggerChannelInfo::withDefaults(
                                    "magnet/temp", DataLoggerUnit::Kelvin,
                                    DataLoggerStats(DataLoggerStorageType::NonVolatile, 60),
                                    DataLoggerStorageType::Volatile, "coil"));
    EXPECT_EQ(mPush->mInfos[0].mMin, 2.2250738585072014e-308);
}

TEST_F(DBusMethodHandlerTest, PushTurnsMicrosecondsIntoTimePointsInOrderAndIgnoresSurplusStamps) {
    auto reply = mHandler.pushData(pushTuple(42, {1.5, 2.5}, {1000000, 2000000, 3000000}));
    EXPECT_EQ(text(reply), "(0,)");
    EXPECT_EQ(reply.get_type_string(), "(q)");
    ASSERT_EQ(mPush->mPushes.size(), 1u);
    EXPECT_EQ(mPush->mPushes[0].mHash, 42u);
    const auto& points = mPush->mPushes[0].mPoints;
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(std::make_pair(points[0].value(), points[0].timestamp()),
              std::make_pair(1.5, TimePoint(seconds(1))));
    EXPECT_EQ(std::make_pair(points[1].value(), points[1].timestamp()),
              std::make_pair(2.5, TimePoint(seconds(2))));
    // An empty push still reaches the core and returns its status.
    mPush->mStatus = DataLoggerStatusCode::NotFound;
    EXPECT_EQ(text(mHandler.pushData(pushTuple(9, {}, {}))), "(1,)");
    ASSERT_EQ(mPush->mPushes.size(), 2u);
    EXPECT_TRUE(mPush->mPushes[1].mPoints.empty());
}

struct RefusedPush {
    const char* name;
    std::vector<double> data;
    std::vector<gint64> timestamps;
    const char* reason;
};
void PrintTo(const RefusedPush& push, std::ostream* os) {
    *os << push.name;
}

class DBusMethodHandlerRefusal : public DBusMethodHandlerTest,
                                 public ::testing::WithParamInterface<RefusedPush> {};

TEST_P(DBusMethodHandlerRefusal, AnswersThreeQueuesNothingAndWarns) {
    const auto& c = GetParam();
    EXPECT_EQ(text(mHandler.pushData(pushTuple(42, c.data, c.timestamps))), "(3,)");
    EXPECT_TRUE(mPush->mPushes.empty());
    EXPECT_TRUE(
        mLog.contains(log::Warning, std::string("pushData for hash 42 refused: ") + c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Pushes, DBusMethodHandlerRefusal,
    ::testing::Values(
        RefusedPush{"FewerStampsThanValues", {1, 2}, {1}, "fewer time stamps than values"},
        RefusedPush{"NoStamps", {1}, {}, "fewer time stamps than values"},
        RefusedPush{"StampBeyondNanosecondRange",
                    {1, 2},
                    {1, std::numeric_limits<gint64>::max() / 999},
                    "time stamp out of range"},
        RefusedPush{"StampBelowNanosecondRange",
                    {1},
                    {std::numeric_limits<gint64>::min()},
                    "time stamp out of range"}),
    [](const auto& info) { return info.param.name; });

TEST_F(DBusMethodHandlerTest, ExceptionsOfTheCoreAndTuplesOfAnotherShapeAreThrownOn) {
    mPush->mThrow = "Not yet initialized";
    EXPECT_THROW(mHandler.pushData(pushTuple(1, {1}, {1})), std::runtime_error);
    EXPECT_THROW(mHandler.registerOrUpdateChannel(tuple("(sqyuyst)", "a", guint16(999), guchar(1),
                                                        guint32(0), guchar(1), "", guint64(0))),
                 std::runtime_error);
    mPush->mThrow = nullptr;
    EXPECT_THROW(mHandler.pushData(tuple("(t)", guint64(1))), std::invalid_argument);
    EXPECT_THROW(mHandler.registerOrUpdateChannel(tuple("(s)", "a")), std::invalid_argument);
    EXPECT_TRUE(mPush->mPushes.empty());
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
