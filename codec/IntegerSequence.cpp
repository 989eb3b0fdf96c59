#include "codec/IntegerSequence.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace quorix::pelmo::datalogger::codec {

namespace {

constexpr unsigned kPredictorBits = 2;
constexpr unsigned kWidthBits = 7;
constexpr unsigned kEscapeLengthBits = 6;  // an escaped residual's bit length minus one

// The one prediction both directions use, from elements already known to the decoder.
uint64_t predict(Predictor predictor, uint64_t step, const uint64_t* y, size_t i) {
    if (predictor == Predictor::Slope && i >= 2) return y[i - 1] + (y[i - 1] - y[i - 2]);
    return y[i - 1] + step;
}

// Distances from x[0] in units, as int64 values in uint64_t: unit * y[i] == x[i] - x[0]
// modulo 2^64, also for distances of 2^63.
std::vector<uint64_t> toUnits(const uint64_t* x, size_t n, uint64_t unit) {
    std::vector<uint64_t> y(n);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t distance = x[i] - x[0];
        if (unit == 1) {  // most sequences; spares a division per element
            y[i] = distance;
            continue;
        }
        const bool negative = distance >> 63;
        const uint64_t magnitude = (negative ? 0 - distance : distance) / unit;
        y[i] = negative ? 0 - magnitude : magnitude;
    }
    return y;
}

uint64_t commonUnit(const uint64_t* x, size_t n) {
    uint64_t unit = 0;
    for (size_t i = 1; i < n && unit != 1; ++i) {
        const uint64_t distance = x[i] - x[0];
        uint64_t a = distance >> 63 ? 0 - distance : distance;
        uint64_t b = unit;
        while (b != 0) a = std::exchange(b, a % b);
        unit = a;
    }
    return unit == 0 ? 1 : unit;
}

uint64_t varintBits(uint64_t value) {
    return 8 * (1 + (bitLength(value) - (value != 0)) / 7);
}

// The median difference between neighbours, as a signed number: the step of a regular series,
// and a robust middle for jittered ones.
uint64_t medianStep(const uint64_t* x, size_t n) {
    if (n < 2) return 0;
    std::vector<int64_t> deltas(n - 1);
    for (size_t i = 1; i < n; ++i) deltas[i - 1] = static_cast<int64_t>(x[i] - x[i - 1]);
    auto middle = deltas.begin() + static_cast<std::ptrdiff_t>(deltas.size() / 2);
    std::nth_element(deltas.begin(), middle, deltas.end());
    return static_cast<uint64_t>(*middle);
}

// Chooses width and escapes for residuals whose zigzag codes have the given bit lengths.
void chooseWidth(const std::array<uint64_t, 65>& lengths, uint64_t residuals,
                 IntegerSequencePlan& plan) {
    unsigned longest = 0;
    for (unsigned length = 0; length <= 64; ++length) {
        if (lengths[length] != 0) longest = length;
    }
    plan.width = longest;
    plan.escapes = false;
    uint64_t best = residuals * longest;
    for (unsigned width = 0; width < longest; ++width) {
        uint64_t bits = residuals * (1 + width);
        for (unsigned length = width + 1; length <= longest; ++length) {
            bits += lengths[length] * (kEscapeLengthBits + length);
        }
        if (bits < best) {
            best = bits;
            plan.width = width;
            plan.escapes = true;
        }
    }
    plan.bits += best;
}

}  // namespace

IntegerSequencePlan planIntegerSequence(const uint64_t* x, size_t n) {
    const uint64_t unit = commonUnit(x, n);
    const std::vector<uint64_t> units = toUnits(x, n, unit);
    const uint64_t* y = units.data();
    const uint64_t step = medianStep(y, n);
    IntegerSequencePlan best;
    for (const Predictor predictor : {Predictor::Step, Predictor::Slope}) {
        std::array<uint64_t, 65> lengths{};
        for (size_t i = 1; i < n; ++i) {
            ++lengths[bitLength(zigzag(y[i] - predict(predictor, step, y, i)))];
        }
        IntegerSequencePlan plan;
        plan.unit = unit;
        plan.predictor = predictor;
        plan.step = step;
        plan.bits = varintBits(zigzag(x[0])) + varintBits(unit) + varintBits(zigzag(step)) +
                    kPredictorBits + 1 + kWidthBits;
        chooseWidth(lengths, n - 1, plan);
        if (predictor == Predictor::Step || plan.bits < best.bits) best = plan;
    }
    return best;
}

void writeIntegerSequence(const IntegerSequencePlan& plan, const uint64_t* x, size_t n,
                          BitWriter& out) {
    const std::vector<uint64_t> y = toUnits(x, n, plan.unit);
    out.writeVarint(zigzag(x[0]));
    out.writeVarint(plan.unit);
    out.writeVarint(zigzag(plan.step));
    out.writeBits(static_cast<uint64_t>(plan.predictor), kPredictorBits);
    out.writeBit(plan.escapes);
    out.writeBits(plan.width, kWidthBits);
    for (size_t i = 1; i < n; ++i) {
        const uint64_t code = zigzag(y[i] - predict(plan.predictor, plan.step, y.data(), i));
        const unsigned length = bitLength(code);
        if (plan.escapes) {
            out.writeBit(length > plan.width);
            if (length > plan.width) {
                out.writeBits(length - 1, kEscapeLengthBits);
                out.writeBits(code, length);
                continue;
            }
        }
        out.writeBits(code, plan.width);
    }
}

bool readIntegerSequence(BitReader& in, size_t n, uint64_t* x) {
    uint64_t first = 0;
    uint64_t unit = 0;
    uint64_t step = 0;
    uint64_t predictor = 0;
    bool escapes = false;
    uint64_t width = 0;
    if (!in.readVarint(first) || !in.readVarint(unit) || !in.readVarint(step) ||
        !in.readBits(kPredictorBits, predictor) || !in.readBit(escapes) ||
        !in.readBits(kWidthBits, width)) {
        return false;
    }
    if (unit == 0 || predictor > static_cast<uint64_t>(Predictor::Slope) || width > 64) {
        return false;
    }
    step = unzigzag(step);
    x[0] = 0;  // y[0], turned into x[0] with the others below
    for (size_t i = 1; i < n; ++i) {
        bool escaped = false;
        uint64_t bits = width;
        if (escapes && !in.readBit(escaped)) return false;
        if (escaped && !in.readBits(kEscapeLengthBits, bits)) return false;
        uint64_t code = 0;
        if (!in.readBits(static_cast<unsigned>(escaped ? bits + 1 : bits), code)) return false;
        x[i] = predict(static_cast<Predictor>(predictor), step, x, i) + unzigzag(code);
    }
    for (size_t i = 0; i < n; ++i) x[i] = unzigzag(first) + unit * x[i];
    return true;
}

}  // namespace quorix::pelmo::datalogger::codec
