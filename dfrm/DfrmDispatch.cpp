#include "dfrm/DfrmDispatch.h"

#include "dfrm/DataLoggerDfrm.h"
#include "dfrm/DfrmDataRequestHandler.h"
#include "dfrm/DfrmDocumentHandlers.h"

namespace quorix::pelmo::datalogger {

DfrmResponse answerNotImplemented() {
    DfrmResponse response;
    response.mStatusCode = sc_501_NotImplemented;
    response.mContentType = ContentType::textHtml;
    return response;
}

DfrmResponse dispatch(DataLoggerDfrm& server, const DataLoggerRequest& request) {
    switch (request.route()) {
        case DfrmMethod::identification:
            return answerIdentification(server);
        case DfrmMethod::datachannels:
            return answerDataChannels(server);
        case DfrmMethod::capabilities:
            return answerCapabilities(server);
        case DfrmMethod::data:
            return answerDataRequest(server, request);
        case DfrmMethod::volatilestate:
            return answerVolatileState(server);
        // Not part of this server.
        case DfrmMethod::datachannelprop:
        case DfrmMethod::event:
        case DfrmMethod::highalert:
            return answerNotImplemented();
    }
    return answerNotImplemented();
}

}  // namespace quorix::pelmo::datalogger
