#include "inputs/dbus/DataloggerDBusService.h"

#include <giomm/dbuserror.h>

#include <cstring>
#include <utility>

namespace quorix::pelmo::datalogger {

namespace {

const char* const kBusNamePrefix = "com.quorix.datalogger";
const char* const kObjectPathBase = "/com/quorix/datalogger";
const char* const kInterfaceName = "com.quorix.datalogger.interface";
const char* const kUnknownMethodText = "Method does not exist.";

const char* const kIntrospection =
    R"xml(<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node name="/com/quorix/datalogger/interface">
  <interface name="com.quorix.datalogger.interface">
    <method name="registerOrUpdateChannel">
      <arg name="path" type="s" direction="in"/>
      <arg name="unit" type="q" direction="in"/>
      <arg name="statsStorageType" type="y" direction="in"/>
      <arg name="statsPeriod" type="u" direction="in"/>
      <arg name="storageType" type="y" direction="in"/>
      <arg name="description" type="s" direction="in"/>
      <arg name="hash" type="t" direction="in"/>
      <arg name="hash" type="t" direction="out"/>
      <arg name="rtnValue" type="q" direction="out"/>
    </method>
    <method name="pushData">
      <arg name="hash" type="t" direction="in"/>
      <arg name="data" type="ad" direction="in"/>
      <arg name="timestamp" type="ax" direction="in"/>
      <arg name="rtnValue" type="q" direction="out"/>
    </method>
    <method name="getStatus">
      <arg name="status" type="s" direction="out"/>
    </method>
  </interface>
</node>)xml";

bool isKnownMethod(const char* name) {
    return name && (std::strcmp(name, "registerOrUpdateChannel") == 0 ||
                    std::strcmp(name, "pushData") == 0 || std::strcmp(name, "getStatus") == 0);
}

}  // namespace

// GDBus answers a member missing from the introspection data itself, with its own text, before
// any method-call slot runs. Our callers are told "Method does not exist.", so such calls are
// taken out of the stream here. Runs on GDBus's worker thread and may outlive the service by a
// moment after removal, hence its own logger and a copy of the object path.
struct DataloggerDBusService::UnknownMemberFilter {
    explicit UnknownMemberFilter(std::string objectPath)
        : logger("DataloggerDBusService", "", std::make_shared<log::LoggerImpl>()),
          path(std::move(objectPath)) {}

    static GDBusMessage* filter(GDBusConnection* connection, GDBusMessage* message,
                                gboolean incoming, gpointer userData) {
        const auto* self = static_cast<const UnknownMemberFilter*>(userData);
        const char* member = g_dbus_message_get_member(message);
        if (!incoming ||
            g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL ||
            g_strcmp0(g_dbus_message_get_path(message), self->path.c_str()) != 0 ||
            g_strcmp0(g_dbus_message_get_interface(message), kInterfaceName) != 0 ||
            isKnownMethod(member)) {
            return message;
        }
        self->logger.pelmoDoLog(log::Error, "Method '%s' does not exist", nullptr,
                                log::untrusted(member != nullptr ? member : "").c_str());
        if (!(g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED)) {
            GDBusMessage* error = g_dbus_message_new_method_error_literal(
                message, "org.freedesktop.DBus.Error.UnknownMethod", kUnknownMethodText);
            g_dbus_connection_send_message(connection, error, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                           nullptr, nullptr);
            g_object_unref(error);
        }
        // A filter that drops a message owns the reference it was handed.
        g_object_unref(message);
        return nullptr;
    }
    static void destroy(gpointer userData) { delete static_cast<UnknownMemberFilter*>(userData); }

    log::Logger logger;
    const std::string path;
};

DataloggerDBusService::DataloggerDBusService(std::shared_ptr<DataLoggerPushDataIfc> push,
                                             std::string DbusSuffix, Gio::DBus::BusType busType,
                                             DBusMethodHandler::StatusSource status)
    : log::Logger("DataloggerDBusService", "", std::make_shared<log::LoggerImpl>()),
      mBusName(std::string(kBusNamePrefix) + "." + DbusSuffix),
      mDbusSuffix(std::move(DbusSuffix)),
      mBusType(busType) {
    mNodeInfo = Gio::DBus::NodeInfo::create_for_xml(kIntrospection);
    mHandler = std::make_unique<DBusMethodHandler>(std::move(push), std::move(status));
    mOwnerId = Gio::DBus::own_name(
        mBusType, mBusName,
        [this](const Glib::RefPtr<Gio::DBus::Connection>& c, Glib::ustring n) {
            onBusAcquired(c, n);
        },
        [this](const Glib::RefPtr<Gio::DBus::Connection>& c, Glib::ustring n) {
            onNameAcquired(c, n);
        },
        [this](const Glib::RefPtr<Gio::DBus::Connection>& c, Glib::ustring n) {
            onNameLost(c, n);
        });
    mInterfaceVTable = std::make_shared<Gio::DBus::InterfaceVTable>(
        sigc::mem_fun(*this, &DataloggerDBusService::onMethodCall));
}

