#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace quorix::pelmo::datalogger::codec {

// A block is one bit stream: fields written most significant bit first, the last byte padded
// with zero bits. Byte-sized fields written at a byte boundary therefore read as plain
// big-endian bytes in a dump.
class BitWriter {
public:
    // The low `count` bits of value (count 0..64); higher bits of value are ignored.
    void writeBits(uint64_t value, unsigned count);
    void writeBit(bool bit) { writeBits(bit ? 1 : 0, 1); }
    // Unsigned LEB128 in whole bytes: 7 bits a byte, least significant group first, the top bit
    // set on every byte but the last.
    void writeVarint(uint64_t value);

    uint64_t bitCount() const { return uint64_t{mBytes.size()} * 8 - mFree; }
    const std::string& bytes() const { return mBytes; }
    std::string take() && { return std::move(mBytes); }

private:
    std::string mBytes;
    unsigned mFree = 0;  // unused low bits of the last byte, always zero
};

// Reads what BitWriter wrote. Every read checks the bits left first, so a truncated or hostile
// input ends in a false return, never in a read past the end.
class BitReader {
public:
    BitReader(const unsigned char* data, size_t size)
        : mData(data), mBitsLeft(uint64_t{size} * 8) {}

    bool readBits(unsigned count, uint64_t& value);
    bool readBit(bool& bit);
    // False for more than ten bytes, or bits beyond the 64th.
    bool readVarint(uint64_t& value);
    // True when what is left is the zero padding of the last byte: the block ended exactly.
    bool atCleanEnd();

private:
    const unsigned char* mData;
    uint64_t mPos = 0;  // bits, so a 32-bit size_t cannot overflow
    uint64_t mBitsLeft;
};

// Signed integers are handled as uint64_t with wrap-around arithmetic, so differences between any
// two int64 values exist and add back exactly. Zigzag maps small magnitudes of either sign to
// small codes: 0, -1, 1, -2 -> 0, 1, 2, 3.
inline uint64_t zigzag(uint64_t v) {
    return (v << 1) ^ (uint64_t{0} - (v >> 63));
}
inline uint64_t unzigzag(uint64_t z) {
    return (z >> 1) ^ (uint64_t{0} - (z & 1));
}

// Bits needed for v: 0 for 0, 64 for values with the top bit set.
inline unsigned bitLength(uint64_t v) {
    return v == 0 ? 0 : 64 - __builtin_clzll(v);
}

}  // namespace quorix::pelmo::datalogger::codec
