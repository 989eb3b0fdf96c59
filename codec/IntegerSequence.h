#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/BitStream.h"

namespace quorix::pelmo::datalogger::codec {

// A sequence of integers x[0..n) (time stamps, or scaled values) coded as x[0] in full, the
// largest unit all distances x[i] - x[0] are multiples of, and for each later element y[i] =
// (x[i] - x[0]) / unit its residual: y[i] minus a prediction from the elements before it,
// zigzag-coded in a fixed width chosen for the block. The unit takes the empty low digits out
// of stamps from millisecond or second clocks. Arithmetic wraps modulo 2^64, so any int64
// sequence, however it jumps, codes and decodes exactly.
enum class Predictor : uint8_t {
    // y[i-1] + step: a regular rate costs nothing, jitter costs its spread, a gap one residual.
    Step = 0,
    // y[i-1] + (y[i-1] - y[i-2]) (y[0] + step for i = 1): delta-of-delta, for changing rates
    // and smooth curves.
    Slope = 1,
};

struct IntegerSequencePlan {
    uint64_t unit = 1;
    Predictor predictor = Predictor::Step;
    uint64_t step = 0;
    // Bits of each residual's zigzag code. With escapes, each residual carries a flag bit and
    // the few that do not fit the width come with their own length instead.
    unsigned width = 0;
    bool escapes = false;
    uint64_t bits = 0;  // the whole section
};

// The cheapest plan for x[0..n), n >= 1.
IntegerSequencePlan planIntegerSequence(const uint64_t* x, size_t n);
void writeIntegerSequence(const IntegerSequencePlan& plan, const uint64_t* x, size_t n,
                          BitWriter& out);
// Fills x[0..n); false when the section is cut short or a field is out of range.
bool readIntegerSequence(BitReader& in, size_t n, uint64_t* x);

}  // namespace quorix::pelmo::datalogger::codec
