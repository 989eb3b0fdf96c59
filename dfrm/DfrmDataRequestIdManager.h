#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "dfrm/DfrmDataRequest.h"
#include "platform/Logger.h"

namespace quorix::pelmo::datalogger {

// The data request ids handed to DfRM clients, each standing for a list of channels with their
// read positions. Holds at most `limit` live ids and evicts the least recently used one for a
// new id; remembers the last `expiredListSize` retired ids so that they are answered as
// expired rather than unknown.
//
// Ownership: owned by the DfRM server; the channel lists are shared with the data handler,
// which advances the read positions in place.
// Threads: any thread; every operation takes the one mutex.
// Failure: empty list std::invalid_argument; unknown id std::invalid_argument "DataRequestId
// is unknown"; expired id std::out_of_range "DataRequestId expired"; more live ids than the
// limit std::runtime_error "Internal error".
class DfrmDataRequestIdManager : public virtual log::Logger {
public:
    using Channels = std::vector<RequestedDataChannel>;

    DfrmDataRequestIdManager(unsigned limit, unsigned expiredListSize);

    uint32_t createDataRequestId(const std::vector<DfrmChannelRequest>& requests);
    std::shared_ptr<Channels> getById(uint32_t id);
    void invalidate(uint32_t id);

private:
    void ensureFreeDataRequestIds(unsigned requiredFree);
    void recordExpired(uint32_t id);

    const unsigned mLimitDataRequestIds;
    const unsigned mExpiredListSize;
    std::atomic<uint32_t> mCounter;
    std::mutex mMutex;  // guards mActiveIds, mRecentIds and mExpiredIds
    std::map<uint32_t, std::shared_ptr<Channels>> mActiveIds;
    std::list<uint32_t> mRecentIds;    // most recently used first
    std::deque<uint32_t> mExpiredIds;  // most recently expired first
};

}  // namespace quorix::pelmo::datalogger
