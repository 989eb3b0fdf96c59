#include "support/fakes.h"

#include <algorithm>
#include <stdexcept>

namespace datalogger::test {

using qd::DataLoggerStatusCode;

namespace {
class FakeHandle : public quorix::pelmo::utils::PeriodicCallerHandle {
public:
    explicit FakeHandle(std::function<void()> onDestroy) : mOnDestroy(std::move(onDestroy)) {}
    ~FakeHandle() override { mOnDestroy(); }

private:
    std::function<void()> mOnDestroy;
};
}  // namespace

std::unique_ptr<quorix::pelmo::utils::PeriodicCallerHandle>
FakePeriodicCallerManager::addPeriodicCaller(double periodSeconds, std::function<void()> callback) {
    auto entry = std::make_shared<Entry>(Entry{periodSeconds, std::move(callback)});
    std::lock_guard<std::mutex> lock(mMutex);
    mEntries.push_back(entry);
    return std::make_unique<FakeHandle>([this, entry] {
        std::lock_guard<std::mutex> lock(mMutex);
        entry->alive = false;
    });
}

void FakePeriodicCallerManager::fireAll() {
    std::unique_lock<std::mutex> lock(mMutex);
    const auto entries = mEntries;
    for (const auto& entry : entries) {
        if (!entry->alive) continue;
        lock.unlock();  // the callback may add or drop callers
        entry->callback();
        lock.lock();
    }
}

size_t FakePeriodicCallerManager::liveCallers() const {
    return periods().size();
}

std::vector<double> FakePeriodicCallerManager::periods() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<double> result;
    for (const auto& entry : mEntries) {
        if (entry->alive) result.push_back(entry->period);
    }
    return result;
}

DataLoggerStatusCode FakeStorage::getChannel(const std::string&,
                                             qd::DataLoggerStorageChannelInfo&) {
    return DataLoggerStatusCode::NotFound;
}

DataLoggerStatusCode FakeStorage::getChannel(uint64_t, qd::DataLoggerStorageChannelInfo&) {
    return DataLoggerStatusCode::NotFound;
}

DataLoggerStatusCode FakeStorage::getChannels(
    std::vector<qd::DataLoggerStorageChannelInfo>& infos) {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& [hash, info] : mChannels) infos.emplace_back(info, hash);
    return infos.empty() ? DataLoggerStatusCode::NotFound : DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::registerOrUpdateChannel(
    const qd::DataLoggerStorageChannelInfo& info) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto [it, added] = mChannels.emplace(info.channelHash(), info.channelInfo());
    if (added || !(it->second == info.channelInfo())) {
        it->second = info.channelInfo();
        return DataLoggerStatusCode::NoError;
    }
    return DataLoggerStatusCode::AlreadyRegistered;
}

DataLoggerStatusCode FakeStorage::archiveChannel(const std::string&, std::string&, uint64_t&) {
    return DataLoggerStatusCode::NotFound;
}

DataLoggerStatusCode FakeStorage::archiveChannel(uint64_t hash, std::string& newPath,
                                                 uint64_t& newHash) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mChannels.find(hash);
    if (it == mChannels.end()) return DataLoggerStatusCode::NotFound;
    if (mArchiveAnswer != DataLoggerStatusCode::NoError) return mArchiveAnswer;
    newPath = it->second.mPath + "_archive";
    newHash = ~hash;
    mChannels.erase(it);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::setDataBatch(const std::vector<qd::DataLoggerChannelPoint>& items,
                                               std::vector<size_t>& stored) {
    stored.assign(items.size(), 0);
    Code result = Code::NoError;
    for (size_t i = 0; i < items.size(); ++i) {
        const Code rc = setData(items[i].mHash, items[i].mPoints);
        if (rc == Code::NoError) {
            stored[i] = items[i].mPoints.size();
        } else if (result == Code::NoError) {
            result = rc;
        }
    }
    return result;
}

