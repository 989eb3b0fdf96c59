#pragma once

// What the D-Bus integration tests share: the command lines of the real clients.
#include <string>
#include <vector>

#include "core_on_disk.h"
#include "support/PrivateBus.h"

namespace quorix::pelmo::datalogger::dbustest {

inline const char* const kName = "com.quorix.datalogger.daemon";
inline const char* const kPath = "/com/quorix/datalogger/daemon";
inline const char* const kInterface = "com.quorix.datalogger.interface";

inline std::vector<std::string> call(const std::string& method, std::vector<std::string> args,
                                     const std::string& dest = kName,
                                     const std::string& path = kPath,
                                     const std::string& interface = kInterface) {
    std::vector<std::string> argv{"gdbus", "call", "--system", "--dest", dest, "--object-path",
                                  path, "--method", interface + "." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// dbus-send types every argument itself: the way to send a wrong signature on purpose.
inline std::vector<std::string> send(const std::string& method, std::vector<std::string> args) {
    args.insert(args.begin(), {"dbus-send", "--system", "--print-reply",
                               std::string("--dest=") + kName, kPath,
                               std::string(kInterface) + "." + method});
    return args;
}

inline ::datalogger::test::ClientResult gdbusCall(const std::string& method,
                                                  std::vector<std::string> args) {
    return ::datalogger::test::runClient(call(method, std::move(args)));
}

inline bool hasOwner(const std::string& name) {
    return ::datalogger::test::runClient(call("NameHasOwner", {name}, "org.freedesktop.DBus",
                                              "/org/freedesktop/DBus", "org.freedesktop.DBus"))
               .output == "(true,)\n";
}

using coretest::CoreOnDisk;

}  // namespace quorix::pelmo::datalogger::dbustest
