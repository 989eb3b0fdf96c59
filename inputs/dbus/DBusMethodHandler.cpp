#include "inputs/dbus/DBusMethodHandler.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>
#include <vector>

namespace quorix::pelmo::datalogger {

namespace {

constexpr int64_t kNanosecondsPerMicrosecond = 1000;

// The C reader functions take non-const pointers although they only read.
GVariant* raw(const Glib::VariantBase& value) {
    return const_cast<GVariant*>(value.gobj());
}

// The binding checks the signature against the introspection data before dispatching; this
// guards direct callers, which would otherwise read a tuple of another shape.
void requireType(const Glib::VariantContainerBase& parameters, const char* type) {
    if (!parameters.gobj() || !g_variant_is_of_type(raw(parameters), G_VARIANT_TYPE(type))) {
        throw std::invalid_argument(std::string("parameters are not of type ") + type);
    }
}

template <typename T>
const T* fixedArray(const Glib::VariantBase& array, size_t& count) {
    gsize n = 0;
    const void* data = g_variant_get_fixed_array(raw(array), &n, sizeof(T));
    count = n;
    return static_cast<const T*>(data);
}

[[noreturn]] void throwLimitsExceeded(size_t points, size_t queued) {
    char text[256];
    if (points > kMaxPointsPerPush) {
        std::snprintf(text, sizeof text,
                      "pushData of %zu points refused: one call may carry at most %zu points",
                      points, kMaxPointsPerPush);
    } else {
        std::snprintf(text, sizeof text,
                      "pushData of %zu points refused: %zu points are queued, the bound is %zu "
                      "for a call of this size (%zu for calls of at most %zu points)",
                      points, queued, queuedPointsBoundFor(points), kMaxQueuedPoints,
                      kSmallPushPoints);
    }
    throw DBusLimitsExceeded(text);
}

Glib::VariantContainerBase reply(GVariant* floatingTuple) {
    // A floating reference is sunk by the wrapper, which then owns the tuple.
    return Glib::VariantContainerBase(floatingTuple, false);
}

nlohmann::json toJson(const DataLoggerStatus& status) {
    nlohmann::json databases = nlohmann::json::array();
    for (const auto& database : status.databases) {
        nlohmann::json entry = {{"name", database.name},
                                {"path", database.path},
                                {"sizeLimitBytes", database.sizeLimitBytes},
                                {"lastError", database.lastError}};
        if (database.fileBytes) entry["fileBytes"] = *database.fileBytes;
        if (database.rows) entry["rows"] = *database.rows;
        if (database.oldestUs) entry["oldestUs"] = *database.oldestUs;
        if (database.newestUs) entry["newestUs"] = *database.newestUs;
        databases.push_back(std::move(entry));
    }
    return {
        {"version", status.version},
        {"uptimeSeconds", status.uptimeSeconds},
        {"queue", {{"points", status.queuedPoints}, {"bound", status.queueBoundPoints}}},
        {"points",
         {{"accepted", status.pointsAccepted},
          {"stored", status.pointsStored},
          {"refused", status.pointsRefused},
          {"dropped", status.pointsDropped}}},
        {"databases", std::move(databases)},
        {"pollFiles", {{"loaded", status.pollFilesLoaded}, {"refused", status.pollFilesRefused}}},
        {"channels", status.channels},
        {"commitIntervalMs", status.commitIntervalMs},
        {"clockTrusted", status.clockTrusted}};
}

}  // namespace

DBusMethodHandler::DBusMethodHandler(std::shared_ptr<DataLoggerPushDataIfc> push,
                                     StatusSource status)
    : log::Logger("DBusService", "", std::make_shared<log::LoggerImpl>()),
      mPush(std::move(push)),
      mStatus(std::move(status)) {}

Glib::VariantContainerBase DBusMethodHandler::getStatus(
    const Glib::VariantContainerBase& parameters) {
    requireType(parameters, "()");
    if (!mStatus) throw std::runtime_error("no status available");
    // Paths and SQLite messages need not be UTF-8, which both JSON and D-Bus strings must be.
    const std::string text =
        toJson(mStatus()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return reply(g_variant_new("(s)", text.c_str()));
}

Glib::VariantContainerBase DBusMethodHandler::registerOrUpdateChannel(
    const Glib::VariantContainerBase& parameters) {
    requireType(parameters, "(sqyuyst)");
    const char* path = nullptr;
    const char* description = nullptr;
    guint16 unit = 0;
    guchar statsStorageType = 0;
    guint32 statsPeriod = 0;
    guchar storageType = 0;
    guint64 hashIn = 0;
    g_variant_get(raw(parameters), "(&sqyuy&st)", &path, &unit, &statsStorageType, &statsPeriod,
                  &storageType, &description, &hashIn);

    DataLoggerChannelInfo info = DataLoggerChannelInfo::withDefaults(
        path, static_cast<DataLoggerUnit>(unit),
        DataLoggerStats(static_cast<DataLoggerStorageType>(statsStorageType),
                        static_cast<int64_t>(statsPeriod)),
        static_cast<DataLoggerStorageType>(storageType), description);
    uint64_t hash = hashIn;
    DataLoggerStatusCode status;
    try {
        status = mPush->registerOrUpdateChannel(info, hash);
    } catch (const std::exception& e) {
        pelmoDoLog(log::Error, "registerOrUpdateChannel throws %s", nullptr,
                   log::untrusted(e.what()).c_str());
        throw;
    }
    return reply(g_variant_new("(tq)", static_cast<guint64>(hash), static_cast<guint16>(status)));
}

Glib::VariantContainerBase DBusMethodHandler::pushData(
    const Glib::VariantContainerBase& parameters) {
    requireType(parameters, "(tadax)");
    guint64 hash = 0;
    GVariant* dataChild = nullptr;
    GVariant* timestampChild = nullptr;
    g_variant_get(raw(parameters), "(t@ad@ax)", &hash, &dataChild, &timestampChild);
    // The wrappers own the two new references.
    const Glib::VariantBase dataArray(dataChild, false);
    const Glib::VariantBase timestampArray(timestampChild, false);
    size_t count = 0;
    size_t timestampCount = 0;
    const double* data = fixedArray<double>(dataArray, count);
    const gint64* timestamps = fixedArray<gint64>(timestampArray, timestampCount);

    auto refuse = [&](const char* why) {
        pelmoDoLog(log::Warning, "pushData for hash %u refused: %s", nullptr,
                   static_cast<unsigned>(hash), why);
        return reply(
            g_variant_new("(q)", static_cast<guint16>(DataLoggerStatusCode::InvalidArgument)));
    };
    // A value without a time stamp cannot be stored; storing the others alone would hide the
    // caller's mistake.
    if (timestampCount < count) return refuse("fewer time stamps than values");
    // A flood is refused before its points are built: that copy is half of what it costs.
    if (mPush->admitPush(count) == DataLoggerStatusCode::QueueFull) {
        throwLimitsExceeded(count, mPush->queuedPoints());
    }

    std::vector<DataLoggerDataPoint> points;
    points.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        int64_t nanoseconds = 0;
        if (__builtin_mul_overflow(timestamps[i], kNanosecondsPerMicrosecond, &nanoseconds)) {
            return refuse("time stamp out of range");
        }
        points.emplace_back(data[i], TimePoint(std::chrono::nanoseconds(nanoseconds)));
    }

    const uint64_t channelHash = hash;
    DataLoggerStatusCode status;
    try {
        // The points were converted for the push alone: the core queues this vector itself.
        status = mPush->pushOwnedData(channelHash, std::move(points));
    } catch (const std::exception& e) {
        pelmoDoLog(log::Error, "pushData throws %s", nullptr, log::untrusted(e.what()).c_str());
        throw;
    }
    if (status == DataLoggerStatusCode::QueueFull) {
        throwLimitsExceeded(count, mPush->queuedPoints());
    }
    return reply(g_variant_new("(q)", static_cast<guint16>(status)));
}

}  // namespace quorix::pelmo::datalogger
