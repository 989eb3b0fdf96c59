#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorix::pelmo::datalogger {

// Numbers in poll files and polled texts are always written with a decimal point; the daemon
// may run under a locale with a decimal comma, so none of these consult the global C or C++
// locale.

// std::stod in the "C" locale: skips leading white space, converts the longest leading number
// (decimal, hexadecimal, inf, nan) and ignores the rest. Throws std::invalid_argument("stod")
// when there is none, std::out_of_range("stod") on overflow or underflow.
double parseLeadingDouble(const std::string& text);

// Whole text must be a finite double (surrounding white space allowed); empty when it is not.
std::optional<double> parseWholeDouble(const std::string& text);

// Whole text must be decimal digits (surrounding white space allowed) fitting 32 bits; no sign.
std::optional<uint32_t> parseWholeUint32(const std::string& text);

}  // namespace quorix::pelmo::datalogger
