#pragma once

#include <string>

#include "platform/Logger.h"

namespace quorix::pelmo::utils {

class FirmwareVersionIfc {
public:
    virtual ~FirmwareVersionIfc() = default;

    virtual std::string getVersion() const = 0;
};

// The controller's firmware version, read once from a one-line text file.
//
// Threads: the owner calls init() before sharing the object; getVersion() may then be called
// from any thread because the value never changes again.
// Failure: a missing, unreadable or empty file yields "unknown" and a Warning; nothing throws.
class FirmwareVersionPelmo : public FirmwareVersionIfc, public virtual quorix::pelmo::log::Logger {
public:
    FirmwareVersionPelmo();
    explicit FirmwareVersionPelmo(std::string path);

    void init();
    std::string getVersion() const override;

private:
    std::string mPath;
    std::string mVersion;
};

}  // namespace quorix::pelmo::utils
