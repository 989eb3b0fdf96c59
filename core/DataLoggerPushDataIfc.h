#pragma once

#include <cstdint>
#include <vector>

#include "core/DataLoggerTypes.h"

namespace quorix::pelmo::datalogger {

// How every producer (D-Bus service, file pollers, statistics producers) hands in channels and
// values. Implementations are called from several threads at once.
class DataLoggerPushDataIfc {
public:
    // hash is overwritten with the channel's hash.
    virtual DataLoggerStatusCode registerOrUpdateChannel(const DataLoggerChannelInfo& info,
                                                         uint64_t& hash) = 0;
    virtual DataLoggerStatusCode pushData(const uint64_t& hash,
                                          const std::vector<DataLoggerDataPoint>& points) = 0;
    virtual ~DataLoggerPushDataIfc() = default;
};

}  // namespace quorix::pelmo::datalogger
