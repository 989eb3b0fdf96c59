#pragma once

#include "dfrm/DfrmTypes.h"

namespace quorix::pelmo::datalogger {

class DfrmContext;

// The route handlers of the documents that need no request body. They run on the server
// thread and log through the context. A validation or UTF-8 error while writing a document
// propagates to the server loop (answered 500 there).

// 200 with the devices that delivered their identification; 500 when none did or listing
// them failed.
DfrmResponse answerIdentification(DfrmContext& context);
// 200 with the channel list; 500 when the pull interface fails.
DfrmResponse answerDataChannels(DfrmContext& context);
// 200; "clockType" follows the validity of the system clock.
DfrmResponse answerCapabilities(DfrmContext& context);
// 200; now as UTC text when the clock is valid, else as seconds since the epoch.
DfrmResponse answerVolatileState(DfrmContext& context);

}  // namespace quorix::pelmo::datalogger