DataloggerDBusService::~DataloggerDBusService() {
    if (mOwnerId != 0) {
        Gio::DBus::unown_name(mOwnerId);
        mOwnerId = 0;
        onNameLost(mConnection, mBusName);
    }
    mHandler.reset();
    mInterfaceVTable.reset();
    mNodeInfo.reset();
}

void DataloggerDBusService::onBusAcquired(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                                          const Glib::ustring& name) {
    pelmoDoLog(log::Info, "onBusAcquired: name = '%s'", nullptr, name.c_str());
    const std::string objectPath = std::string(kObjectPathBase) + "/" + mDbusSuffix;
    try {
        mRegistrationId = connection->register_object(objectPath, mNodeInfo->lookup_interface(),
                                                      *mInterfaceVTable);
    } catch (const Glib::Error& e) {
        pelmoDoLog(
            log::Error,
            "register_object failed for dbusObjectPath '%s' and DbusSuffix '%s' with error %s",
            nullptr, kObjectPathBase, mDbusSuffix.c_str(), e.what().c_str());
        throw;
    }
    removeFilter();
    mConnection = connection;
    mFilterId = g_dbus_connection_add_filter(connection->gobj(), &UnknownMemberFilter::filter,
                                             new UnknownMemberFilter(objectPath),
                                             &UnknownMemberFilter::destroy);
}

void DataloggerDBusService::onNameAcquired(const Glib::RefPtr<Gio::DBus::Connection>&,
                                           const Glib::ustring& name) {
    pelmoDoLog(log::Info, "onNameAcquired: name = '%s'", nullptr, name.c_str());
    mNameAcquired.store(true);
}

void DataloggerDBusService::onNameLost(const Glib::RefPtr<Gio::DBus::Connection>& connection,
                                       const Glib::ustring& name) {
    pelmoDoLog(log::Warning, "onNameLost: name = '%s'", nullptr, name.c_str());
    if (connection && mRegistrationId != 0) connection->unregister_object(mRegistrationId);
    removeFilter();
    mConnection.reset();
    mRegistrationId = 0;
}

void DataloggerDBusService::removeFilter() {
    if (mConnection && mFilterId != 0)
        g_dbus_connection_remove_filter(mConnection->gobj(), mFilterId);
    mFilterId = 0;
}

void DataloggerDBusService::onMethodCall(
    const Glib::RefPtr<Gio::DBus::Connection>&, const Glib::ustring&, const Glib::ustring&,
    const Glib::ustring&, const Glib::ustring& methodName,
    const Glib::VariantContainerBase& parameters,
    const Glib::RefPtr<Gio::DBus::MethodInvocation>& invocation) {
    try {
        if (methodName == "registerOrUpdateChannel") {
            pelmoDoLog(log::Trace, "registerOrUpdateChannel", nullptr);
            invocation->return_value(mHandler->registerOrUpdateChannel(parameters));
        } else if (methodName == "pushData") {
            pelmoDoLog(log::Trace, "pushData", nullptr);
            invocation->return_value(mHandler->pushData(parameters));
        } else if (methodName == "getStatus") {
            pelmoDoLog(log::Trace, "getStatus", nullptr);
            invocation->return_value(mHandler->getStatus(parameters));
        } else {
            pelmoDoLog(log::Error, "Method '%s' does not exist", nullptr,
                       log::untrusted(methodName.raw()).c_str());
            invocation->return_error(
                Gio::DBus::Error(Gio::DBus::Error::UNKNOWN_METHOD, kUnknownMethodText));
        }
    } catch (const DBusLimitsExceeded& e) {
        invocation->return_error(Gio::DBus::Error(Gio::DBus::Error::LIMITS_EXCEEDED, e.what()));
    } catch (const Glib::Error& e) {
        pelmoDoLog(log::Error, "onMethodCall failed with error %s", nullptr,
                   log::untrusted(e.what().raw()).c_str());
        invocation->return_error(Gio::DBus::Error(Gio::DBus::Error::FAILED, e.what()));
    } catch (const std::exception& e) {
        // Already logged where it was thrown; the caller gets the reason instead of a time-out.
        invocation->return_error(Gio::DBus::Error(Gio::DBus::Error::FAILED, e.what()));
    }
}

}  // namespace quorix::pelmo::datalogger
