#include "inputs/filepoll/NumberText.h"

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace quorix::pelmo::datalogger {

namespace {

locale_t cLocale() {
    // Created once and never freed: strtod_l may use it from any thread at any time.
    static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr)) throw std::runtime_error("newlocale(C) failed");
    return locale;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Embedded NUL characters count as garbage, not as the end of the text.
bool onlyBlanksFrom(const std::string& text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (!isBlank(text[i])) return false;
    }
    return true;
}

// strtod in the C locale, leaving errno as it was; error receives strtod's errno.
double strtodC(const char* begin, char*& end, int& error) {
    const int savedErrno = errno;
    errno = 0;
    const double value = ::strtod_l(begin, &end, cLocale());
    error = errno;
    errno = savedErrno;
    return value;
}

}  // namespace

double parseLeadingDouble(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    int error = 0;
    const double value = strtodC(begin, end, error);
    if (end == begin) throw std::invalid_argument("stod");
    if (error == ERANGE) throw std::out_of_range("stod");
    return value;
}

std::optional<double> parseWholeDouble(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    int error = 0;
    const double value = strtodC(begin, end, error);
    if (end == begin || error == ERANGE || !std::isfinite(value) ||
        !onlyBlanksFrom(text, static_cast<size_t>(end - begin))) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> parseWholeUint32(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    const size_t firstDigit = i;
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    }
    if (i == firstDigit) return std::nullopt;
    if (!onlyBlanksFrom(text, i)) return std::nullopt;
    return static_cast<uint32_t>(value);
}

}  // namespace quorix::pelmo::datalogger
