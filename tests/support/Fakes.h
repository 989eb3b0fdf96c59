#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/DataLoggerPushDataIfc.h"
#include "core/DataLoggerStorageIfc.h"
#include "platform/PeriodicCaller.h"

namespace datalogger::test {

namespace qd = quorix::pelmo::datalogger;

// Periodic callers that run only when the test says so.
class FakePeriodicCallerManager : public quorix::pelmo::utils::PeriodicCallerManagerIfc {
public:
    std::unique_ptr<quorix::pelmo::utils::PeriodicCallerHandle> addPeriodicCaller(
        double periodSeconds, std::function<void()> callback) override;

    // Runs every live callback once, in the order they were added.
    void fireAll();
    size_t liveCallers() const;
    std::vector<double> periods() const;

private:
    struct Entry {
        double period;
        std::function<void()> callback;
        bool alive = true;
    };
    mutable std::mutex mMutex;  // guards mEntries
    std::vector<std::shared_ptr<Entry>> mEntries;
};

// In-memory storage with the status answers of the SQLite storage, for tests of its callers.
// Thread-safe; waitForPoints lets a test wait for the processing thread without sleeping.
class FakeStorage : public qd::DataLoggerStorageIfc {
public:
    qd::DataLoggerStatusCode getChannel(const std::string& path,
                                        qd::DataLoggerStorageChannelInfo& info) override;
    qd::DataLoggerStatusCode getChannel(uint64_t hash,
                                        qd::DataLoggerStorageChannelInfo& info) override;
    qd::DataLoggerStatusCode getChannels(
        std::vector<qd::DataLoggerStorageChannelInfo>& infos) override;
    qd::DataLoggerStatusCode registerOrUpdateChannel(
        const qd::DataLoggerStorageChannelInfo& info) override;
    qd::DataLoggerStatusCode archiveChannel(const std::string& path, std::string& newPath,
                                            uint64_t& newHash) override;
    qd::DataLoggerStatusCode archiveChannel(uint64_t hash, std::string& newPath,
                                            uint64_t& newHash) override;
    qd::DataLoggerStatusCode setData(uint64_t hash,
                                     const std::vector<qd::DataLoggerDataPoint>& points) override;
    qd::DataLoggerStatusCode initializeStorage(uint32_t size, const std::string& filename,
                                               bool force) override;
    qd::DataLoggerStatusCode finalize() override;
    qd::DataLoggerStatusCode getData(std::vector<qd::DataLoggerDataPoint>& points,
                                     const std::string& path, int64_t lastCounter,
                                     std::chrono::microseconds discardOlderThan,
                                     uint32_t amount) override;
    qd::DataLoggerStatusCode createLog(const std::string& directory, int logType) override;
    qd::DataLoggerStatusCode clear() override;

    // Values written for hash; waits up to timeoutMs until at least count are there.
    std::vector<double> waitForPoints(uint64_t hash, size_t count, int timeoutMs = 10000);
    std::vector<uint64_t> archivedHashes() const;
    std::vector<std::string> logDirectories() const;
    std::string initializedWith() const;

    // Forces the answer of every archiveChannel call when set to anything but NoError.
    qd::DataLoggerStatusCode mArchiveAnswer = qd::DataLoggerStatusCode::NoError;
    // Forces the answer of getData / getChannels when set.
    std::function<qd::DataLoggerStatusCode(std::vector<qd::DataLoggerDataPoint>&)> mGetData;

private:
    struct Channel {
        qd::DataLoggerChannelInfo info;
        std::vector<double> values;
    };
    mutable std::mutex mMutex;  // guards every member below
    std::condition_variable mWritten;
    std::map<uint64_t, Channel> mChannels;
    std::vector<uint64_t> mArchived;
    std::vector<std::string> mLogDirectories;
    std::string mInitializedWith;
    int mArchiveId = 0;
};

}  // namespace datalogger::test
