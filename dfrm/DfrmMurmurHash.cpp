#include "dfrm/DfrmMurmurHash.h"

namespace quorix::pelmo::datalogger {

uint32_t murmurHash2(const void* data, size_t length, uint32_t seed) {
    constexpr uint32_t m = 0x5bd1e995u;
    const auto* bytes = static_cast<const unsigned char*>(data);
    // The length is mixed in at its 32-bit width, as a 32-bit build does.
    uint32_t hash = seed ^ static_cast<uint32_t>(length);
    while (length >= 4) {
        uint32_t k = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                     uint32_t(bytes[3]) << 24;
        k *= m;
        k ^= k >> 24;
        k *= m;
        hash *= m;
        hash ^= k;
        bytes += 4;
        length -= 4;
    }
    switch (length) {
        case 3:
            hash ^= uint32_t(bytes[2]) << 16;
            [[fallthrough]];
        case 2:
            hash ^= uint32_t(bytes[1]) << 8;
            [[fallthrough]];
        case 1:
            hash ^= uint32_t(bytes[0]);
            hash *= m;
    }
    hash ^= hash >> 13;
    hash *= m;
    hash ^= hash >> 15;
    return hash;
}

uint32_t murmurHash2(const std::string& text, uint32_t seed) {
    return murmurHash2(text.data(), text.size(), seed);
}

}  // namespace quorix::pelmo::datalogger
