#pragma once

#include <cstddef>
#include <vector>

#include "codec/BitStream.h"
#include "codec/BlockCodec.h"

namespace quorix::pelmo::datalogger::codec {

// The encoding every block can fall back to: per sample the time stamp and the value's bit
// pattern, 64 bits each. It bounds a block at 16 bytes a sample plus its header.
uint64_t plainBits(size_t count);
void writePlain(const Sample* samples, size_t count, BitWriter& out);
bool readPlain(BitReader& in, size_t count, std::vector<Sample>& out);

}  // namespace quorix::pelmo::datalogger::codec
