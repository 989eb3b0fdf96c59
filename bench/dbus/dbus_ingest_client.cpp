// Usage: dbus_ingest_client HASH POINTS BATCH DBFILE
// Pushes POINTS values of one registered channel to the running daemon in pushData calls of
// BATCH points (up to 16 calls in flight, so the figure is the daemon's rate and not one
// client's round trip), then waits until the daemon's database file holds them all (nothing
// else may write to it meanwhile). Prints the points per second from the first call to the last
// row committed.
#include <gio/gio.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tools/PushDataCall.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWindow = 16;

int inFlight = 0;

void onReply(GObject* source, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    const int status = datalogger::tools::finishPushData(source, result, &error);
    if (status < 0) {
        std::fprintf(stderr, "pushData: %s\n", error->message);
        std::exit(1);
    }
    if (status != 0) {
        std::fprintf(stderr, "pushData answered %u\n", status);
        std::exit(1);
    }
    --inFlight;
}

// The newest tail row: each stored point takes the next one, and reading it takes the shared
// lock for microseconds. Counting the points would hold it long enough to make the daemon's
// writer wait in its busy handler, which is the client measuring itself. Once blocks hold every
// point the tail may be empty, and the newest block knows the row instead.
sqlite3_int64 storedRows(sqlite3* db) {
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT coalesce((SELECT max(seq) FROM tail), "
                       "(SELECT max(lastSeq) FROM block), 0);",
                       -1, &count, nullptr);
    sqlite3_int64 rows = -1;
    if (sqlite3_step(count) == SQLITE_ROW) rows = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s HASH POINTS BATCH DBFILE\n", argv[0]);
        return 2;
    }
    const guint64 hash = std::strtoull(argv[1], nullptr, 10);
    const int points = std::atoi(argv[2]);
    const int batch = std::max(1, std::atoi(argv[3]));
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(argv[4], &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "cannot open %s\n", argv[4]);
        return 1;
    }
    sqlite3_busy_timeout(db, 1000);
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "bus: %s\n", error->message);
        return 1;
    }
    const auto target = storedRows(db) + points;
    // Time stamps continue from now in microseconds, one apart, so every row is distinct.
    const gint64 firstStamp = g_get_real_time();
    std::vector<double> values(batch);
    std::vector<gint64> stamps(batch);

    const auto start = Clock::now();
    for (int sent = 0; sent < points;) {
        while (inFlight >= kWindow) g_main_context_iteration(nullptr, TRUE);
        const int n = std::min(batch, points - sent);
        for (int i = 0; i < n; ++i) {
            values[i] = sent + i;
            stamps[i] = firstStamp + sent + i;
        }
        datalogger::tools::callPushData(bus, hash, values.data(), stamps.data(),
                                        static_cast<std::size_t>(n), 60000, onReply, nullptr);
        ++inFlight;
        sent += n;
    }
    while (inFlight > 0) g_main_context_iteration(nullptr, TRUE);
    const auto deadline = Clock::now() + std::chrono::minutes(5);
    while (storedRows(db) < target) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "the daemon did not store all points\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%.0f\n", points / seconds);
    g_object_unref(bus);
    sqlite3_close(db);
    return 0;
}
