#pragma once

#include <giomm/dbusconnection.h>

#include <string>

namespace quorix::pelmo::datalogger::ctl {

// The daemon's two services on the system bus.
inline const char* const kDaemonBusName = "com.quorix.datalogger.daemon";
inline const char* const kDaemonObjectPath = "/com/quorix/datalogger/daemon";
inline const char* const kDaemonInterface = "com.quorix.datalogger.interface";
inline const char* const kLogBusName = "com.quorix.utils.logplugin.datalogger";
inline const char* const kLogObjectPath = "/com/quorix/utils/logplugin";
inline const char* const kLogInterface = "com.quorix.utils.logplugin.interface";

// A call to the daemon that does not answer within this is given up.
constexpr int kCallTimeoutMs = 10000;

// The system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured); throws Glib::Error.
Glib::RefPtr<Gio::DBus::Connection> systemBus();

// One line for the engineer: a missing daemon and a refusal by the bus policy are said plainly,
// anything else with the bus's own text.
std::string describeBusError(const Glib::Error& error);

}  // namespace quorix::pelmo::datalogger::ctl
