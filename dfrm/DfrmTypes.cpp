#include "dfrm/DfrmTypes.h"

namespace quorix::pelmo::datalogger {

const char* httpStatusText(int statusCode) {
    switch (statusCode) {
        case 200:
            return "200 OK";
        case 400:
            return "400 Bad Request";
        case 404:
            return "404 Not Found";
        case 410:
            return "410 Gone";
        case 500:
            return "500 Internal Server Error";
        case 501:
            return "501 Not Implemented";
        case 503:
            return "503 Service Unavailable";
        default:
            return "500 Internal Server Error";
    }
}

std::string frameHeader(int statusCode, ContentType contentType, size_t bodySize) {
    const char* typeLine = "";
    if (contentType == ContentType::applicationJson) typeLine = "Content-Type: application/json";
    if (contentType == ContentType::textHtml) typeLine = "Content-Type: text/plain";
    std::string header;
    header.reserve(96);
    header.append("HTTP/1.1 ").append(httpStatusText(statusCode)).append("\r\n");
    header.append("Content-Length: ").append(std::to_string(bodySize)).append("\r\n");
    header.append(typeLine).append("\r\n\r\n");
    return header;
}

std::string frameResponse(int statusCode, ContentType contentType, const std::string& body) {
    return frameHeader(statusCode, contentType, body.size()) + body;
}

std::string frameResponse(const DfrmResponse& response) {
    return frameResponse(response.mStatusCode, response.mContentType, response.mBody);
}

DfrmResponse textResponse(int status, const std::string& text) {
    DfrmResponse response;
    response.mStatusCode = status;
    response.mContentType = ContentType::textHtml;
    response.mBody = text;
    return response;
}

}  // namespace quorix::pelmo::datalogger

namespace quorix::pelmo::utils {

using datalogger::ContentType;
using datalogger::DfrmMethod;
using datalogger::HttpMethod;

const std::vector<std::pair<std::string, HttpMethod>>& EnumNames<HttpMethod>::entries() {
    static const std::vector<std::pair<std::string, HttpMethod>> names = {
        {"POST", HttpMethod::POST},   {"GET", HttpMethod::GET},       {"PUT", HttpMethod::PUT},
        {"PATCH", HttpMethod::PATCH}, {"DELETE", HttpMethod::DELETE},
    };
    return names;
}

const std::vector<std::pair<std::string, ContentType>>& EnumNames<ContentType>::entries() {
    static const std::vector<std::pair<std::string, ContentType>> names = {
        {"other", ContentType::other},
        {"applicationJson", ContentType::applicationJson},
        {"textHtml", ContentType::textHtml},
    };
    return names;
}

const std::vector<std::pair<std::string, DfrmMethod>>& EnumNames<DfrmMethod>::entries() {
    static const std::vector<std::pair<std::string, DfrmMethod>> names = {
        {"identification", DfrmMethod::identification},
        {"datachannels", DfrmMethod::datachannels},
        {"capabilities", DfrmMethod::capabilities},
        {"data", DfrmMethod::data},
        {"datachannelprop", DfrmMethod::datachannelprop},
        {"volatilestate", DfrmMethod::volatilestate},
        {"event", DfrmMethod::event},
        {"highalert", DfrmMethod::highalert},
    };
    return names;
}

}  // namespace quorix::pelmo::utils
