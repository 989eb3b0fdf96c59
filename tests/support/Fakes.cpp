#include "support/Fakes.h"

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

size_t FakePeriodicCallerManager::liveCallers() const { return periods().size(); }

std::vector<double> FakePeriodicCallerManager::periods() const {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<double> result;
    for (const auto& entry : mEntries) {
        if (entry->alive) result.push_back(entry->period);
    }
    return result;
}

DataLoggerStatusCode FakeStorage::getChannel(const std::string& path,
                                             qd::DataLoggerStorageChannelInfo& info) {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& [hash, channel] : mChannels) {
        if (channel.info.mPath != path) continue;
        info = qd::DataLoggerStorageChannelInfo(channel.info, hash);
        return DataLoggerStatusCode::NoError;
    }
    return DataLoggerStatusCode::NotFound;
}

DataLoggerStatusCode FakeStorage::getChannel(uint64_t hash, qd::DataLoggerStorageChannelInfo& info) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mChannels.find(hash);
    if (it == mChannels.end()) return DataLoggerStatusCode::NotFound;
    info = qd::DataLoggerStorageChannelInfo(it->second.info, hash);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::getChannels(std::vector<qd::DataLoggerStorageChannelInfo>& infos) {
    std::lock_guard<std::mutex> lock(mMutex);
    for (const auto& [hash, channel] : mChannels) infos.emplace_back(channel.info, hash);
    return infos.empty() ? DataLoggerStatusCode::NotFound : DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::registerOrUpdateChannel(const qd::DataLoggerStorageChannelInfo& info) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mChannels.find(info.channelHash());
    if (it != mChannels.end()) {
        if (it->second.info == info.channelInfo()) return DataLoggerStatusCode::AlreadyRegistered;
        it->second.info = info.channelInfo();
        return DataLoggerStatusCode::NoError;
    }
    for (const auto& [hash, channel] : mChannels) {
        if (channel.info.mPath == info.channelInfo().mPath) return DataLoggerStatusCode::BreakingChange;
    }
    mChannels.emplace(info.channelHash(), Channel{info.channelInfo(), {}});
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::archiveChannel(const std::string& path, std::string& newPath,
                                                 uint64_t& newHash) {
    qd::DataLoggerStorageChannelInfo info;
    if (getChannel(path, info) != DataLoggerStatusCode::NoError) return DataLoggerStatusCode::NotFound;
    return archiveChannel(info.channelHash(), newPath, newHash);
}

DataLoggerStatusCode FakeStorage::archiveChannel(uint64_t hash, std::string& newPath,
                                                 uint64_t& newHash) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mChannels.find(hash);
    if (it == mChannels.end()) return DataLoggerStatusCode::NotFound;
    if (mArchiveAnswer != DataLoggerStatusCode::NoError) return mArchiveAnswer;
    Channel moved = std::move(it->second);
    mChannels.erase(it);
    newPath = moved.info.mPath + "_archive_" + std::to_string(++mArchiveId);
    newHash = 0x100000000ull + static_cast<uint64_t>(mArchiveId);  // never a real hash
    moved.info.mPath = newPath;
    mChannels.emplace(newHash, std::move(moved));
    mArchived.push_back(hash);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::setData(uint64_t hash,
                                          const std::vector<qd::DataLoggerDataPoint>& points) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mChannels.find(hash);
    if (it == mChannels.end()) return DataLoggerStatusCode::StorageUnknownHash;
    for (const auto& point : points) it->second.values.push_back(point.value());
    mWritten.notify_all();
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::initializeStorage(uint32_t size, const std::string& filename, bool) {
    std::lock_guard<std::mutex> lock(mMutex);
    mInitializedWith = filename + ":" + std::to_string(size);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::finalize() { return DataLoggerStatusCode::NoError; }

DataLoggerStatusCode FakeStorage::getData(std::vector<qd::DataLoggerDataPoint>& points,
                                          const std::string&, int64_t, std::chrono::microseconds,
                                          uint32_t) {
    return mGetData ? mGetData(points) : DataLoggerStatusCode::NotFound;
}

DataLoggerStatusCode FakeStorage::createLog(const std::string& directory, int) {
    std::lock_guard<std::mutex> lock(mMutex);
    mLogDirectories.push_back(directory);
    return DataLoggerStatusCode::NoError;
}

DataLoggerStatusCode FakeStorage::clear() { return DataLoggerStatusCode::NoError; }

std::vector<double> FakeStorage::waitForPoints(uint64_t hash, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mMutex);
    auto values = [&] {
        auto it = mChannels.find(hash);
        return it == mChannels.end() ? std::vector<double>{} : it->second.values;
    };
    mWritten.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return values().size() >= count; });
    return values();
}

std::vector<uint64_t> FakeStorage::archivedHashes() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mArchived;
}

std::vector<std::string> FakeStorage::logDirectories() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLogDirectories;
}

std::string FakeStorage::initializedWith() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mInitializedWith;
}

}  // namespace datalogger::test
