#include "platform/DeviceIdClient.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quorix::pelmo::deviceid {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultDirectory = "/etc/datalogger/devices";
constexpr std::streamsize kMaxInfoBytes = 64 * 1024;

// Ids come from remote requests; anything that could name a file outside the directory is
// refused before it reaches the file system.
bool isPlainFileName(const std::string& id) {
    return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos &&
           id.find('\0') == std::string::npos;
}

}  // namespace

std::shared_ptr<DeviceIdClientIfc> DeviceIdClient::make_client() {
    return make_client(kDefaultDirectory);
}

std::shared_ptr<DeviceIdClientIfc> DeviceIdClient::make_client(std::string directory) {
    return std::make_shared<DeviceIdClient>(std::move(directory));
}

DeviceIdClient::DeviceIdClient(std::string directory) : mDirectory(std::move(directory)) {}

std::vector<std::string> DeviceIdClient::listDevices() {
    std::error_code error;
    fs::directory_iterator it(mDirectory, error);
    std::vector<std::string> ids;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code ignored;  // an entry vanishing while we list is simply not a device
        if (it->is_regular_file(ignored)) ids.push_back(it->path().filename().string());
    }
    if (error) {
        throw std::runtime_error("cannot read device directory " + mDirectory + ": " +
                                 error.message());
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::string DeviceIdClient::getDeviceIdInfo(const std::string& id) {
    if (!isPlainFileName(id)) throw std::runtime_error("invalid device id '" + id + "'");
    const fs::path path = fs::path(mDirectory) / id;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
        throw std::runtime_error("unknown device id '" + id + "'");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read device id '" + id + "'");
    // One byte more than allowed tells an oversized file from one exactly at the limit,
    // without trusting a size that may change while we read.
    std::string info(kMaxInfoBytes + 1, '\0');
    in.read(info.data(), kMaxInfoBytes + 1);
    if (in.bad()) throw std::runtime_error("cannot read device id '" + id + "'");
    if (in.gcount() > kMaxInfoBytes) {
        throw std::runtime_error("identification of device '" + id + "' exceeds 64 KiB");
    }
    info.resize(static_cast<size_t>(in.gcount()));
    return info;
}

}  // namespace quorix::pelmo::deviceid
