#include "support/power_cut_vfs.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace datalogger::test {

namespace {

constexpr uint64_t kBlock = 4096;  // what the device writes back at once
constexpr uint64_t kSector = 512;  // what it writes whole even when torn
constexpr int kFrameHeader = 24;   // of a write-ahead log frame; bytes 4-7 nonzero on a commit

bool isCommitFrameHeader(const void* data, int amount) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return amount == kFrameHeader && (bytes[4] | bytes[5] | bytes[6] | bytes[7]) != 0;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Brings `synced` up to the file's present length and reads back the blocks in `dirty`.
bool readBlocks(const std::string& path, const std::set<uint64_t>& dirty, std::string& synced) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    synced.resize(static_cast<size_t>(info.st_size));
    bool ok = true;
    for (const uint64_t block : dirty) {
        const uint64_t at = block * kBlock;
        if (at >= synced.size()) break;
        const size_t length = std::min<uint64_t>(kBlock, synced.size() - at);
        ok = ok &&
             pread(fd, &synced[at], length, static_cast<off_t>(at)) == static_cast<ssize_t>(length);
    }
    ::close(fd);
    return ok;
}

sqlite3_vfs* defaultVfs() {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (vfs == nullptr) throw std::runtime_error("SQLite has no default VFS");
    return vfs;
}

}  // namespace

// SQLite's file object for this VFS: ours, with the wrapped VFS's own right behind it.
struct PowerCutVfs::Handle {
    sqlite3_file base;
    PowerCutVfs* owner;
    const std::string* path;  // key of `file` in owner->mFiles
    File* file;               // nullptr: not tracked (temporary files, or opened unarmed)
    bool log;                 // a write-ahead log

    static Handle* of(sqlite3_file* f) { return reinterpret_cast<Handle*>(f); }
    static sqlite3_file* real(sqlite3_file* f) {
        return reinterpret_cast<sqlite3_file*>(of(f) + 1);
    }
    static const sqlite3_io_methods* next(sqlite3_file* f) { return real(f)->pMethods; }

    static int write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
        Handle* h = of(f);
        if (h->file != nullptr && amount > 0) {
            std::lock_guard<std::mutex> lock(h->owner->mMutex);
            if (h->owner->count()) {
                const auto from = static_cast<uint64_t>(offset);
                for (uint64_t b = from / kBlock; b <= (from + amount - 1) / kBlock; ++b) {
                    h->file->dirty.insert(b);
                }
                if (h->log && isCommitFrameHeader(data, amount)) {
                    h->owner->mLastCommit = h->owner->mOperations;
                }
            }
        }
        return next(f)->xWrite(real(f), data, amount, offset);
    }
    static int truncate(sqlite3_file* f, sqlite3_int64 size) {
        Handle* h = of(f);
        if (h->file != nullptr) {
            std::lock_guard<std::mutex> lock(h->owner->mMutex);
            h->owner->count();  // the new length is read back at the next sync or the cut
        }
        return next(f)->xTruncate(real(f), size);
    }
    // A sync that the cut interrupts is never made: nothing since the last one becomes durable.
    static int sync(sqlite3_file* f, int flags) {
        Handle* h = of(f);
        if (h->file == nullptr) return next(f)->xSync(real(f), flags);
        std::lock_guard<std::mutex> lock(h->owner->mMutex);
        if (!h->owner->count()) return next(f)->xSync(real(f), flags);
        const int rc = next(f)->xSync(real(f), flags);
        if (rc != SQLITE_OK) return rc;
        if (!readBlocks(*h->path, h->file->dirty, h->file->synced)) return SQLITE_IOERR_FSYNC;
        h->file->dirty.clear();
        h->owner->mLastSync = h->owner->mOperations;
        return SQLITE_OK;
    }
    static int close(sqlite3_file* f) { return next(f)->xClose(real(f)); }
    static int read(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
        return next(f)->xRead(real(f), data, amount, offset);
    }
    static int fileSize(sqlite3_file* f, sqlite3_int64* size) {
        return next(f)->xFileSize(real(f), size);
    }
    static int lock(sqlite3_file* f, int level) { return next(f)->xLock(real(f), level); }
    static int unlock(sqlite3_file* f, int level) { return next(f)->xUnlock(real(f), level); }
    static int checkReservedLock(sqlite3_file* f, int* out) {
        return next(f)->xCheckReservedLock(real(f), out);
    }
    static int fileControl(sqlite3_file* f, int op, void* arg) {
        return next(f)->xFileControl(real(f), op, arg);
    }
    static int sectorSize(sqlite3_file* f) { return next(f)->xSectorSize(real(f)); }
    static int deviceCharacteristics(sqlite3_file* f) {
        return next(f)->xDeviceCharacteristics(real(f));
    }
    static int shmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
        return next(f)->xShmMap(real(f), region, size, extend, out);
    }
    static int shmLock(sqlite3_file* f, int offset, int n, int flags) {
        return next(f)->xShmLock(real(f), offset, n, flags);
    }
    static void shmBarrier(sqlite3_file* f) { next(f)->xShmBarrier(real(f)); }
    static int shmUnmap(sqlite3_file* f, int deleteFlag) {
        return next(f)->xShmUnmap(real(f), deleteFlag);
    }
    static int fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
        return next(f)->xFetch(real(f), offset, amount, out);
    }
    static int unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
        return next(f)->xUnfetch(real(f), offset, page);
    }

    // clang-format off
    static constexpr sqlite3_io_methods kMethods = {
        3, &close, &read, &write, &truncate, &sync, &fileSize, &lock, &unlock,
        &checkReservedLock, &fileControl, &sectorSize, &deviceCharacteristics,
        &shmMap, &shmLock, &shmBarrier, &shmUnmap, &fetch, &unfetch};
    // clang-format on
};

