#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/Logger.h"

namespace datalogger::fuzz {

void silenceLogging() {
    auto& proxy = quorix::pelmo::log::LoggerProxy::instance();
    proxy.setLevel(quorix::pelmo::log::Critical);
    proxy.setSink([](const quorix::pelmo::log::LogRecord&) {});
}

namespace {

struct TempDir {
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dlfuzz.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

}  // namespace

const std::string& tempDir() {
    static TempDir dir;
    return dir.path;
}

std::string writeInputFile(const uint8_t* data, size_t size) {
    const std::string path = tempDir() + "/input";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

qd::DataLoggerStatusCode FakePush::registerOrUpdateChannel(const qd::DataLoggerChannelInfo&,
                                                           uint64_t& hash) {
    hash = 1;
    return qd::DataLoggerStatusCode::NoError;
}

qd::DataLoggerStatusCode FakePush::pushData(const uint64_t&,
                                            const std::vector<qd::DataLoggerDataPoint>&) {
    return qd::DataLoggerStatusCode::NoError;
}

}  // namespace datalogger::fuzz
