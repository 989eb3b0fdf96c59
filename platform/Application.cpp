#include "platform/Application.h"

#include <giomm/init.h>
#include <glib-unix.h>

#include <csignal>
#include <iostream>

namespace quorix::pelmo::utils {

namespace ql = quorix::pelmo::log;

namespace {

constexpr int kUsageError = 2;
constexpr const char* kLogLevelOption = "--log-level";

void printUsage(const std::string& program, const std::string& custom) {
    std::cout << "Usage: " << program << " [OPTION...]\n"
              << "  -h, --help           show this text and exit\n"
              << "  --log-level LEVEL    Critical, Error, Warning, Info, Debug, Trace or 0-5"
                 " (default Info)\n"
              << custom;
}

// What a signal source needs to stop the loop; lives on run()'s stack while the loop runs.
struct SignalWatch {
    QuorixApplication* app;
    const ql::Logger* logger;
    const char* name;
    guint sourceId;
};

gboolean onStopSignal(gpointer data) {
    auto* watch = static_cast<SignalWatch*>(data);
    watch->logger->pelmoDoLog(ql::Info, "Stopping on %s", nullptr, watch->name);
    watch->app->quit();
    return G_SOURCE_CONTINUE;
}

struct EarlyQuitCheck {
    const std::atomic<bool>* requested;
    Glib::MainLoop* loop;
};

gboolean onLoopStarted(gpointer data) {
    auto* check = static_cast<EarlyQuitCheck*>(data);
    if (check->requested->load()) check->loop->quit();
    return G_SOURCE_REMOVE;
}

}  // namespace

QuorixApplication::QuorixApplication(int& argc, char** argv, bool runMainLoop)
    : Logger("QuorixApplication", "", std::make_shared<ql::LoggerImpl>()),
      mRunMainLoop(runMainLoop) {
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) mArgs.emplace_back(argv[i]);
    if (mArgs.empty()) mArgs.emplace_back("datalogger");
    // Gio rather than only Glib: the daemon's components use D-Bus through giomm.
    Gio::init();
    mLoop = Glib::MainLoop::create(false);
}

QuorixApplication::~QuorixApplication() = default;

bool QuorixApplication::parseCustomOptions(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return parseCustomOptions(args);
}

bool QuorixApplication::parseCustomOptions(const std::vector<std::string>& args) {
    return args.empty();
}

int QuorixApplication::preInit() {
    return 0;
}

void QuorixApplication::postRun() {}

void QuorixApplication::singleRun() {}

int QuorixApplication::run() {
    int status = parseBaseOptions();
    if (status >= 0) return status;

    pelmoDoLog(ql::Debug, "+run", nullptr);
    status = preInit();
    if (status != 0) {
        pelmoDoLog(ql::Debug, "-run: preInit failed with %d", nullptr, status);
        return status;
    }
    if (mRunMainLoop) {
        runMainLoop();
    } else {
        singleRun();
    }
    postRun();
    pelmoDoLog(ql::Debug, "-run: OK", nullptr);
    return 0;
}

void QuorixApplication::quit() {
    mQuitRequested.store(true);
    // Thread-safe in glib; wakes the context if the loop is blocked in poll().
    mLoop->quit();
}

int QuorixApplication::parseBaseOptions() {
    const std::string& program = mArgs.front();
    std::vector<std::string> rest;
    for (size_t i = 1; i < mArgs.size(); ++i) {
        const std::string& arg = mArgs[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(program, customOptionsUsage());
            return 0;
        }
        std::string value;
        if (arg == kLogLevelOption) {
            if (i + 1 >= mArgs.size()) {
                std::cerr << program << ": " << kLogLevelOption << " needs a value\n";
                return kUsageError;
            }
            value = mArgs[++i];
        } else if (arg.rfind(std::string(kLogLevelOption) + "=", 0) == 0) {
            value = arg.substr(std::char_traits<char>::length(kLogLevelOption) + 1);
        } else {
            rest.push_back(arg);
            continue;
        }
        ql::Severity level;
        if (!ql::parseSeverity(value, level)) {
            std::cerr << program << ": invalid log level '" << value << "'\n";
            return kUsageError;
        }
        ql::LoggerProxy::instance().setLevel(level);
    }

    // Built from copies so hooks may not scribble over our own argument list.
    std::vector<std::string> customArgs{program};
    customArgs.insert(customArgs.end(), rest.begin(), rest.end());
    std::vector<char*> customArgv;
    for (auto& arg : customArgs) customArgv.push_back(arg.data());
    customArgv.push_back(nullptr);
    if (!parseCustomOptions(static_cast<int>(customArgs.size()), customArgv.data())) {
        std::cerr << program << ": unknown or invalid arguments; see --help\n";
        return kUsageError;
    }
    return -1;
}

void QuorixApplication::runMainLoop() {
    SignalWatch watches[] = {{this, this, "SIGINT", 0}, {this, this, "SIGTERM", 0}};
    watches[0].sourceId = g_unix_signal_add(SIGINT, onStopSignal, &watches[0]);
    watches[1].sourceId = g_unix_signal_add(SIGTERM, onStopSignal, &watches[1]);

    // g_main_loop_run() resets the loop's running flag, so a quit() that happened before it
    // would be lost; this idle re-checks the request once the loop is running.
    EarlyQuitCheck check{&mQuitRequested, mLoop.get()};
    GSource* idle = g_idle_source_new();
    g_source_set_callback(idle, onLoopStarted, &check, nullptr);
    g_source_set_priority(idle, G_PRIORITY_HIGH);
    g_source_attach(idle, nullptr);

    mLoop->run();

    // The sources point into this stack frame and must not outlive it, even when the loop
    // ended before they were dispatched.
    g_source_destroy(idle);
    g_source_unref(idle);
    for (auto& watch : watches) g_source_remove(watch.sourceId);
}

}  // namespace quorix::pelmo::utils