PowerCutVfs::PowerCutVfs() : mReal(defaultVfs()), mVfs(new sqlite3_vfs(*mReal)) {
    mVfs->szOsFile = static_cast<int>(sizeof(Handle)) + mReal->szOsFile;
    mVfs->zName = "powercut";
    mVfs->pAppData = this;
    mVfs->xOpen = &PowerCutVfs::open;
    mVfs->xDelete = &PowerCutVfs::remove;
    if (sqlite3_vfs_register(mVfs.get(), 1) != SQLITE_OK) throw std::runtime_error("register");
}

PowerCutVfs::~PowerCutVfs() {
    sqlite3_vfs_unregister(mVfs.get());
    sqlite3_vfs_register(mReal, 1);
}

PowerCutVfs& PowerCutVfs::of(sqlite3_vfs* vfs) {
    return *static_cast<PowerCutVfs*>(vfs->pAppData);
}

int PowerCutVfs::open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                      int* outFlags) {
    PowerCutVfs& self = of(vfs);
    auto* h = Handle::of(file);
    h->base.pMethods = nullptr;
    const int rc = self.mReal->xOpen(self.mReal, name, reinterpret_cast<sqlite3_file*>(h + 1),
                                     flags, outFlags);
    if (rc != SQLITE_OK) return rc;
    h->base.pMethods = &Handle::kMethods;
    h->owner = &self;
    h->path = nullptr;
    h->file = nullptr;
    h->log = (flags & SQLITE_OPEN_WAL) != 0;
    const int durable = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL;
    std::lock_guard<std::mutex> lock(self.mMutex);
    if (name == nullptr || (flags & durable) == 0 || !self.mArmed || self.mCut) return SQLITE_OK;
    auto [at, added] = self.mFiles.try_emplace(name);
    if (added || !at->second.exists) at->second = File{contents(name), true, {}, {}};
    h->path = &at->first;
    h->file = &at->second;
    return SQLITE_OK;
}

int PowerCutVfs::remove(sqlite3_vfs* vfs, const char* name, int dirSync) {
    PowerCutVfs& self = of(vfs);
    {
        std::lock_guard<std::mutex> lock(self.mMutex);
        if (self.mArmed && !self.mCut) self.mFiles[name] = File{{}, false, {}, {}};
    }
    return self.mReal->xDelete(self.mReal, name, dirSync);
}

void PowerCutVfs::arm(uint64_t cutAt, uint64_t seed) {
    std::lock_guard<std::mutex> lock(mMutex);
    mFiles.clear();
    mArmed = true;
    mCut = false;
    mCutAt = std::max(cutAt, mOperations + 1);
    mLastSync = 0;
    mLastCommit = 0;
    mRandom.seed(seed);
}

bool PowerCutVfs::cut() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCut;
}

uint64_t PowerCutVfs::operations() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOperations;
}

uint64_t PowerCutVfs::lastSync() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLastSync;
}

bool PowerCutVfs::count() {
    ++mOperations;
    if (mArmed && !mCut && mOperations == mCutAt) cutNow();
    return !mCut;
}

uint64_t PowerCutVfs::lastCommit() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mLastCommit;
}

// Every block written since the file's last sync is lost, or a share of them drawn for the cut
// is kept: blocks chosen at random, or the lowest ones (written back in order). The last kept
// block may have reached the device only in part, and the file's new length may or may not have.
void PowerCutVfs::cutNow() {
    for (auto& [path, file] : mFiles) {
        if (!file.exists) continue;
        const std::string now = contents(path);
        const auto mode = mRandom() % 3;        // 0: all lost, 1: kept at random, 2: lowest kept
        const uint64_t keep = mRandom() % 101;  // percent
        const bool tear = mRandom() % 2 == 0;
        const size_t length = mode == 0 || mRandom() % 2 ? file.synced.size() : now.size();
        file.survivor = file.synced;
        file.survivor.resize(length, '\0');
        std::vector<uint64_t> kept;
        for (const uint64_t block : file.dirty) {
            const bool chosen = mode == 1   ? mRandom() % 100 < keep
                                : mode == 2 ? kept.size() * 100 < keep * file.dirty.size()
                                            : false;
            if (chosen && block * kBlock < length) kept.push_back(block);
        }
        for (size_t i = 0; i < kept.size(); ++i) {
            const uint64_t from = kept[i] * kBlock;
            const uint64_t sectors = tear && i + 1 == kept.size()
                                         ? 1 + mRandom() % (kBlock / kSector - 1)
                                         : kBlock / kSector;
            const uint64_t end = std::min<uint64_t>(from + sectors * kSector, length);
            for (uint64_t at = from; at < end; ++at) {
                file.survivor[at] = at < now.size() ? now[at] : '\0';
            }
        }
    }
    mCut = true;
}

void PowerCutVfs::restore() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mArmed && !mCut) cutNow();
    for (const auto& [path, file] : mFiles) {
        std::error_code ignored;
        std::filesystem::remove(path + "-shm", ignored);
        if (!file.exists) {
            std::filesystem::remove(path, ignored);
            continue;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(file.survivor.data(), static_cast<std::streamsize>(file.survivor.size()));
        if (!out) throw std::runtime_error("cannot write back " + path);
    }
    mFiles.clear();
    mArmed = false;
    mCut = false;
}

}  // namespace datalogger::test
