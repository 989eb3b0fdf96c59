// Prints the block codec's size per sample, and its encoding and decoding speed, for blocks of
// 1024 samples of each kind of data below, so the storage's budget can quote them:
//   codec_bench [blocks]   (default 200 blocks of each kind)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "codec/BlockCodec.h"

namespace {

using namespace quorix::pelmo::datalogger::codec;
using Clock = std::chrono::steady_clock;

constexpr size_t kBlock = 1024;
constexpr int64_t kStart = 1'767'225'600'000'000;
constexpr int64_t kTenSeconds = 10'000'000;

// A two-decimal random walk (steps of about ±0.08), 10 s apart with uniform jitter of ±jitter µs.
std::vector<Sample> sensor(std::mt19937_64& rng, int64_t jitter) {
    std::uniform_int_distribution<int64_t> jitterOf(-jitter, jitter);
    std::normal_distribution<double> step(0.0, 8.0);
    std::vector<Sample> samples;
    int64_t hundredths = 2137;
    for (size_t i = 0; i < kBlock; ++i) {
        hundredths += std::llround(step(rng));
        samples.push_back({kStart + static_cast<int64_t>(i) * kTenSeconds + jitterOf(rng),
                           static_cast<double>(hundredths) / 100.0});
    }
    return samples;
}

// A noisy full-precision reading, 10 s apart: no short decimal form.
std::vector<Sample> noisy(std::mt19937_64& rng) {
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<Sample> samples;
    for (size_t i = 0; i < kBlock; ++i) {
        samples.push_back({kStart + static_cast<int64_t>(i) * kTenSeconds, 20.0 + noise(rng)});
    }
    return samples;
}

// Any bit patterns in both fields: the worst case.
std::vector<Sample> randomBits(std::mt19937_64& rng) {
    std::vector<Sample> samples;
    for (size_t i = 0; i < kBlock; ++i) {
        Sample sample{static_cast<int64_t>(rng()), 0.0};
        const uint64_t bits = rng();
        std::memcpy(&sample.value, &bits, sizeof bits);
        samples.push_back(sample);
    }
    return samples;
}

void measure(const char* kind, int blocks, const std::function<std::vector<Sample>()>& make) {
    std::vector<std::vector<Sample>> data;
    for (int b = 0; b < blocks; ++b) data.push_back(make());
    std::vector<std::string> encoded;
    const auto start = Clock::now();
    for (const auto& samples : data) encoded.push_back(encodeBlock(samples.data(), samples.size()));
    const auto encodedAt = Clock::now();
    std::vector<Sample> out;
    size_t bytes = 0;
    for (const std::string& block : encoded) {
        if (!decodeBlock(reinterpret_cast<const unsigned char*>(block.data()), block.size(), out)) {
            std::fprintf(stderr, "%s: a block does not decode\n", kind);
            std::exit(1);
        }
        bytes += block.size();
    }
    const auto decodedAt = Clock::now();
    const double samples = static_cast<double>(blocks) * kBlock;
    const auto nsPerSample = [&](Clock::duration d) {
        return std::chrono::duration<double, std::nano>(d).count() / samples;
    };
    std::printf("%-40s %6.2f bytes/sample  encode %6.1f ns/sample  decode %5.1f ns/sample\n", kind,
                static_cast<double>(bytes) / samples, nsPerSample(encodedAt - start),
                nsPerSample(decodedAt - encodedAt));
}

}  // namespace

int main(int argc, char** argv) {
    const int blocks = argc > 1 ? std::atoi(argv[1]) : 200;
    std::mt19937_64 rng(2026);
    std::printf("blocks of %zu samples, %d blocks of each kind\n", kBlock, blocks);
    measure("sensor, two decimals, exact 10 s", blocks, [&] { return sensor(rng, 0); });
    measure("sensor, two decimals, 10 s ± 2 ms", blocks, [&] { return sensor(rng, 2000); });
    measure("the same, stamps of a millisecond clock", blocks, [&] {
        std::vector<Sample> samples = sensor(rng, 2000);
        for (Sample& sample : samples) sample.time -= sample.time % 1000;
        return samples;
    });
    measure("noisy full-precision doubles, 10 s", blocks, [&] { return noisy(rng); });
    measure("random bits, random times", blocks, [&] { return randomBits(rng); });
    return 0;
}
