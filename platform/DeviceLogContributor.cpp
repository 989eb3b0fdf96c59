#include "platform/DeviceLogContributor.h"

#include <giomm/dbuserror.h>
#include <giomm/dbusintrospection.h>
#include <giomm/dbusownname.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace qlog = quorix::pelmo::log;

namespace {

const char* const kBusNamePrefix = "com.quorix.utils.logplugin";
const char* const kObjectPath = "/com/quorix/utils/logplugin";
const char* const kInterfaceName = "com.quorix.utils.logplugin.interface";
// A burst of requests must not pile up unbounded work behind a slow export.
constexpr size_t kMaxPendingRequests = 8;
constexpr size_t kMaxPathLength = 4096;

const char* const kIntrospection =
    R"xml(<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="com.quorix.utils.logplugin.interface">
    <property name="Name" type="s" access="read"/>
    <method name="createLog">
      <arg name="path" type="s" direction="in"/>
      <arg name="type" type="i" direction="in"/>
      <arg name="id" type="i" direction="in"/>
    </method>
    <signal name="finished">
      <arg name="status" type="(si)"/>
    </signal>
  </interface>
</node>)xml";

struct Request {
    std::string path;
    int type;
    int id;
};

}  // namespace

struct DeviceLogContributor::Impl {
    Impl(const qlog::Logger& logger, Callback callback, std::string name,
         Gio::DBus::BusType busType);
    ~Impl();

    void onBusAcquired(const Glib::RefPtr<Gio::DBus::Connection>& connection);
    void onNameLost(const Glib::ustring& busName);
    void onMethodCall(const Glib::ustring& methodName, const Glib::VariantContainerBase& parameters,
                      const Glib::RefPtr<Gio::DBus::MethodInvocation>& invocation);
    void getProperty(Glib::VariantBase& property, const Glib::ustring& propertyName) const;
    void run();
    void finish(const std::string& path, int status);

    const qlog::Logger& mLog;
    const Callback mCallback;
    const std::string mName;
    const std::string mBusName;
    Glib::RefPtr<Gio::DBus::NodeInfo> mNodeInfo;
    Gio::DBus::InterfaceVTable mVTable;
    unsigned int mOwnerId = 0;
    unsigned int mRegistrationId = 0;  // main thread only

    std::mutex mMutex;  // guards mRequests, mStopping and mConnection
    std::condition_variable mWake;
    std::deque<Request> mRequests;
    bool mStopping = false;
    Glib::RefPtr<Gio::DBus::Connection> mConnection;
    std::thread mWorker;
};

DeviceLogContributor::Impl::Impl(const qlog::Logger& logger, Callback callback, std::string name,
                                 Gio::DBus::BusType busType)
    : mLog(logger),
      mCallback(std::move(callback)),
      mName(std::move(name)),
      mBusName(std::string(kBusNamePrefix) + "." + mName),
      mNodeInfo(Gio::DBus::NodeInfo::create_for_xml(kIntrospection)),
      mVTable(
          [this](const Glib::RefPtr<Gio::DBus::Connection>&, const Glib::ustring&,
                 const Glib::ustring&, const Glib::ustring&, const Glib::ustring& method,
                 const Glib::VariantContainerBase& parameters,
                 const Glib::RefPtr<Gio::DBus::MethodInvocation>& invocation) {
              onMethodCall(method, parameters, invocation);
          },
          [this](Glib::VariantBase& property, const Glib::RefPtr<Gio::DBus::Connection>&,
                 const Glib::ustring&, const Glib::ustring&, const Glib::ustring&,
                 const Glib::ustring& propertyName) { getProperty(property, propertyName); }) {
    if (!g_dbus_is_name(mBusName.c_str()) || g_dbus_is_unique_name(mBusName.c_str())) {
        throw std::invalid_argument("not a valid bus name: " + mBusName);
    }
    mWorker = std::thread([this] { run(); });
    mOwnerId = Gio::DBus::own_name(
        busType, mBusName,
        [this](const Glib::RefPtr<Gio::DBus::Connection>& c, Glib::ustring) { onBusAcquired(c); },
        [this](const Glib::RefPtr<Gio::DBus::Connection>&, Glib::ustring n) {
            mLog.pelmoDoLog(qlog::Info, "name acquired: '%s'", nullptr, n.c_str());
        },
        [this](const Glib::RefPtr<Gio::DBus::Connection>&, Glib::ustring n) {
            // No bus, or the policy refused the name: log collections will not find us.
            mLog.pelmoDoLog(qlog::Warning, "name lost: '%s'", nullptr, n.c_str());
            onNameLost(n);
        });
}

DeviceLogContributor::Impl::~Impl() {
    if (mOwnerId != 0) Gio::DBus::unown_name(mOwnerId);
    onNameLost(mBusName);
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
        dropped = mRequests.size();
        mRequests.clear();
    }
    mWake.notify_all();
    // An export that already started runs to its end: a half-written copy helps nobody.
    mWorker.join();
    if (dropped != 0) {
        mLog.pelmoDoLog(qlog::Warning, "%zu pending log requests dropped at shutdown", nullptr,
                        dropped);
    }
}

