#pragma once

#include <memory>
#include <vector>

#include "core/DataLoggerPullDataIfc.h"
#include "core/DataLoggerStorageIfc.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// Reads both storages as one, asking them in constructor order (the core passes the volatile
// one first). Keeps no state: safe wherever the storages are.
class StorageAggregatePull : public DataLoggerPullDataIfc, public virtual log::Logger {
public:
    StorageAggregatePull(std::shared_ptr<DataLoggerStorageIfc> first,
                         std::shared_ptr<DataLoggerStorageIfc> second);
    virtual ~StorageAggregatePull() = default;

    // Appends every storage's channels; returns the last non-zero code, or 0.
    DataLoggerStatusCode pullAllChannelInfo(
        std::vector<DataLoggerStorageChannelInfo>& infos) override;
    // The first storage that has data answers; otherwise the last code other than NotFound.
    DataLoggerStatusCode pullData(std::vector<DataLoggerDataPoint>& points, const std::string& path,
                                  int64_t lastCounter,
                                  const std::chrono::microseconds& discardOlderThan,
                                  uint32_t amount) override;
    // The same choice of storage, each asked for one page.
    DataLoggerStatusCode pullDataPage(std::vector<DataLoggerDataPoint>& points,
                                      const std::string& path, int64_t lastCounter,
                                      const std::chrono::microseconds& discardOlderThan,
                                      uint32_t amount, uint32_t limit) override;

private:
    std::vector<std::shared_ptr<DataLoggerStorageIfc>> mStorages;
};

}  // namespace quorix::pelmo::datalogger
