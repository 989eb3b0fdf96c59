// Lifecycle of the SQLite storage: opening the database and loading its points, what the
// database asks of the storage, clearing, closing and the status. Channel and data operations
// are in DataLoggerStorageSQLiteData.cpp.
#include "storage/DataLoggerStorageSQLite.h"

#include <sqlite3.h>

#include <boost/filesystem.hpp>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "storage/PointStore.h"

namespace quorix::pelmo::datalogger {

namespace {

bool pathExists(const std::string& path) {
    boost::system::error_code ec;
    const auto type = boost::filesystem::status(path, ec).type();
    return type != boost::filesystem::file_not_found && type != boost::filesystem::status_error;
}

}  // namespace

DataLoggerStorageSQLite::DataLoggerStorageSQLite(std::string migrationScriptsPath,
                                                 uint32_t minimumSize, uint32_t maximumSize,
                                                 std::function<void()> onDatabaseFull)
    : log::Logger("DataLoggerStorageSQLite", "", std::make_shared<log::LoggerImpl>()),
      mMinimumSize(minimumSize),
      mMaximumSize(maximumSize),
      mOnDatabaseFull(std::move(onDatabaseFull)),
      mDatabase(*this, *this, migrationScriptsPath),
      mChannels(mDatabase, *this,
                [this](int rc, bool reclaim) { return makeRoomAfterFull(rc, reclaim); }) {
    pelmoDoLog(log::Debug, "+%s", nullptr, "DataLoggerStorageSQLite");
    bool ok = true;
    if (mMaximumSize < mMinimumSize) {
        pelmoDoLog(log::Error,
                   "STORAGE: Configuration error. Maximum size (%d) < minimum size (%d).", nullptr,
                   static_cast<int>(mMaximumSize), static_cast<int>(mMinimumSize));
        ok = false;
    }
    if (!pathExists(migrationScriptsPath)) {
        pelmoDoLog(log::Critical, "The passed path (%s) for the migration scripts does not exist.",
                   nullptr, migrationScriptsPath.c_str());
        ok = false;
    }
    mConstructedOk = ok;
    pelmoDoLog(log::Debug, "-%s", nullptr, "DataLoggerStorageSQLite");
}

DataLoggerStorageSQLite::~DataLoggerStorageSQLite() {
    pelmoDoLog(log::Debug, "+%s", nullptr, "~DataLoggerStorageSQLite");
    try {
        mPoints.reset();
        mDatabase.close();
    } catch (const std::exception& e) {
        // A token still lent at destruction is a caller's bug; the connection closes lazily.
        pelmoDoLog(log::Error, "%s", nullptr, e.what());
    }
    pelmoDoLog(log::Debug, "-%s", nullptr, "~DataLoggerStorageSQLite");
}

bool DataLoggerStorageSQLite::isReady() const {
    return mDatabase.isReady() && mPoints != nullptr;
}

// After the statements: the points' own statements and open blocks, read from the tail.
DataLoggerStatusCode DataLoggerStorageSQLite::loadPoints() {
    mPoints = std::make_unique<PointStore>(mDatabase.connection(), *this);
    if (mPoints->load() != SQLITE_OK) {
        pelmoDoLog(log::Critical, "The points of %s could not be loaded.", nullptr,
                   log::untrusted(mDatabase.filename()).c_str());
        mPoints.reset();
        return DataLoggerStatusCode::StorageError;
    }
    return DataLoggerStatusCode::NoError;
}

// ---- opening -----------------------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::initializeStorage(uint32_t size,
                                                                const std::string& filename,
                                                                bool force) {
    pelmoDoLog(log::Debug, "+%s", nullptr, "initializeStorage");
    DataLoggerStatusCode rc = initialize(size, filename, CurrentSchemaVersion, force);
    const char* operation = "initializeStorage";
    if (failedCall(*this, rc, operation,
                   "initialize(size, filename, CurrentSchemaVersion, force)")) {
        return rc;
    }
    try {
        mDatabase.prepareStatements();
    } catch (const std::exception& e) {
        pelmoDoLog(log::Critical, "Failed to prepare statements with %s", nullptr, e.what());
        return DataLoggerStatusCode::StorageError;
    }
    rc = loadPoints();
    if (rc != DataLoggerStatusCode::NoError) return rc;
    rc = mDatabase.setSizeLimit(size);
    if (!failedCall(*this, rc, operation, "setSizeLimit(size)")) {
        pelmoDoLog(log::Debug, "-%s", nullptr, operation);
    }
    return rc;
}

