#include "support/dfrm_fakes.h"

#include <glibmm/fileutils.h>

#include <stdexcept>

namespace datalogger::test {

using Code = qd::DataLoggerStatusCode;

Code FakePull::pullAllChannelInfo(std::vector<qd::DataLoggerStorageChannelInfo>& infos) {
    ++channelCalls;
    infos = channels;
    return channelStatus;
}

Code FakePull::pullData(std::vector<qd::DataLoggerDataPoint>& points, const std::string& path,
                        int64_t lastCounter, const std::chrono::microseconds& discardOlderThan,
                        uint32_t amount) {
    calls.push_back({path, lastCounter, discardOlderThan.count(), amount});
    const auto it = data.find(path);
    if (it == data.end() && byPrefix) {
        const auto startsWith = [&path](const char* prefix) { return path.rfind(prefix, 0) == 0; };
        if (startsWith("gone")) return Code::NotFound;
        if (startsWith("empty")) return Code::NoData;
        if (startsWith("broken")) return Code::StorageError;
        // The newest time stamp moves with the client's counter, as a storage's would.
        const qd::TimePoint newest{std::chrono::seconds(1700000000 + (lastCounter & 0xffff))};
        for (int i = 2; i >= 0; --i) points.emplace_back(0.5 * i, newest - std::chrono::seconds(i));
        return Code::NoError;
    }
    if (it == data.end()) return Code::NotFound;
    for (const auto& point : it->second.points) {
        if (point.timestamp().time_since_epoch().count() / 1000 > lastCounter) {
            points.push_back(point);
        }
    }
    const bool none = points.empty() && !it->second.points.empty();
    return none ? Code::StorageNoData : it->second.status;
}

Code FakePull::pullDataPage(std::vector<qd::DataLoggerDataPoint>& points, const std::string& path,
                            int64_t lastCounter, const std::chrono::microseconds& discardOlderThan,
                            uint32_t amount, uint32_t limit) {
    const size_t before = points.size();
    const Code rc = pullData(points, path, lastCounter, discardOlderThan, amount);
    if (limit != 0 && points.size() - before > limit) {
        points.erase(points.begin() + static_cast<std::ptrdiff_t>(before + limit), points.end());
    }
    return rc;
}

std::vector<std::string> FakeDevices::listDevices() {
    ++listCalls;
    if (listFails == 1) throw std::runtime_error("device service gone");
    if (listFails == 2) throw Glib::FileError(Glib::FileError::NO_SUCH_ENTITY, "no service");
    std::vector<std::string> ids;
    for (const auto& entry : devices) ids.push_back(entry.first);
    return ids;
}

std::string FakeDevices::getDeviceIdInfo(const std::string& id) {
    const std::string& text = devices.at(id);
    if (text == "!") throw std::runtime_error("no answer from " + id);
    return text;
}

}  // namespace datalogger::test
