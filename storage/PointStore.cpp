#include "storage/PointStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <tuple>

namespace quorix::pelmo::datalogger {

namespace {

int64_t microsOf(const DataLoggerDataPoint& point) {
    return point.timestamp().time_since_epoch().count() / 1000;
}

TimePoint atMicros(int64_t micros) {
    constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 1000;
    const int64_t clamped = std::clamp(micros, -kLimit, kLimit);
    return TimePoint(std::chrono::nanoseconds(clamped * 1000));
}

// A point of a read with what orders it: its time, then the block it came from (open points
// last, as the newest arrivals), then its place in that block.
struct Tagged {
    int64_t time;
    int64_t block;
    size_t index;
    double value;
    bool operator<(const Tagged& other) const {
        return std::tie(time, block, index) < std::tie(other.time, other.block, other.index);
    }
};

constexpr int64_t kOpenBlock = std::numeric_limits<int64_t>::max();

// The k-th time from the newest (newest = true) or the oldest end; k >= 1 and <= points.size().
int64_t kthTime(const std::vector<Tagged>& points, size_t k, bool newest) {
    std::vector<int64_t> times;
    times.reserve(points.size());
    for (const auto& point : points) times.push_back(point.time);
    const auto at = newest ? times.end() - static_cast<std::ptrdiff_t>(k)
                           : times.begin() + static_cast<std::ptrdiff_t>(k - 1);
    std::nth_element(times.begin(), at, times.end());
    return *at;
}

}  // namespace

PointStore::PointStore(sqlite3* db, const log::Logger& logger) : mDb(db), mLogger(logger) {}

int PointStore::step(sqlite3_stmt* statement, const char* failure) const {
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW && rc != SQLITE_CONSTRAINT) {
        reportSQLite(&mLogger, log::Error, failure, mDb, rc);
    }
    return rc;
}

int PointStore::load() {
    const struct {
        SQLiteStatementHandle& handle;
        const char* sql;
    } statements[] = {
        {mInsertTail, "INSERT INTO tail (seq, channelHash, timestamp, value) VALUES (?, ?, ?, ?);"},
        {mInsertBlock,
         "INSERT INTO block (channelHash, firstTime, lastTime, count, lastSeq, encoding, bytes) "
         "VALUES (?, ?, ?, ?, ?, ?, ?);"},
        {mTrimTail, "DELETE FROM tail WHERE seq < ?;"},
        {mNewestBlocks,
         "SELECT id, firstTime, lastTime, bytes FROM block WHERE channelHash = ? AND lastTime >= ? "
         "ORDER BY lastTime DESC, id DESC;"},
        {mOldestBlocks,
         "SELECT id, firstTime, lastTime, bytes FROM block WHERE channelHash = ? AND lastTime >= ? "
         "ORDER BY firstTime, id;"},
        {mAllBlocks,
         "SELECT count(*), coalesce(sum(count), 0), min(firstTime), max(lastTime) FROM block;"},
    };
    for (const auto& statement : statements) {
        const int rc = SQLiteStatementHandle::prepare(mDb, statement.sql, SQLITE_PREPARE_PERSISTENT,
                                                      statement.handle);
        if (rc != SQLITE_OK) {
            reportSQLite(&mLogger, log::Error,
                         std::string("Statement could not be prepared: ") + statement.sql, mDb, rc);
            return rc;
        }
    }
    // Each channel's open block is what its tail rows hold beyond its newest block.
    std::map<uint64_t, int64_t> closedUpTo;
    int64_t newestSeq = 0;
    SQLiteStatementHandle query;
    int rc = SQLiteStatementHandle::prepare(
        mDb, "SELECT channelHash, max(lastSeq) FROM block GROUP BY channelHash;", 0, query);
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        if ((rc = sqlite3_step(query.get())) != SQLITE_ROW) break;
        const int64_t seq = sqlite3_column_int64(query.get(), 1);
        closedUpTo[static_cast<uint64_t>(sqlite3_column_int64(query.get(), 0))] = seq;
        newestSeq = std::max(newestSeq, seq);
    }
    if (rc == SQLITE_DONE) {
        rc = SQLiteStatementHandle::prepare(
            mDb, "SELECT seq, channelHash, timestamp, value FROM tail ORDER BY seq;", 0, query);
    }
    // Read as drafts with every row known, so that an open block longer than a block (a tail
    // converted from rows of old) can be cut into blocks at once.
    mDrafts.clear();
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        if ((rc = sqlite3_step(query.get())) != SQLITE_ROW) break;
        const int64_t seq = sqlite3_column_int64(query.get(), 0);
        const auto hash = static_cast<uint64_t>(sqlite3_column_int64(query.get(), 1));
        newestSeq = std::max(newestSeq, seq);
        const auto closed = closedUpTo.find(hash);
        if (closed != closedUpTo.end() && seq <= closed->second) continue;
        Draft& draft = mDrafts[hash];
        if (draft.open.samples.empty()) draft.open.firstSeq = seq;
        draft.open.lastSeq = seq;
        draft.open.samples.push_back(
            {sqlite3_column_int64(query.get(), 2), storedValue(query.get(), 3)});
        draft.seqs.push_back(seq);
    }
    query = SQLiteStatementHandle();
    if (rc != SQLITE_DONE) {
        reportSQLite(&mLogger, log::Error, "The open blocks could not be read from the tail.", mDb,
                     rc);
        mDrafts.clear();
        return rc;
    }
    mNextSeq = mCommittedSeq = newestSeq + 1;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpen.clear();
    }
    bool tooLong = false;
    for (const auto& [hash, draft] : mDrafts)
        tooLong = tooLong || draft.open.samples.size() >= kBlockPoints;
    if (!tooLong) {
        committed();
        return SQLITE_OK;
    }
    mHeld = std::unique_lock<std::mutex>(mMutex);
    rc = sqlite3_exec(mDb, "BEGIN;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = closeAndTrim() == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
    if (rc == SQLITE_OK) rc = sqlite3_exec(mDb, "COMMIT;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        reportSQLite(&mLogger, log::Error, "The open blocks could not be cut into blocks.", mDb,
                     rc);
        if (sqlite3_get_autocommit(mDb) == 0)
            sqlite3_exec(mDb, "ROLLBACK;", nullptr, nullptr, nullptr);
        rolledBack();
        return rc == SQLITE_OK ? SQLITE_ERROR : rc;
    }
    committed();
    return SQLITE_OK;
}

