#include "storage/StorageAggregatePull.h"

namespace quorix::pelmo::datalogger {

StorageAggregatePull::StorageAggregatePull(std::shared_ptr<DataLoggerStorageIfc> first,
                                           std::shared_ptr<DataLoggerStorageIfc> second)
    : log::Logger("StorageAggregatePull", "", std::make_shared<log::LoggerImpl>()),
      mStorages{std::move(first), std::move(second)} {}

DataLoggerStatusCode StorageAggregatePull::pullAllChannelInfo(
    std::vector<DataLoggerStorageChannelInfo>& infos) {
    DataLoggerStatusCode result = DataLoggerStatusCode::NoError;
    for (const auto& storage : mStorages) {
        DataLoggerStatusCode rc = storage->getChannels(infos);
        if (rc != DataLoggerStatusCode::NoError) {
            pelmoDoLog(log::Error, "pullAllChannelInfo failed with %d", nullptr,
                       static_cast<int>(rc));
            result = rc;
        }
    }
    return result;
}

DataLoggerStatusCode StorageAggregatePull::pullData(
    std::vector<DataLoggerDataPoint>& points, const std::string& path, int64_t lastCounter,
    const std::chrono::microseconds& discardOlderThan, uint32_t amount) {
    DataLoggerStatusCode result = DataLoggerStatusCode::NotFound;
    for (const auto& storage : mStorages) {
        DataLoggerStatusCode rc =
            storage->getData(points, path, lastCounter, discardOlderThan, amount);
        if (rc == DataLoggerStatusCode::NoError) return rc;
        if (rc != DataLoggerStatusCode::NotFound) result = rc;
    }
    return result;
}

DataLoggerStatusCode StorageAggregatePull::pullDataPage(
    std::vector<DataLoggerDataPoint>& points, const std::string& path, int64_t lastCounter,
    const std::chrono::microseconds& discardOlderThan, uint32_t amount, uint32_t limit) {
    DataLoggerStatusCode result = DataLoggerStatusCode::NotFound;
    for (const auto& storage : mStorages) {
        DataLoggerStatusCode rc =
            storage->getDataPage(points, path, lastCounter, discardOlderThan, amount, limit);
        if (rc == DataLoggerStatusCode::NoError) return rc;
        if (rc != DataLoggerStatusCode::NotFound) result = rc;
    }
    return result;
}

}  // namespace quorix::pelmo::datalogger
