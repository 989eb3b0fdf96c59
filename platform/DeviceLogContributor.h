#pragma once

#include <giomm/dbusconnection.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/Logger.h"

// Contributes this daemon's files to device-wide log collections. Serves the object
// "/com/quorix/utils/logplugin" with interface "com.quorix.utils.logplugin.interface": property
// "Name" (the name given here), method "createLog(s path, i type, i id)" and signal "finished"
// "(si)". The method is answered at once and the callback runs on the object's own thread.
//
// Ownership: owns its bus name registration and its thread; the callback is copied.
// Threads: construct and destroy on the main thread; the callback runs on the object's thread.
class DeviceLogContributor : public virtual quorix::pelmo::log::Logger {
public:
    using Callback = std::function<void(const std::string& path, int type, int id)>;

    DeviceLogContributor(Callback callback, std::string name, Gio::DBus::BusType busType);
    DeviceLogContributor(const DeviceLogContributor&) = delete;
    DeviceLogContributor& operator=(const DeviceLogContributor&) = delete;
    ~DeviceLogContributor() override;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};
