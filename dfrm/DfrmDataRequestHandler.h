#pragma once

#include <cstddef>
#include <string>

#include "dfrm/DfrmTypes.h"

namespace quorix::pelmo::datalogger {

class DfrmContext;

// Bounds on what one data request may cost: channels named by a new id (repeated paths count
// once) and points in one answer, over all its channels. A channel cut short by the second
// says "hasMoreData" and the next request with the same id goes on from there.
constexpr size_t kMaxChannelsPerDataRequest = 1000;
constexpr size_t kMaxPointsPerDataAnswer = 100000;

// The "data" route: issues or resumes a data request id and answers the values newer than each
// channel's read position. Runs on one thread at a time (the read positions are advanced in
// place). Never throws for a bad request: 400, 404, 410 and 500 are answered with their texts.
DfrmResponse answerDataRequest(DfrmContext& context, const std::string& body);

}  // namespace quorix::pelmo::datalogger
