#pragma once

#include "dfrm/DataLoggerRequest.h"
#include "dfrm/DfrmTypes.h"

namespace quorix::pelmo::datalogger {

class DataLoggerDfrm;

// Chooses the handler by the route alone; every accepted HTTP method is answered alike.
// Exceptions of a handler reach the server loop.
DfrmResponse dispatch(DataLoggerDfrm& server, const DataLoggerRequest& request);

// 501, text/plain, empty body.
DfrmResponse answerNotImplemented();

}  // namespace quorix::pelmo::datalogger
