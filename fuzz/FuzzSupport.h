// Shared by the fuzz targets: quiet logging, a private temporary directory and the fakes for
// the seams the targets drive (pull and push interfaces, clock, firmware, devices, timers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/DataLoggerPullDataIfc.h"
#include "core/DataLoggerPushDataIfc.h"
#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "platform/PeriodicCaller.h"
#include "systime/SystemTimeHandlerIfc.h"

namespace datalogger::fuzz {

namespace qd = quorix::pelmo::datalogger;

// Every record is dropped: the code under test logs on nearly every path, and formatting
// lines to stderr would cost most of the executions.
void silenceLogging();

// A directory of this process, created on the first call and removed at exit.
const std::string& tempDir();

// Writes the input to one file in tempDir() (the same file for every input) and returns its path.
std::string writeInputFile(const uint8_t* data, size_t size);

// Answers by the channel path, so an input chooses the storage's answer: "gone..." is unknown,
// "empty..." has no data, "broken..." fails, anything else has three points.
class FakePull final : public qd::DataLoggerPullDataIfc {
  public:
    qd::DataLoggerStatusCode pullAllChannelInfo(
        std::vector<qd::DataLoggerStorageChannelInfo>& infos) override;
    qd::DataLoggerStatusCode pullData(std::vector<qd::DataLoggerDataPoint>& points,
                                      const std::string& path, int64_t lastCounter,
                                      const std::chrono::microseconds& discardOlderThan,
                                      uint32_t amount) override;
};

// Accepts every channel and value.
class FakePush final : public qd::DataLoggerPushDataIfc {
  public:
    qd::DataLoggerStatusCode registerOrUpdateChannel(const qd::DataLoggerChannelInfo& info,
                                                     uint64_t& hash) override;
    qd::DataLoggerStatusCode pushData(const uint64_t& hash,
                                      const std::vector<qd::DataLoggerDataPoint>& points) override;
};

class FakeTime final : public qd::SystemTimeHandlerIfc {
  public:
    bool isTimeValid() const override { return valid; }
    void initialize() override {}
    bool valid = false;
};

class FakeFirmware final : public quorix::pelmo::utils::FirmwareVersionIfc {
  public:
    std::string getVersion() const override { return "3.2.1"; }
};

class FakeDevices final : public quorix::pelmo::deviceid::DeviceIdClientIfc {
  public:
    std::vector<std::string> listDevices() override { return {"controller"}; }
    std::string getDeviceIdInfo(const std::string&) override { return R"({"serial":"1"})"; }
};

// Timers that never fire.
class FakeCallers final : public quorix::pelmo::utils::PeriodicCallerManagerIfc {
  public:
    std::unique_ptr<quorix::pelmo::utils::PeriodicCallerHandle> addPeriodicCaller(
        double, std::function<void()>) override {
        return std::make_unique<quorix::pelmo::utils::PeriodicCallerHandle>();
    }
};

}  // namespace datalogger::fuzz
