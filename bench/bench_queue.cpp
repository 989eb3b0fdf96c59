// Usage: bench_queue POINTS BATCH
// Memory of the processing queue: a core whose storage holds its writer back (setData waits
// for a latch) takes POINTS points in pushes of BATCH, so they all stay queued; then the latch
// opens and the queue drains. Prints, resident sizes in KiB:
//   <bytes per queued point> <resident before> <resident while held> <resident after draining>
//   <resident after malloc_trim(0)>
// glibc keeps freed heap pages mapped; the last figure shows how much of the drained queue
// is free memory the allocator kept rather than memory still in use.
#include <giomm/init.h>
#include <malloc.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "BenchSupport.h"
#include "engine/DataLoggerCore.h"
#include "storage/DataLoggerStorageConfig.h"
#include "support/fakes.h"
#include "support/private_bus.h"

using namespace datalogger::bench;

namespace {

// Counts the points it is given, once the latch is open; stores nothing, so the resident set
// after draining is the daemon's own.
class LatchedStorage : public datalogger::test::FakeStorage {
public:
    qd::DataLoggerStatusCode setData(uint64_t,
                                     const std::vector<qd::DataLoggerDataPoint>& points) override {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [&] { return mOpen; });
        mStored += points.size();
        mChanged.notify_all();
        return qd::DataLoggerStatusCode::NoError;
    }
    void open() {
        std::lock_guard<std::mutex> lock(mMutex);
        mOpen = true;
        mChanged.notify_all();
    }
    void waitForStored(size_t count) {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait(lock, [&] { return mStored >= count; });
    }

private:
    std::mutex mMutex;  // guards mOpen and mStored
    std::condition_variable mChanged;
    bool mOpen = false;
    size_t mStored = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s POINTS BATCH\n", argv[0]);
        return 2;
    }
    const long points = std::atol(argv[1]);
    const long batch = std::atol(argv[2]);
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Warning);
    Gio::init();
    datalogger::test::PrivateBus bus;
    auto storage = std::make_shared<LatchedStorage>();
    auto core = std::make_shared<qd::DataLoggerCore>(
        std::make_shared<datalogger::test::FakePeriodicCallerManager>(), storage,
        std::make_shared<datalogger::test::FakeStorage>(),
        std::make_shared<qd::DataLoggerStorageConfig>(2097152, "/v.db", 2097152, "/nv.db"), nullptr,
        nullptr);
    core->setDfrmSocketPath("/tmp/bench_queue_" + std::to_string(getpid()) + ".socket");
    core->initialize();
    uint64_t hash = 0;
    core->registerOrUpdateChannel(
        benchChannel("bench/queue", qd::DataLoggerStorageType::Volatile).channelInfo(), hash);

    std::vector<qd::DataLoggerDataPoint> push;
    for (long i = 0; i < batch; ++i)
        push.emplace_back(double(i), qd::TimePoint(std::chrono::microseconds(i)));
    const long before = statusKiB("VmRSS");
    for (long sent = 0; sent < points; sent += batch) core->pushData(hash, push);
    const long held = statusKiB("VmRSS");
    storage->open();
    storage->waitForStored(static_cast<size_t>(points));
    const long drained = statusKiB("VmRSS");
    malloc_trim(0);
    const long trimmed = statusKiB("VmRSS");
    std::printf("%.1f %ld %ld %ld %ld\n", (held - before) * 1024.0 / points, before, held, drained,
                trimmed);
    return 0;
}
