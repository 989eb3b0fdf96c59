// Usage: datalogger-load HASH BATCH CALLS_PER_SECOND SECONDS
// A steady producer for soak and fault runs: pushes BATCH points of the registered channel HASH
// to the daemon on the system bus, CALLS_PER_SECOND times a second for SECONDS (0: until
// killed), on a fixed schedule with replies taken asynchronously, so a slow reply delays no
// later call. Time stamps are the current time in µs plus the point's index. Every 10 s, and at
// the end (also on SIGTERM or SIGINT), prints one line: calls sent, points acknowledged, calls
// refused or failed.
#include <gio/gio.h>
#include <glib-unix.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/PushDataCall.h"

namespace {

struct Load {
    GDBusConnection* bus = nullptr;
    guint64 hash = 0;
    unsigned batch = 0;
    unsigned long sent = 0, acknowledged = 0, failed = 0;
};

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
    auto* load = static_cast<Load*>(data);
    if (datalogger::tools::finishPushData(source, result) == 0) {
        load->acknowledged += load->batch;
    } else {
        ++load->failed;
    }
}

gboolean push(gpointer data) {
    auto* load = static_cast<Load*>(data);
    const gint64 now = g_get_real_time();
    std::vector<double> values(load->batch);
    std::vector<gint64> stamps(load->batch);
    for (unsigned i = 0; i < load->batch; ++i) {
        values[i] = static_cast<double>((now / 1000 + i) % 1000) + 0.25;
        stamps[i] = now + i;
    }
    datalogger::tools::callPushData(load->bus, load->hash, values.data(), stamps.data(),
                                    load->batch, 10000, onReply, load);
    ++load->sent;
    return G_SOURCE_CONTINUE;
}

gboolean report(gpointer data) {
    const auto* load = static_cast<const Load*>(data);
    std::printf("sent %lu calls, %lu points acknowledged, %lu calls refused or failed\n",
                load->sent, load->acknowledged, load->failed);
    std::fflush(stdout);
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s HASH BATCH CALLS_PER_SECOND SECONDS\n", argv[0]);
        return 2;
    }
    Load load;
    load.hash = std::strtoull(argv[1], nullptr, 10);
    load.batch = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    const unsigned rate = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    const unsigned seconds = static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10));
    if (load.batch == 0 || rate == 0 || rate > 1000) {
        std::fprintf(stderr, "BATCH must be positive and CALLS_PER_SECOND within 1..1000\n");
        return 2;
    }
    GError* error = nullptr;
    load.bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!load.bus) {
        std::fprintf(stderr, "system bus: %s\n", error->message);
        return 1;
    }
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(1000 / rate, push, &load);
    g_timeout_add_seconds(10, report, &load);
    for (int signal : {SIGTERM, SIGINT}) {
        g_unix_signal_add(
            signal,
            [](gpointer l) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(l));
                return G_SOURCE_CONTINUE;
            },
            loop);
    }
    if (seconds > 0) {
        g_timeout_add_seconds(
            seconds,
            [](gpointer l) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(l));
                return G_SOURCE_REMOVE;
            },
            loop);
    }
    g_main_loop_run(loop);
    // Let the replies of the last calls arrive.
    const gint64 deadline = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
    while (load.acknowledged + load.failed * load.batch < load.sent * load.batch &&
           g_get_monotonic_time() < deadline) {
        g_main_context_iteration(nullptr, TRUE);
    }
    report(&load);
    g_main_loop_unref(loop);
    g_object_unref(load.bus);
    return 0;
}
