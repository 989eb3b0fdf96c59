#pragma once

#include <glibmm/variant.h>

#include <functional>
#include <memory>
#include <stdexcept>

#include "core/DataLoggerPushDataIfc.h"
#include "core/DataLoggerStatus.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// A push refused because it would pass a bound; answered with the D-Bus error LimitsExceeded and
// this text. The core has counted and reported it already.
class DBusLimitsExceeded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Turns the parameter tuple of one D-Bus method into the channel model, calls the push interface
// and builds the reply tuple. Keeps no state besides the push interface it shares with its owner.
//
// Threads: whichever thread dispatches the method (the main loop in the daemon).
// Failure: a parameter tuple of another type throws std::invalid_argument; an exception of the
// push interface is logged ("... throws %s") and thrown on; a push past the queue's bounds throws
// DBusLimitsExceeded.
class DBusMethodHandler : public virtual log::Logger {
public:
    using StatusSource = std::function<DataLoggerStatus()>;

    // Without a status source, getStatus throws std::runtime_error.
    explicit DBusMethodHandler(std::shared_ptr<DataLoggerPushDataIfc> push,
                               StatusSource status = {});

    // (s path, q unit, y statsStorageType, u statsPeriod, y storageType, s description, t hash)
    // -> (t hash, q rtnValue)
    Glib::VariantContainerBase registerOrUpdateChannel(
        const Glib::VariantContainerBase& parameters);
    // (t hash, ad data, ax timestamp) -> (q rtnValue); time stamps in microseconds since the epoch.
    Glib::VariantContainerBase pushData(const Glib::VariantContainerBase& parameters);
    // () -> (s status): one JSON object, compact,
    //   {"version", "uptimeSeconds", "queue": {"points", "bound"},
    //    "points": {"accepted", "stored", "refused", "dropped"},
    //    "databases": [{"name", "path", "sizeLimitBytes", "fileBytes", "rows", "oldestUs",
    //                   "newestUs", "lastError"}],
    //    "pollFiles": {"loaded", "refused"}, "channels", "clockTrusted"}
    // with times in microseconds since the epoch; a database's figure that could not be read is
    // left out. JSON rather than a{sv}: the nested list of databases stays readable in gdbus and
    // busctl output, `status --json` passes it on as it is, and fields can be added without
    // changing the method's signature.
    Glib::VariantContainerBase getStatus(const Glib::VariantContainerBase& parameters);

private:
    std::shared_ptr<DataLoggerPushDataIfc> mPush;
    StatusSource mStatus;
};

}  // namespace quorix::pelmo::datalogger
