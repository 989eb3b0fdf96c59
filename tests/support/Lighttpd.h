#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace datalogger::test {

// One HTTP exchange as curl saw it.
struct HttpReply {
    std::string statusLine;  // "HTTP/1.1 501 Not Implemented", without the line end
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string curlOutput;  // curl's own messages, for failure reports

    // Value of the first header with that name (case-insensitive); empty when absent.
    std::string header(const std::string& name) const;
};

// A real lighttpd on a socket in its own temporary folder, in front of a FastCGI socket. Its
// configuration includes the repository's DfRM snippet (config/lighttpd) with the socket path
// replaced. Started by the constructor, which throws std::runtime_error when it does not come
// up; stopped (SIGTERM, then SIGKILL) when the object goes.
class Lighttpd {
public:
    explicit Lighttpd(const std::string& socketPath);
    ~Lighttpd();
    Lighttpd(const Lighttpd&) = delete;
    Lighttpd& operator=(const Lighttpd&) = delete;

    // curl against path: method "HEAD" uses --head; POST, PUT and PATCH (and any method
    // given a body) send the body, possibly empty, with its Content-Length.
    HttpReply request(const std::string& method, const std::string& path,
                      const std::string& body = std::string()) const;

private:
    TempDir mDir;
    std::string mSocket;
    std::unique_ptr<ChildProcess> mServer;
};

}  // namespace datalogger::test
