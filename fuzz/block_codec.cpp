// Blocks come back from a database file that a power cut, a damaged card or an outside writer
// may have garbled: any bytes decode to a sound block or are refused, with nothing read past
// them, and what decodes encodes again to the same samples. The same bytes taken as samples
// (16 bytes each: time stamp, then value bits) must come back exactly through a block.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "codec/BlockCodec.h"

namespace {

using namespace quorix::pelmo::datalogger::codec;

bool same(const Sample& a, const Sample& b) {
    return a.time == b.time && std::memcmp(&a.value, &b.value, sizeof a.value) == 0;
}

void expectRoundTrip(const std::vector<Sample>& samples) {
    const std::string block = encodeBlock(samples.data(), samples.size());
    // A copy of exactly the block's size, so a read past its end is an ASan error.
    const std::vector<unsigned char> bytes(block.begin(), block.end());
    std::vector<Sample> back;
    if (!decodeBlock(bytes.data(), bytes.size(), back) || back.size() != samples.size() ||
        !std::equal(back.begin(), back.end(), samples.begin(), same)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Sample> decoded{Sample{1, 1.0}};
    if (decodeBlock(data, size, decoded)) {
        if (decoded.empty() || decoded.size() > kMaxBlockSamples) std::abort();
        expectRoundTrip(decoded);
    } else if (!decoded.empty()) {
        std::abort();
    }

    std::vector<Sample> samples(std::min(size / 16, kMaxBlockSamples));
    for (size_t i = 0; i < samples.size(); ++i) {
        std::memcpy(&samples[i].time, data + 16 * i, 8);
        std::memcpy(&samples[i].value, data + 16 * i + 8, 8);
    }
    if (!samples.empty()) {
        expectRoundTrip(samples);
    } else {
        try {
            encodeBlock(samples.data(), 0);
            std::abort();
        } catch (const std::invalid_argument&) {
        }
    }
    return 0;
}
