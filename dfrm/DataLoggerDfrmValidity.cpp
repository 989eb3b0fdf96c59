#include "dfrm/DataLoggerDfrmValidity.h"

#include <nlohmann/json.hpp>

namespace quorix::pelmo::datalogger {

std::string dumpDfrmDocument(const nlohmann::json& document) {
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

}  // namespace quorix::pelmo::datalogger
