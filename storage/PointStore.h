#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "codec/BlockCodec.h"
#include "core/DataLoggerTypes.h"
#include "platform/Logger.h"
#include "storage/DataLoggerSQLiteHandles.h"

struct sqlite3;

namespace quorix::pelmo::datalogger {

// The points of one database. Each channel's newest points form its open block, held in memory
// and mirrored row by row in the table "tail", which has no index and grows in arrival order, so
// a commit touches few pages whatever the number of channels. Everything older lives in closed
// blocks of at most kBlockPoints points, compressed by the block codec, one "block" row each,
// written once and never changed (docs/block-format.md).
//
// Writing happens inside a transaction of the caller's: append() adds points to the tail;
// prepareCommit() closes the full open blocks (and those that hold the tail's oldest rows back
// too long) into block rows and deletes the tail rows that every block now covers. After COMMIT
// the caller calls committed(), after a rollback rolledBack(), so that memory follows what the
// database holds. A restart rebuilds the open blocks from the tail (load()).
//
// Ownership: owned by the storage; uses its connection, which must outlive it.
// Threads: load, append, prepareCommit, committed, rolledBack, removeOldest and rename on one
// writing thread at a time (the storage's write lock); read and figures from any thread.
// mMutex makes every read see a closed block either in the database or in memory, never both
// and never neither.
// Failure: SQLite failures are logged with the caller's logger and returned as SQLite codes; a
// block that fails to decode is skipped with one Error line naming its channel and time range.
class PointStore {
public:
    static constexpr size_t kBlockPoints = 512;
    // Tail rows kept before the open blocks holding the oldest of them are closed early: a
    // channel that rarely gets a point must not keep every later row in the tail.
    static constexpr size_t kMaxTailRows = 8192;
    static constexpr int64_t kNoBound = std::numeric_limits<int64_t>::min();

    PointStore(sqlite3* db, const log::Logger& logger);
    PointStore(const PointStore&) = delete;
    PointStore& operator=(const PointStore&) = delete;

    // Prepares the statements and rebuilds the open blocks from the tail; SQLITE_OK or the
    // failing code.
    int load();

    // One point into the tail, inside the caller's transaction. SQLITE_DONE, or the failing
    // step's code (SQLITE_CONSTRAINT: the channel is not registered).
    int append(uint64_t hash, const DataLoggerDataPoint& point);
    // Closes blocks and trims the tail, still inside the transaction; SQLITE_DONE or the code.
    int prepareCommit();
    // The next prepareCommit closes every open block as it is: the tail then holds nothing, which
    // makes room in a full database that has no block to drop.
    void closeAllOnNextCommit() { mCloseAll = true; }
    void committed();
    void rolledBack();

    // The points of a channel newer than `after`, oldest first: with `amount`, only the newest
    // `amount` of them; with `limit`, only the oldest `limit` of what is left (0: no limit).
    // Points sharing a time stamp keep the order in which they arrived.
    int read(uint64_t hash, int64_t after, uint32_t amount, uint32_t limit,
             std::vector<DataLoggerDataPoint>& out);

    // Deletes the `count` closed blocks whose newest point is oldest, in the caller's
    // transaction (or on its own); the number deleted, or -1 on failure.
    int removeOldest(size_t count);
    // Moves every point of channel `from` to channel `to`, in the caller's transaction.
    int rename(uint64_t from, uint64_t to);

    // Holds reads off while the database is vacuumed.
    std::unique_lock<std::mutex> pauseReads() { return std::unique_lock<std::mutex>(mMutex); }

    struct Figures {
        int64_t points = 0;  // in blocks and open blocks
        int64_t blocks = 0;
        int64_t openPoints = 0;
        int64_t oldestUs = 0, newestUs = 0;  // 0 when there is no point
    };
    int figures(Figures& out);

private:
    struct Open {
        std::vector<codec::Sample> samples;  // in arrival order
        int64_t firstSeq = 0;                // the tail rows of samples.front() and .back()
        int64_t lastSeq = 0;
    };
    struct Pending {
        uint64_t hash;
        codec::Sample sample;
        int64_t seq;
    };
    // An open block as the transaction will leave it: the samples it had (of which only the
    // first and last tail row are known), then the transaction's own, whose rows are known.
    struct Draft {
        Open open;
        size_t fromMemory = 0;
        std::vector<int64_t> seqs;  // rows of samples[fromMemory...]
        int64_t seqAt(size_t i) const;
    };

    int step(sqlite3_stmt* statement, const char* failure) const;
    // Adds the open blocks that must close to the drafts, closes them and trims the tail.
    int closeAndTrim();
    // Writes the first `count` samples of the draft as a block and drops them from it.
    int closeBlock(uint64_t hash, Draft& draft, size_t count);
    bool decode(uint64_t hash, int64_t first, int64_t last, const void* bytes, int size,
                std::vector<codec::Sample>& out) const;

    sqlite3* const mDb;
    const log::Logger& mLogger;
    SQLiteStatementHandle mInsertTail, mInsertBlock, mTrimTail, mNewestBlocks, mOldestBlocks,
        mAllBlocks;
    // Writer only: what the open transaction did, applied to mOpen by committed().
    std::vector<Pending> mPending;
    std::map<uint64_t, Draft> mDrafts;
    std::vector<std::pair<uint64_t, uint64_t>> mRenames;
    bool mCloseAll = false;     // writer only
    int64_t mNextSeq = 1;       // writer only: the next tail row
    int64_t mCommittedSeq = 1;  // writer only: mNextSeq at the last commit
    mutable std::mutex mMutex;  // guards mOpen and the read statements
    // Held by the writer from the first block row of a transaction until memory follows it.
    std::unique_lock<std::mutex> mHeld;
    std::map<uint64_t, Open> mOpen;
};

}  // namespace quorix::pelmo::datalogger