void DeviceLogContributor::Impl::onBusAcquired(
    const Glib::RefPtr<Gio::DBus::Connection>& connection) {
    try {
        mRegistrationId =
            connection->register_object(kObjectPath, mNodeInfo->lookup_interface(), mVTable);
    } catch (const Glib::Error& e) {
        mLog.pelmoDoLog(qlog::Error, "register_object failed for '%s' with error %s", nullptr,
                        kObjectPath, e.what().c_str());
        return;
    }
    std::lock_guard<std::mutex> lock(mMutex);
    mConnection = connection;
}

void DeviceLogContributor::Impl::onNameLost(const Glib::ustring& busName) {
    Glib::RefPtr<Gio::DBus::Connection> connection;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        connection = std::move(mConnection);
    }
    if (connection && mRegistrationId != 0) {
        connection->unregister_object(mRegistrationId);
        mLog.pelmoDoLog(qlog::Info, "name released: '%s'", nullptr, busName.c_str());
    }
    mRegistrationId = 0;
}

void DeviceLogContributor::Impl::getProperty(Glib::VariantBase& property,
                                             const Glib::ustring& propertyName) const {
    if (propertyName == "Name") property = Glib::Variant<Glib::ustring>::create(mName);
}

void DeviceLogContributor::Impl::onMethodCall(
    const Glib::ustring& methodName, const Glib::VariantContainerBase& parameters,
    const Glib::RefPtr<Gio::DBus::MethodInvocation>& invocation) {
    if (methodName != "createLog") {
        invocation->return_error(
            Gio::DBus::Error(Gio::DBus::Error::UNKNOWN_METHOD, "Method does not exist."));
        return;
    }
    const char* path = nullptr;
    gint32 type = 0;
    gint32 id = 0;
    g_variant_get(const_cast<GVariant*>(parameters.gobj()), "(&sii)", &path, &type, &id);
    const std::string requested(path);
    if (requested.empty() || requested.front() != '/' || requested.size() > kMaxPathLength) {
        mLog.pelmoDoLog(qlog::Error, "createLog refused: '%.200s' is not an absolute path", nullptr,
                        requested.c_str());
        invocation->return_error(
            Gio::DBus::Error(Gio::DBus::Error::INVALID_ARGS, "path must be an absolute path"));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mRequests.size() >= kMaxPendingRequests) {
            mLog.pelmoDoLog(qlog::Error, "createLog refused for %s: %zu requests pending", nullptr,
                            qlog::untrusted(requested).c_str(), mRequests.size());
            invocation->return_error(Gio::DBus::Error(Gio::DBus::Error::LIMITS_EXCEEDED,
                                                      "too many log requests pending"));
            return;
        }
        // Said before the worker can see the request, so that its lines follow this one.
        mLog.pelmoDoLog(qlog::Info, "createLog accepted: path %s, type %d, id %d", nullptr,
                        qlog::untrusted(requested).c_str(), type, id);
        mRequests.push_back(Request{requested, type, id});
    }
    mWake.notify_one();
    invocation->return_value(Glib::VariantContainerBase());
}

void DeviceLogContributor::Impl::run() {
    for (;;) {
        Request request;
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mWake.wait(lock, [this] { return mStopping || !mRequests.empty(); });
            if (mStopping) return;
            request = std::move(mRequests.front());
            mRequests.pop_front();
        }
        int status = 0;
        try {
            mCallback(request.path, request.type, request.id);
        } catch (const std::exception& e) {
            mLog.pelmoDoLog(qlog::Error, "createLog for %s failed: %s", nullptr,
                            qlog::untrusted(request.path).c_str(),
                            qlog::untrusted(e.what()).c_str());
            status = 1;
        } catch (...) {
            mLog.pelmoDoLog(qlog::Error, "createLog for %s failed: unknown exception", nullptr,
                            qlog::untrusted(request.path).c_str());
            status = 1;
        }
        finish(request.path, status);
    }
}

void DeviceLogContributor::Impl::finish(const std::string& path, int status) {
    Glib::RefPtr<Gio::DBus::Connection> connection;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        connection = mConnection;
    }
    if (!connection) {
        mLog.pelmoDoLog(qlog::Warning, "log for %s finished with %d, but the bus is gone", nullptr,
                        qlog::untrusted(path).c_str(), status);
        return;
    }
    // GDBus connections may be used from any thread; the signal leaves from this one.
    GError* error = nullptr;
    g_dbus_connection_emit_signal(connection->gobj(), nullptr, kObjectPath, kInterfaceName,
                                  "finished", g_variant_new("((si))", path.c_str(), status),
                                  &error);
    if (error) {
        mLog.pelmoDoLog(qlog::Error, "could not emit finished for %s: %s", nullptr,
                        qlog::untrusted(path).c_str(), error->message);
        g_error_free(error);
        return;
    }
    mLog.pelmoDoLog(qlog::Info, "log for %s finished with %d", nullptr,
                    qlog::untrusted(path).c_str(), status);
}

DeviceLogContributor::DeviceLogContributor(Callback callback, std::string name,
                                           Gio::DBus::BusType busType)
    : qlog::Logger("DeviceLogContributor", "", std::make_shared<qlog::LoggerImpl>()),
      mImpl(std::make_unique<Impl>(*this, std::move(callback), std::move(name), busType)) {}

DeviceLogContributor::~DeviceLogContributor() = default;
