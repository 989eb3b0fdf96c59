#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorix::pelmo::datalogger {

// What one database holds now. Fields a storage could not read stay empty.
struct DataLoggerDatabaseStatus {
    std::string name;  // the storage type's name: "NonVolatile" or "Volatile"
    std::string path;
    uint64_t sizeLimitBytes = 0;        // the configured Size
    std::optional<uint64_t> fileBytes;  // with its write-ahead log
    std::optional<int64_t> rows;        // points held, in blocks and open blocks
    std::optional<int64_t> oldestUs;    // microseconds since the epoch
    std::optional<int64_t> newestUs;
    std::string lastError;  // the last SQLite failure since start; empty when none
};

// The daemon's health as the service engineer's status command shows it. Counts are since start.
struct DataLoggerStatus {
    std::string version;
    int64_t uptimeSeconds = 0;
    size_t queuedPoints = 0;
    size_t queueBoundPoints = 0;
    int64_t commitIntervalMs = 0;  // the longest the writer gathers points into one commit
    uint64_t pointsAccepted = 0;   // queued for writing
    uint64_t pointsStored = 0;     // written by the storage
    uint64_t pointsRefused = 0;    // turned away by the queue's bound
    uint64_t pointsDropped = 0;    // taken from the queue and not written
    std::vector<DataLoggerDatabaseStatus> databases;
    size_t pollFilesLoaded = 0;
    size_t pollFilesRefused = 0;
    size_t channels = 0;
    bool clockTrusted = false;
};

}  // namespace quorix::pelmo::datalogger
