#include "dfrm/DfrmDispatch.h"

#include "dfrm/DataLoggerDfrm.h"

namespace quorix::pelmo::datalogger {

DfrmResponse answerNotImplemented() {
    DfrmResponse response;
    response.mStatusCode = sc_501_NotImplemented;
    response.mContentType = ContentType::textHtml;
    return response;
}

DfrmResponse dispatch(DataLoggerDfrm& server, const DataLoggerRequest& request) {
    (void)server;
    switch (request.route()) {
        // Answered 501 until their documents exist.
        case DfrmMethod::identification:
        case DfrmMethod::datachannels:
        case DfrmMethod::capabilities:
        case DfrmMethod::data:
        case DfrmMethod::volatilestate:
            return answerNotImplemented();
        // Not part of this server.
        case DfrmMethod::datachannelprop:
        case DfrmMethod::event:
        case DfrmMethod::highalert:
            return answerNotImplemented();
    }
    return answerNotImplemented();
}

}  // namespace quorix::pelmo::datalogger
