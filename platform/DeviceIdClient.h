#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quorix::pelmo::deviceid {

class DeviceIdClientIfc {
public:
    virtual ~DeviceIdClientIfc() = default;

    // Device ids in ascending order.
    virtual std::vector<std::string> listDevices() = 0;
    // The device's identification text, unchanged.
    virtual std::string getDeviceIdInfo(const std::string& id) = 0;
};

// Reads device identifications from a directory holding one regular file per device: the
// file name is the id, the content the identification text.
//
// Threads: stateless apart from the directory name, so any thread may call any member.
// Failure: an unreadable directory, an unknown or malformed id and an oversized file throw
// std::runtime_error.
class DeviceIdClient : public DeviceIdClientIfc {
public:
    static std::shared_ptr<DeviceIdClientIfc> make_client();
    static std::shared_ptr<DeviceIdClientIfc> make_client(std::string directory);

    explicit DeviceIdClient(std::string directory);

    std::vector<std::string> listDevices() override;
    std::string getDeviceIdInfo(const std::string& id) override;

private:
    const std::string mDirectory;
};

}  // namespace quorix::pelmo::deviceid
