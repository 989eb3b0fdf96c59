#include <gtest/gtest.h>

#include <string>

#include "dfrm/DfrmTypes.h"

namespace quorix::pelmo::datalogger {
namespace {

struct FramingCase {
    int status;
    ContentType type;
    std::string body;
    std::string bytes;
};

class DfrmFraming : public ::testing::TestWithParam<FramingCase> {};

TEST_P(DfrmFraming, WritesStatusLengthTypeBlankLineAndBody) {
    EXPECT_EQ(frameResponse(GetParam().status, GetParam().type, GetParam().body), GetParam().bytes);
}

// The empty 501 and the 500 are checked byte for byte off the server's socket.
INSTANTIATE_TEST_SUITE_P(
    Responses, DfrmFraming,
    ::testing::Values(
        FramingCase{200, ContentType::applicationJson, "{\"a\":1}",
                    "HTTP/1.1 200 OK\r\nContent-Length: 7\r\nContent-Type: application/json\r\n\r\n"
                    "{\"a\":1}"},
        // The length counts bytes, not characters, and survives NUL bytes.
        FramingCase{
            404, ContentType::textHtml, std::string("\xC3\xA4\0x", 4),
            "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\nContent-Type: text/plain\r\n\r\n" +
                std::string("\xC3\xA4\0x", 4)}));

}  // namespace
}  // namespace quorix::pelmo::datalogger
