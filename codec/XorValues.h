#pragma once

#include <cstdint>

#include "codec/BitStream.h"

namespace quorix::pelmo::datalogger::codec {

// Values as the XOR of each bit pattern with the one before: for doubles with no short decimal
// form, whose neighbours still tend to share sign, exponent and leading mantissa bits. The first
// value takes 64 bits; then each value one of:
//   0                                   the same bits as the one before
//   10 <bits>                           the XOR fits the window of the last 11 code
//   11 <lead:6> <width-1:6> <bits>      a new window: `lead` zero bits, then `width` bits
class XorAppender {
public:
    explicit XorAppender(BitWriter& out) : mOut(out) {}
    void append(uint64_t bits);

private:
    BitWriter& mOut;
    bool mFirst = true;
    uint64_t mPrevious = 0;
    unsigned mLead = 0;
    unsigned mWidth = 0;  // 0: no window yet
};

class XorReader {
public:
    explicit XorReader(BitReader& in) : mIn(in) {}
    // False when the stream is cut short or names an impossible window.
    bool next(uint64_t& bits);

private:
    BitReader& mIn;
    bool mFirst = true;
    uint64_t mPrevious = 0;
    unsigned mLead = 0;
    unsigned mWidth = 0;
};

}  // namespace quorix::pelmo::datalogger::codec
