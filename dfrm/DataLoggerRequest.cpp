#include "dfrm/DataLoggerRequest.h"

#include <fcgiapp.h>

#include <cctype>
#include <limits>
#include <stdexcept>

namespace quorix::pelmo::datalogger {

namespace {

enum class LengthParse { Ok, Malformed, OutOfRange };

// Decimal digits only: std::stoul alone would take "-1" as its wrapped value and ignore
// trailing garbage. The bound is 32 bits on every target.
LengthParse parseContentLength(const std::string& text, uint32_t& value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) {
        return LengthParse::Malformed;
    }
    try {
        size_t used = 0;
        const unsigned long parsed = std::stoul(text, &used, 10);
        if (used != text.size()) return LengthParse::Malformed;
        if (parsed > std::numeric_limits<uint32_t>::max()) return LengthParse::OutOfRange;
        value = static_cast<uint32_t>(parsed);
        return LengthParse::Ok;
    } catch (const std::out_of_range&) {
        return LengthParse::OutOfRange;
    } catch (const std::invalid_argument&) {
        return LengthParse::Malformed;
    }
}

}  // namespace

DataLoggerRequest::DataLoggerRequest(FCGX_Request* request)
    : log::Logger("DataLoggerRequest", "", std::make_shared<log::LoggerImpl>()), mRequest(request) {
    try {
        parse();
        mValid = true;
    } catch (const std::exception& e) {
        pelmoDoLog(log::Error, "Request parsing failed.\nWhat: %s", nullptr,
                   log::untrusted(e.what()).c_str());
    } catch (...) {
        pelmoDoLog(log::Error, "Request parsing failed with an unknown expection.", nullptr);
    }
}

std::string DataLoggerRequest::mandatoryParam(const char* name) const {
    const char* value = FCGX_GetParam(name, mRequest->envp);
    if (value == nullptr) {
        const std::string text =
            std::string("The mandatory parameter '") + name + "' is missing in the request.";
        pelmoDoLog(log::Error, "%s", nullptr, text.c_str());
        throw std::runtime_error(text);
    }
    return value;
}

std::string DataLoggerRequest::optionalParam(const char* name) const {
    const char* value = FCGX_GetParam(name, mRequest->envp);
    return value == nullptr ? std::string() : std::string(value);
}

void DataLoggerRequest::parse() {
    mMethod = utils::EnumUtils<HttpMethod>().parse(mandatoryParam("REQUEST_METHOD"));
    readContentLength();

    const std::string path = optionalParam("PATH_INFO");
    if (path.empty()) {
        const char* text =
            "Could not read path (was empty). Discarding request because request can not be "
            "routed internally to a method.";
        pelmoDoLog(log::Error, "%s", nullptr, text);
        throw std::runtime_error(text);
    }
    // A path without its leading slash keeps its first character, so it matches no route.
    mRoute = utils::EnumUtils<DfrmMethod>().parse(path.front() == '/' ? path.substr(1) : path);

    readBody();
}

void DataLoggerRequest::readContentLength() {
    switch (parseContentLength(optionalParam("CONTENT_LENGTH"), mContentLength)) {
        case LengthParse::Ok:
            break;
        case LengthParse::Malformed:
            // Routes without a body work on; the data route then sees an empty body.
            pelmoDoLog(log::Warning, "The HTTP header CONTENT_LENGTH is malformed or missing.",
                       nullptr);
            mContentLength = 0;
            break;
        case LengthParse::OutOfRange: {
            const char* text = "The HTTP header CONTENT_LENGTH uses a value that is out of range.";
            pelmoDoLog(log::Error, "%s", nullptr, text);
            throw std::out_of_range(text);
        }
    }
}

void DataLoggerRequest::readBody() {
    if (mContentLength == 0) return;
    if (mContentLength > mMaxBodySize) {
        const std::string text = "The received request exceeded the maximum allowed limit (" +
                                 std::to_string(mMaxBodySize) + ") of chars. It contained (" +
                                 std::to_string(mContentLength) + ") chars.";
        pelmoDoLog(log::Error, "%s", nullptr, text.c_str());
        throw std::length_error(text);
    }
    mBody.resize(mContentLength);
    const int read = FCGX_GetStr(mBody.data(), static_cast<int>(mContentLength), mRequest->in);
    if (read < 0 || static_cast<uint32_t>(read) != mContentLength) {
        const std::string text = "Request parsing failed. Read amount " + std::to_string(read) +
                                 " does not match the " + "expected amount (" +
                                 std::to_string(mContentLength) + "). Discarding request.";
        pelmoDoLog(log::Error, "%s", nullptr, text.c_str());
        mBody.clear();
        throw std::runtime_error(text);
    }
}

}  // namespace quorix::pelmo::datalogger
