#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/EnumUtils.h"

namespace quorix::pelmo::datalogger {

// Enumerator names are the texts of the name tables: they are what arrives in requests.
enum class HttpMethod { POST = 1, GET = 2, PUT = 3, PATCH = 4, DELETE = 5 };

// The header line each value writes; textHtml writes text/plain although its name says HTML.
enum class ContentType { other = 0, applicationJson = 1, textHtml = 2 };

// The routes: the path info without its leading slash.
enum class DfrmMethod {
    identification = 1,
    datachannels = 2,
    capabilities = 3,
    data = 4,
    datachannelprop = 5,
    volatilestate = 6,
    event = 7,
    highalert = 8,
};

enum HttpStatusCode : int {
    sc_200_Ok = 200,
    sc_400_BadRequest = 400,
    sc_404_NotFound = 404,
    sc_500_InternalServerError = 500,
    sc_501_NotImplemented = 501,
    sc_503_ServiceUnavailable = 503,
};

// What a route handler answers; moved out of the handler, framed by the server.
struct DfrmResponse {
    std::string mBody;
    ContentType mContentType = ContentType::other;
    int mStatusCode = sc_200_Ok;
};

// "200 OK" and so on; a code without a text frames as "500 Internal Server Error".
const char* httpStatusText(int statusCode);

// The exact bytes sent back: status line, Content-Length in bytes, the content type's header
// line (nothing for `other`), a blank line, the body.
std::string frameResponse(int statusCode, ContentType contentType, const std::string& body);
// The same bytes without the body, so that a large body is sent without being copied.
std::string frameHeader(int statusCode, ContentType contentType, size_t bodySize);
std::string frameResponse(const DfrmResponse& response);

// A text/plain answer with the given HTTP status.
DfrmResponse textResponse(int status, const std::string& text);

}  // namespace quorix::pelmo::datalogger

namespace quorix::pelmo::utils {

template <>
struct EnumNames<datalogger::HttpMethod> {
    static const std::vector<std::pair<std::string, datalogger::HttpMethod>>& entries();
};

template <>
struct EnumNames<datalogger::ContentType> {
    static const std::vector<std::pair<std::string, datalogger::ContentType>>& entries();
};

template <>
struct EnumNames<datalogger::DfrmMethod> {
    static const std::vector<std::pair<std::string, datalogger::DfrmMethod>>& entries();
};

}  // namespace quorix::pelmo::utils