int PointStore::append(uint64_t hash, const DataLoggerDataPoint& point) {
    sqlite3_stmt* insert = mInsertTail.get();
    const int64_t time = microsOf(point);
    sqlite3_bind_int64(insert, 1, mNextSeq);
    sqlite3_bind_int64(insert, 2, static_cast<int64_t>(hash));
    sqlite3_bind_int64(insert, 3, time);
    sqlite3_bind_double(insert, 4, point.value());
    const int rc = step(insert, "A point could not be added to the tail.");
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE) return rc;
    mPending.push_back({hash, {time, point.value()}, mNextSeq++});
    return rc;
}

int64_t PointStore::Draft::seqAt(size_t i) const {
    if (i >= fromMemory) return seqs[i - fromMemory];
    // Blocks are cut at kBlockPoints or at the end, and a block in memory is shorter than
    // kBlockPoints, so only its first and last row are ever asked for.
    return i == 0 ? open.firstSeq : open.lastSeq;
}

int PointStore::closeBlock(uint64_t hash, Draft& draft, size_t count) {
    std::vector<codec::Sample>& all = draft.open.samples;
    std::vector<codec::Sample> samples(all.begin(),
                                       all.begin() + static_cast<std::ptrdiff_t>(count));
    // Arrival order within one time stamp is kept: a read orders by time, then by place.
    std::stable_sort(
        samples.begin(), samples.end(),
        [](const codec::Sample& a, const codec::Sample& b) { return a.time < b.time; });
    const std::string bytes = codec::encodeBlock(samples.data(), samples.size());
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    sqlite3_stmt* insert = mInsertBlock.get();
    sqlite3_bind_int64(insert, 1, static_cast<int64_t>(hash));
    sqlite3_bind_int64(insert, 2, samples.front().time);
    sqlite3_bind_int64(insert, 3, samples.back().time);
    sqlite3_bind_int64(insert, 4, static_cast<int64_t>(samples.size()));
    sqlite3_bind_int64(insert, 5, draft.seqAt(count - 1));
    sqlite3_bind_int(insert, 6, codec::blockEncoding(data, bytes.size()));
    sqlite3_bind_blob(insert, 7, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
    const int rc = step(insert, "A block could not be written.");
    sqlite3_reset(insert);
    sqlite3_clear_bindings(insert);
    if (rc != SQLITE_DONE) return rc;
    const size_t fromSeqs = count > draft.fromMemory ? count - draft.fromMemory : 0;
    draft.seqs.erase(draft.seqs.begin(),
                     draft.seqs.begin() + static_cast<std::ptrdiff_t>(fromSeqs));
    draft.fromMemory -= std::min(draft.fromMemory, count);
    all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count));
    if (!all.empty()) draft.open.firstSeq = draft.seqAt(0);
    return rc;
}

