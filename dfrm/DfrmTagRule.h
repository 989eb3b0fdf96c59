#pragma once

#include <string>

namespace quorix::pelmo::datalogger {

// Whether a logical function tag may be forwarded: words of lower-case letters, digits, '_'
// and '-', separated by single white-space characters (' ', '\t', '\n', '\v', '\f', '\r'),
// no white space at either end, not empty. One pass over the tag: tags come from producers
// and the database, and a backtracking matcher takes exponential time on this rule.
bool isValidLogicalFunctionTag(const std::string& tag);

}  // namespace quorix::pelmo::datalogger
