#include <cstdint>
#include <cstdio>

#include "platform/Logger.h"

namespace quorix::pelmo::log {

namespace {

void appendByteEscape(std::string& out, unsigned char byte) {
    switch (byte) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default: {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        }
    }
}

// Length of the well-formed UTF-8 sequence at `at` (overlong forms, surrogates and code points
// past U+10FFFF are not), or 0; `codePoint` receives its value.
size_t utf8Sequence(std::string_view text, size_t at, uint32_t& codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    return length;
}

// C1 controls, and the separators and direction overrides that make a viewer break or reorder
// a line.
bool isInvisibleControl(uint32_t codePoint) {
    return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0x2028 || codePoint == 0x2029 ||
           (codePoint >= 0x202A && codePoint <= 0x202E) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069);
}

}  // namespace

std::string untrusted(std::string_view text) {
    std::string out;
    out.reserve(text.size() < kUntrustedChars ? text.size() : kUntrustedChars);
    size_t at = 0;
    for (size_t characters = 0; at < text.size() && characters < kUntrustedChars; ++characters) {
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7F) {
                appendByteEscape(out, lead);
            } else {
                out += static_cast<char>(lead);
            }
            ++at;
            continue;
        }
        uint32_t codePoint = 0;
        const size_t length = utf8Sequence(text, at, codePoint);
        if (length == 0) {
            appendByteEscape(out, lead);
            ++at;
        } else if (isInvisibleControl(codePoint)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(codePoint));
            out += escape;
            at += length;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    if (at < text.size()) {
        out += " \u2026 (" + std::to_string(text.size() - at) + " more bytes)";
    }
    return out;
}

}  // namespace quorix::pelmo::log
