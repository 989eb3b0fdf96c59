// The bytes the DfRM server writes, read straight off its socket with cgi-fcgi: no web server
// in between to add, drop or rewrite anything.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dfrm/DataLoggerDfrm.h"
#include "support/Fakes.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::ChildProcess;
using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::LogCapture;
using ::datalogger::test::readFile;
using ::datalogger::test::TempDir;
using ::datalogger::test::writeFile;

const std::string kNotImplemented =
    "HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\nContent-Type: text/plain\r\n\r\n";
const std::string kUnparsable =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 46\r\nContent-Type: text/plain\r\n\r\n"
    "The last request to /dfrm could not be parsed.";

class DfrmRawFramingThread : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(mDir.file("run").c_str(), 0700), 0);
        ASSERT_EQ(::chmod(mDir.file("run").c_str(), 0770), 0);
        mServer =
            std::make_unique<DataLoggerDfrm>(nullptr, mSocket, nullptr, nullptr, nullptr, mCaller);
        mServer->start(false);
        ASSERT_TRUE(mServer->isRunning());
    }

    // One request with exactly these parameters and this standard input; the raw answer.
    std::string ask(const std::map<std::string, std::string>& params,
                    const std::string& input = "") {
        const std::string id = std::to_string(mAsked++);
        writeFile(mDir.file("in" + id), input);
        std::vector<std::string> argv = {"sh", "-c", "exec env -i \"$@\" < \"$0\"",
                                         mDir.file("in" + id)};
        for (const auto& [name, value] : params) argv.push_back(name + "=" + value);
        argv.insert(argv.end(), {"cgi-fcgi", "-bind", "-connect", mSocket});
        ChildProcess client(argv, mDir.file("out" + id));
        EXPECT_EQ(client.wait(20000), 0) << client.output();
        return client.output();
    }
    std::string askRoute(const std::string& route) {
        return ask({{"REQUEST_METHOD", "GET"}, {"PATH_INFO", route}});
    }

    TempDir mDir;
    const std::string mSocket = mDir.file("run/dfrm.socket");
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
    LogCapture mLog;
    std::unique_ptr<DataLoggerDfrm> mServer;
    int mAsked = 0;
};

TEST_F(DfrmRawFramingThread, AnEmptyNotImplementedAnswerEndsWithTheBlankLine) {
    EXPECT_EQ(askRoute("/event"), kNotImplemented);
}

TEST_F(DfrmRawFramingThread, AShortBodyIsRefusedAfterTheRead) {
    EXPECT_EQ(ask({{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/data"}, {"CONTENT_LENGTH", "100"}},
                  "0123456789"),
              kUnparsable);
    EXPECT_TRUE(mLog.contains(log::Error,
                              "Request parsing failed. Read amount 10 does not match "
                              "the expected amount (100). Discarding request."));
    EXPECT_EQ(askRoute("/highalert"), kNotImplemented);
}

struct LengthCase {
    const char* contentLength;  // nullptr: not sent
    bool answered;
    const char* log;
};

class DfrmRawFramingThreadLength : public DfrmRawFramingThread,
                                   public ::testing::WithParamInterface<LengthCase> {};

TEST_P(DfrmRawFramingThreadLength, MissingOrMalformedReadsAsZeroOutOfRangeFails) {
    std::map<std::string, std::string> params = {{"REQUEST_METHOD", "PUT"},
                                                 {"PATH_INFO", "/datachannelprop"}};
    if (GetParam().contentLength) params["CONTENT_LENGTH"] = GetParam().contentLength;
    EXPECT_EQ(ask(params), GetParam().answered ? kNotImplemented : kUnparsable);
    EXPECT_TRUE(mLog.contains(GetParam().log));
    EXPECT_EQ(askRoute("/highalert"), kNotImplemented);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, DfrmRawFramingThreadLength,
    ::testing::Values(
        LengthCase{nullptr, true, "The HTTP header CONTENT_LENGTH is malformed or missing."},
        LengthCase{"", true, "The HTTP header CONTENT_LENGTH is malformed or missing."},
        LengthCase{"12abc", true, "The HTTP header CONTENT_LENGTH is malformed or missing."},
        LengthCase{"-1", true, "The HTTP header CONTENT_LENGTH is malformed or missing."},
        LengthCase{"4294967296", false,
                   "The HTTP header CONTENT_LENGTH uses a value that is out of range."},
        LengthCase{"99999999999999999999999", false,
                   "The HTTP header CONTENT_LENGTH uses a value that is out of range."}));

TEST_F(DfrmRawFramingThread, AMissingMethodIsUnparsable) {
    EXPECT_EQ(ask({{"PATH_INFO", "/event"}}), kUnparsable);
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The mandatory parameter 'REQUEST_METHOD' is missing in "
                              "the request."));
    EXPECT_EQ(askRoute("/highalert"), kNotImplemented);
}

TEST_F(DfrmRawFramingThread, ARestartedServerAnswersAgain) {
    mServer->start(true);
    ASSERT_TRUE(mServer->isRunning());
    EXPECT_EQ(askRoute("/event"), kNotImplemented);
    mServer->stop();
    mServer->start(false);
    EXPECT_EQ(askRoute("/event"), kNotImplemented);
    EXPECT_FALSE(mLog.contains("FCGI accept error"));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
