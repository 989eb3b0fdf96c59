#include "dfrm/DfrmTagRule.h"

namespace quorix::pelmo::datalogger {

namespace {

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool isSpaceChar(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool isValidLogicalFunctionTag(const std::string& tag) {
    // Two states: after a word character (anything may follow) or after a space (a word
    // character must follow). The start behaves like "after a space".
    bool afterSpace = true;
    for (char c : tag) {
        if (isWordChar(c)) {
            afterSpace = false;
        } else if (isSpaceChar(c) && !afterSpace) {
            afterSpace = true;
        } else {
            return false;
        }
    }
    return !afterSpace;
}

}  // namespace quorix::pelmo::datalogger
