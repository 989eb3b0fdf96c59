// Usage: http_bench PORT PATH COUNT [BODY]
// Sends COUNT requests (POST with BODY, else GET) one after another on one keep-alive HTTP/1.1
// connection to 127.0.0.1:PORT, after 50 untimed ones, and prints one line:
//   <requests per second> <p50 microseconds> <p99 microseconds> <response body bytes>
// Any answer other than 200 ends the run with an error: a figure of error pages is no figure.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "http_bench: %s\n", what);
    std::exit(1);
}

class Connection {
public:
    explicit Connection(int port) : mFd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(mFd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            fail("cannot connect");
        }
        const int one = 1;
        setsockopt(mFd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }

    void send(const std::string& text) {
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = write(mFd.get(), text.data() + done, text.size() - done);
            if (n <= 0) fail("write failed");
            done += static_cast<size_t>(n);
        }
    }

    // Reads one response; returns its status and sets the body size.
    int receive(size_t& bodySize) {
        const size_t headerEnd = fillUntil("\r\n\r\n");
        const std::string head = mBuffer.substr(0, headerEnd);
        mBuffer.erase(0, headerEnd + 4);
        const int status = std::atoi(head.c_str() + head.find(' ') + 1);
        std::string lower(head);
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const size_t length = lower.find("\r\ncontent-length:");
        if (length != std::string::npos) {
            bodySize = std::strtoul(head.c_str() + length + 17, nullptr, 10);
            fillBytes(bodySize);
            mBuffer.erase(0, bodySize);
        } else if (lower.find("transfer-encoding: chunked") != std::string::npos) {
            bodySize = 0;
            for (;;) {
                const size_t lineEnd = fillUntil("\r\n");
                const size_t chunk = std::strtoul(mBuffer.c_str(), nullptr, 16);
                mBuffer.erase(0, lineEnd + 2);
                fillBytes(chunk + 2);
                mBuffer.erase(0, chunk + 2);
                bodySize += chunk;
                if (chunk == 0) break;
            }
        } else {
            fail("response without length");
        }
        return status;
    }

private:
    void readMore() {
        char block[65536];
        const ssize_t n = read(mFd.get(), block, sizeof(block));
        if (n <= 0) fail("connection closed");
        mBuffer.append(block, static_cast<size_t>(n));
    }
    size_t fillUntil(const char* marker) {
        size_t at;
        while ((at = mBuffer.find(marker)) == std::string::npos) readMore();
        return at;
    }
    void fillBytes(size_t count) {
        while (mBuffer.size() < count) readMore();
    }

    quorix::pelmo::datalogger::UniqueFd mFd;
    std::string mBuffer;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT PATH COUNT [BODY]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = std::max(1, std::atoi(argv[3]));
    std::string request;
    if (argc > 4) {
        const std::string body = argv[4];
        request =
            std::string("POST ") + argv[2] + " HTTP/1.1\r\nHost: localhost\r\n" +
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
    } else {
        request = std::string("GET ") + argv[2] + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    }
    // lighttpd closes a keep-alive connection after 1000 requests by default: a new one every
    // 500 costs one connect in 500 requests.
    std::unique_ptr<Connection> connection;
    int sentOnConnection = 0;
    size_t bodySize = 0;
    auto once = [&] {
        if (!connection || sentOnConnection == 500) {
            connection.reset();
            connection = std::make_unique<Connection>(port);
            sentOnConnection = 0;
        }
        ++sentOnConnection;
        connection->send(request);
        if (connection->receive(bodySize) != 200) fail("answer other than 200");
    };
    for (int i = 0; i < 50; ++i) once();
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(count));
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto before = Clock::now();
        once();
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - before).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        return latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
    };
    std::printf("%.0f %.0f %.0f %zu\n", count / seconds, percentile(0.5), percentile(0.99),
                bodySize);
    return 0;
}
