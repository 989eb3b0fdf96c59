// Usage: dbus_push_bench [calls per round] [rounds]
// Starts a private system bus, serves pushData twice on one connection -- through
// DataloggerDBusService into the real core (storages in memory), and through a bare GDBus
// object that only unpacks the arguments -- and lets a client process call each in turn, one
// point per call, one call at a time. Prints calls per second per round and the median ratio.
#include <fcntl.h>
#include <giomm/init.h>
#include <glibmm/main.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/DataLoggerCore.h"
#include "inputs/dbus/DataloggerDBusService.h"
#include "storage/DataLoggerStorageConfig.h"
#include "support/fakes.h"
#include "support/private_bus.h"

extern char** environ;

namespace {

namespace qd = quorix::pelmo::datalogger;

const char* const kInterface = "com.quorix.datalogger.interface";
const char* const kBarePath = "/bench/bare";
const char* const kBareXml = R"xml(<node><interface name="com.quorix.datalogger.interface">
  <method name="pushData">
    <arg name="hash" type="t" direction="in"/><arg name="data" type="ad" direction="in"/>
    <arg name="timestamp" type="ax" direction="in"/><arg name="rtnValue" type="q" direction="out"/>
  </method></interface></node>)xml";

void bareMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                    GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
    guint64 hash = 0;
    GVariant* data = nullptr;
    GVariant* stamps = nullptr;
    g_variant_get(parameters, "(t@ad@ax)", &hash, &data, &stamps);
    gsize n = 0;
    gsize m = 0;
    const double* values =
        static_cast<const double*>(g_variant_get_fixed_array(data, &n, sizeof(double)));
    g_variant_get_fixed_array(stamps, &m, sizeof(gint64));
    volatile double sink = n > 0 && m >= n ? values[0] : 0.0;
    (void)sink;
    g_variant_unref(data);
    g_variant_unref(stamps);
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(q)", guint16(0)));
}

// Client side: one synchronous call after another on its own bus connection.
int runClientRounds(const char* dest, const char* path, const char* hashText, int calls) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "client: %s\n", error->message);
        return 1;
    }
    const guint64 hash = std::strtoull(hashText, nullptr, 10);
    auto once = [&](gint64 i) {
        const double value = double(i);
        GVariant* children[] = {
            g_variant_new_uint64(hash),
            g_variant_new_fixed_array(G_VARIANT_TYPE_DOUBLE, &value, 1, sizeof(double)),
            g_variant_new_fixed_array(G_VARIANT_TYPE_INT64, &i, 1, sizeof(gint64))};
        GVariant* reply = g_dbus_connection_call_sync(
            bus, dest, path, kInterface, "pushData", g_variant_new_tuple(children, 3),
            G_VARIANT_TYPE("(q)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (!reply) {
            std::fprintf(stderr, "client: %s\n", error->message);
            std::exit(1);
        }
        guint16 status = 0;
        g_variant_get(reply, "(q)", &status);
        g_variant_unref(reply);
        if (status != 0) {
            std::fprintf(stderr, "client: status %u\n", status);
            std::exit(1);
        }
    };
    for (int i = 0; i < 200; ++i) once(i);  // warm-up
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) once(1000000 + i);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("%.0f\n", calls / elapsed);
    g_object_unref(bus);
    return 0;
}

// Server side: runs the client as a child process while the main loop serves its calls.
double measure(const std::string& dest, const std::string& path, uint64_t hash, int calls) {
    char outputTemplate[] = "/tmp/dbus_bench_XXXXXX";
    const int fd = mkstemp(outputTemplate);
    const std::string self = "/proc/self/exe";
    const std::string hashText = std::to_string(hash);
    const std::string callsText = std::to_string(calls);
    std::vector<char*> argv{const_cast<char*>(self.c_str()),
                            const_cast<char*>("--client"),
                            const_cast<char*>(dest.c_str()),
                            const_cast<char*>(path.c_str()),
                            const_cast<char*>(hashText.c_str()),
                            const_cast<char*>(callsText.c_str()),
                            nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    pid_t pid = -1;
    posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    auto loop = Glib::MainLoop::create();
    int status = -1;
    Glib::signal_child_watch().connect(
        [&](GPid, int s) {
            status = s;
            loop->quit();
        },
        pid);
    loop->run();
    char text[64] = {};
    const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    close(fd);
    unlink(outputTemplate);
    if (status != 0 || n <= 0) {
        std::fprintf(stderr, "client failed (%d)\n", status);
        std::exit(1);
    }
    return std::atof(text);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "--client") {
        return runClientRounds(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    }
    const int calls = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Warning);
    Gio::init();
    datalogger::test::PrivateBus bus;

    auto core = std::make_shared<qd::DataLoggerCore>(
        std::make_shared<datalogger::test::FakePeriodicCallerManager>(),
        std::make_shared<datalogger::test::FakeStorage>(),
        std::make_shared<datalogger::test::FakeStorage>(),
        std::make_shared<qd::DataLoggerStorageConfig>(2097152, "/v.db", 2097152, "/nv.db"), nullptr,
        nullptr);
    core->initialize();
    uint64_t hash = 0;
    core->registerOrUpdateChannel(qd::DataLoggerChannelInfo::withDefaults(
                                      "bench/value", qd::DataLoggerUnit::None,
                                      qd::DataLoggerStats(qd::DataLoggerStorageType::Volatile, 0),
                                      qd::DataLoggerStorageType::Volatile, ""),
                                  hash);
    qd::DataloggerDBusService service(core, "daemon", Gio::DBus::BUS_TYPE_SYSTEM);
    auto context = Glib::MainContext::get_default();
    while (!service.isNameAcquired()) context->iteration(true);

    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kBareXml, nullptr);
    const GDBusInterfaceVTable vtable{bareMethodCall, nullptr, nullptr, {}};
    const guint bareId =
        g_dbus_connection_register_object(bus.connection()->gobj(), kBarePath, node->interfaces[0],
                                          &vtable, nullptr, nullptr, nullptr);
    const std::string unique = bus.connection()->get_unique_name();

    std::vector<double> bare;
    std::vector<double> ours;
    for (int r = 0; r < rounds; ++r) {
        bare.push_back(measure(unique, kBarePath, hash, calls));
        ours.push_back(measure(service.getBusName(), "/com/quorix/datalogger/daemon", hash, calls));
        std::printf("round %d: bare %.0f calls/s, service %.0f calls/s\n", r + 1, bare.back(),
                    ours.back());
        std::fflush(stdout);
    }
    std::fflush(stdout);
    std::printf("median: bare %.0f calls/s, service %.0f calls/s, ratio %.2f\n", median(bare),
                median(ours), median(ours) / median(bare));
    g_dbus_connection_unregister_object(bus.connection()->gobj(), bareId);
    g_dbus_node_info_unref(node);
    return 0;
}
