#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/DataLoggerTypes.h"

namespace quorix::pelmo::datalogger {

// Points waiting to be written, in total over every producer: about 47 MiB at 24.5 bytes a
// queued point. A push that would pass the bound is refused with QueueFull and queues nothing.
constexpr size_t kMaxQueuedPoints = 2000000;
// Points in one push; a D-Bus call can carry about twice as many within the bus's message limit.
constexpr size_t kMaxPointsPerPush = 1000000;
// Pushes of at most kSmallPushPoints may use the last kSmallPushReserve points of the bound, so a
// flood of large pushes that keeps the queue full cannot shut out pollers, statistics and other
// small producers.
constexpr size_t kSmallPushPoints = 1000;
constexpr size_t kSmallPushReserve = 20000;

// The bound that a push of this many points is measured against.
constexpr size_t queuedPointsBoundFor(size_t points) {
    return points <= kSmallPushPoints ? kMaxQueuedPoints : kMaxQueuedPoints - kSmallPushReserve;
}

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
    // Whether a push of this many points could be queued now, for a caller that can save work by
    // asking before it builds the points; a refusal counts as a refused push. The push itself
    // checks again. The default admits everything.
    virtual DataLoggerStatusCode admitPush(size_t points) {
        (void)points;
        return DataLoggerStatusCode::NoError;
    }
    // Points queued and not yet taken by the writer.
    virtual size_t queuedPoints() const { return 0; }
    virtual ~DataLoggerPushDataIfc() = default;
};

}  // namespace quorix::pelmo::datalogger
