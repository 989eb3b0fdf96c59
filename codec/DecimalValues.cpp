#include "codec/DecimalValues.h"

#include <cmath>
#include <cstring>

namespace quorix::pelmo::datalogger::codec {

namespace {

// 10^22 is the largest power of ten a double holds exactly, so the division below is one
// correctly rounded IEEE operation, the same on every machine.
constexpr unsigned kMaxExponent = 22;
constexpr unsigned kNoExponent = kMaxExponent + 1;
constexpr unsigned kExponentBits = 5;
constexpr unsigned kExceptionCountBits = 13;  // 0..kMaxBlockSamples
constexpr unsigned kPositionBits = 12;        // 0..kMaxBlockSamples-1
constexpr unsigned kExceptionBits = kPositionBits + 64;
// Integers up to 2^53 convert to double exactly, so m / 10^e is the double nearest to the
// decimal the value was meant to be.
constexpr double kMaxDigits = 9007199254740992.0;

constexpr double kPowersOfTen[kMaxExponent + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

uint64_t bitsOf(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double unscale(uint64_t digits, unsigned exponent) {
    return static_cast<double>(static_cast<int64_t>(digits)) / kPowersOfTen[exponent];
}

bool scale(double value, unsigned exponent, uint64_t& digits) {
    const double scaled = value * kPowersOfTen[exponent];
    if (!(std::fabs(scaled) <= kMaxDigits)) return false;
    digits = static_cast<uint64_t>(static_cast<int64_t>(std::nearbyint(scaled)));
    return bitsOf(unscale(digits, exponent)) == bitsOf(value);
}

unsigned smallestExponent(double value) {
    uint64_t digits = 0;
    for (unsigned exponent = 0; exponent <= kMaxExponent; ++exponent) {
        if (scale(value, exponent, digits)) return exponent;
    }
    return kNoExponent;
}

// Exceptions take the digits of the nearest value before them (after them, at the start), so
// they cost the integer sequence next to nothing.
bool fillDigits(const Sample* samples, size_t count, const std::vector<unsigned>& exponents,
                DecimalPlan& plan) {
    plan.digits.assign(count, 0);
    plan.exceptions.clear();
    bool anyRegular = false;
    for (size_t i = 0; i < count; ++i) {
        if (exponents[i] <= plan.exponent &&
            scale(samples[i].value, plan.exponent, plan.digits[i])) {
            if (!anyRegular)
                std::fill(plan.digits.begin(), plan.digits.begin() + i, plan.digits[i]);
            anyRegular = true;
        } else {
            plan.exceptions.push_back(static_cast<uint16_t>(i));
            if (i > 0) plan.digits[i] = plan.digits[i - 1];
        }
    }
    return anyRegular;
}

}  // namespace

std::optional<DecimalPlan> planDecimal(const Sample* samples, size_t count) {
    std::vector<unsigned> exponents(count);
    bool used[kNoExponent] = {};
    for (size_t i = 0; i < count; ++i) {
        exponents[i] = smallestExponent(samples[i].value);
        if (exponents[i] < kNoExponent) used[exponents[i]] = true;
    }
    // Exponents only values need: a larger one holds more values exactly but costs bits on all.
    std::optional<DecimalPlan> best;
    DecimalPlan plan;
    for (plan.exponent = 0; plan.exponent < kNoExponent; ++plan.exponent) {
        if (!used[plan.exponent] || !fillDigits(samples, count, exponents, plan)) continue;
        plan.sequence = planIntegerSequence(plan.digits.data(), count);
        plan.bits = kExponentBits + kExceptionCountBits + plan.sequence.bits +
                    plan.exceptions.size() * kExceptionBits;
        if (!best || plan.bits < best->bits) best = plan;
    }
    return best;
}

void writeDecimal(const DecimalPlan& plan, const Sample* samples, BitWriter& out) {
    out.writeBits(plan.exponent, kExponentBits);
    out.writeBits(plan.exceptions.size(), kExceptionCountBits);
    writeIntegerSequence(plan.sequence, plan.digits.data(), plan.digits.size(), out);
    for (const uint16_t position : plan.exceptions) {
        out.writeBits(position, kPositionBits);
        out.writeBits(bitsOf(samples[position].value), 64);
    }
}

bool readDecimal(BitReader& in, size_t count, Sample* out) {
    uint64_t exponent = 0;
    uint64_t exceptions = 0;
    if (!in.readBits(kExponentBits, exponent) || !in.readBits(kExceptionCountBits, exceptions) ||
        exponent > kMaxExponent || exceptions > count) {
        return false;
    }
    std::vector<uint64_t> digits(count);
    if (!readIntegerSequence(in, count, digits.data())) return false;
    for (size_t i = 0; i < count; ++i) {
        out[i].value = unscale(digits[i], static_cast<unsigned>(exponent));
    }
    uint64_t next = 0;  // positions ascend, so each sample is overwritten at most once
    for (uint64_t e = 0; e < exceptions; ++e) {
        uint64_t position = 0;
        uint64_t bits = 0;
        if (!in.readBits(kPositionBits, position) || !in.readBits(64, bits) || position < next ||
            position >= count) {
            return false;
        }
        std::memcpy(&out[position].value, &bits, sizeof bits);
        next = position + 1;
    }
    return true;
}

}  // namespace quorix::pelmo::datalogger::codec
