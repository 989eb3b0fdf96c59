#include "dfrm/DfrmDispatch.h"

#include "dfrm/DfrmContext.h"
#include "dfrm/DfrmDataRequestHandler.h"
#include "dfrm/DfrmDocumentHandlers.h"

namespace quorix::pelmo::datalogger {

DfrmResponse answerNotImplemented() {
    DfrmResponse response;
    response.mStatusCode = sc_501_NotImplemented;
    response.mContentType = ContentType::textHtml;
    return response;
}

DfrmResponse dispatch(DfrmContext& context, DfrmMethod route, const std::string& body) {
    switch (route) {
        case DfrmMethod::identification:
            return answerIdentification(context);
        case DfrmMethod::datachannels:
            return answerDataChannels(context);
        case DfrmMethod::capabilities:
            return answerCapabilities(context);
        case DfrmMethod::data:
            return answerDataRequest(context, body);
        case DfrmMethod::volatilestate:
            return answerVolatileState(context);
        // Not part of this context.
        case DfrmMethod::datachannelprop:
        case DfrmMethod::event:
        case DfrmMethod::highalert:
            return answerNotImplemented();
    }
    return answerNotImplemented();
}

}  // namespace quorix::pelmo::datalogger
