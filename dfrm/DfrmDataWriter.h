#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dfrm/DfrmDataRequest.h"

namespace quorix::pelmo::datalogger {

// Number texts for the data answer, written straight into the output. A double is the
// shortest text that reads back the same (std::to_chars), laid out as the JSON library lays out
// its numbers: fixed notation while the decimal point falls within 15 digits and no more than 4
// zeros follow it, else d.ddde+XX; a whole number keeps ".0"; non-finite values are null.
// The library's own digits (Grisu2) are the same except for about one in a few hundred
// full-precision doubles, where they are one or two digits longer or differ in the last digit;
// both texts read back as the same double.
void appendJsonNumber(std::string& out, double value);
// A float as its own shortest text (0.005f is written 0.005, not the digits of its widened
// double), which is what floatForJson hands the library.
void appendJsonNumber(std::string& out, float value);

// Writes the data answer's document into one output buffer, with no JSON tree for the values:
// the same bytes as dumpDfrmDocument(DataLoggerDfrmDataResponse::toJson()) (compact, keys in
// byte order), numbers as above. Measurements are written as they are added, so the caller
// holds only the one being written.
class DfrmDataDocumentWriter {
public:
    // Writes the keys that sort before "measurements" and opens its array.
    DfrmDataDocumentWriter(std::string& out, const std::string& configHash,
                           const std::optional<std::string>& dataRequestId);

    // Validates as DfrmDataResponse::toJson does (std::runtime_error) and appends the object.
    // Throws the JSON library's type_error for a text that is not UTF-8.
    void add(const DfrmDataResponse& measurement);
    // The same for a measurement without time offsets, whose values were taken at `times`
    // (microseconds): each offset is written as the float seconds before the last time, and
    // `times` is released once they are, before the values, so that a long answer holds its
    // times, its values and its text together no longer than it must.
    void add(const DfrmDataResponse& measurement, std::vector<int64_t>&& times);
    // Closes the array and the document.
    void finish();

    // An upper bound of the bytes a measurement of `points` values adds, besides its texts.
    static size_t boundForPoints(size_t points);

private:
    template <typename WriteOffsets>
    void write(const DfrmDataResponse& m, WriteOffsets writeOffsets);

    std::string& mOut;
    bool mFirst = true;
};

}  // namespace quorix::pelmo::datalogger
