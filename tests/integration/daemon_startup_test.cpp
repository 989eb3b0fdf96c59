// The daemon binary on its fixed paths, each a bind mount of a temporary folder in a private
// mount namespace.
#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/PrivateBus.h"
#include "support/TestSupport.h"

namespace datalogger::test {
namespace {

class DaemonStartup : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for a private mount namespace";
        for (const char* dir : {"etc", "run", "data/dbscripts/sqlite"}) {
            std::filesystem::create_directories(mRoot.file(dir));
        }
        for (const auto& script :
             std::filesystem::directory_iterator(sourceDir() + "/dbscripts/sqlite")) {
            std::filesystem::copy(script.path(),
                                  mRoot.file("data/dbscripts/sqlite/") + script.path().filename().string());
        }
        // The DfRM socket's folder must be open to the web server's group.
        std::filesystem::permissions(mRoot.file("run"), std::filesystem::perms::group_all,
                                     std::filesystem::perm_options::add);
        mBus = std::make_unique<PrivateBus>();
    }

    ChildProcess start() {
        return ChildProcess({sourceDir() + "/scripts/sandbox-exec", mRoot.path(), daemonBinary(),
                             "--log-level", "Debug"},
                            mRoot.file("daemon.log"));
    }

    void writeStorageConf(const std::string& text) { writeFile(mRoot.file("etc/storage.conf"), text); }

    TempDir mRoot;
    std::unique_ptr<PrivateBus> mBus;
};

TEST_F(DaemonStartup, ExitsWithTenAndExplainsWhenTheStorageConfigurationIsMissing) {
    ChildProcess daemon = start();
    EXPECT_EQ(daemon.wait(20000), 10) << daemon.output();
    std::string out = daemon.output();
    EXPECT_NE(out.find("Error DataLoggerStorageConfigFile: Parsing storage configuration file with "
                       "the following errors: /etc/datalogger/storage.conf: cannot open file"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Critical DataLoggerDaemon: Failed to parse storage configuration file "
                       "(/etc/datalogger/storage.conf). Errors were:"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("-preInit: OK"), std::string::npos);
}

TEST_F(DaemonStartup, ExitsWithTenWhenASizeIsNotPositive) {
    writeStorageConf(R"({"volatile":{"Size":0,"Path":"/run/datalogger/v.db"},
                         "nonvolatile":{"Size":2097152,"Path":"/data/datalogger/nv.db"}})");
    ChildProcess daemon = start();
    EXPECT_EQ(daemon.wait(20000), 10) << daemon.output();
    EXPECT_NE(daemon.output().find("Volatile Size is invalid. Size leq 0 is not allowed."),
              std::string::npos);
}

TEST_F(DaemonStartup, RunsUntilSigtermAndExitsZeroWithAValidConfiguration) {
    writeStorageConf(R"({"volatile":{"Size":2097152,"Path":"/run/datalogger/v.db"},
                         "nonvolatile":{"Size":2097152,"Path":"/data/datalogger/nv.db"}})");
    ChildProcess daemon = start();
    ASSERT_TRUE(daemon.waitForOutput("-preInit: OK", 20000)) << daemon.output();
    EXPECT_NE(daemon.output().find("+preInit"), std::string::npos);
    ASSERT_TRUE(daemon.waitForOutput("onNameAcquired: name = 'com.quorix.datalogger.daemon'", 20000))
        << daemon.output();
    ClientResult owner = runClient({"gdbus", "call", "--system", "--dest", "org.freedesktop.DBus",
                                    "--object-path", "/org/freedesktop/DBus", "--method",
                                    "org.freedesktop.DBus.NameHasOwner",
                                    "com.quorix.datalogger.daemon"});
    EXPECT_EQ(owner.output, "(true,)\n");
    // Both databases exist on their configured paths, migrated.
    EXPECT_TRUE(std::filesystem::exists(mRoot.file("run/v.db")));
    EXPECT_TRUE(std::filesystem::exists(mRoot.file("data/nv.db")));
    EXPECT_EQ(daemon.wait(0), -1) << "daemon ended on its own";
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(20000), 0) << daemon.output();
}

}  // namespace
}  // namespace datalogger::test
