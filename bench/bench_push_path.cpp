// Usage: bench_push_path DIRECTORY POINTS BATCH
// The push path in one process, for callgrind: pushData parameter tuples of BATCH points go
// through the D-Bus method handler into the core, its queue and processing thread, into a real
// volatile database in DIRECTORY; then the bare autocommit loop writes POINTS rows into a
// database of its own. scripts/bench divides the inclusive instruction counts of the functions
// below by POINTS: makeParameters (the client's side, not counted), DBusMethodHandler::pushData
// (conversion and queueing), DataLoggerCore::writeBatch (the processing thread) and
// bareInsertLoop (the floor).
#include <giomm/init.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "BenchSupport.h"
#include "engine/DataLoggerCore.h"
#include "inputs/dbus/DBusMethodHandler.h"
#include "storage/DataLoggerStorageConfig.h"
#include "support/fakes.h"
#include "support/private_bus.h"

using namespace datalogger::bench;

namespace {

__attribute__((noinline)) Glib::VariantContainerBase makeParameters(uint64_t hash, int first,
                                                                    int count) {
    std::vector<double> values(count);
    std::vector<gint64> stamps(count);
    for (int i = 0; i < count; ++i) {
        values[i] = first + i;
        stamps[i] = first + i + 1;
    }
    GVariant* children[] = {
        g_variant_new_uint64(hash),
        g_variant_new_fixed_array(G_VARIANT_TYPE_DOUBLE, values.data(), count, sizeof(double)),
        g_variant_new_fixed_array(G_VARIANT_TYPE_INT64, stamps.data(), count, sizeof(gint64))};
    return Glib::VariantContainerBase(g_variant_ref_sink(g_variant_new_tuple(children, 3)), false);
}

__attribute__((noinline)) void waitStored(const std::string& file, int rows) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_busy_timeout(db, 1000);
    for (sqlite3_int64 stored = 0; stored < rows;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sqlite3_stmt* count = nullptr;
        // Each stored point takes the next tail row, even when blocks have emptied the tail.
        sqlite3_prepare_v2(db,
                           "SELECT coalesce((SELECT max(seq) FROM tail), "
                           "(SELECT max(lastSeq) FROM block), 0);",
                           -1, &count, nullptr);
        if (sqlite3_step(count) == SQLITE_ROW) stored = sqlite3_column_int64(count, 0);
        sqlite3_finalize(count);
    }
    sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DIRECTORY POINTS BATCH\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const int points = std::atoi(argv[2]);
    const int batch = std::atoi(argv[3]);
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Warning);
    Gio::init();
    datalogger::test::PrivateBus bus;

    const auto channel = benchChannel("bench/pushpath", qd::DataLoggerStorageType::Volatile);
    const std::string file = dir + "/push_path.db";
    auto storage = openBenchStorage(file, {});
    auto core = std::make_shared<qd::DataLoggerCore>(
        std::make_shared<datalogger::test::FakePeriodicCallerManager>(), storage,
        std::make_shared<datalogger::test::FakeStorage>(),
        std::make_shared<qd::DataLoggerStorageConfig>(kBenchDbSize, file, kBenchDbSize, "/nv.db"),
        nullptr, nullptr);
    core->setDfrmSocketPath(dir + "/push_path.socket");
    core->initialize();
    uint64_t hash = 0;
    core->registerOrUpdateChannel(channel.channelInfo(), hash);

    qd::DBusMethodHandler handler(core);
    for (int sent = 0; sent < points; sent += batch) {
        auto reply = handler.pushData(makeParameters(hash, sent, batch));
        if (reply.get_child(0).get_data() == nullptr) std::exit(1);
    }
    waitStored(file, points);

    const std::string bareFile = dir + "/push_path_bare.db";
    openBenchStorage(bareFile, {channel})->finalize();
    std::printf("bare %.0f rows/s\n", bareInsertLoop(bareFile, hash, points));
    removeDatabaseFiles(bareFile);
    return 0;
}
