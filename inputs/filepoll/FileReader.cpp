#include "inputs/filepoll/FileReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "platform/UniqueFd.h"

namespace quorix::pelmo::datalogger {

namespace ql = quorix::pelmo::log;

FileReader::FileReader(std::string path)
    : Logger("FileReader", "", std::make_shared<ql::LoggerImpl>()), mPath(std::move(path)) {}

std::string FileReader::getContent() {
    // Non-blocking so that a FIFO or a character device cannot hold the poller's thread.
    UniqueFd fd(::open(mPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        pelmoDoLog(ql::Error, "Could not open file at path %s", nullptr,
                   ql::untrusted(mPath).c_str());
        throw std::runtime_error("Could not open the file at path '" + mPath + "'.");
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            throw std::runtime_error("Could not read the file at path '" + mPath +
                                     "': " + std::generic_category().message(errno));
        }
        if (content.size() + static_cast<size_t>(n) > kMaxContentBytes) {
            throw std::runtime_error("The file at path '" + mPath + "' holds more than " +
                                     std::to_string(kMaxContentBytes) + " bytes.");
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    pelmoDoLog(ql::Trace, "read content of file at path %s: '%s'", nullptr,
               ql::untrusted(mPath).c_str(), ql::untrusted(content).c_str());
    return content;
}

}  // namespace quorix::pelmo::datalogger
