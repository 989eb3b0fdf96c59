// The daemon binary on its fixed paths, each a bind mount of a temporary folder in a private
// mount namespace.
#include <signal.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace datalogger::test {
namespace {

class DaemonStartup : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for a private mount namespace";
        for (const char* dir : {"etc", "run", "data"}) {
            std::filesystem::create_directories(mRoot.file(dir));
        }
    }

    ChildProcess start() {
        return ChildProcess({sourceDir() + "/scripts/sandbox-exec", mRoot.path(), daemonBinary(),
                             "--log-level", "Debug"},
                            mRoot.file("daemon.log"));
    }

    void writeStorageConf(const std::string& text) { writeFile(mRoot.file("etc/storage.conf"), text); }

    TempDir mRoot;
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
    EXPECT_EQ(daemon.wait(0), -1) << "daemon ended on its own";
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait(20000), 0) << daemon.output();
}

}  // namespace
}  // namespace datalogger::test
