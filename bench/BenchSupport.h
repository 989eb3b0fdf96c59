#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/DataLoggerTypes.h"
#include "storage/DataLoggerStorageSQLite.h"

// Helpers shared by the benchmark programs. Set-up failures end the program: a benchmark that
// cannot build its fixture has nothing to measure.
namespace datalogger::bench {

namespace qd = quorix::pelmo::datalogger;

// Databases of the benchmarks may grow to this size before old rows are deleted.
constexpr uint32_t kBenchDbSize = 256u * 1024u * 1024u;

// A channel with defaults and its hash, as a producer would register it.
qd::DataLoggerStorageChannelInfo benchChannel(const std::string& path,
                                              qd::DataLoggerStorageType type);

// Removes file and whatever SQLite keeps beside it (-wal, -shm, -journal): a log left behind
// would be replayed into the next database of that name.
void removeDatabaseFiles(const std::string& file);

// A new, migrated database at file with the channels registered.
std::shared_ptr<qd::DataLoggerStorageSQLite> openBenchStorage(
    const std::string& file, const std::vector<qd::DataLoggerStorageChannelInfo>& channels);

// Stores rows points through the storage's batch write, round-robin over hashes, time stamps
// and values 1, 2, ... µs.
void fillRows(qd::DataLoggerStorageSQLite& storage, const std::vector<uint64_t>& hashes,
              int64_t rows);

// The median of runs calls of work, in microseconds.
double medianMicros(int runs, const std::function<void()>& work);

// A field of /proc/self/status in KiB ("VmRSS", "RssAnon").
long statusKiB(const char* field);

// How the bare loop commits: Wal with the storage's own settings (the floor of every write
// figure), Rollback with SQLite's defaults for a file that must survive a power loss (a journal
// deleted after each commit, every commit synced in full).
enum class BareJournal { Wal, Rollback };

// Tail rows INSERTed one per commit (autocommit), the least a stored point costs, through a bare
// connection with the storage's connection settings and the given journal. Returns rows per
// second.
double bareInsertLoop(const std::string& file, uint64_t hash, int rows,
                      BareJournal journal = BareJournal::Wal);

}  // namespace datalogger::bench
