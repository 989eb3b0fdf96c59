#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "platform/Application.h"
#include "support/test_support.h"

namespace {

namespace ql = quorix::pelmo::log;
using quorix::pelmo::utils::QuorixApplication;
using Events = std::vector<std::string>;

// argv for the application; a base so that it is built before QuorixApplication.
struct CommandLine {
    explicit CommandLine(std::vector<std::string> args) : strings(std::move(args)) {
        strings.insert(strings.begin(), "datalogger");
        for (auto& arg : strings) pointers.push_back(arg.data());
        argc = static_cast<int>(strings.size());
        pointers.push_back(nullptr);
    }
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    int argc = 0;
};

// Records the hooks it sees. A watchdog on the default context fails the test and stops the
// loop instead of letting a broken run() hang.
class RecordingApp : private CommandLine, public QuorixApplication {
public:
    RecordingApp(std::vector<std::string> args, bool runMainLoop)
        : Logger("RecordingApp", "", std::make_shared<ql::LoggerImpl>()),
          CommandLine(std::move(args)),
          QuorixApplication(argc, pointers.data(), runMainLoop),
          mWatchdog(g_timeout_add_seconds(20, &RecordingApp::watchdogFired, this)) {}
    ~RecordingApp() override { g_source_remove(mWatchdog); }

    using QuorixApplication::parseCustomOptions;
    bool parseCustomOptions(const std::vector<std::string>& args) override {
        customArgs = args;
        return args.empty() || args[0] == "--device";
    }
    int preInit() override {
        events.push_back("preInit");
        if (quitInPreInit) quit();
        if (inLoop) g_idle_add(&RecordingApp::loopStarted, this);
        return 0;
    }
    void singleRun() override { events.push_back("singleRun"); }
    void postRun() override { events.push_back("postRun"); }

    bool quitInPreInit = false;
    std::function<void()> inLoop;  // runs once the main loop is running
    Events customArgs;
    Events events;

private:
    static gboolean watchdogFired(gpointer self) {
        ADD_FAILURE() << "main loop did not stop";
        static_cast<RecordingApp*>(self)->quit();
        return G_SOURCE_CONTINUE;
    }
    static gboolean loopStarted(gpointer self) {
        static_cast<RecordingApp*>(self)->inLoop();
        return G_SOURCE_REMOVE;
    }

    guint mWatchdog;
};

struct OptionCase {
    std::vector<std::string> args;
    int status;
    Events events;
    ql::Severity level;
};

class PlatformApplicationOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(PlatformApplicationOptions, ParsesTheCommonOptions) {
    const OptionCase& c = GetParam();
    datalogger::test::LogCapture log;  // starts at Trace, restores the level afterwards
    RecordingApp app(c.args, false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(app.run(), c.status);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr().empty(), c.status != 2);
    EXPECT_EQ(app.events, c.events);
    EXPECT_EQ(ql::LoggerProxy::instance().level(), c.level);
    EXPECT_EQ(out.find("Usage:") != std::string::npos, c.args[0] == "--help" || c.args[0] == "-h");
}

const Events kRan{"preInit", "singleRun", "postRun"};
INSTANTIATE_TEST_SUITE_P(CommandLines, PlatformApplicationOptions,
                         ::testing::Values(OptionCase{{"--help"}, 0, {}, ql::Trace},
                                           OptionCase{{"-h", "--bogus"}, 0, {}, ql::Trace},
                                           OptionCase{{"--log-level=1"}, 0, kRan, ql::Error},
                                           OptionCase{{"--log-level"}, 2, {}, ql::Trace},
                                           OptionCase{{"--log-level=Verbose"}, 2, {}, ql::Trace},
                                           OptionCase{{"--log-level", "6"}, 2, {}, ql::Trace},
                                           OptionCase{{"--bogus"}, 2, {}, ql::Trace},
                                           OptionCase{{"stray"}, 2, {}, ql::Trace}));

TEST(PlatformApplication, HooksSeeOnlyTheRemainingArgumentsAndLogTheRun) {
    datalogger::test::LogCapture log;
    RecordingApp app({"--device", "--log-level", "Debug", "meter-1"}, false);
    EXPECT_EQ(app.run(), 0);
    EXPECT_EQ(app.customArgs, (Events{"--device", "meter-1"}));
    EXPECT_EQ(ql::LoggerProxy::instance().level(), ql::Debug);
}

// SIGTERM is checked on the whole daemon by the acceptance script.
TEST(PlatformApplication, SigintStopsTheLoopAndRunsPostRun) {
    RecordingApp app({}, true);
    app.inLoop = [] { kill(getpid(), SIGINT); };
    EXPECT_EQ(app.run(), 0);
    EXPECT_EQ(app.events, (Events{"preInit", "postRun"}));
}

TEST(PlatformApplication, QuitIsHonouredBeforeTheLoopRunsAndFromOtherThreads) {
    RecordingApp early({}, true);
    early.quitInPreInit = true;
    EXPECT_EQ(early.run(), 0);
    EXPECT_EQ(early.events, (Events{"preInit", "postRun"}));

    RecordingApp app({}, true);
    std::thread quitter;
    app.inLoop = [&] { quitter = std::thread([&] { app.quit(); }); };
    EXPECT_EQ(app.run(), 0);
    ASSERT_TRUE(quitter.joinable());
    quitter.join();
}

}  // namespace
