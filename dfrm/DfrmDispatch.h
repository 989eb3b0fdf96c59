#pragma once

#include <string>

#include "dfrm/DfrmTypes.h"

namespace quorix::pelmo::datalogger {

class DfrmContext;

// Chooses the handler by the route alone; every accepted HTTP method is answered alike. The
// body matters to the data route only. Exceptions of a handler reach the caller.
DfrmResponse dispatch(DfrmContext& context, DfrmMethod route, const std::string& body);

// 501, text/plain, empty body.
DfrmResponse answerNotImplemented();

}  // namespace quorix::pelmo::datalogger
