#pragma once

#include <giomm/dbusconnection.h>
#include <giomm/dbusintrospection.h>
#include <giomm/dbusownname.h>

#include <atomic>
#include <memory>
#include <string>

#include "core/DataLoggerPushDataIfc.h"
#include "inputs/dbus/DBusMethodHandler.h"
#include "inputs/dbus/DbusServiceInterface.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// The data logger's D-Bus face: owns "com.quorix.datalogger.<suffix>", exports interface
// "com.quorix.datalogger.interface" at "/com/quorix/datalogger/<suffix>" and forwards
// registerOrUpdateChannel and pushData to the push interface, answering with its status code;
// getStatus answers with what the status source reports (DBusMethodHandler::getStatus).
//
// Ownership: shares the push interface; owns the name request, the exported object and the
// handler. Destruction releases the name and withdraws the object.
// Threads: construct, destroy and dispatch on the thread that runs the default main context;
// isNameAcquired may be read from any thread.
// Failure: a call that ends in an exception is answered with org.freedesktop.DBus.Error.Failed
// carrying the exception's text; a push past the queue's bounds with
// org.freedesktop.DBus.Error.LimitsExceeded; a failed export throws Glib::Error out of the bus
// callback.
class DataloggerDBusService : public DbusServiceInterface, public virtual log::Logger {
public:
    DataloggerDBusService(std::shared_ptr<DataLoggerPushDataIfc> push, std::string DbusSuffix,
                          Gio::DBus::BusType busType, DBusMethodHandler::StatusSource status = {});
    DataloggerDBusService(const DataloggerDBusService&) = delete;
    DataloggerDBusService& operator=(const DataloggerDBusService&) = delete;
    ~DataloggerDBusService() override;

    std::string getBusName() const override { return mBusName; }
    bool isNameAcquired() const { return mNameAcquired.load(); }

private:
    struct UnknownMemberFilter;

    void onBusAcquired(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                       const Glib::ustring& name);
    void onNameAcquired(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                        const Glib::ustring& name);
    void onNameLost(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                    const Glib::ustring& name);
    void onMethodCall(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                      const Glib::ustring& sender, const Glib::ustring& objectPath,
                      const Glib::ustring& interfaceName, const Glib::ustring& methodName,
                      const Glib::VariantContainerBase& parameters,
                      const Glib::RefPtr<Gio::DBus::MethodInvocation>& invocation);
    void removeFilter();

    std::string mBusName;
    std::string mDbusSuffix;
    unsigned int mOwnerId = 0;
    unsigned int mRegistrationId = 0;
    Gio::DBus::BusType mBusType;
    Glib::RefPtr<Gio::DBus::NodeInfo> mNodeInfo;
    std::shared_ptr<Gio::DBus::InterfaceVTable> mInterfaceVTable;
    Glib::RefPtr<Gio::DBus::Connection> mConnection;
    std::atomic<bool> mNameAcquired{false};
    std::unique_ptr<DBusMethodHandler> mHandler;
    unsigned int mFilterId = 0;  // 0: no filter installed on mConnection
};

}  // namespace quorix::pelmo::datalogger
