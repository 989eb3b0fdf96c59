#pragma once

#include <cstddef>
#include <string>

namespace quorix::pelmo::datalogger {

// Configuration files are parsed by a recursive JSON reader: a file that is huge or nested
// thousands of levels deep would exhaust memory or the stack before the reader could refuse it.
// Returns an empty string when the file is absent or acceptable (the reader then reports absent
// files in its own words), otherwise the reason it is refused.
std::string checkJsonFileBounds(const std::string& path, size_t maxBytes = 64 * 1024,
                                size_t maxDepth = 32);

}  // namespace quorix::pelmo::datalogger
