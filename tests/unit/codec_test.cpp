// The block codec: exact round trips for any time stamps and any double bit patterns, the sizes
// the storage budget counts on, and cut blocks refused. Arbitrary bytes are the fuzz target's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "codec/BlockCodec.h"

namespace {

using namespace quorix::pelmo::datalogger::codec;
using Samples = std::vector<Sample>;
using Bytes = std::vector<unsigned char>;

uint64_t bitsOf(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double fromBits(uint64_t bits) {
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

Bytes encode(const Samples& samples) {
    const std::string block = encodeBlock(samples.data(), samples.size());
    return Bytes(block.begin(), block.end());
}

::testing::AssertionResult roundTrips(const Samples& in) {
    const Bytes block = encode(in);
    Samples out;
    if (!decodeBlock(block.data(), block.size(), out)) {
        return ::testing::AssertionFailure() << "a fresh block of " << in.size() << " refused";
    }
    if (out.size() != in.size()) return ::testing::AssertionFailure() << out.size() << " samples";
    for (size_t i = 0; i < in.size(); ++i) {
        if (out[i].time != in[i].time || bitsOf(out[i].value) != bitsOf(in[i].value)) {
            return ::testing::AssertionFailure()
                   << "sample " << i << " of " << in.size() << ": " << in[i].time << " " << std::hex
                   << bitsOf(in[i].value) << " came back as " << std::dec << out[i].time << " "
                   << std::hex << bitsOf(out[i].value);
        }
    }
    return ::testing::AssertionSuccess();
}

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kTenSeconds = 10'000'000;

// Values that break naive scaling, XOR windows or float comparisons: signed zeros, NaNs
// (quiet, signalling, with a payload), subnormals, the extremes and sums that do not round-trip.
using Limits = std::numeric_limits<double>;
const std::vector<double> kAdversarialValues = {0.0,
                                                -0.0,
                                                1.0,
                                                -1.0,
                                                0.1,
                                                21.37,
                                                1e300,
                                                -1e-300,
                                                Limits::infinity(),
                                                -Limits::infinity(),
                                                Limits::quiet_NaN(),
                                                fromBits(0x7ff0000000000001),
                                                fromBits(0xfff8dead00beef01),
                                                Limits::denorm_min(),
                                                -Limits::denorm_min(),
                                                fromBits(0x000fffffffffffff),
                                                Limits::max(),
                                                Limits::lowest(),
                                                9007199254740993.0,
                                                0.1 + 0.2,
                                                1e22,
                                                1e23};

const std::vector<int64_t> kAdversarialTimes = {kMin, kMax,     0,        -1,
                                                1,    kMin + 1, kMax - 1, 1'767'225'600'000'000};

// Sensor-like: a two-decimal random walk, 10 s apart, with uniform jitter of ±jitter µs.
Samples sensorLike(size_t count, int64_t jitter, std::mt19937_64& rng) {
    std::uniform_int_distribution<int64_t> jitterOf(-jitter, jitter);
    std::normal_distribution<double> step(0.0, 8.0);
    Samples samples;
    int64_t hundredths = 2137;
    for (size_t i = 0; i < count; ++i) {
        hundredths += std::llround(step(rng));
        const int64_t time = 1'767'225'600'000'000 + static_cast<int64_t>(i) * kTenSeconds;
        samples.push_back({time + jitterOf(rng), static_cast<double>(hundredths) / 100.0});
    }
    return samples;
}

// Any bit patterns for both fields.
Samples randomBits(size_t count, std::mt19937_64& rng) {
    Samples samples;
    for (size_t i = 0; i < count; ++i) {
        samples.push_back({static_cast<int64_t>(rng()), fromBits(rng())});
    }
    return samples;
}

TEST(CodecRoundTrip, AdversarialValuesAndTimesComeBackBitExact) {
    Samples everyPair;
    for (const int64_t time : kAdversarialTimes) {
        for (const double value : kAdversarialValues) everyPair.push_back({time, value});
    }
    EXPECT_TRUE(roundTrips(everyPair));
    // Each adversarial value alone in a block of sensor values: an exception in a regular block.
    std::mt19937_64 rng(1);
    for (const double value : kAdversarialValues) {
        Samples samples = sensorLike(300, 0, rng);
        samples[17].value = value;
        samples[299].value = value;
        EXPECT_TRUE(roundTrips(samples)) << std::hex << bitsOf(value);
    }
    // Extreme, equal and decreasing times: no delta may overflow.
    Samples swinging;  // every delta is as large as int64 allows, in both directions
    for (int i = 0; i < 100; ++i) swinging.push_back({i % 2 ? kMax : kMin, 1.5});
    EXPECT_TRUE(roundTrips(swinging));
    Samples equal(1000, Sample{kMax, 2.25});
    EXPECT_TRUE(roundTrips(equal));
    Samples decreasing = sensorLike(1000, 2000, rng);
    std::reverse(decreasing.begin(), decreasing.end());
    EXPECT_TRUE(roundTrips(decreasing));
    Samples mixed;
    for (int i = 0; i < 500; ++i) {
        mixed.push_back({kAdversarialTimes[rng() % kAdversarialTimes.size()], i * 0.5});
    }
    EXPECT_TRUE(roundTrips(mixed));
}

TEST(CodecRoundTrip, RandomBlocksOfEverySizeEdge) {
    std::mt19937_64 rng(3);
    for (const size_t size :
         {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{8}, size_t{9}, size_t{63}, size_t{64},
          size_t{65}, size_t{1023}, size_t{1024}, size_t{4095}, kMaxBlockSamples}) {
        EXPECT_TRUE(roundTrips(sensorLike(size, 0, rng))) << size;
        EXPECT_TRUE(roundTrips(sensorLike(size, 2000, rng))) << size;
        EXPECT_TRUE(roundTrips(randomBits(size, rng))) << size;
    }
}

double bytesPerSample(const Samples& samples) {
    return static_cast<double>(encode(samples).size()) / static_cast<double>(samples.size());
}

// The storage's budget counts on these for 1024-sample blocks (codec_bench prints the figures);
// the bounds sit a little above what the encoding reaches, to catch a regression.
TEST(CodecSize, BlocksOfReadingsStayWithinTheBudget) {
    std::mt19937_64 rng(5);
    EXPECT_LE(bytesPerSample(sensorLike(1024, 0, rng)), 1.0) << "two decimals, exact 10 s";
    EXPECT_LE(bytesPerSample(sensorLike(1024, 2000, rng)), 2.6) << "two decimals, ±2 ms jitter";
    Samples milliseconds = sensorLike(1024, 2000, rng);
    for (Sample& sample : milliseconds) sample.time -= sample.time % 1000;
    EXPECT_LE(bytesPerSample(milliseconds), 1.5) << "±2 ms jitter from a millisecond clock";
    Samples withGaps = sensorLike(1024, 0, rng);
    for (size_t i = 100; i < 1024; i += 100) withGaps[i].value = std::nan("");
    EXPECT_LE(bytesPerSample(withGaps), 1.2) << "a gap costs itself, not the block";
    Samples noisy = sensorLike(1024, 0, rng);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (Sample& sample : noisy) sample.value = 20.0 + noise(rng);
    EXPECT_LE(bytesPerSample(noisy), 7.5) << "full-precision doubles";
    EXPECT_LE(bytesPerSample(randomBits(1024, rng)), 16.01) << "never worse than raw";
}

TEST(CodecEncode, RefusesAnEmptyBlockAndOneOverTheMaximum) {
    const Samples tooMany(kMaxBlockSamples + 1, Sample{0, 0.0});
    EXPECT_THROW(encodeBlock(tooMany.data(), 0), std::invalid_argument);
    EXPECT_THROW(encodeBlock(tooMany.data(), tooMany.size()), std::invalid_argument);
}

// Arbitrary bytes are the fuzz target's: here, that a block cut short or followed by a byte is
// refused rather than read as fewer samples.
TEST(CodecDecode, CutOrLongerBlocksAreRefused) {
    std::mt19937_64 rng(4);
    for (const Samples& samples : {sensorLike(200, 2000, rng), randomBits(40, rng)}) {
        const Bytes block = encode(samples);
        Samples out;
        for (size_t size = 0; size < block.size(); ++size) {
            EXPECT_FALSE(decodeBlock(Bytes(block.begin(), block.begin() + size).data(), size, out))
                << "cut to " << size << " of " << block.size();
        }
        Bytes longer = block;
        longer.push_back(0);
        EXPECT_FALSE(decodeBlock(longer.data(), longer.size(), out)) << "a trailing byte";
    }
}

}  // namespace
