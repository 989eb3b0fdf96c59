#include "codec/XorValues.h"

namespace quorix::pelmo::datalogger::codec {

namespace {
constexpr unsigned kNewWindowBits = 12;  // lead and width of an 11 code
}

void XorAppender::append(uint64_t bits) {
    const uint64_t x = bits ^ mPrevious;
    if (mFirst) {
        mOut.writeBits(bits, 64);
    } else if (x == 0) {
        mOut.writeBit(false);
    } else {
        const unsigned lead = static_cast<unsigned>(__builtin_clzll(x));
        const unsigned width = 64 - lead - static_cast<unsigned>(__builtin_ctzll(x));
        const bool fits = mWidth != 0 && lead >= mLead && lead + width <= mLead + mWidth;
        // A wide old window costs more than announcing a narrow new one.
        if (fits && mWidth <= width + kNewWindowBits) {
            mOut.writeBits(0b10, 2);
            mOut.writeBits(x >> (64 - mLead - mWidth), mWidth);
        } else {
            mOut.writeBits(0b11, 2);
            mOut.writeBits(lead, 6);
            mOut.writeBits(width - 1, 6);
            mOut.writeBits(x >> (64 - lead - width), width);
            mLead = lead;
            mWidth = width;
        }
    }
    mFirst = false;
    mPrevious = bits;
}

bool XorReader::next(uint64_t& bits) {
    if (mFirst) {
        mFirst = false;
        if (!mIn.readBits(64, mPrevious)) return false;
        bits = mPrevious;
        return true;
    }
    bool changed = false;
    if (!mIn.readBit(changed)) return false;
    if (changed) {
        bool newWindow = false;
        if (!mIn.readBit(newWindow)) return false;
        if (newWindow) {
            uint64_t lead = 0;
            uint64_t width = 0;
            if (!mIn.readBits(6, lead) || !mIn.readBits(6, width)) return false;
            if (lead + width + 1 > 64) return false;
            mLead = static_cast<unsigned>(lead);
            mWidth = static_cast<unsigned>(width + 1);
        } else if (mWidth == 0) {
            return false;
        }
        uint64_t x = 0;
        if (!mIn.readBits(mWidth, x)) return false;
        mPrevious ^= x << (64 - mLead - mWidth);
    }
    bits = mPrevious;
    return true;
}

}  // namespace quorix::pelmo::datalogger::codec
