// The DfRM server behind a real lighttpd configured with the repository's snippet, asked with
// curl.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "dfrm/DataLoggerDfrm.h"
#include "dfrm/DfrmDispatch.h"
#include "support/Fakes.h"
#include "support/Lighttpd.h"
#include "support/TestSupport.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::FakePeriodicCallerManager;
using ::datalogger::test::HttpReply;
using ::datalogger::test::Lighttpd;
using ::datalogger::test::LogCapture;
using ::datalogger::test::TempDir;

const std::string kParseNotice = "The last request to /dfrm could not be parsed.";

class StaticFirmware : public utils::FirmwareVersionIfc {
  public:
    std::string getVersion() const override { return "7.1"; }
};

// Three routes are borrowed to show the framing of a 200, a handler exception and a body the
// server read. The rest go through dispatch; this server has no pull interface or device
// client, so only the routes that are not implemented are asked.
DfrmResponse testResponder(DataLoggerDfrm& server, const DataLoggerRequest& request) {
    DfrmResponse response;
    switch (request.route()) {
        case DfrmMethod::capabilities:
            response.mContentType = ContentType::applicationJson;
            // A multi-byte character and a NUL: the length counts bytes, not characters.
            response.mBody << "{\"configHash\":\"" << server.configHash().getConfigHash() << "\"}"
                           << std::string("\xC3\xA4\0x", 4);
            return response;
        case DfrmMethod::volatilestate:
            throw std::runtime_error("handler broke");
        case DfrmMethod::data:
            response.mContentType = ContentType::textHtml;
            response.mBody << "read " << request.body().size();
            return response;
        default:
            return dispatch(server, request);
    }
}

class DfrmOverLighttpdThread : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(mDir.file("run").c_str(), 0700), 0);
        ASSERT_EQ(::chmod(mDir.file("run").c_str(), 0770), 0);
        mServer = std::make_unique<DataLoggerDfrm>(nullptr, mSocket, nullptr,
                                                   std::make_shared<StaticFirmware>(), nullptr,
                                                   mCaller, testResponder);
        mServer->start(false);
        ASSERT_TRUE(mServer->isRunning());
        mWeb = std::make_unique<Lighttpd>(mSocket);
    }

    // A route without an answer is still served: an empty 501.
    void expectServing() {
        const HttpReply reply = mWeb->request("GET", "/dfrm/highalert");
        EXPECT_EQ(reply.statusLine, "HTTP/1.1 501 Not Implemented") << reply.curlOutput;
        EXPECT_EQ(reply.header("Content-Length"), "0");
        EXPECT_EQ(reply.header("Content-Type"), "text/plain");
        EXPECT_EQ(reply.body, "");
    }

    TempDir mDir;
    const std::string mSocket = mDir.file("run/dfrm.socket");
    std::shared_ptr<FakePeriodicCallerManager> mCaller =
        std::make_shared<FakePeriodicCallerManager>();
    LogCapture mLog;
    std::unique_ptr<DataLoggerDfrm> mServer;
    std::unique_ptr<Lighttpd> mWeb;
};

TEST_F(DfrmOverLighttpdThread, ADocumentArrivesWithItsLengthAndJsonType) {
    const HttpReply reply = mWeb->request("GET", "/dfrm/capabilities");
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK") << reply.curlOutput;
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body.size()));
    EXPECT_EQ(reply.body.rfind("{\"configHash\":\"", 0), 0u) << reply.body;
    EXPECT_EQ(reply.body.substr(reply.body.size() - 5), std::string("}\xC3\xA4\0x", 5));
}

class DfrmOverLighttpdThreadUnparsable
    : public DfrmOverLighttpdThread,
      public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(DfrmOverLighttpdThreadUnparsable, AnswersTheParseNoticeAndServesTheNextRequest) {
    const auto [method, path] = GetParam();
    const HttpReply reply = mWeb->request(method, path);
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 500 Internal Server Error") << reply.curlOutput;
    EXPECT_EQ(reply.header("Content-Type"), "text/plain");
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(kParseNotice.size()));
    if (std::string(method) != "HEAD") {
        EXPECT_EQ(reply.body, kParseNotice);
    }
    EXPECT_TRUE(mLog.contains(log::Warning, kParseNotice));
    expectServing();
}

INSTANTIATE_TEST_SUITE_P(Requests, DfrmOverLighttpdThreadUnparsable,
                         ::testing::Values(std::make_pair("GET", "/dfrm/nosuchroute"),
                                           std::make_pair("GET", "/dfrm/identification/"),
                                           std::make_pair("GET", "/dfrm/identification/more"),
                                           std::make_pair("GET", "/dfrm/Identification"),
                                           std::make_pair("GET", "/dfrm/"),
                                           std::make_pair("GET", "/dfrm"),
                                           std::make_pair("HEAD", "/dfrm/identification")));

TEST_F(DfrmOverLighttpdThread, AHandlerExceptionIsAnsweredWithItsTextAndTheNotice) {
    const HttpReply reply = mWeb->request("GET", "/dfrm/volatilestate");
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 500 Internal Server Error") << reply.curlOutput;
    EXPECT_EQ(reply.body, "handler broke\n" + kParseNotice);
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The last FCGI message was not handled properly. Error "
                              "message:\n(handler broke)"));
    expectServing();
}

TEST_F(DfrmOverLighttpdThread, ReadsABodyUpToOneMillionCharacters) {
    const HttpReply accepted = mWeb->request("POST", "/dfrm/data", std::string(1000000, 'x'));
    EXPECT_EQ(accepted.statusLine, "HTTP/1.1 200 OK") << accepted.curlOutput;
    EXPECT_EQ(accepted.body, "read 1000000");

    const HttpReply refused = mWeb->request("POST", "/dfrm/data", std::string(1000001, 'x'));
    EXPECT_EQ(refused.statusLine, "HTTP/1.1 500 Internal Server Error") << refused.curlOutput;
    EXPECT_EQ(refused.body, kParseNotice);
    EXPECT_TRUE(mLog.contains(log::Error,
                              "The received request exceeded the maximum allowed limit "
                              "(1000000) of chars. It contained (1000001) chars."));
    expectServing();
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
