// The DfRM server's socket life cycle, and the bytes it writes read straight off its socket with
// cgi-fcgi: no web server in between to add, drop or rewrite anything.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dfrm/DataLoggerDfrm.h"
#include "dfrm/DfrmDispatch.h"
#include "platform/UniqueFd.h"
#include "support/dfrm_fakes.h"
#include "support/test_support.h"

namespace quorix::pelmo::datalogger {
namespace {

using ::datalogger::test::ChildProcess;
using ::datalogger::test::DfrmRig;
using ::datalogger::test::LogCapture;
using ::datalogger::test::readFile;
using ::datalogger::test::TempDir;
using ::datalogger::test::writeFile;

const std::string kNotImplemented =
    "HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\nContent-Type: text/plain\r\n\r\n";
const std::string kParseNotice = "The last request to /dfrm could not be parsed.";
const std::string kUnparsable =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 46\r\nContent-Type: text/plain\r\n\r\n" +
    kParseNotice;

const std::string kBasicPathMessage =
    ") could not be created or opened. Either the basic path does not exist or the permissions "
    "(rx) are not as expected.";

using Params = std::map<std::string, std::string>;
Params get(const char* route) {
    return {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", route}};
}
Params put(const char* length) {
    return {
        {"REQUEST_METHOD", "PUT"}, {"PATH_INFO", "/datachannelprop"}, {"CONTENT_LENGTH", length}};
}
Params post(size_t length) {
    return {{"REQUEST_METHOD", "POST"},
            {"PATH_INFO", "/data"},
            {"CONTENT_LENGTH", std::to_string(length)}};
}

// Servers over the rig's fakes on sockets in a private directory. The fakes outlive the servers.
class DfrmServerThread : public ::testing::Test, protected DfrmRig {
protected:
    void SetUp() override {
        // chmod, not the mode of mkdir: the umask would take the group's write bit away.
        ASSERT_EQ(::mkdir(mSocketDir.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(mSocketDir.c_str(), 0770), 0);
    }
    std::unique_ptr<DataLoggerDfrm> make(const std::string& socketPath,
                                         DataLoggerDfrm::Responder responder = {}) {
        return std::make_unique<DataLoggerDfrm>(pull, socketPath, time, firmware, devices, callers,
                                                std::move(responder));
    }
    // The server of the framing cases, started on mSocket.
    void serve();

    // One request with exactly these parameters and this standard input; the raw answer.
    std::string ask(const Params& params, const std::string& input = "") {
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

    TempDir mDir;
    const std::string mSocketDir = mDir.file("run");
    const std::string mSocket = mSocketDir + "/dfrm.socket";
    LogCapture mLog;
    int mAsked = 0;
    std::unique_ptr<DataLoggerDfrm> mServer;
};

// A socket file left behind by a killed process is replaced. A second start is refused, a
// restarted server answers again, a second stop does nothing. Who may connect to the socket is
// checked as the web server's user by scripts/faults privileges.
TEST_F(DfrmServerThread, ReplacesAStaleSocketAndSurvivesRestarts) {
    ASSERT_EQ(::mknod(mSocket.c_str(), S_IFSOCK | 0600, 0), 0);
    serve();
    mServer->start(false);
    EXPECT_TRUE(mLog.contains(log::Warning, "The DFRM process thread is already started"));
    mServer->start(true);
    EXPECT_EQ(ask(get("/event")), kNotImplemented);
    mServer->stop();
    mServer->stop();
    EXPECT_FALSE(mServer->isRunning());
    mServer->start(false);
    EXPECT_EQ(ask(get("/event")), kNotImplemented);
    EXPECT_EQ(mLog.count("The process to answer DfRM requests via fcgi has been stopped."), 2u);
    EXPECT_FALSE(mLog.contains("FCGI accept error"));
}

// Each path is refused and logged, never fatal: the library's own socket opener ends the
// process on such paths. A directory closed to the group works once it is opened.
TEST_F(DfrmServerThread, AnUnusableSocketPathIsLoggedAndRefused) {
    writeFile(mSocketDir + "/occupied", "not a socket");
    const std::string kNoSocket =
        "The fcgi socket descriptor  value is (-1). No DFRM messages will be processed.";
    const std::pair<std::string, std::string> cases[] = {
        {mDir.file("absent/dfrm.socket"),
         "The FCGI socket with the path (" + mDir.file("absent") + kBasicPathMessage},
        {mSocketDir + "/occupied", kNoSocket},
        {mSocketDir + "/" + std::string(120, 's'), kNoSocket},
        {mSocket, "The FCGI socket with the path (" + mSocketDir + kBasicPathMessage}};
    std::unique_ptr<DataLoggerDfrm> server;
    for (const auto& [path, text] : cases) {
        ASSERT_EQ(::chmod(mSocketDir.c_str(), path == mSocket ? 0750 : 0770), 0);
        LogCapture log;
        server = make(path);
        server->start(false);
        EXPECT_FALSE(server->isRunning()) << path;
        EXPECT_TRUE(log.contains(log::Error, text)) << path;
    }
    EXPECT_EQ(readFile(mSocketDir + "/occupied"), "not a socket");
    EXPECT_NE(::access(mSocket.c_str(), F_OK), 0);
    ASSERT_EQ(::chmod(mSocketDir.c_str(), 0770), 0);
    server->start(false);
    EXPECT_TRUE(server->isRunning());
}

// Four routes are borrowed to show the framing of a 200, a handler exception, a body the server
// read and a long answer. The rest go through dispatch; only the routes that are not
// implemented are asked.
DfrmResponse testResponder(DfrmContext& context, const DataLoggerRequest& request) {
    DfrmResponse response;
    switch (request.route()) {
        case DfrmMethod::capabilities:
            response.mContentType = ContentType::applicationJson;
            // A multi-byte character and a NUL: the length counts bytes, not characters.
            response.mBody = "{\"configHash\":\"" + context.configHash().getConfigHash() + "\"}" +
                             std::string("\xC3\xA4\0x", 4);
            return response;
        case DfrmMethod::volatilestate:
            throw std::runtime_error("handler broke");
        case DfrmMethod::data:
            response.mContentType = ContentType::textHtml;
            response.mBody = "read " + std::to_string(request.body().size());
            return response;
        case DfrmMethod::datachannels:  // far more than a socket buffer holds
            response.mBody = std::string(8 << 20, 'x');
            return response;
        default:
            return dispatch(context, request.route(), request.body());
    }
}

void DfrmServerThread::serve() {
    mServer = make(mSocket, testResponder);
    mServer->start(false);
    ASSERT_TRUE(mServer->isRunning());
}

std::string framed(const std::string& status, const std::string& type, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: " + type + "\r\n\r\n" + body;
}

// Each request is answered with exactly these bytes, and the server goes on serving. A length
// that is missing or malformed reads as zero; one out of range, a body shorter than announced or
// a missing method fail. Routes are matched exactly, and only with GET.
TEST_F(DfrmServerThread, EveryRequestIsAnsweredAndTheNextOneServed) {
    serve();
    const std::string kMalformed = "The HTTP header CONTENT_LENGTH is malformed or missing.";
    const std::string kOutOfRange =
        "The HTTP header CONTENT_LENGTH uses a value that is out of range.";
    const struct {
        Params params;
        std::string answer;
        std::string log;  // logged for the request, or ""
        std::string input = "";
    } cases[] = {
        {get("/capabilities"),
         framed("200 OK", "application/json",
                "{\"configHash\":\"" + mServer->context().configHash().getConfigHash() + "\"}" +
                    std::string("\xC3\xA4\0x", 4)),
         ""},
        {get("/volatilestate"),
         framed("500 Internal Server Error", "text/plain", "handler broke\n" + kParseNotice),
         "The last FCGI message was not handled properly. Error message:\n(handler broke)"},
        {post(1000000), framed("200 OK", "text/plain", "read 1000000"), "",
         std::string(1000000, 'x')},
        {get("/event"), kNotImplemented, ""},  // an empty answer ends with the blank line
        {{{"REQUEST_METHOD", "PUT"}, {"PATH_INFO", "/datachannelprop"}},
         kNotImplemented,
         kMalformed},
        {put(""), kNotImplemented, kMalformed},
        {put("12abc"), kNotImplemented, kMalformed},
        {put("-1"), kNotImplemented, kMalformed},
        {put("4294967296"), kUnparsable, kOutOfRange},
        {put("99999999999999999999999"), kUnparsable, kOutOfRange},
        {post(100), kUnparsable,
         "Request parsing failed. Read amount 10 does not match the expected amount (100). "
         "Discarding request.",
         "0123456789"},
        {get("/nosuchroute"), kUnparsable, kParseNotice},
        {get("/identification/"), kUnparsable, kParseNotice},
        {get("/Identification"), kUnparsable, kParseNotice},
        {get("/"), kUnparsable, kParseNotice},
        {get(""), kUnparsable, kParseNotice},
        {{{"REQUEST_METHOD", "GET"}}, kUnparsable, kParseNotice},
        {{{"REQUEST_METHOD", "HEAD"}, {"PATH_INFO", "/identification"}}, kUnparsable, kParseNotice},
        {{{"PATH_INFO", "/event"}},
         kUnparsable,
         "The mandatory parameter 'REQUEST_METHOD' is missing in the request."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log + " " + (c.params.count("PATH_INFO") ? c.params.at("PATH_INFO") : ""));
        LogCapture log;
        EXPECT_EQ(ask(c.params, c.input), c.answer);
        EXPECT_TRUE(c.log.empty() || log.contains(c.log));
        EXPECT_EQ(ask(get("/highalert")), kNotImplemented);
    }
}

// FastCGI records as a web server writes them, for peers that misbehave on purpose.
std::string record(unsigned char type, const std::string& content) {
    std::string bytes = {1,
                         static_cast<char>(type),
                         0,
                         1,
                         static_cast<char>(content.size() >> 8),
                         static_cast<char>(content.size() & 0xff),
                         0,
                         0};
    return bytes + content;
}
std::string beginAndParams(const Params& params) {
    std::string pairs;
    for (const auto& [name, value] : params) {
        pairs += static_cast<char>(name.size());
        pairs += static_cast<char>(value.size());
        pairs += name + value;
    }
    return record(1, std::string("\0\1\0\0\0\0\0\0", 8)) + record(4, pairs);
}
UniqueFd connectTo(const std::string& path, const std::string& bytes) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return fd;
}

// A peer that stops sending mid-request and one that stops reading its answer each hold the
// server for the stall limit (5 s), then the next request is served; stop() does not wait for
// a stalled peer.
TEST_F(DfrmServerThread, StalledPeersAreDroppedAndStopDoesNotWaitForThem) {
    serve();
    using Clock = std::chrono::steady_clock;
    const UniqueFd silent = connectTo(mSocket, beginAndParams(get("/event")));  // no end of params
    const UniqueFd deaf =
        connectTo(mSocket, beginAndParams(get("/datachannels")) + record(4, "") + record(5, ""));
    const auto start = Clock::now();
    EXPECT_EQ(ask(get("/event")), kNotImplemented);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(9500));
    EXPECT_LT(waited, std::chrono::milliseconds(13000));
    // Whether the silent peer is noticed while the library reads the request or afterwards is
    // the library's choice; either way it is dropped.
    EXPECT_EQ(mLog.count("A DfRM connection was dropped before its request was complete.") +
                  mLog.count("A DfRM peer stopped sending or reading; dropped."),
              2u);

    const UniqueFd again = connectTo(mSocket, beginAndParams(get("/event")));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto stopping = Clock::now();
    mServer->stop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(1000));
    EXPECT_FALSE(mLog.contains("FCGI accept error"));
}

}  // namespace
}  // namespace quorix::pelmo::datalogger
