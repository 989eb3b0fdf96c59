#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorix::pelmo::datalogger {

// The seed the 32-bit standard library uses for its string hash.
constexpr uint32_t kDfrmHashSeed = 0xc70f6907u;

// 32-bit Murmur2 of the bytes, words read little-endian: the same value on every target, equal
// to the string hash of a 32-bit build. Data request ids are made with it so they do not
// depend on the machine the daemon was built for.
uint32_t murmurHash2(const void* data, size_t length, uint32_t seed);
uint32_t murmurHash2(const std::string& text, uint32_t seed = kDfrmHashSeed);

}  // namespace quorix::pelmo::datalogger
