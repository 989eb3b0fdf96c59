#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace quorix::pelmo::datalogger {

// Base of the DfRM objects that check themselves at the end of their conversion to JSON (and
// request objects at the end of reading). The flags describe what the device announces; this
// server passes all as false, so rules tied to a flag do not fire here.
// Failure: validate throws std::runtime_error with the broken rule's text.
class DataLoggerDfrmValidity {
public:
    virtual ~DataLoggerDfrmValidity() = default;

    virtual void validate(bool zlioWithTpx, bool highAlertMode, bool absoluteTime,
                          bool relativeTime, bool dataRequestId) const = 0;
    // This server announces none of the capabilities.
    void validateAsThisServer() const { validate(false, false, false, false, false); }
};

// Compact, keys in ascending byte order, strict UTF-8: the form of every DfRM document.
// Throws nlohmann::json::type_error on text that is not UTF-8.
std::string dumpDfrmDocument(const nlohmann::json& document);

}  // namespace quorix::pelmo::datalogger
