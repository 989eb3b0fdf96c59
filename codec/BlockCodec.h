#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A block holds up to kMaxBlockSamples points of one channel as one byte string;
// docs/block-format.md describes its layout for readers without this code.
//
// The first byte of every block names its encoding. The storage keeps that byte, as returned by
// blockEncoding(), in the block row's "encoding" column: it tells which decoder a block needs
// without reading it, and encodings added later get new numbers while the old ones stay
// readable. decodeBlock() reads the same byte itself, so the column is for queries and reports.
//
// Threads: free functions without shared state; any thread may call them at any time.
// Failure: encodeBlock throws std::invalid_argument for a count out of range (and std::bad_alloc
// like any string); decodeBlock reports damage by returning false and never throws.
namespace quorix::pelmo::datalogger::codec {

struct Sample {
    int64_t time;  // microseconds since the epoch; any value, any order
    double value;  // any bit pattern: NaN payloads, ±inf, -0.0 and subnormals come back as given
};

constexpr size_t kMaxBlockSamples = 4096;

// 16 bytes a sample: time and value bits as they are. Chosen when nothing smaller fits.
constexpr uint8_t kEncodingPlain = 1;
// Time stamps and values each in the cheapest of a few bit-packed forms, chosen per block.
constexpr uint8_t kEncodingCompact = 2;

// Encodes samples as given, in their order, choosing the smallest encoding for them. Throws
// std::invalid_argument for zero samples or more than kMaxBlockSamples.
std::string encodeBlock(const Sample* samples, size_t count);

// Decodes a whole block into out (replacing what it held). Returns false, leaving out empty, for
// anything but one complete block: truncated, trailing bytes, an unknown encoding, a count out of
// range, an overflowing varint or a field out of its range. Reads no byte outside
// [data, data + size) and never holds more than kMaxBlockSamples samples, whatever the input.
bool decodeBlock(const unsigned char* data, size_t size, std::vector<Sample>& out);

// The encoding byte of a block, for the storage's "encoding" column; 0 (no encoding) when size
// is 0. Says nothing about whether the rest of the block is sound.
uint8_t blockEncoding(const unsigned char* data, size_t size);

}  // namespace quorix::pelmo::datalogger::codec
