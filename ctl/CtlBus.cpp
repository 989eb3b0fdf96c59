#include "ctl/CtlBus.h"

#include <giomm/dbuserror.h>
#include <giomm/init.h>

namespace quorix::pelmo::datalogger::ctl {

Glib::RefPtr<Gio::DBus::Connection> systemBus() {
    Gio::init();
    return Gio::DBus::Connection::get_sync(Gio::DBus::BUS_TYPE_SYSTEM);
}

std::string describeBusError(const Glib::Error& error) {
    const std::string text = error.what();
    if (error.domain() == G_DBUS_ERROR) {
        switch (error.code()) {
            case G_DBUS_ERROR_SERVICE_UNKNOWN:
            case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
                return "the data logger daemon is not running (no owner of " +
                       std::string(kDaemonBusName) + " on the system bus)";
            case G_DBUS_ERROR_ACCESS_DENIED:
                return "the system bus refused the call: only root and members of the group "
                       "datalogger may ask the daemon (" +
                       text + ")";
            default:
                break;
        }
    }
    if (error.domain() == G_IO_ERROR &&
        (error.code() == G_IO_ERROR_NOT_FOUND || error.code() == G_IO_ERROR_CONNECTION_REFUSED)) {
        return "no system bus: " + text;
    }
    return text;
}

}  // namespace quorix::pelmo::datalogger::ctl
