// Google Benchmark micro-benchmarks of the helpers on the hot paths: channel hash, path and tag
// rules, statistics accumulators, DfRM document writing and the data request id manager.
//
//   micro_bench [Google Benchmark options]
//   micro_bench --split DIRECTORY   one DfRM data request of 1000 points answered in process
//                                   from a 100,000-row database: prints the median µs spent in
//                                   SQLite and in the rest of the handler (document writing)
//   micro_bench --memory POINTS     one DfRM data request of POINTS points (from memory, made
//                                   page by page as the storage hands them out) in a fresh
//                                   process: prints the answer's bytes and the growth of the
//                                   peak resident size while it was answered
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "BenchSupport.h"
#include "core/ChannelPath.h"
#include "core/DataLoggerHash.h"
#include "dfrm/DfrmDataRequestHandler.h"
#include "dfrm/DfrmDataRequestIdManager.h"
#include "dfrm/DfrmTagRule.h"
#include "stats/DataLoggerStatParam.h"
#include "storage/StorageAggregatePull.h"
#include "support/dfrm_fakes.h"

using namespace datalogger::bench;

namespace {

// 1000 points from memory, or the wrapped pull timed.
class BenchPull final : public qd::DataLoggerPullDataIfc {
public:
    explicit BenchPull(std::shared_ptr<qd::StorageAggregatePull> real = nullptr)
        : mReal(std::move(real)) {
        for (int i = 0; i < 1000; ++i) {
            mPoints.emplace_back(20.0 + i * 0.001,
                                 qd::TimePoint(std::chrono::seconds(1700000000 + i)));
        }
    }
    qd::DataLoggerStatusCode pullAllChannelInfo(
        std::vector<qd::DataLoggerStorageChannelInfo>&) override {
        return qd::DataLoggerStatusCode::NoError;
    }
    qd::DataLoggerStatusCode pullData(std::vector<qd::DataLoggerDataPoint>& points,
                                      const std::string& path, int64_t lastCounter,
                                      const std::chrono::microseconds& discard,
                                      uint32_t amount) override {
        return pullDataPage(points, path, lastCounter, discard, amount, 0);
    }
    // Every read answers the same points: each request costs the same.
    qd::DataLoggerStatusCode pullDataPage(std::vector<qd::DataLoggerDataPoint>& points,
                                          const std::string& path, int64_t lastCounter,
                                          const std::chrono::microseconds& discard, uint32_t amount,
                                          uint32_t limit) override {
        if (!mReal) {
            const size_t count =
                limit == 0 ? mPoints.size() : std::min<size_t>(limit, mPoints.size());
            points.insert(points.end(), mPoints.begin(),
                          mPoints.begin() + static_cast<std::ptrdiff_t>(count));
            return qd::DataLoggerStatusCode::NoError;
        }
        const auto start = std::chrono::steady_clock::now();
        const auto status = mReal->pullDataPage(points, path, lastCounter, discard, amount, limit);
        mLastMicros =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count();
        return status;
    }
    double mLastMicros = 0;

private:
    std::shared_ptr<qd::StorageAggregatePull> mReal;
    std::vector<qd::DataLoggerDataPoint> mPoints;
};

// The routes' context over the given pull and a valid clock: the handlers are called directly.
std::unique_ptr<datalogger::test::DfrmRig> makeRig(
    std::shared_ptr<qd::DataLoggerPullDataIfc> pull) {
    auto rig = std::make_unique<datalogger::test::DfrmRig>(std::move(pull));
    rig->time->valid = true;
    return rig;
}

const std::string kDataBody =
    R"({"channelRequests":[{"path":"bench/split","fetchItemsCountMax":1000}]})";

void ChannelHash(benchmark::State& state) {
    const qd::DataLoggerHash hash;
    const auto info =
        benchChannel("magnet/cryostat/heliumLevel", qd::DataLoggerStorageType::Volatile)
            .channelInfo();
    for (auto _ : state) benchmark::DoNotOptimize(hash.compute(info));
}
BENCHMARK(ChannelHash);

void ChannelPathRule(benchmark::State& state) {
    const std::string path = "magnet/cryostat/heliumLevel.mean";
    for (auto _ : state) benchmark::DoNotOptimize(qd::isValidChannelPath(path));
}
BENCHMARK(ChannelPathRule);

void TagRule(benchmark::State& state) {
    const std::string tag = "helium level sensor-2";
    for (auto _ : state) benchmark::DoNotOptimize(qd::isValidLogicalFunctionTag(tag));
}
BENCHMARK(TagRule);

template <typename Stat>
void StatisticsAdd(benchmark::State& state) {
    Stat stat;
    double value = 0;
    int64_t added = 0;
    for (auto _ : state) {
        stat.add(value += 0.5);
        // A statistics period of a few thousand points, as a 1 s period at 1 kHz.
        if (++added % 4096 == 0) benchmark::DoNotOptimize(stat.getAndReset());
    }
}
BENCHMARK_TEMPLATE(StatisticsAdd, qd::DataLoggerStatMax);
BENCHMARK_TEMPLATE(StatisticsAdd, qd::DataLoggerStatMin);
BENCHMARK_TEMPLATE(StatisticsAdd, qd::DataLoggerStatAverage);
BENCHMARK_TEMPLATE(StatisticsAdd, qd::DataLoggerStatStdDev);

void DataDocument1000Points(benchmark::State& state) {
    auto rig = makeRig(std::make_shared<BenchPull>());
    for (auto _ : state) benchmark::DoNotOptimize(qd::answerDataRequest(rig->context, kDataBody));
}
BENCHMARK(DataDocument1000Points)->Unit(benchmark::kMicrosecond);

void DataRequestIdCreateAndGet(benchmark::State& state) {
    qd::DfrmDataRequestIdManager ids(100, 50);
    const std::vector<qd::DfrmChannelRequest> requests(1);
    for (auto _ : state) benchmark::DoNotOptimize(ids.getById(ids.createDataRequestId(requests)));
}
BENCHMARK(DataRequestIdCreateAndGet);

// Hands out `total` points of one channel a page at a time, as the storage does, without
// holding them.
class GeneratedPull final : public qd::DataLoggerPullDataIfc {
public:
    explicit GeneratedPull(int64_t total) : mTotal(total) {}
    qd::DataLoggerStatusCode pullAllChannelInfo(
        std::vector<qd::DataLoggerStorageChannelInfo>&) override {
        return qd::DataLoggerStatusCode::NoError;
    }
    qd::DataLoggerStatusCode pullData(std::vector<qd::DataLoggerDataPoint>& points,
                                      const std::string& path, int64_t lastCounter,
                                      const std::chrono::microseconds& discard,
                                      uint32_t amount) override {
        return pullDataPage(points, path, lastCounter, discard, amount, 0);
    }
    qd::DataLoggerStatusCode pullDataPage(std::vector<qd::DataLoggerDataPoint>& points,
                                          const std::string&, int64_t lastCounter,
                                          const std::chrono::microseconds&, uint32_t,
                                          uint32_t limit) override {
        // One point a second from 1,700,000,000 s, values with a few digits as sensors give them.
        // Strictly newer than the read position.
        const int64_t first = lastCounter < kStartUs ? 0 : (lastCounter - kStartUs) / 1000000 + 1;
        for (int64_t i = first; i < mTotal && (limit == 0 || points.size() < limit); ++i) {
            points.emplace_back(20.0 + static_cast<double>(i % 5000) * 0.001,
                                qd::TimePoint(std::chrono::microseconds(kStartUs + i * 1000000)));
        }
        return points.empty() ? qd::DataLoggerStatusCode::StorageNoData
                              : qd::DataLoggerStatusCode::NoError;
    }

private:
    static constexpr int64_t kStartUs = 1700000000000000;
    int64_t mTotal;
};

long residentKib(const char* key) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (status && std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, key, std::strlen(key)) == 0)
            kib = std::atol(line + std::strlen(key));
    }
    if (status) std::fclose(status);
    return kib;
}

