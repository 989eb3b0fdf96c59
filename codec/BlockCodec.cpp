#include "codec/BlockCodec.h"

#include <stdexcept>

#include "codec/BitStream.h"
#include "codec/CompactEncoding.h"
#include "codec/PlainEncoding.h"

namespace quorix::pelmo::datalogger::codec {

std::string encodeBlock(const Sample* samples, size_t count) {
    if (count == 0 || count > kMaxBlockSamples) {
        throw std::invalid_argument("a block holds 1 to " + std::to_string(kMaxBlockSamples) +
                                    " samples, not " + std::to_string(count));
    }
    const CompactPlan plan = planCompact(samples, count);
    const bool compact = plan.bits < plainBits(count);
    BitWriter out;
    out.writeBits(compact ? kEncodingCompact : kEncodingPlain, 8);
    out.writeVarint(count);
    if (compact) {
        writeCompact(plan, samples, count, out);
    } else {
        writePlain(samples, count, out);
    }
    return std::move(out).take();
}

bool decodeBlock(const unsigned char* data, size_t size, std::vector<Sample>& out) {
    out.clear();
    BitReader in(data, size);
    uint64_t encoding = 0;
    uint64_t count = 0;
    if (!in.readBits(8, encoding) || !in.readVarint(count) || count == 0 ||
        count > kMaxBlockSamples) {
        return false;
    }
    std::vector<Sample> samples;
    samples.reserve(count);
    bool read = false;
    switch (encoding) {
        case kEncodingPlain:
            read = readPlain(in, count, samples);
            break;
        case kEncodingCompact:
            read = readCompact(in, count, samples);
            break;
        default:
            return false;
    }
    if (!read || !in.atCleanEnd()) return false;
    out.swap(samples);
    return true;
}

uint8_t blockEncoding(const unsigned char* data, size_t size) {
    return size == 0 ? 0 : data[0];
}

}  // namespace quorix::pelmo::datalogger::codec
