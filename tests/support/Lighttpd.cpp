#include "support/Lighttpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace datalogger::test {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kRequestTimeoutSeconds = 20;
const std::string kInstalledSocket = "/run/datalogger/dfrm.socket";

int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    if (port <= 0) throw std::runtime_error("no free loopback port");
    return port;
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

// Splits curl -i output into the last response's head and its body (1xx heads come first).
void parseReply(const std::string& raw, HttpReply& reply) {
    size_t start = 0;
    for (;;) {
        const size_t end = raw.find("\r\n\r\n", start);
        if (end == std::string::npos) return;
        const std::string head = raw.substr(start, end - start);
        const size_t lineEnd = head.find("\r\n");
        reply.statusLine = head.substr(0, lineEnd);
        const size_t space = reply.statusLine.find(' ');
        reply.status =
            space == std::string::npos ? 0 : std::atoi(reply.statusLine.c_str() + space + 1);
        if (reply.status >= 100 && reply.status < 200) {
            start = end + 4;
            continue;
        }
        reply.headers.clear();
        size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (at < head.size()) {
            size_t next = head.find("\r\n", at);
            if (next == std::string::npos) next = head.size();
            const std::string line = head.substr(at, next - at);
            const size_t colon = line.find(':');
            if (colon != std::string::npos) {
                size_t value = colon + 1;
                while (value < line.size() && line[value] == ' ') ++value;
                reply.headers.emplace_back(line.substr(0, colon), line.substr(value));
            }
            at = next + 2;
        }
        reply.body = raw.substr(end + 4);
        return;
    }
}

}  // namespace

std::string HttpReply::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return std::string();
}

bool HttpReply::hasHeader(const std::string& name) const {
    for (const auto& entry : headers) {
        if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return true;
    }
    return false;
}

std::string dfrmLighttpdSnippetPath() {
    return sourceDir() + "/config/lighttpd/10-datalogger-dfrm.conf";
}

Lighttpd::Lighttpd(const std::string& socketPath) {
    const std::string snippet = readFile(dfrmLighttpdSnippetPath());
    if (snippet.find(kInstalledSocket) == std::string::npos) {
        throw std::runtime_error("the DfRM snippet does not name " + kInstalledSocket);
    }
    writeFile(mDir.file("dfrm.conf"), replaceAll(snippet, kInstalledSocket, socketPath));
    // Another process may take the port between probing and binding: try a few.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (startOnFreePort()) return;
    }
    throw std::runtime_error("lighttpd did not start: " + errorLog() +
                             (mServer ? mServer->output() : std::string()));
}

bool Lighttpd::startOnFreePort() {
    mPort = freeLoopbackPort();
    ::mkdir(mDir.file("htdocs").c_str(), 0755);
    writeFile(mDir.file("lighttpd.conf"),
              "server.document-root = \"" + mDir.file("htdocs") + "\"\n" +
                  "server.bind = \"127.0.0.1\"\n" + "server.port = " + std::to_string(mPort) +
                  "\n" + "server.errorlog = \"" + mDir.file("error.log") + "\"\n" + "include \"" +
                  mDir.file("dfrm.conf") + "\"\n");
    mServer = std::make_unique<ChildProcess>(
        std::vector<std::string>{"lighttpd", "-D", "-f", mDir.file("lighttpd.conf")},
        mDir.file("lighttpd.out"));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts(mPort)) return true;
        if (mServer->wait(0) != -1) return false;  // ended: most likely the port was taken
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

Lighttpd::~Lighttpd() {
    if (!mServer) return;
    mServer->signal(SIGTERM);
    if (mServer->wait(5000) == -1) mServer->signal(SIGKILL);
    mServer->wait(5000);
}

std::string Lighttpd::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(mPort) + path;
}

std::string Lighttpd::errorLog() const {
    return readFile(mDir.file("error.log"));
}

HttpReply Lighttpd::request(const std::string& method, const std::string& path,
                            const std::string& body) const {
    static std::atomic<int> counter{0};
    const std::string id = std::to_string(counter++);
    const std::string replyFile = mDir.file("reply" + id);
    std::vector<std::string> argv = {"curl", "-s",         "-S",
                                     "-i",   "--max-time", std::to_string(kRequestTimeoutSeconds),
                                     "-o",   replyFile};
    if (method == "HEAD") {
        argv.push_back("--head");
    } else {
        argv.insert(argv.end(), {"-X", method});
    }
    // Methods that carry a body send a Content-Length even when it is 0, as browsers do;
    // lighttpd refuses them with 411 otherwise.
    if (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH") {
        const std::string bodyFile = mDir.file("body" + id);
        writeFile(bodyFile, body);
        argv.insert(argv.end(), {"--data-binary", "@" + bodyFile, "-H",
                                 "Content-Type: application/octet-stream", "-H", "Expect:"});
    }
    argv.push_back(url(path));
    ChildProcess curl(argv, mDir.file("curl" + id + ".out"));
    HttpReply reply;
    curl.wait((kRequestTimeoutSeconds + 5) * 1000);
    reply.curlOutput = curl.output();
    parseReply(readFile(replyFile), reply);
    return reply;
}

}  // namespace datalogger::test
