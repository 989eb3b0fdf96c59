#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/DataLoggerStatus.h"
#include "core/DataLoggerTypes.h"

namespace quorix::pelmo::datalogger {

// Points one transaction writes at most: bounds the write-ahead log a burst grows and the time a
// stop waits for the writer.
constexpr size_t kMaxPointsPerCommit = 5000;

// One database of channels and their points. Implementations accept concurrent calls from the
// processing thread, registering producers, DfRM readers and the log export. Expected failures
// are returned as status codes; pool time-outs throw std::runtime_error.
class DataLoggerStorageIfc {
public:
    virtual ~DataLoggerStorageIfc() = default;

    virtual DataLoggerStatusCode getChannel(const std::string& path,
                                            DataLoggerStorageChannelInfo& info) = 0;
    virtual DataLoggerStatusCode getChannel(uint64_t hash, DataLoggerStorageChannelInfo& info) = 0;
    virtual DataLoggerStatusCode getChannels(std::vector<DataLoggerStorageChannelInfo>& infos) = 0;
    virtual DataLoggerStatusCode registerOrUpdateChannel(
        const DataLoggerStorageChannelInfo& info) = 0;
    virtual DataLoggerStatusCode archiveChannel(const std::string& path, std::string& newPath,
                                                uint64_t& newHash) = 0;
    virtual DataLoggerStatusCode archiveChannel(uint64_t hash, std::string& newPath,
                                                uint64_t& newHash) = 0;
    virtual DataLoggerStatusCode setData(uint64_t hash,
                                         const std::vector<DataLoggerDataPoint>& points) = 0;
    // Writes the points of every item, committing at most kMaxPointsPerCommit points at a time,
    // so that a commit touches each page once for many points. `stored[i]` counts the points of
    // items[i] that were written; an item of an unregistered channel is skipped and the others
    // go on. Returns the first failure (NoError when every item was written).
    virtual DataLoggerStatusCode setDataBatch(const std::vector<DataLoggerChannelPoint>& items,
                                              std::vector<size_t>& stored) = 0;
    // Makes what was committed durable when the last sync is due; the writer calls it after
    // every batch and when idle.
    virtual void syncIfDue() = 0;
    virtual DataLoggerStatusCode initializeStorage(uint32_t size, const std::string& filename,
                                                   bool force) = 0;
    virtual DataLoggerStatusCode finalize() = 0;
    virtual DataLoggerStatusCode getData(std::vector<DataLoggerDataPoint>& points,
                                         const std::string& path, int64_t lastCounter,
                                         std::chrono::microseconds discardOlderThan,
                                         uint32_t amount) = 0;
    // The oldest `limit` points (0: all) of what getData selects, oldest first, so that a
    // reader can hand out a long history in bounded pieces without reading all of it.
    virtual DataLoggerStatusCode getDataPage(std::vector<DataLoggerDataPoint>& points,
                                             const std::string& path, int64_t lastCounter,
                                             std::chrono::microseconds discardOlderThan,
                                             uint32_t amount, uint32_t limit) = 0;
    virtual DataLoggerStatusCode createLog(const std::string& directory, int logType) = 0;
    virtual DataLoggerStatusCode clear() = 0;
    // Fills in what the database holds now (file size, rows, time span, last error); leaves
    // what it cannot read as it was. May be called from any thread.
    virtual void describe(DataLoggerDatabaseStatus& status) { (void)status; }
};

}  // namespace quorix::pelmo::datalogger
