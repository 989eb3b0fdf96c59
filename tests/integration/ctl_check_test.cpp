#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "inputs/filepoll/FilePollEngine.h"
#include "storage/DataLoggerStorageConfig.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

namespace fs = boost::filesystem;
using ::datalogger::test::ChildProcess;
using ::datalogger::test::LogCapture;
using ::datalogger::test::sourceDir;
using ::datalogger::test::TempDir;

std::string ctlCheck(const TempDir& dir, const std::string& storage, const std::string& pollDir) {
    std::vector<std::string> argv{DATALOGGER_CTL_ARGV};
    argv.insert(argv.end(), {"check", "--storage", storage, "--poll-dir", pollDir});
    ChildProcess ctl(argv, dir.file("ctl.out"));
    EXPECT_NE(ctl.wait(20000), -1);
    return ctl.output();
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// The verdict is the daemon's whatever the tool adds: every sample and every fuzz-corpus file.
// A storage file is accepted only when the daemon would open both databases with it, which its
// reader alone does not decide.
TEST(CtlCheck, AcceptsExactlyWhatTheDaemonAccepts) {
    LogCapture log;
    TempDir dir;
    fs::create_directory(dir.file("poll"));
    auto storageFiles = filesIn(sourceDir() + "/fuzz/corpus/storage_config");
    storageFiles.push_back(sourceDir() + "/config/storage.conf");
    for (const auto& file : storageFiles) {
        SCOPED_TRACE(file);
        const std::string out = ctlCheck(dir, file, dir.file("poll"));
        const DataLoggerStorageConfigFile config(file);
        const bool opens = config.isValid() &&
                           config.getConfig()->getVolatileSize() >= kStorageMinimumSize &&
                           config.getConfig()->getNonVolatileSize() >= kStorageMinimumSize;
        EXPECT_EQ(out.find(file + ": accepted\n") != std::string::npos, opens);
    }

    for (const auto& from : {"/config/poll", "/fuzz/corpus/poll_config"}) {
        for (const auto& file : filesIn(sourceDir() + from)) {
            fs::copy_file(file, dir.file("poll/") + fs::path(file).filename().string());
        }
    }
    FilePollEngine().safeLoadConfigs(dir.file("poll"));
    const std::string out = ctlCheck(dir, storageFiles.back(), dir.file("poll"));
    for (const auto& file : filesIn(dir.file("poll"))) {
        SCOPED_TRACE(file);
        EXPECT_EQ(out.find(file + ": accepted, ") != std::string::npos,
                  log.contains("Loaded poll config from file '" + file + "'"));
    }
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
