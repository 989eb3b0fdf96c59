#pragma once

// The real core over two real SQLite databases in a temporary directory, initialised.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/DataLoggerCore.h"
#include "storage/DataLoggerStorageConfig.h"
#include "storage/DataLoggerStorageSQLite.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger::coretest {

class CoreOnDisk {
public:
    // The statistics timers never fire unless the test hands in callers that do.
    explicit CoreOnDisk(std::shared_ptr<utils::PeriodicCallerManagerIfc> callers =
                            std::make_shared<::datalogger::test::FakePeriodicCallerManager>(),
                        std::shared_ptr<utils::FirmwareVersionIfc> firmware = nullptr,
                        std::shared_ptr<deviceid::DeviceIdClientIfc> devices = nullptr) {
        for (auto* storage : {&mVolatile, &mNonVolatile}) {
            *storage = std::make_shared<DataLoggerStorageSQLite>(
                ::datalogger::test::sourceDir() + "/dbscripts/sqlite", 1048576, 64u * 1048576u,
                std::function<void()>());
        }
        mCore = std::make_shared<DataLoggerCore>(
            std::move(callers), mVolatile, mNonVolatile,
            std::make_shared<DataLoggerStorageConfig>(2097152, mDir.file("volatile.db"), 4194304,
                                                      mDir.file("nonvolatile.db")),
            std::move(firmware), std::move(devices));
        // Never the host's socket path: a DfRM server of its own, in a folder the web server's
        // group may enter.
        std::filesystem::permissions(mDir.path(), std::filesystem::perms::group_all,
                                     std::filesystem::perm_options::add);
        mCore->setDfrmSocketPath(socket());
        mCore->initialize();
    }
    ~CoreOnDisk() {
        mCore.reset();
        mNonVolatile->finalize();
        mVolatile->finalize();
    }

    std::string socket() const { return mDir.file("dfrm.socket"); }
    uint64_t add(const DataLoggerChannelInfo& info) {
        uint64_t hash = 0;
        EXPECT_EQ(mCore->registerOrUpdateChannel(info, hash), DataLoggerStatusCode::NoError)
            << info.mPath;
        return hash;
    }
    // Rows of path once the processing thread has written at least count of them, or whatever
    // is there after timeoutMs.
    std::vector<DataLoggerDataPoint> rows(DataLoggerStorageIfc& storage, const std::string& path,
                                          size_t count, int timeoutMs = 10000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<DataLoggerDataPoint> points;
        while (true) {
            points.clear();
            storage.getData(points, path, 0, std::chrono::microseconds(0), 0);
            if (points.size() >= count || std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return points;
    }
    std::vector<double> values(DataLoggerStorageIfc& storage, const std::string& path, size_t count,
                               int timeoutMs = 10000) {
        std::vector<double> result;
        for (const auto& point : rows(storage, path, count, timeoutMs)) {
            result.push_back(point.value());
        }
        return result;
    }

    ::datalogger::test::TempDir mDir;
    std::shared_ptr<DataLoggerStorageSQLite> mVolatile;
    std::shared_ptr<DataLoggerStorageSQLite> mNonVolatile;
    std::shared_ptr<DataLoggerCore> mCore;
};

}  // namespace quorix::pelmo::datalogger::coretest
