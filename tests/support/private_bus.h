#pragma once

#include <giomm/dbusconnection.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace datalogger::test {

// A system bus of the test's own: dbus-daemon on a socket in a temporary directory, with the
// real system bus's deny-by-default rules plus the daemon's policy file from config/dbus.
// While alive, DBUS_SYSTEM_BUS_ADDRESS points at it (for this process and the clients it starts);
// like the real one, every local user can connect to it.
//
// It also holds this process's shared system-bus connection, set not to end the process when
// the bus goes, and closes it before stopping the daemon. A connection still referenced from
// an earlier bus makes the constructor throw instead of talking to a dead bus.
// Threads: construct and destroy on the test's main thread.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return mAddress; }
    // This process's system-bus connection (the one services on BusType 1 use).
    Glib::RefPtr<Gio::DBus::Connection> connection() const { return mConnection; }

private:
    TempDir mDir;
    std::unique_ptr<ChildProcess> mDaemon;
    std::string mAddress;
    std::optional<std::string> mPreviousAddress;
    Glib::RefPtr<Gio::DBus::Connection> mConnection;
};

struct ClientResult {
    int status = -1;     // exit status, 128 + signal, or -1 when the client had to be killed
    std::string output;  // standard output and error
};

// Runs a client command to its end while the default main context serves this process's bus
// objects. A client still running after timeoutMs is killed and the test fails.
ClientResult runClient(const std::vector<std::string>& argv, int timeoutMs = 10000);

// Runs the default main context until done() holds; false (and a test failure) on time-out.
bool runMainContextUntil(const std::function<bool()>& done, int timeoutMs = 10000);

}  // namespace datalogger::test
