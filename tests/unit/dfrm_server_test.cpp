// The server's socket life cycle, without a client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "dfrm/DataLoggerDfrm.h"
#include "support/Fakes.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::LogCapture;
using ::datalogger::test::readFile;
using ::datalogger::test::TempDir;
using ::datalogger::test::writeFile;

const std::string kBasicPathMessage =
    ") could not be created or opened. Either the basic path does not exist or the permissions "
    "(rx) are not as expected.";

struct stat statOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

class DfrmServerThread : public ::testing::Test {
protected:
    void SetUp() override {
        // chmod, not the mode of mkdir: the umask would take the group's write bit away.
        ASSERT_EQ(::mkdir(mSocketDir.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(mSocketDir.c_str(), 0770), 0);
    }
    void TearDown() override {
        if (!HasFailure()) return;
        for (const auto& record : mLog.records()) std::cerr << record.text << '\n';
    }
    std::unique_ptr<DataLoggerDfrm> make(const std::string& socketPath) {
        return std::make_unique<DataLoggerDfrm>(nullptr, socketPath, nullptr, nullptr, nullptr,
                                                mCaller);
    }

    TempDir mDir;
    const std::string mSocketDir = mDir.file("run");
    const std::string mSocketPath = mSocketDir + "/dfrm.socket";
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
    LogCapture mLog;
};

TEST_F(DfrmServerThread, CreatesTheSocketForTheWebServersGroupStartsOnceAndStopsPromptly) {
    auto server = make(mSocketPath);
    server->start(false);
    ASSERT_TRUE(server->isRunning());
    const struct stat first = statOf(mSocketPath);
    EXPECT_TRUE(S_ISSOCK(first.st_mode));
    EXPECT_EQ(first.st_mode & 07777, 0660u);

    server->start(false);
    EXPECT_EQ(mLog.count("The DFRM process thread is already started, ideally you should only "
                         "call start once."),
              1u);
    EXPECT_EQ(statOf(mSocketPath).st_ino, first.st_ino);  // not bound a second time

    const auto before = std::chrono::steady_clock::now();
    server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_FALSE(server->isRunning());
    server->stop();
    EXPECT_EQ(mLog.count("The process to answer DfRM requests via fcgi has been stopped."), 1u);
    EXPECT_FALSE(mLog.contains("FCGI accept error"));
}

TEST_F(DfrmServerThread, AMissingDirectoryOrOneClosedToTheGroupRefusesUntilCorrected) {
    make(mDir.file("absent/dfrm.socket"))->start(false);
    EXPECT_TRUE(mLog.contains(
        log::Error, "The FCGI socket with the path (" + mDir.file("absent") + kBasicPathMessage));

    ASSERT_EQ(::chmod(mSocketDir.c_str(), 0750), 0);
    auto server = make(mSocketPath);
    server->start(false);
    EXPECT_FALSE(server->isRunning());
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The FCGI socket with the path (" + mSocketDir + kBasicPathMessage));
    EXPECT_NE(::access(mSocketPath.c_str(), F_OK), 0);

    ASSERT_EQ(::chmod(mSocketDir.c_str(), 0770), 0);
    server->start(false);
    EXPECT_TRUE(server->isRunning());
}

// The library's own socket opener ends the process on such paths.
TEST_F(DfrmServerThread, AnUnusableSocketPathIsLoggedNotFatal) {
    writeFile(mSocketPath, "not a socket");
    auto occupied = make(mSocketPath);
    occupied->start(false);
    EXPECT_FALSE(occupied->isRunning());
    EXPECT_EQ(readFile(mSocketPath), "not a socket");

    auto tooLong = make(mSocketDir + "/" + std::string(120, 's'));
    tooLong->start(false);
    EXPECT_FALSE(tooLong->isRunning());
    EXPECT_EQ(mLog.count("The fcgi socket descriptor  value is (-1). No DFRM messages will be "
                         "processed."),
              2u);
}

TEST_F(DfrmServerThread, ReplacesASocketLeftBehindByAKilledProcess) {
    {
        int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, mSocketPath.c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(stale);
    }
    auto server = make(mSocketPath);
    server->start(false);
    EXPECT_TRUE(server->isRunning());
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
