#include "platform/FirmwareVersion.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace quorix::pelmo::utils {

namespace ql = quorix::pelmo::log;

namespace {

constexpr const char* kDefaultPath = "/etc/datalogger/firmware-version";
constexpr const char* kUnknown = "unknown";
// The version ends up in every exported document; a runaway file must not.
constexpr std::streamsize kMaxBytes = 256;

std::string trim(const std::string& text) {
    constexpr const char* kBlank = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(kBlank);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

}  // namespace

FirmwareVersionPelmo::FirmwareVersionPelmo() : FirmwareVersionPelmo(kDefaultPath) {}

FirmwareVersionPelmo::FirmwareVersionPelmo(std::string path)
    : Logger("FirmwareVersionPelmo", "", std::make_shared<ql::LoggerImpl>()),
      mPath(std::move(path)),
      mVersion(kUnknown) {}

void FirmwareVersionPelmo::init() {
    std::ifstream in(mPath, std::ios::binary);
    if (!in) {
        pelmoDoLog(ql::Warning, "Cannot read firmware version from %s: %s", nullptr, mPath.c_str(),
                   std::strerror(errno));
        mVersion = kUnknown;
        return;
    }
    std::string head(kMaxBytes, '\0');
    in.read(head.data(), kMaxBytes);
    head.resize(static_cast<size_t>(in.gcount()));
    const std::string version = trim(head.substr(0, head.find('\n')));
    if (version.empty()) {
        pelmoDoLog(ql::Warning, "Firmware version file %s is empty", nullptr, mPath.c_str());
        mVersion = kUnknown;
        return;
    }
    mVersion = version;
    pelmoDoLog(ql::Debug, "Firmware version %s", nullptr, ql::untrusted(mVersion).c_str());
}

std::string FirmwareVersionPelmo::getVersion() const {
    return mVersion;
}

}  // namespace quorix::pelmo::utils
