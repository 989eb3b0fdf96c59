#include "codec/CompactEncoding.h"

#include <cstring>

#include "codec/XorValues.h"

namespace quorix::pelmo::datalogger::codec {

namespace {

constexpr unsigned kFormBits = 2;

uint64_t bitsOf(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

void writeXor(const Sample* samples, size_t count, BitWriter& out) {
    XorAppender appender(out);
    for (size_t i = 0; i < count; ++i) appender.append(bitsOf(samples[i].value));
}

}  // namespace

CompactPlan planCompact(const Sample* samples, size_t count) {
    CompactPlan plan;
    plan.times.resize(count);
    for (size_t i = 0; i < count; ++i) plan.times[i] = static_cast<uint64_t>(samples[i].time);
    plan.timePlan = planIntegerSequence(plan.times.data(), count);

    // XOR has no parameters: its size is simply counted.
    BitWriter scratch;
    writeXor(samples, count, scratch);
    uint64_t valueBits = scratch.bitCount();
    std::optional<DecimalPlan> decimal = planDecimal(samples, count);
    if (decimal && decimal->bits <= valueBits) {
        valueBits = decimal->bits;
        plan.form = ValueForm::Decimal;
        plan.decimal = std::move(decimal);
    }
    plan.bits = plan.timePlan.bits + kFormBits + valueBits;
    return plan;
}

void writeCompact(const CompactPlan& plan, const Sample* samples, size_t count, BitWriter& out) {
    writeIntegerSequence(plan.timePlan, plan.times.data(), count, out);
    out.writeBits(static_cast<uint64_t>(plan.form), kFormBits);
    if (plan.form == ValueForm::Decimal) {
        writeDecimal(*plan.decimal, samples, out);
    } else {
        writeXor(samples, count, out);
    }
}

bool readCompact(BitReader& in, size_t count, std::vector<Sample>& out) {
    std::vector<uint64_t> times(count);
    if (!readIntegerSequence(in, count, times.data())) return false;
    out.resize(count);
    for (size_t i = 0; i < count; ++i) out[i].time = static_cast<int64_t>(times[i]);
    uint64_t form = 0;
    if (!in.readBits(kFormBits, form)) return false;
    if (form == static_cast<uint64_t>(ValueForm::Decimal))
        return readDecimal(in, count, out.data());
    if (form != static_cast<uint64_t>(ValueForm::Xor)) return false;
    XorReader reader(in);
    for (Sample& sample : out) {
        uint64_t bits = 0;
        if (!reader.next(bits)) return false;
        std::memcpy(&sample.value, &bits, sizeof bits);
    }
    return true;
}

}  // namespace quorix::pelmo::datalogger::codec