int PointStore::prepareCommit() {
    mHeld = std::unique_lock<std::mutex>(mMutex);
    mDrafts.clear();
    return closeAndTrim();
}

int PointStore::closeAndTrim() {
    const auto draftOf = [this](uint64_t hash) -> Draft& {
        auto [it, added] = mDrafts.try_emplace(hash);
        const auto open = mOpen.find(hash);
        if (added && open != mOpen.end()) {
            it->second.open = open->second;
            it->second.fromMemory = open->second.samples.size();
        }
        return it->second;
    };
    for (const Pending& pending : mPending) {
        Draft& draft = draftOf(pending.hash);
        if (draft.open.samples.empty()) draft.open.firstSeq = pending.seq;
        draft.open.samples.push_back(pending.sample);
        draft.open.lastSeq = pending.seq;
        draft.seqs.push_back(pending.seq);
    }
    // Open blocks that hold the tail's oldest rows back too long are closed as they are.
    const int64_t keepFrom =
        mCloseAll ? mNextSeq + 1 : mNextSeq - static_cast<int64_t>(kMaxTailRows / 2);
    mCloseAll = false;
    for (const auto& [hash, open] : mOpen) {
        if (open.firstSeq < keepFrom) draftOf(hash);
    }
    int64_t oldestOpen = mNextSeq;
    for (auto& [hash, draft] : mDrafts) {
        while (draft.open.samples.size() >= kBlockPoints) {
            const int rc = closeBlock(hash, draft, kBlockPoints);
            if (rc != SQLITE_DONE) return rc;
        }
        if (!draft.open.samples.empty() && draft.open.firstSeq < keepFrom) {
            const int rc = closeBlock(hash, draft, draft.open.samples.size());
            if (rc != SQLITE_DONE) return rc;
        }
        if (!draft.open.samples.empty()) oldestOpen = std::min(oldestOpen, draft.open.firstSeq);
    }
    for (const auto& [hash, open] : mOpen) {
        if (!mDrafts.count(hash)) oldestOpen = std::min(oldestOpen, open.firstSeq);
    }
    // Rows older than every open block's oldest are in blocks now.
    sqlite3_stmt* trim = mTrimTail.get();
    sqlite3_bind_int64(trim, 1, oldestOpen);
    const int rc = step(trim, "The tail could not be trimmed.");
    sqlite3_reset(trim);
    return rc;
}

void PointStore::committed() {
    if (!mHeld.owns_lock()) mHeld = std::unique_lock<std::mutex>(mMutex);
    for (auto& [hash, draft] : mDrafts) {
        if (draft.open.samples.empty()) {
            mOpen.erase(hash);
        } else {
            mOpen[hash] = std::move(draft.open);
        }
    }
    for (const auto& [from, to] : mRenames) {
        const auto open = mOpen.find(from);
        if (open == mOpen.end()) continue;
        mOpen[to] = std::move(open->second);
        mOpen.erase(open);
    }
    mDrafts.clear();
    mRenames.clear();
    mPending.clear();
    mCommittedSeq = mNextSeq;
    mHeld.unlock();
}

void PointStore::rolledBack() {
    mDrafts.clear();
    mRenames.clear();
    mPending.clear();
    mNextSeq = mCommittedSeq;
    if (mHeld.owns_lock()) mHeld.unlock();
}

bool PointStore::decode(uint64_t hash, int64_t first, int64_t last, const void* bytes, int size,
                        std::vector<codec::Sample>& out) const {
    if (bytes != nullptr && size > 0 &&
        codec::decodeBlock(static_cast<const unsigned char*>(bytes), static_cast<size_t>(size),
                           out)) {
        return true;
    }
    mLogger.pelmoDoLog(log::Error,
                       "A block of channel %llu from %lld to %lld µs could not be decoded and is "
                       "skipped.",
                       nullptr, static_cast<unsigned long long>(hash),
                       static_cast<long long>(first), static_cast<long long>(last));
    return false;
}

