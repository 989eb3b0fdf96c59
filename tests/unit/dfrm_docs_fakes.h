// Fakes for the seams of the DfRM documents: pull interface, clock validity, device ids.
#pragma once

#include <glibmm/fileutils.h>

#include <atomic>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/DataLoggerPullDataIfc.h"
#include "dfrm/DataLoggerDfrm.h"
#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "support/Fakes.h"
#include "systime/SystemTimeHandlerIfc.h"

namespace quorix::pelmo::datalogger::docs_test {

struct PullCall {
    std::string path;
    int64_t lastCounter;
    int64_t discardOlderThan;
    uint32_t amount;
};

// Answers from a table set by the test and records every data call.
class FakePull final : public DataLoggerPullDataIfc {
  public:
    DataLoggerStatusCode pullAllChannelInfo(
        std::vector<DataLoggerStorageChannelInfo>& infos) override {
        ++channelCalls;
        infos = channels;
        return channelStatus;
    }
    DataLoggerStatusCode pullData(std::vector<DataLoggerDataPoint>& points,
                                  const std::string& path, int64_t lastCounter,
                                  const std::chrono::microseconds& discardOlderThan,
                                  uint32_t amount) override {
        calls.push_back({path, lastCounter, discardOlderThan.count(), amount});
        auto it = data.find(path);
        if (it == data.end()) return DataLoggerStatusCode::NotFound;
        points = it->second.points;
        return it->second.status;
    }

    struct Answer {
        DataLoggerStatusCode status;
        std::vector<DataLoggerDataPoint> points;
    };
    std::vector<DataLoggerStorageChannelInfo> channels;
    DataLoggerStatusCode channelStatus = DataLoggerStatusCode::NoError;
    std::map<std::string, Answer> data;
    std::vector<PullCall> calls;
    int channelCalls = 0;
};

class FakeTime : public SystemTimeHandlerIfc {
  public:
    bool isTimeValid() const override { return valid; }
    void initialize() override {}
    std::atomic<bool> valid{false};
};

class FakeFirmware : public utils::FirmwareVersionIfc {
  public:
    std::string getVersion() const override { return "3.2.1"; }
};

// Devices by id; an id mapped to "!" fails. The list fails with a standard exception when
// listFails is 1 and with a GLib error when it is 2.
class FakeDevices : public deviceid::DeviceIdClientIfc {
  public:
    std::vector<std::string> listDevices() override {
        ++listCalls;
        if (listFails == 1) throw std::runtime_error("device service gone");
        if (listFails == 2) throw Glib::FileError(Glib::FileError::NO_SUCH_ENTITY, "no service");
        std::vector<std::string> ids;
        for (const auto& entry : devices) ids.push_back(entry.first);
        return ids;
    }
    std::string getDeviceIdInfo(const std::string& id) override {
        const std::string& text = devices.at(id);
        if (text == "!") throw std::runtime_error("no answer from " + id);
        return text;
    }
    std::map<std::string, std::string> devices;
    int listFails = 0;
    int listCalls = 0;
};

// A server that is never started: its handlers are called directly.
struct ServerFixture {
    std::shared_ptr<FakePull> pull = std::make_shared<FakePull>();
    std::shared_ptr<FakeTime> time = std::make_shared<FakeTime>();
    std::shared_ptr<FakeDevices> devices = std::make_shared<FakeDevices>();
    std::shared_ptr<::datalogger::test::FakePeriodicCallerManager> caller =
        std::make_shared<::datalogger::test::FakePeriodicCallerManager>();
    DataLoggerDfrm server{pull, "/nonexistent/dfrm.socket", time,
                          std::make_shared<FakeFirmware>(), devices, caller};
};

inline TimePoint atMicros(int64_t micros) {
    return TimePoint(std::chrono::microseconds(micros));
}

}  // namespace quorix::pelmo::datalogger::docs_test
