#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "codec/BitStream.h"
#include "codec/BlockCodec.h"
#include "codec/DecimalValues.h"
#include "codec/IntegerSequence.h"

namespace quorix::pelmo::datalogger::codec {

// The compact encoding: the time stamps as one integer sequence, then the values either as
// decimals or as XORed bit patterns, whichever the block's values make smaller. Planning looks
// at the whole block and decides every parameter; writing then follows the plan without
// choices of its own, and reading needs nothing but the bits.
enum class ValueForm : uint8_t { Decimal = 0, Xor = 1 };

struct CompactPlan {
    std::vector<uint64_t> times;
    IntegerSequencePlan timePlan;
    ValueForm form = ValueForm::Xor;
    std::optional<DecimalPlan> decimal;  // set for ValueForm::Decimal
    uint64_t bits = 0;                   // after the encoding byte and count
};

CompactPlan planCompact(const Sample* samples, size_t count);
void writeCompact(const CompactPlan& plan, const Sample* samples, size_t count, BitWriter& out);
bool readCompact(BitReader& in, size_t count, std::vector<Sample>& out);

}  // namespace quorix::pelmo::datalogger::codec