int memory(int64_t points) {
    auto rig = makeRig(std::make_shared<GeneratedPull>(points));
    const std::string body = R"({"channelRequests":[{"path":"bench/memory"}]})";
    // A small answer first touches the code and the once-only state (ids, configuration hash).
    qd::answerDataRequest(rig->context,
                          R"({"channelRequests":[{"path":"bench/warm","fetchItemsCountMax":10}]})");
    // The peak resident size starts again from the present one ("5": reset VmHWM).
    std::FILE* clear = std::fopen("/proc/self/clear_refs", "w");
    if (!clear || std::fputs("5", clear) < 0 || std::fclose(clear) != 0) return 1;
    const long before = residentKib("VmRSS:");
    const size_t bytes = qd::answerDataRequest(rig->context, body).mBody.size();
    std::printf("%zu %ld\n", bytes, (residentKib("VmHWM:") - before) * 1024);
    return 0;
}

int split(const std::string& dir) {
    const auto channel = benchChannel("bench/split", qd::DataLoggerStorageType::Volatile);
    const std::string file = dir + "/split.db";
    {
        auto filled = openBenchStorage(file, {channel});
        fillRows(*filled, {channel.channelHash()}, 100000);
        filled->finalize();
    }
    auto storage = openBenchStorage(file + ".unused", {});
    auto real = std::make_shared<qd::DataLoggerStorageSQLite>(DATALOGGER_SCRIPTS_DIR, 1048576,
                                                              kBenchDbSize, nullptr);
    real->initializeStorage(kBenchDbSize, file, false);
    auto pull =
        std::make_shared<BenchPull>(std::make_shared<qd::StorageAggregatePull>(real, storage));
    auto rig = makeRig(pull);
    std::vector<double> sqlite;
    const double total = medianMicros(201, [&] {
        qd::answerDataRequest(rig->context, kDataBody);
        sqlite.push_back(pull->mLastMicros);
    });
    std::sort(sqlite.begin(), sqlite.end());
    const double inSqlite = sqlite[sqlite.size() / 2];
    std::printf("%.0f %.0f\n", inSqlite, total - inSqlite);
    real->finalize();
    storage->finalize();
    removeDatabaseFiles(file);
    removeDatabaseFiles(file + ".unused");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    quorix::pelmo::log::LoggerProxy::instance().setLevel(quorix::pelmo::log::Warning);
    if (argc == 3 && std::strcmp(argv[1], "--split") == 0) return split(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--memory") == 0) return memory(std::atoll(argv[2]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
