#include "core/JsonFileGuard.h"

#include <fstream>
#include <iterator>

namespace quorix::pelmo::datalogger {

std::string checkJsonFileBounds(const std::string& path, size_t maxBytes, size_t maxDepth) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string text;
    text.resize(maxBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > maxBytes) {
        return path + ": file is larger than " + std::to_string(maxBytes) + " bytes";
    }
    size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) {
                return path + ": nested deeper than " + std::to_string(maxDepth) + " levels";
            }
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return {};
}

}  // namespace quorix::pelmo::datalogger
