// The channel path and tag rules. Short inputs are also checked against the regular
// expressions the matchers stand for; std::regex backtracks, so only where it is cheap.
#include <cstdlib>
#include <regex>
#include <string>

#include "core/ChannelPath.h"
#include "dfrm/DfrmTagRule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool path = quorix::pelmo::datalogger::isValidChannelPath(text);
    const bool tag = quorix::pelmo::datalogger::isValidLogicalFunctionTag(text);
    if (size <= 20) {
        static const std::regex pathRule(
            R"(^([a-zA-Z0-9_]+)(\/[a-zA-Z0-9_]+)*(\.(min|max|mean|stddev))?$)");
        static const std::regex tagRule(R"(^([a-z0-9_-]+\s?)*[a-z0-9_-]$)");
        // std::regex stops at nothing but the end: a NUL byte is an ordinary character to both.
        if (path != std::regex_match(text, pathRule)) std::abort();
        if (tag != std::regex_match(text, tagRule)) std::abort();
    }
    return 0;
}
