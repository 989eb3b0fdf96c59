#include "dfrm/DfrmDataWriter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "dfrm/DataLoggerDfrmValidity.h"

namespace quorix::pelmo::datalogger {

namespace {

// The library's layout of a double's digits (its kMinExp and kMaxExp).
constexpr int kFixedMinPoint = -4;
constexpr int kFixedMaxPoint = 15;
// "-2.2250738585072014e-308", and the longest fixed text the layout allows ("-0.0000" and 17
// digits, or 15 digits and ".0"), with room to spare.
constexpr size_t kMaxNumberText = 32;

// Numbers are a few bytes: a loop beats a call to memmove.
char* copyBytes(const char* from, const char* to, char* out) {
    while (from != to) *out++ = *from++;
    return out;
}
char* fillZeros(char* out, int count) {
    while (count-- > 0) *out++ = '0';
    return out;
}

// Lays out the digits of std::to_chars's text [text, end) (fixed or scientific, finite, not
// zero) as the library does, into `out`; returns the end. value = 0.DIGITS x 10^point.
char* layOut(char* out, const char* text, const char* end) {
    const char* c = text;
    if (*c == '-') *out++ = *c++;
    char digits[kMaxNumberText];
    int count = 0;
    int point = 0;
    for (; c != end && *c != '.' && *c != 'e'; ++c, ++point) digits[count++] = *c;
    if (c != end && *c == '.') {
        for (++c; c != end && *c != 'e'; ++c) digits[count++] = *c;
    }
    if (c != end) {
        int exponent = 0;
        std::from_chars(c + (c[1] == '+' ? 2 : 1), end, exponent);
        point += exponent;
    }
    const char* d = digits;
    while (count > 1 && *d == '0') ++d, --count, --point;
    while (count > 1 && d[count - 1] == '0') --count;
    const int k = count;

    if (k <= point && point <= kFixedMaxPoint) {  // digits[000].0
        out = copyBytes(d, d + k, out);
        out = fillZeros(out, point - k);
        *out++ = '.';
        *out++ = '0';
    } else if (0 < point && point <= kFixedMaxPoint) {  // dig.its
        out = copyBytes(d, d + point, out);
        *out++ = '.';
        out = copyBytes(d + point, d + k, out);
    } else if (kFixedMinPoint < point && point <= 0) {  // 0.[000]digits
        *out++ = '0';
        *out++ = '.';
        out = fillZeros(out, -point);
        out = copyBytes(d, d + k, out);
    } else {  // d.igitse+XX, at least two exponent digits
        *out++ = d[0];
        if (k > 1) {
            *out++ = '.';
            out = copyBytes(d + 1, d + k, out);
        }
        int exponent = point - 1;
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        if (exponent < 0) exponent = -exponent;
        if (exponent < 10) *out++ = '0';
        out = std::to_chars(out, out + 3, exponent).ptr;
    }
    return out;
}

// What every number shares: null for non-finite, the library's texts for zeros.
template <typename Float>
char* writeSpecial(char* out, Float value) {
    if (!std::isfinite(value)) return std::copy_n("null", 4, out);
    if (std::signbit(value)) *out++ = '-';
    return std::copy_n("0.0", 3, out);
}

// The number's text into `out` (room for kMaxNumberText); returns the end. Scientific gives a
// double's shortest digits, where the plain form may give a big number's exact ones.
char* writeNumber(char* out, double value) {
    if (!std::isfinite(value) || value == 0) return writeSpecial(out, value);
    char text[kMaxNumberText];
    const auto written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    return layOut(out, text, written.ptr);
}

// A float goes the plain way, as floatForJson reads it back: the fixed text of a float from
// 2^24 up may be its exact digits, which the widened double then keeps.
char* writeNumber(char* out, float value) {
    if (!std::isfinite(value) || value == 0) return writeSpecial(out, value);
    char text[kMaxNumberText];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return layOut(out, text, written.ptr);
}

// A JSON array of the numbers number(0) ... number(count - 1), one append per number.
template <typename Number>
void appendArray(std::string& out, size_t count, Number number) {
    char text[kMaxNumberText + 1];
    out.push_back('[');
    for (size_t i = 0; i < count; ++i) {
        char* end = text;
        if (i != 0) *end++ = ',';
        end = writeNumber(end, number(i));
        out.append(text, static_cast<size_t>(end - text));
    }
    out.push_back(']');
}

void appendJsonString(std::string& out, const std::string& text) {
    out += dumpDfrmDocument(nlohmann::json(text));
}

void appendKey(std::string& out, const char* key) {
    out.push_back('"');
    out.append(key).append("\":", 2);
}

}  // namespace

void appendJsonNumber(std::string& out, double value) {
    char text[kMaxNumberText];
    out.append(text, static_cast<size_t>(writeNumber(text, value) - text));
}

void appendJsonNumber(std::string& out, float value) {
    char text[kMaxNumberText];
    out.append(text, static_cast<size_t>(writeNumber(text, value) - text));
}

DfrmDataDocumentWriter::DfrmDataDocumentWriter(std::string& out, const std::string& configHash,
                                               const std::optional<std::string>& dataRequestId)
    : mOut(out) {
    mOut.append("{\"configHash\":", 14);
    appendJsonString(mOut, configHash);
    if (dataRequestId) {
        mOut.append(",\"dataRequestId\":", 17);
        appendJsonString(mOut, *dataRequestId);
    }
    mOut.append(",\"measurements\":[", 17);
}

size_t DfrmDataDocumentWriter::boundForPoints(size_t points) {
    // A value, an offset, two commas; and the keys, count, flag and time of the measurement.
    return points * (2 * kMaxNumberText + 2) + 256;
}

void DfrmDataDocumentWriter::add(const DfrmDataResponse& m) {
    m.validateAsThisServer();
    write(m, [&] {
        const std::vector<float>& offsets = *m.mTimeOffsets;
        appendArray(mOut, offsets.size(), [&](size_t i) { return offsets[i]; });
    });
}

void DfrmDataDocumentWriter::add(const DfrmDataResponse& m, std::vector<int64_t>&& times) {
    // The rules of toJson, checked on the shape alone: the values are not copied.
    DfrmDataResponse shape;
    shape.mTimeReferenceAbsolute = m.mTimeReferenceAbsolute;
    shape.mTimeReferenceRelative = m.mTimeReferenceRelative;
    shape.mStatus = m.mStatus;
    if (m.mValues) shape.mValues = std::vector<double>(std::min<size_t>(m.mValues->size(), 1));
    if (m.mValues && m.mValues->size() == times.size()) {
        shape.mTimeOffsets = std::vector<float>(shape.mValues->size());
    }
    shape.validateAsThisServer();
    if (m.mTimeOffsets) throw std::logic_error("A measurement has both times and time offsets.");

    write(m, [&] {
        const int64_t newest = times.empty() ? 0 : times.back();
        appendArray(mOut, times.size(), [&](size_t i) {
            return static_cast<float>(static_cast<double>(times[i] - newest) * 1e-6);
        });
        times = {};
    });
}

template <typename WriteOffsets>
void DfrmDataDocumentWriter::write(const DfrmDataResponse& m, WriteOffsets writeOffsets) {
    if (!mFirst) mOut.push_back(',');
    mFirst = false;
    // Keys in byte order, as the tree writer sorts them.
    mOut.push_back('{');
    if (m.mCountLastValue) {
        appendKey(mOut, "countLastValue");
        char text[24];
        const auto written = std::to_chars(text, text + sizeof text, *m.mCountLastValue);
        mOut.append(text, static_cast<size_t>(written.ptr - text)).push_back(',');
    }
    if (m.mHasMoreData) {
        appendKey(mOut, "hasMoreData");
        mOut.append(*m.mHasMoreData ? "true," : "false,");
    }
    appendKey(mOut, "path");
    appendJsonString(mOut, m.mPath);
    // Every key after "path" follows a comma.
    const auto key = [&](const char* name) {
        mOut.push_back(',');
        appendKey(mOut, name);
    };
    if (m.mStatus) {
        key("status");
        appendJsonString(mOut, *m.mStatus);
    }
    if (m.mValues) {
        key("timeOffsets");
        writeOffsets();
    }
    if (m.mTimeReferenceAbsolute) {
        key("timeReferenceAbsolute");
        appendJsonString(mOut, *m.mTimeReferenceAbsolute);
    }
    if (m.mTimeReferenceRelative) {
        key("timeReferenceRelative");
        appendJsonNumber(mOut, *m.mTimeReferenceRelative);
    }
    if (m.mValues) {
        const std::vector<double>& values = *m.mValues;
        key("values");
        appendArray(mOut, values.size(), [&](size_t i) { return values[i]; });
    }
    mOut.push_back('}');
}

void DfrmDataDocumentWriter::finish() {
    mOut.append("]}", 2);
}

}  // namespace quorix::pelmo::datalogger
