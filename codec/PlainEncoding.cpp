#include "codec/PlainEncoding.h"

#include <cstring>

namespace quorix::pelmo::datalogger::codec {

uint64_t plainBits(size_t count) {
    return uint64_t{count} * 128;
}

void writePlain(const Sample* samples, size_t count, BitWriter& out) {
    for (size_t i = 0; i < count; ++i) {
        uint64_t bits = 0;
        std::memcpy(&bits, &samples[i].value, sizeof bits);
        out.writeBits(static_cast<uint64_t>(samples[i].time), 64);
        out.writeBits(bits, 64);
    }
}

bool readPlain(BitReader& in, size_t count, std::vector<Sample>& out) {
    for (size_t i = 0; i < count; ++i) {
        uint64_t time = 0;
        uint64_t bits = 0;
        if (!in.readBits(64, time) || !in.readBits(64, bits)) return false;
        Sample sample{static_cast<int64_t>(time), 0.0};
        std::memcpy(&sample.value, &bits, sizeof bits);
        out.push_back(sample);
    }
    return true;
}

}  // namespace quorix::pelmo::datalogger::codec
