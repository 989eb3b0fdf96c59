#pragma once

#include <cstddef>
#include <string>

namespace quorix::pelmo::datalogger {

// Where a poller's value text comes from: a file or a command's standard output.
// Implementations throw on any failure; the poller logs and skips that period.
class IGetFileContent {
public:
    // A value is a short line of text; anything much longer is broken or hostile input and is
    // refused before it can eat the daemon's memory.
    static constexpr size_t kMaxContentBytes = 1024 * 1024;

    virtual ~IGetFileContent() = default;
    virtual std::string getContent() = 0;
};

}  // namespace quorix::pelmo::datalogger
