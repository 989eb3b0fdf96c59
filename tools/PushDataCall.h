#pragma once
// One asynchronous pushData call to the daemon on the system bus, and its reply, for the
// programs that load the daemon (datalogger-load, the ingest benchmark's client).
#include <gio/gio.h>

#include <cstddef>

namespace datalogger::tools {

inline void callPushData(GDBusConnection* bus, guint64 hash, const double* values,
                         const gint64* stamps, std::size_t count, int timeoutMs,
                         GAsyncReadyCallback onReply, gpointer data) {
    GVariant* parameters = g_variant_new(
        "(t@ad@ax)", hash,
        g_variant_new_fixed_array(G_VARIANT_TYPE_DOUBLE, values, count, sizeof(double)),
        g_variant_new_fixed_array(G_VARIANT_TYPE_INT64, stamps, count, sizeof(gint64)));
    g_dbus_connection_call(bus, "com.quorix.datalogger.daemon", "/com/quorix/datalogger/daemon",
                           "com.quorix.datalogger.interface", "pushData", parameters,
                           G_VARIANT_TYPE("(q)"), G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr,
                           onReply, data);
}

// The daemon's status answer, or -1 when the call failed (`error`, if given, gets the reason;
// otherwise it is freed here).
inline int finishPushData(GObject* source, GAsyncResult* result, GError** error = nullptr) {
    GError* failure = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &failure);
    if (!reply) {
        if (error) {
            *error = failure;
        } else {
            g_error_free(failure);
        }
        return -1;
    }
    guint16 status = 0;
    g_variant_get(reply, "(q)", &status);
    g_variant_unref(reply);
    return status;
}

}  // namespace datalogger::tools
