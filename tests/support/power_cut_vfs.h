#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>

struct sqlite3_file;
struct sqlite3_vfs;

namespace datalogger::test {

// An SQLite VFS in front of the default one that remembers what a power cut would leave on the
// device. Every write, sync and truncate of a database, its write-ahead log or its rollback
// journal goes through to the real file at once; beside it, each file's content as of its last
// completed sync is kept in memory, with the 4 KiB blocks written since. At the operation chosen
// by arm() the power is cut: what each file would hold afterwards is computed then (all unsynced
// blocks lost, or some kept: at random or the lowest ones; the last kept one possibly torn at a
// 512-byte sector), and restore() writes exactly that back once the connections are closed. A
// deleted file counts as gone at once; the shared-memory index does not survive a cut.
//
// Ownership: registers itself as SQLite's default VFS for its lifetime and hands the default
// back when it goes; the library must already be set up (DataLoggerStorageSQLiteInstance) and
// stay so meanwhile, and no connection may be open through it when it goes.
// Threads: every member and every file call may come from any thread (one mutex).
// Failure: a sync whose blocks cannot be read back fails with SQLITE_IOERR_FSYNC; restore()
// throws std::runtime_error when it cannot write a file back.
class PowerCutVfs {
public:
    PowerCutVfs();
    ~PowerCutVfs();
    PowerCutVfs(const PowerCutVfs&) = delete;
    PowerCutVfs& operator=(const PowerCutVfs&) = delete;

    // Starts tracking the files opened from now on and cuts the power at operation number
    // `cutAt` (counted by operations()), choosing what survives from `seed`.
    void arm(uint64_t cutAt, uint64_t seed);
    bool cut() const;
    // Writes, syncs and truncates of tracked files so far, the cut one included.
    uint64_t operations() const;
    // The number of the last sync that completed before the cut (0: none).
    uint64_t lastSync() const;
    // The number of the last write of a commit frame's header to a write-ahead log before the
    // cut (0: none): the operation that made the newest transaction complete in the log.
    uint64_t lastCommit() const;
    // After every connection is closed: writes what the cut left into the files, removes the
    // files that did not exist then and every shared-memory index, and stops tracking.
    void restore();

private:
    struct File {
        std::string synced;  // content as of the last completed sync
        bool exists = true;
        std::set<uint64_t> dirty;  // blocks written since that sync
        std::string survivor;      // set at the cut
    };
    struct Handle;
    static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                    int* outFlags);
    static int remove(sqlite3_vfs* vfs, const char* name, int dirSync);
    static PowerCutVfs& of(sqlite3_vfs* vfs);
    // Counts one operation (mMutex held); false when it is the cut or comes after it.
    bool count();
    void cutNow();

    sqlite3_vfs* mReal;
    std::unique_ptr<sqlite3_vfs> mVfs;
    mutable std::mutex mMutex;  // guards everything below
    std::map<std::string, File> mFiles;
    bool mArmed = false;
    bool mCut = false;
    uint64_t mOperations = 0;
    uint64_t mCutAt = 0;
    uint64_t mLastSync = 0;
    uint64_t mLastCommit = 0;
    std::mt19937_64 mRandom;
};

}  // namespace datalogger::test
