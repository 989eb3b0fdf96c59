#include "codec/BitStream.h"

#include <algorithm>

namespace quorix::pelmo::datalogger::codec {

void BitWriter::writeBits(uint64_t value, unsigned count) {
    while (count > 0) {
        if (mFree == 0) {
            mBytes.push_back('\0');
            mFree = 8;
        }
        const unsigned take = std::min(count, mFree);
        count -= take;
        const unsigned chunk = static_cast<unsigned>(value >> count) & ((1u << take) - 1);
        const unsigned last = static_cast<unsigned char>(mBytes.back());
        mBytes.back() = static_cast<char>(last | (chunk << (mFree - take)));
        mFree -= take;
    }
}

void BitWriter::writeVarint(uint64_t value) {
    while (value >= 0x80) {
        writeBits((value & 0x7f) | 0x80, 8);
        value >>= 7;
    }
    writeBits(value, 8);
}

bool BitReader::readBits(unsigned count, uint64_t& value) {
    if (count > mBitsLeft) return false;
    mBitsLeft -= count;
    uint64_t result = 0;
    while (count > 0) {
        const unsigned avail = 8 - static_cast<unsigned>(mPos & 7);
        const unsigned take = std::min(count, avail);
        const unsigned byte = mData[mPos >> 3];
        result = (result << take) | ((byte >> (avail - take)) & ((1u << take) - 1));
        mPos += take;
        count -= take;
    }
    value = result;
    return true;
}

bool BitReader::readBit(bool& bit) {
    uint64_t value = 0;
    if (!readBits(1, value)) return false;
    bit = value != 0;
    return true;
}

bool BitReader::readVarint(uint64_t& value) {
    uint64_t result = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        uint64_t byte = 0;
        if (!readBits(8, byte)) return false;
        const uint64_t group = byte & 0x7f;
        // The tenth byte holds bit 63 only.
        if (shift == 63 && group > 1) return false;
        result |= group << shift;
        if ((byte & 0x80) == 0) {
            value = result;
            return true;
        }
    }
    return false;
}

bool BitReader::atCleanEnd() {
    if (mBitsLeft >= 8) return false;
    uint64_t padding = 0;
    return readBits(static_cast<unsigned>(mBitsLeft), padding) && padding == 0;
}

}  // namespace quorix::pelmo::datalogger::codec
