#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/DataLoggerTypes.h"

namespace quorix::pelmo::datalogger {

// Read-only view of both databases as one, for DfRM readers. Owned through shared pointers of
// the concrete type, hence no virtual destructor.
class DataLoggerPullDataIfc {
public:
    virtual DataLoggerStatusCode pullAllChannelInfo(
        std::vector<DataLoggerStorageChannelInfo>& infos) = 0;
    virtual DataLoggerStatusCode pullData(std::vector<DataLoggerDataPoint>& points,
                                          const std::string& path, int64_t lastCounter,
                                          const std::chrono::microseconds& discardOlderThan,
                                          uint32_t amount) = 0;
    // The oldest `limit` points (0: all) of what pullData selects; see
    // DataLoggerStorageIfc::getDataPage.
    virtual DataLoggerStatusCode pullDataPage(std::vector<DataLoggerDataPoint>& points,
                                              const std::string& path, int64_t lastCounter,
                                              const std::chrono::microseconds& discardOlderThan,
                                              uint32_t amount, uint32_t limit) = 0;

protected:
    ~DataLoggerPullDataIfc() = default;
};

}  // namespace quorix::pelmo::datalogger
