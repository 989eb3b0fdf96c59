#pragma once

// What the D-Bus integration tests share: the command lines of the real clients and a core
// over two SQLite databases in a temporary directory.
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
#include "support/Fakes.h"
#include "support/PrivateBus.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger::dbustest {

inline const char* const kName = "com.quorix.datalogger.daemon";
inline const char* const kPath = "/com/quorix/datalogger/daemon";
inline const char* const kInterface = "com.quorix.datalogger.interface";

inline std::vector<std::string> call(const std::string& method, std::vector<std::string> args,
                                     const std::string& dest = kName,
                                     const std::string& path = kPath,
                                     const std::string& interface = kInterface) {
    std::vector<std::string> argv{"gdbus", "call", "--system", "--dest", dest, "--object-path",
                                  path, "--method", interface + "." + method};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// dbus-send types every argument itself: the way to send a wrong signature on purpose.
inline std::vector<std::string> send(const std::string& method, std::vector<std::string> args) {
    args.insert(args.begin(), {"dbus-send", "--system", "--print-reply",
                               std::string("--dest=") + kName, kPath,
                               std::string(kInterface) + "." + method});
    return args;
}

inline ::datalogger::test::ClientResult gdbusCall(const std::string& method,
                                                  std::vector<std::string> args) {
    return ::datalogger::test::runClient(call(method, std::move(args)));
}

// The bus's own method calls, e.g. NameHasOwner or RequestName.
inline std::vector<std::string> busCall(const std::string& method, std::vector<std::string> args) {
    return call(method, std::move(args), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus");
}

inline bool hasOwner(const std::string& name) {
    return ::datalogger::test::runClient(busCall("NameHasOwner", {name})).output == "(true,)\n";
}

// The real core over two real databases, initialised; its statistics timers never fire.
class CoreOnDisk {
public:
    CoreOnDisk() {
        for (auto* storage : {&mVolatile, &mNonVolatile}) {
            *storage = std::make_shared<DataLoggerStorageSQLite>(
                ::datalogger::test::sourceDir() + "/dbscripts/sqlite", 1048576, 64u * 1048576u,
                std::function<void()>());
        }
        mCore = std::make_shared<DataLoggerCore>(
            std::make_shared<::datalogger::test::FakePeriodicCallerManager>(), mVolatile,
            mNonVolatile,
            std::make_shared<DataLoggerStorageConfig>(2097152, mDir.file("volatile.db"), 4194304,
                                                      mDir.file("nonvolatile.db")),
            nullptr, nullptr);
        // Never the host's socket path: a DfRM server of its own, in the test's folder.
        std::filesystem::permissions(mDir.path(), std::filesystem::perms::group_all,
                                     std::filesystem::perm_options::add);
        mCore->setDfrmSocketPath(mDir.file("dfrm.socket"));
        mCore->initialize();
    }
    ~CoreOnDisk() {
        mCore.reset();
        mNonVolatile->finalize();
        mVolatile->finalize();
    }

    // Waits up to 10 s for the processing thread to have written at least count rows of path.
    std::vector<DataLoggerDataPoint> waitForRows(DataLoggerStorageIfc& storage,
                                                 const std::string& path, size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::vector<DataLoggerDataPoint> points;
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            points.clear();
            storage.getData(points, path, 0, std::chrono::microseconds(0), 0);
        } while (points.size() < count && std::chrono::steady_clock::now() < deadline);
        EXPECT_GE(points.size(), count) << "rows of " << path;
        return points;
    }

    ::datalogger::test::TempDir mDir;
    std::shared_ptr<DataLoggerStorageSQLite> mVolatile;
    std::shared_ptr<DataLoggerStorageSQLite> mNonVolatile;
    std::shared_ptr<DataLoggerCore> mCore;
};

}  // namespace quorix::pelmo::datalogger::dbustest
