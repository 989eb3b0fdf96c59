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
    // The same for points the caller gives away: an implementation that queues them can take
    // them over instead of copying them a second time. The default copies through pushData.
    virtual DataLoggerStatusCode pushOwnedData(const uint64_t& hash,
                                               std::vector<DataLoggerDataPoint>&& points) {
        return pushData(hash, points);
    }
    virtual ~DataLoggerPushDataIfc() = default;
};

}  // namespace quorix::pelmo::datalogger