DataLoggerStatusCode FakeStorage::setData(uint64_t hash,
                                          const std::vector<qd::DataLoggerDataPoint>& points) {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mFailingWrites > 0) {
        --mFailingWrites;
        throw std::invalid_argument("Could not prepare 'mpSetData' statement");
    }
    if (mFinalized) mWrittenWhileClosed = true;
    ++mWriting;
    if (mHold) {
        ++mHeldWrites;
        mHoldChanged.notify_all();
        mHoldChanged.wait(lock, [this] { return !mHold; });
        --mHeldWrites;
    }
    --mWriting;
    if (!mChannels.count(hash)) return DataLoggerStatusCode::StorageUnknownHash;
    mPointsWritten += points.size();
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::finalize() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mWriting > 0) mWrittenWhileClosed = true;
    mFinalized = true;
    return DataLoggerStatusCode::NoError;
}

void FakeStorage::holdWrites(bool hold) {
    std::lock_guard<std::mutex> lock(mMutex);
    mHold = hold;
    mHoldChanged.notify_all();
}

bool FakeStorage::waitForHeldWrite(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mHoldChanged.wait_for(lock, timeout, [this] { return mHeldWrites > 0; });
}

bool FakeStorage::writtenWhileClosed() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mWrittenWhileClosed;
}

void FakeStorage::failNextWrites(int count) {
    std::lock_guard<std::mutex> lock(mMutex);
    mFailingWrites = count;
}

size_t FakeStorage::pointsWritten() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPointsWritten;
}

DataLoggerStatusCode FakeStorage::initializeStorage(uint32_t size, const std::string& filename,
                                                    bool) {
    std::lock_guard<std::mutex> lock(mMutex);
    mInitializedWith = filename + ":" + std::to_string(size);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::createLog(const std::string& directory, int) {
    std::lock_guard<std::mutex> lock(mMutex);
    mLogDirectories.push_back(directory);
    return DataLoggerStatusCode::NoError;
}

std::vector<std::string> FakeStorage::logDirectories() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLogDirectories;
}

std::string FakeStorage::initializedWith() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mInitializedWith;
}

DataLoggerStatusCode RecordingPush::registerOrUpdateChannel(const qd::DataLoggerChannelInfo& info,
                                                            uint64_t& hash) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mThrow.empty()) throw std::runtime_error(mThrow);
    if (info.mPath == mThrowFor) throw std::runtime_error("registration exploded");
    mLastHashIn = hash;
    mRegistrations.push_back(info);
    auto channel = std::find_if(mChannels.begin(), mChannels.end(),
                                [&](const Channel& c) { return c.info.mPath == info.mPath; });
    if (channel == mChannels.end()) {
        if (mRefuseFrom >= 0 && static_cast<int>(mChannels.size()) >= mRefuseFrom) {
            return DataLoggerStatusCode::StorageError;
        }
        channel = mChannels.insert(mChannels.end(), {info, 1000 + mChannels.size(), {}});
    }
    channel->info = info;
    hash = channel->hash;
    const auto answer = mAnswers.find(info.mPath);
    return answer == mAnswers.end() ? mStatus : answer->second;
}

DataLoggerStatusCode RecordingPush::pushData(const uint64_t& hash,
                                             const std::vector<qd::DataLoggerDataPoint>& points) {
    if (mOnPush) mOnPush();
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mThrow.empty()) throw std::runtime_error(mThrow);
    ++mPushCalls;
    for (auto& channel : mChannels) {
        if (channel.hash == hash)
            channel.points.insert(channel.points.end(), points.begin(), points.end());
    }
    for (const auto& p : points) mPoints.push_back({hash, p.value(), p.timestamp()});
    return mStatus;
}

std::vector<RecordingPush::Channel> RecordingPush::channels() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mChannels;
}

std::vector<qd::DataLoggerChannelInfo> RecordingPush::registrations() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRegistrations;
}

std::vector<RecordingPush::Point> RecordingPush::points() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPoints;
}

size_t RecordingPush::pushCalls() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPushCalls;
}

uint64_t RecordingPush::lastHashIn() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLastHashIn;
}

uint64_t RecordingPush::hashOf(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& channel : mChannels) {
        if (channel.info.mPath == path) return channel.hash;
    }
    throw std::out_of_range("no channel " + path);
}

}  // namespace datalogger::test
