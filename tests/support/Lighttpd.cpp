#include "support/Lighttpd.h"

#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace datalogger::test {

namespace {

constexpr int kRequestTimeoutSeconds = 20;
const std::string kInstalledSocket = "/run/datalogger/dfrm.socket";

bool accepts(const std::string& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::string HttpReply::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return std::string();
}

Lighttpd::Lighttpd(const std::string& socketPath) : mSocket(mDir.file("http.socket")) {
    const std::string snippet = readFile(sourceDir() + "/config/lighttpd/10-datalogger-dfrm.conf");
    if (snippet.find(kInstalledSocket) == std::string::npos) {
        throw std::runtime_error("the DfRM snippet does not name " + kInstalledSocket);
    }
    writeFile(mDir.file("dfrm.conf"), replaceAll(snippet, kInstalledSocket, socketPath));
    ::mkdir(mDir.file("htdocs").c_str(), 0755);
    writeFile(mDir.file("lighttpd.conf"), "server.document-root = \"" + mDir.file("htdocs") +
                                              "\"\nserver.bind = \"" + mSocket +
                                              "\"\nserver.errorlog = \"" + mDir.file("error.log") +
                                              "\"\ninclude \"" + mDir.file("dfrm.conf") + "\"\n");
    mServer = std::make_unique<ChildProcess>(
        std::vector<std::string>{"lighttpd", "-D", "-f", mDir.file("lighttpd.conf")},
        mDir.file("lighttpd.out"));
    for (int i = 0; i < 1000 && !accepts(mSocket) && mServer->wait(0) == -1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!accepts(mSocket)) {
        throw std::runtime_error("lighttpd did not start: " + readFile(mDir.file("error.log")) +
                                 mServer->output());
    }
}

Lighttpd::~Lighttpd() {
    mServer->signal(SIGTERM);
    if (mServer->wait(5000) == -1) mServer->signal(SIGKILL);
    mServer->wait(5000);
}

HttpReply Lighttpd::request(const std::string& method, const std::string& path,
                            const std::string& body) const {
    static std::atomic<int> counter{0};
    const std::string id = std::to_string(counter++);
    std::vector<std::string> argv = {"curl",
                                     "-s",
                                     "-S",
                                     "--max-time",
                                     std::to_string(kRequestTimeoutSeconds),
                                     "--unix-socket",
                                     mSocket,
                                     "-D",
                                     mDir.file("head" + id),
                                     "-o",
                                     mDir.file("reply" + id)};
    if (method == "HEAD") {
        argv.push_back("--head");
    } else {
        argv.insert(argv.end(), {"-X", method});
    }
    // Methods that carry a body send a Content-Length even when it is 0, as browsers do;
    // lighttpd refuses them with 411 otherwise.
    if (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH") {
        writeFile(mDir.file("body" + id), body);
        argv.insert(argv.end(), {"--data-binary", "@" + mDir.file("body" + id), "-H",
                                 "Content-Type: application/octet-stream", "-H", "Expect:"});
    }
    argv.push_back("http://localhost" + path);
    ChildProcess curl(argv, mDir.file("curl" + id + ".out"));
    curl.wait((kRequestTimeoutSeconds + 5) * 1000);
    HttpReply reply;
    reply.curlOutput = curl.output();
    reply.body = readFile(mDir.file("reply" + id));
    // The last response's head counts (1xx heads come first).
    std::istringstream head(readFile(mDir.file("head" + id)));
    for (std::string line; std::getline(head, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (line.rfind("HTTP/", 0) == 0) {
            reply.statusLine = line;
            reply.headers.clear();
        } else if (colon != std::string::npos) {
            const size_t value = line.find_first_not_of(' ', colon + 1);
            reply.headers.emplace_back(line.substr(0, colon),
                                       value == std::string::npos ? "" : line.substr(value));
        }
    }
    return reply;
}

}  // namespace datalogger::test