DataLoggerStatusCode DataLoggerStorageSQLite::initialize(uint32_t size, const std::string& filename,
                                                         uint32_t version, bool force) {
    pelmoDoLog(log::Trace, "+initialize", nullptr);
    if (!mConstructedOk) {
        pelmoDoLog(log::Critical,
                   "You can not use this instance because errors occurred while constructing this "
                   "object. Those errors should be logged in detail. Fix them and try again.",
                   nullptr);
        return DataLoggerStatusCode::StorageError;
    }
    if (size < mMinimumSize) {
        pelmoDoLog(log::Error, "STORAGE: Requested size (%u) is < allowed minimum size (%u).",
                   nullptr, size, mMinimumSize);
        return DataLoggerStatusCode::SizeBelowMinimum;
    }
    if (size > mMaximumSize) {
        pelmoDoLog(log::Error, "STORAGE: Requested size (%u) is > allowed maximum size (%u).",
                   nullptr, size, mMaximumSize);
        return DataLoggerStatusCode::SizeAboveMaximum;
    }
    mPoints.reset();
    return mDatabase.open(filename, version, force);
}

void DataLoggerStorageSQLite::setPageBytes(uint32_t bytes) {
    mDatabase.setPageBytes(bytes);
}

void DataLoggerStorageSQLite::syncIfDue() {
    if (!isReady()) return;
    mDatabase.syncIfDue();
}

// ---- what the database asks of the storage -----------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::execute(const std::string& sql) {
    return mDatabase.run(sql);
}

std::chrono::steady_clock::time_point DataLoggerStorageSQLite::now() const {
    return std::chrono::steady_clock::now();
}

// Removes the oldest blocks beyond what fits in sizeBytes, the bytes a block takes measured on
// the file itself (blocks, tail and channels over the pages in use), then vacuums.
DataLoggerStatusCode DataLoggerStorageSQLite::shrink(uint32_t sizeBytes, uint32_t pageSize,
                                                     uint32_t pageCount) {
    uint32_t freePages = 0;
    PointStore::Figures figures;
    if (mPoints->figures(figures) != SQLITE_OK ||
        !mDatabase.readInteger("PRAGMA freelist_count;", freePages)) {
        return DataLoggerStatusCode::StorageError;
    }
    const double usedBytes =
        static_cast<double>(pageCount - std::min(freePages, pageCount)) * pageSize;
    if (figures.blocks == 0 || usedBytes <= sizeBytes) return mDatabase.reclaimFreeSpace();
    const double bytesPerBlock = usedBytes / static_cast<double>(figures.blocks);
    const auto excess = static_cast<uint32_t>(std::min<double>(
        static_cast<double>(figures.blocks), std::ceil((usedBytes - sizeBytes) / bytesPerBlock)));
    pelmoDoLog(log::Info, "%u of %u blocks do not fit in %u bytes (%.0f bytes per block).", nullptr,
               excess, static_cast<uint32_t>(figures.blocks), sizeBytes, bytesPerBlock);
    return removeDataEntries(excess, true);
}

std::unique_lock<std::mutex> DataLoggerStorageSQLite::pauseReads() {
    return mPoints->pauseReads();
}

// ---- clearing and closing ----------------------------------------------------------------

DataLoggerStatusCode DataLoggerStorageSQLite::clear() {
    if (!isReady()) return DataLoggerStatusCode::StorageNotInitialized;
    const DataLoggerStatusCode rc = mDatabase.clear();
    if (rc != DataLoggerStatusCode::NoError) return rc;
    return loadPoints();
}

DataLoggerStatusCode DataLoggerStorageSQLite::finalize() {
    mPoints.reset();
    return mDatabase.close();
}

// ---- status ------------------------------------------------------------------------------

void DataLoggerStorageSQLite::noteSQLiteError(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mLastErrorMutex);
    mLastError = text;
}

void DataLoggerStorageSQLite::describe(DataLoggerDatabaseStatus& status) {
    {
        std::lock_guard<std::mutex> lock(mLastErrorMutex);
        status.lastError = mLastError;
    }
    // Recent rows live in the write-ahead log until a checkpoint moves them into the file.
    boost::system::error_code error;
    const auto bytes = boost::filesystem::file_size(mDatabase.filename(), error);
    if (!error) {
        const auto logBytes = boost::filesystem::file_size(mDatabase.filename() + "-wal", error);
        status.fileBytes = bytes + (error ? 0 : logBytes);
    }
    // A client asking again and again must not keep the connection (and so the writer) busy.
    std::lock_guard<std::mutex> described(mDescribeMutex);
    const auto now = std::chrono::steady_clock::now();
    if (!mDescribedAt || now - *mDescribedAt >= kDescribeInterval) {
        // VACUUM fails while another statement of the connection is open, and may run for
        // seconds: a status read during one leaves the figures out rather than wait.
        const auto reclaim = mDatabase.unlessReclaiming();
        if (!reclaim || !isReady()) return;
        // A failed read leaves the fields empty.
        PointStore::Figures figures;
        mRows = mOldestUs = mNewestUs = std::nullopt;
        if (mPoints->figures(figures) == SQLITE_OK) {
            mRows = figures.points;
            if (figures.points > 0) {
                mOldestUs = figures.oldestUs;
                mNewestUs = figures.newestUs;
            }
        }
        mDescribedAt = now;
    }
    status.rows = mRows;
    status.oldestUs = mOldestUs;
    status.newestUs = mNewestUs;
}

}  // namespace quorix::pelmo::datalogger