int PointStore::read(uint64_t hash, int64_t after, uint32_t amount, uint32_t limit,
                     std::vector<DataLoggerDataPoint>& out) {
    std::lock_guard<std::mutex> lock(mMutex);
    // kNoBound takes every point, even one at the smallest time stamp.
    const auto wanted = [after](int64_t time) { return after == kNoBound || time > after; };
    std::vector<Tagged> points;
    const auto open = mOpen.find(hash);
    if (open != mOpen.end()) {
        const auto& samples = open->second.samples;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (wanted(samples[i].time))
                points.push_back({samples[i].time, kOpenBlock, i, samples[i].value});
        }
    }
    // Newest first while the newest `amount` are wanted, else oldest first; either way a block
    // that cannot hold a wanted point ends the walk.
    const bool newest = amount != 0;
    const size_t goal = newest ? amount : limit;
    sqlite3_stmt* blocks = newest ? mNewestBlocks.get() : mOldestBlocks.get();
    sqlite3_bind_int64(blocks, 1, static_cast<int64_t>(hash));
    sqlite3_bind_int64(blocks, 2, after == kNoBound ? kNoBound : after + 1);
    std::vector<codec::Sample> samples;
    int rc;
    while ((rc = sqlite3_step(blocks)) == SQLITE_ROW) {
        const int64_t id = sqlite3_column_int64(blocks, 0);
        const int64_t first = sqlite3_column_int64(blocks, 1);
        const int64_t last = sqlite3_column_int64(blocks, 2);
        if (goal != 0 && points.size() >= goal) {
            const int64_t bound = kthTime(points, goal, newest);
            if (newest ? last < bound : first > bound) break;
        }
        if (!decode(hash, first, last, sqlite3_column_blob(blocks, 3),
                    sqlite3_column_bytes(blocks, 3), samples)) {
            continue;
        }
        for (size_t i = 0; i < samples.size(); ++i) {
            if (wanted(samples[i].time))
                points.push_back({samples[i].time, id, i, samples[i].value});
        }
    }
    sqlite3_reset(blocks);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        reportSQLite(&mLogger, log::Error, "Blocks could not be read.", mDb, rc);
        return rc;
    }
    std::sort(points.begin(), points.end());
    size_t begin = 0, end = points.size();
    if (amount != 0 && end > amount) begin = end - amount;
    if (limit != 0 && end - begin > limit) end = begin + limit;
    out.reserve(out.size() + (end - begin));
    for (size_t i = begin; i < end; ++i)
        out.emplace_back(points[i].value, atMicros(points[i].time));
    return SQLITE_OK;
}

int PointStore::removeOldest(size_t count) {
    SQLiteStatementHandle remove;
    int rc = SQLiteStatementHandle::prepare(
        mDb, "DELETE FROM block WHERE id IN (SELECT id FROM block ORDER BY lastTime, id LIMIT ?);",
        0, remove);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(remove.get(), 1, static_cast<int64_t>(count));
        rc = step(remove.get(), "The oldest blocks could not be removed.");
    }
    return rc == SQLITE_DONE ? sqlite3_changes(mDb) : -1;
}

int PointStore::rename(uint64_t from, uint64_t to) {
    for (const char* sql : {"UPDATE block SET channelHash = ?2 WHERE channelHash = ?1;",
                            "UPDATE tail SET channelHash = ?2 WHERE channelHash = ?1;"}) {
        SQLiteStatementHandle update;
        int rc = SQLiteStatementHandle::prepare(mDb, sql, 0, update);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(update.get(), 1, static_cast<int64_t>(from));
            sqlite3_bind_int64(update.get(), 2, static_cast<int64_t>(to));
            rc = step(update.get(), "The points of a channel could not be moved.");
        }
        if (rc != SQLITE_DONE) return rc;
    }
    mRenames.emplace_back(from, to);
    return SQLITE_DONE;
}

int PointStore::figures(Figures& out) {
    std::lock_guard<std::mutex> lock(mMutex);
    out = Figures();
    for (const auto& [hash, open] : mOpen) {
        for (const auto& sample : open.samples) {
            if (out.openPoints == 0 || sample.time < out.oldestUs) out.oldestUs = sample.time;
            if (out.openPoints == 0 || sample.time > out.newestUs) out.newestUs = sample.time;
            ++out.openPoints;
        }
    }
    sqlite3_stmt* all = mAllBlocks.get();
    const int rc = sqlite3_step(all);
    if (rc == SQLITE_ROW) {
        out.blocks = sqlite3_column_int64(all, 0);
        out.points = sqlite3_column_int64(all, 1) + out.openPoints;
        if (out.blocks > 0) {
            const int64_t oldest = sqlite3_column_int64(all, 2),
                          newest = sqlite3_column_int64(all, 3);
            out.oldestUs = out.openPoints == 0 ? oldest : std::min(out.oldestUs, oldest);
            out.newestUs = out.openPoints == 0 ? newest : std::max(out.newestUs, newest);
        }
    } else {
        reportSQLite(&mLogger, log::Error, "The block figures could not be read.", mDb, rc);
    }
    sqlite3_reset(all);
    return rc == SQLITE_ROW ? SQLITE_OK : rc;
}

}  // namespace quorix::pelmo::datalogger
