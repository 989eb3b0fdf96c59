#pragma once

#include <string>

namespace quorix::pelmo::datalogger {

// What the daemon needs to know about a D-Bus service it owns.
class DbusServiceInterface {
public:
    virtual ~DbusServiceInterface() = default;

    virtual std::string getBusName() const = 0;
};

}  // namespace quorix::pelmo::datalogger
