#pragma once

namespace quorix::pelmo::datalogger {

// Whether time stamps of this process are absolute times a remote client may trust.
class SystemTimeHandlerIfc {
public:
    virtual ~SystemTimeHandlerIfc() = default;

    // Once true, stays true for the life of the process. Any thread.
    virtual bool isTimeValid() const = 0;
    // The start-up decision; called once, before anyone relies on isTimeValid().
    virtual void initialize() = 0;
};

}  // namespace quorix::pelmo::datalogger
