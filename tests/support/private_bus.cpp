#include "support/private_bus.h"

#include <giomm/init.h>
#include <glibmm/main.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <stdexcept>

#if defined(__SANITIZE_THREAD__)
// GLib hands memory and work between the main loop and its D-Bus worker thread under futex
// locks that ThreadSanitizer cannot see in the uninstrumented library. Calls made from inside
// such libraries are excused; every access from our own code is still checked.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif

namespace datalogger::test {

namespace {

const char* const kAddressVariable = "DBUS_SYSTEM_BUS_ADDRESS";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Drops references that idle callbacks of finished D-Bus work still hold.
void drainDefaultContext() {
    auto context = Glib::MainContext::get_default();
    for (int i = 0; i < 1000 && context->iteration(false); ++i) {
    }
}

}  // namespace

PrivateBus::PrivateBus() {
    Gio::init();
    // Every local user reaches a system bus; the policy alone decides what they may do.
    std::filesystem::permissions(mDir.path(), static_cast<std::filesystem::perms>(0755));
    const std::string socket = mDir.file("system_bus_socket");
    // The bus configuration is shared with the shell scripts that start a private bus.
    const std::string config = readFile(sourceDir() + "/tests/support/system-bus.conf.in");
    writeFile(mDir.file("bus.conf"),
              replaceAll(replaceAll(config, "@SOCKET@", socket), "@POLICY@",
                         sourceDir() + "/config/dbus/com.quorix.datalogger.conf"));
    mDaemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{"dbus-daemon", "--config-file=" + mDir.file("bus.conf"),
                                 "--nofork", "--print-address=1"},
        mDir.file("bus.log"));
    if (!mDaemon->waitForOutput("unix:path=", 10000)) {
        throw std::runtime_error("dbus-daemon did not start: " + mDaemon->output());
    }
    mAddress = "unix:path=" + socket;
    if (const char* previous = ::getenv(kAddressVariable)) mPreviousAddress = previous;
    ::setenv(kAddressVariable, mAddress.c_str(), 1);

    mConnection = Gio::DBus::Connection::get_sync(Gio::DBus::BUS_TYPE_SYSTEM);
    if (mConnection->is_closed()) {
        mConnection.reset();
        throw std::runtime_error("a system bus connection of an earlier bus is still referenced");
    }
    mConnection->set_exit_on_close(false);
}

PrivateBus::~PrivateBus() {
    drainDefaultContext();
    if (mConnection) {
        try {
            mConnection->close_sync();
        } catch (const Glib::Error&) {
            // Already closed by the other side: nothing left to release.
        }
        mConnection.reset();
    }
    drainDefaultContext();
    if (mDaemon) {
        mDaemon->signal(SIGTERM);
        if (mDaemon->wait(5000) < 0) mDaemon->signal(SIGKILL);
    }
    if (mPreviousAddress) {
        ::setenv(kAddressVariable, mPreviousAddress->c_str(), 1);
    } else {
        ::unsetenv(kAddressVariable);
    }
}

ClientResult runClient(const std::vector<std::string>& argv, int timeoutMs) {
    TempDir dir;
    ChildProcess client(argv, dir.file("client.out"));
    ClientResult result;
    // Wakes the context now and then to look at the child; killed with it on time-out.
    sigc::connection tick = Glib::signal_timeout().connect([] { return true; }, 5);
    runMainContextUntil([&] { return (result.status = client.wait(0)) != -1; }, timeoutMs);
    tick.disconnect();
    result.output = client.output();
    return result;
}

bool runMainContextUntil(const std::function<bool()>& done, int timeoutMs) {
    auto context = Glib::MainContext::get_default();
    bool expired = false;
    sigc::connection watchdog = Glib::signal_timeout().connect(
        [&] {
            expired = true;
            return false;
        },
        timeoutMs);
    while (!done() && !expired) context->iteration(true);
    watchdog.disconnect();
    if (!done()) {
        ADD_FAILURE() << "condition not met within " << timeoutMs << " ms";
        return false;
    }
    return true;
}

}  // namespace datalogger::test
