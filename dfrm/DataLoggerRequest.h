#pragma once

#include <cstdint>
#include <string>

#include "dfrm/DfrmTypes.h"
#include "platform/Logger.h"

struct FCGX_Request;

namespace quorix::pelmo::datalogger {

// One FastCGI request, parsed at construction: REQUEST_METHOD (one of the five known names),
// CONTENT_LENGTH (missing or malformed reads as 0), PATH_INFO ("/" and exactly one route name)
// and a body of at most 1000000 characters.
//
// Ownership: borrows the FastCGI request, which must outlive it.
// Threads: the server thread that accepted the request.
// Failure: never throws; anything wrong is logged and leaves the request invalid.
class DataLoggerRequest : public virtual log::Logger {
public:
    static constexpr uint32_t kMaxBodySize = 1000000;

    explicit DataLoggerRequest(FCGX_Request* request);

    bool isValid() const { return mValid; }
    DfrmMethod route() const { return mRoute; }
    HttpMethod method() const { return mMethod; }
    std::string body() const { return mBody; }

private:
    void parse();
    std::string mandatoryParam(const char* name) const;
    std::string optionalParam(const char* name) const;
    void readContentLength();
    void readBody();

    FCGX_Request* mRequest;
    uint32_t mMaxBodySize = kMaxBodySize;
    std::string mBody;
    uint32_t mContentLength = 0;
    HttpMethod mMethod = HttpMethod::GET;
    DfrmMethod mRoute = DfrmMethod::identification;
    bool mValid = false;
};

}  // namespace quorix::pelmo::datalogger
