// The seams of the DfRM routes, faked, and a context over them. Free of GoogleTest: the fuzz
// targets and the benchmarks use them as the tests do.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/DataLoggerPullDataIfc.h"
#include "dfrm/DfrmContext.h"
#include "platform/DeviceIdClient.h"
#include "platform/FirmwareVersion.h"
#include "support/fakes.h"
#include "systime/SystemTimeHandlerIfc.h"

namespace datalogger::test {

struct PullCall {
    std::string path;
    int64_t lastCounter;
    int64_t discardOlderThan;
    uint32_t amount;
};

// Answers from tables set by the caller and records every data call. A point is returned when
// its time stamp in microseconds is past the last counter; a path with points but none past it
// answers StorageNoData. A path not in `data` is unknown, unless byPrefix: then "gone..." is
// unknown, "empty..." has no data, "broken..." fails and anything else has three points, so a
// fuzzer's input chooses the storage's answer.
class FakePull final : public qd::DataLoggerPullDataIfc {
public:
    qd::DataLoggerStatusCode pullAllChannelInfo(
        std::vector<qd::DataLoggerStorageChannelInfo>& infos) override;
    qd::DataLoggerStatusCode pullData(std::vector<qd::DataLoggerDataPoint>& points,
                                      const std::string& path, int64_t lastCounter,
                                      const std::chrono::microseconds& discardOlderThan,
                                      uint32_t amount) override;
    // The oldest `limit` of what pullData answers.
    qd::DataLoggerStatusCode pullDataPage(std::vector<qd::DataLoggerDataPoint>& points,
                                          const std::string& path, int64_t lastCounter,
                                          const std::chrono::microseconds& discardOlderThan,
                                          uint32_t amount, uint32_t limit) override;

    struct Answer {
        qd::DataLoggerStatusCode status;
        std::vector<qd::DataLoggerDataPoint> points;
    };
    std::vector<qd::DataLoggerStorageChannelInfo> channels;
    qd::DataLoggerStatusCode channelStatus = qd::DataLoggerStatusCode::NoError;
    std::map<std::string, Answer> data;
    bool byPrefix = false;
    std::vector<PullCall> calls;
    int channelCalls = 0;
};

class FakeTime final : public qd::SystemTimeHandlerIfc {
public:
    bool isTimeValid() const override { return valid; }
    void initialize() override {}
    std::atomic<bool> valid{false};
};

class FakeFirmware final : public quorix::pelmo::utils::FirmwareVersionIfc {
public:
    std::string getVersion() const override { return "3.2.1"; }
};

// Devices by id; an id mapped to "!" fails. The list fails with a standard exception when
// listFails is 1 and with a GLib error when it is 2.
class FakeDevices final : public quorix::pelmo::deviceid::DeviceIdClientIfc {
public:
    std::vector<std::string> listDevices() override;
    std::string getDeviceIdInfo(const std::string& id) override;

    std::map<std::string, std::string> devices;
    int listFails = 0;
    int listCalls = 0;
};

// The routes' context over the fakes; `source` replaces the fake pull when given. The caller
// manager outlives the context, whose configuration hash holds a caller of it.
struct DfrmRig {
    explicit DfrmRig(std::shared_ptr<qd::DataLoggerPullDataIfc> source = nullptr)
        : context(source ? std::move(source) : pull, time, firmware, devices, callers) {}

    std::shared_ptr<FakePull> pull = std::make_shared<FakePull>();
    std::shared_ptr<FakeTime> time = std::make_shared<FakeTime>();
    std::shared_ptr<FakeFirmware> firmware = std::make_shared<FakeFirmware>();
    std::shared_ptr<FakeDevices> devices = std::make_shared<FakeDevices>();
    std::shared_ptr<FakePeriodicCallerManager> callers =
        std::make_shared<FakePeriodicCallerManager>();
    qd::DfrmContext context;
};

}  // namespace datalogger::test
