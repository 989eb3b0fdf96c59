#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "codec/BitStream.h"
#include "codec/BlockCodec.h"
#include "codec/IntegerSequence.h"

namespace quorix::pelmo::datalogger::codec {

// Values as integers m with value = m / 10^exponent, for readings with a few decimals that XOR
// poorly as doubles. A value is stored this way only if that division gives back its exact bit
// pattern; the others (NaN, infinities, -0.0, too many digits) are exceptions, kept in full with
// their position, so a gap in a block of readings does not cost the whole block.
struct DecimalPlan {
    unsigned exponent = 0;
    std::vector<uint64_t> digits;      // m per sample; at exceptions, whatever codes cheapest
    std::vector<uint16_t> exceptions;  // positions, ascending
    IntegerSequencePlan sequence;
    uint64_t bits = 0;  // the whole section
};

// The cheapest exponent for these values, or nothing when no value has a short decimal form.
std::optional<DecimalPlan> planDecimal(const Sample* samples, size_t count);
void writeDecimal(const DecimalPlan& plan, const Sample* samples, BitWriter& out);
// Sets the values of out[0..count), whose time stamps are already in place.
bool readDecimal(BitReader& in, size_t count, Sample* out);

}  // namespace quorix::pelmo::datalogger::codec
