// Shared by the fuzz targets: quiet logging, a private temporary directory and a push interface
// that accepts everything. The DfRM targets take their fakes from the tests' support library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/DataLoggerPushDataIfc.h"

namespace datalogger::fuzz {

namespace qd = quorix::pelmo::datalogger;

// Every record is dropped: the code under test logs on nearly every path, and formatting
// lines to stderr would cost most of the executions.
void silenceLogging();

// A directory of this process, created on the first call and removed at exit.
const std::string& tempDir();

// Writes the input to one file in tempDir() (the same file for every input) and returns its path.
std::string writeInputFile(const uint8_t* data, size_t size);

// Accepts every channel and value.
class FakePush final : public qd::DataLoggerPushDataIfc {
public:
    qd::DataLoggerStatusCode registerOrUpdateChannel(const qd::DataLoggerChannelInfo& info,
                                                     uint64_t& hash) override;
    qd::DataLoggerStatusCode pushData(const uint64_t& hash,
                                      const std::vector<qd::DataLoggerDataPoint>& points) override;
};

}  // namespace datalogger::fuzz
