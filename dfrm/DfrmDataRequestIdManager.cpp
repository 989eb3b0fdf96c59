#include "dfrm/DfrmDataRequestIdManager.h"

#include <algorithm>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "dfrm/DfrmMurmurHash.h"

namespace quorix::pelmo::datalogger {

namespace {

// A fresh starting point per process, so ids of an earlier run are unlikely to be reused.
uint32_t seedCounter() {
    std::random_device device("default");
    auto seed = static_cast<std::minstd_rand::result_type>(device() % 2147483647u);
    std::minstd_rand generator(seed == 0 ? 1 : seed);
    std::uniform_int_distribution<uint32_t> full(0, std::numeric_limits<uint32_t>::max());
    return full(generator);
}

}  // namespace

DfrmDataRequestIdManager::DfrmDataRequestIdManager(unsigned limit, unsigned expiredListSize)
    : log::Logger("DfrmDataRequestIdManager", "", std::make_shared<log::LoggerImpl>()),
      mLimitDataRequestIds(limit),
      mExpiredListSize(expiredListSize),
      mCounter(seedCounter()) {}

uint32_t DfrmDataRequestIdManager::createDataRequestId(
    const std::vector<DfrmChannelRequest>& requests) {
    auto channels = std::make_shared<Channels>();
    channels->reserve(requests.size());
    for (const auto& request : requests) channels->emplace_back(request);
    if (channels->empty()) {
        throw std::invalid_argument("Invalid request: channel list is empty");
    }
    std::string text = std::to_string(mCounter.fetch_add(1));
    for (const auto& channel : *channels) text += channel.mPath;
    const uint32_t id = murmurHash2(text);

    std::lock_guard<std::mutex> lock(mMutex);
    ensureFreeDataRequestIds(1);
    mActiveIds[id] = std::move(channels);
    mRecentIds.remove(id);
    mRecentIds.push_front(id);
    pelmoDoLog(log::Trace, "New DataRequestID assigned: %lu", nullptr,
               static_cast<unsigned long>(id));
    return id;
}

std::shared_ptr<DfrmDataRequestIdManager::Channels> DfrmDataRequestIdManager::getById(uint32_t id) {
    std::lock_guard<std::mutex> lock(mMutex);
    pelmoDoLog(log::Trace, "getById(drid = %lu)", nullptr, static_cast<unsigned long>(id));
    auto live = mActiveIds.find(id);
    if (live != mActiveIds.end()) {
        mRecentIds.remove(id);
        mRecentIds.push_front(id);
        return live->second;
    }
    if (std::find(mExpiredIds.begin(), mExpiredIds.end(), id) != mExpiredIds.end()) {
        throw std::out_of_range("DataRequestId expired");
    }
    throw std::invalid_argument("DataRequestId is unknown");
}

void DfrmDataRequestIdManager::invalidate(uint32_t id) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mActiveIds.erase(id) == 0) return;
    mRecentIds.remove(id);
    recordExpired(id);
    pelmoDoLog(log::Info, "DataRequestID %u has been removed, now in the list of the expired ones",
               nullptr, static_cast<unsigned>(id));
}

void DfrmDataRequestIdManager::ensureFreeDataRequestIds(unsigned requiredFree) {
    pelmoDoLog(log::Trace, "ensureFreeDataRequestIds(requiredFree = %lu)", nullptr,
               static_cast<unsigned long>(requiredFree));
    const size_t live = mActiveIds.size();
    if (live > mLimitDataRequestIds) {
        pelmoDoLog(log::Critical,
                   "ensureFreeDataRequestIds: mActiveIds.size()  = %lu > mLimitDataRequestIds = "
                   "%lu",
                   nullptr, static_cast<unsigned long>(live),
                   static_cast<unsigned long>(mLimitDataRequestIds));
        throw std::runtime_error("Internal error");
    }
    if (requiredFree <= mLimitDataRequestIds - live) return;
    const size_t remove = requiredFree + live - mLimitDataRequestIds;
    pelmoDoLog(log::Trace, "ensureFreeDataRequestIds: will remove %lu IDs", nullptr,
               static_cast<unsigned long>(remove));
    for (size_t i = 0; i < remove && !mRecentIds.empty(); ++i) {
        const uint32_t id = mRecentIds.back();
        pelmoDoLog(log::Trace, "ensureFreeDataRequestIds: remove drid %lu", nullptr,
                   static_cast<unsigned long>(id));
        mRecentIds.pop_back();
        recordExpired(id);
        mActiveIds.erase(id);
    }
}

void DfrmDataRequestIdManager::recordExpired(uint32_t id) {
    mExpiredIds.push_front(id);
    while (mExpiredIds.size() > mExpiredListSize) mExpiredIds.pop_back();
}

}  // namespace quorix::pelmo::datalogger
