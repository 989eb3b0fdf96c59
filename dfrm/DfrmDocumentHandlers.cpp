#include "dfrm/DfrmDocumentHandlers.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/DataLoggerNames.h"
#include "dfrm/DfrmContext.h"
#include "dfrm/DfrmDocuments.h"
#include "platform/TimeUtils.h"

namespace quorix::pelmo::datalogger {

namespace {

DfrmResponse jsonResponse(const nlohmann::json& document) {
    DfrmResponse response;
    response.mStatusCode = sc_200_Ok;
    response.mContentType = ContentType::applicationJson;
    response.mBody = dumpDfrmDocument(document);
    return response;
}

bool clockValid(DfrmContext& context) {
    return context.systemTimeHandler()->isTimeValid();
}

nlohmann::json collectDevices(DfrmContext& context, const std::vector<std::string>& ids,
                              const std::string& firmware) {
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& id : ids) {
        try {
            DfrmDevices device;
            device.mTpx = context.deviceIdClient()->getDeviceIdInfo(id);
            device.mCommon.mProtocolVersion = context.protocolVersion();
            device.mCommon.mFirmwareVersion = firmware;
            devices.push_back(device.toJson());
        } catch (const std::exception& e) {
            context.pelmoDoLog(log::Error,
                               "Severe issue: The device with the id (%s) failed to give its "
                               "device-id information with: %s",
                               nullptr, log::untrusted(id).c_str(),
                               log::untrusted(e.what()).c_str());
        } catch (...) {
            context.pelmoDoLog(log::Error,
                               "Severe issue: The device with the id (%s) failed to give its "
                               "device-id information.",
                               nullptr, log::untrusted(id).c_str());
        }
    }
    return devices;
}

}  // namespace

DfrmResponse answerIdentification(DfrmContext& context) {
    try {
        const std::vector<std::string> ids = context.deviceIdClient()->listDevices();
        const std::string firmware = context.firmwareVersion()->getVersion();
        const std::string hash = context.configHash().getConfigHash();
        nlohmann::json devices = collectDevices(context, ids, firmware);
        if (devices.empty()) {
            return textResponse(sc_500_InternalServerError,
                                "No device returned it's device-id data for dfrm.");
        }
        return jsonResponse({{"devices", std::move(devices)}, {"configHash", hash}});
    } catch (const std::exception& e) {
        const std::string text =
            std::string("Identification request failed with '") + e.what() + "'";
        context.pelmoDoLog(log::Error, "Identification request failed with '%s'", nullptr,
                           log::untrusted(e.what()).c_str());
        return textResponse(sc_500_InternalServerError, text);
    }
}

DfrmResponse answerDataChannels(DfrmContext& context) {
    // A list of hundreds of channels costs milliseconds to read and write, and monitoring
    // clients ask for it often: it is written again only when it may have changed.
    const uint64_t generation = context.channelsGeneration();
    const std::string hash = context.configHash().getConfigHash();
    const auto now = DfrmAnswerCache::Clock::now();
    if (const std::string* kept = context.channelListAnswer().find(hash, generation, now)) {
        DfrmResponse response;
        response.mContentType = ContentType::applicationJson;
        response.mBody = *kept;
        return response;
    }
    std::vector<DataLoggerStorageChannelInfo> infos;
    const DataLoggerStatusCode status = context.pull()->pullAllChannelInfo(infos);
    if (status != DataLoggerStatusCode::NoError && status != DataLoggerStatusCode::NotFound) {
        const std::string text =
            "The datalogger was unable to get the channels from the backend. The received "
            "status code is (" +
            utils::EnumUtils<DataLoggerStatusCode>().to_string(status) + ").";
        context.pelmoDoLog(log::Error, "%s", nullptr, text.c_str());
        return textResponse(sc_500_InternalServerError, text);
    }
    nlohmann::json channels = nlohmann::json::array();
    for (const auto& info : infos) channels.push_back(DfrmDataChannel(info.channelInfo()).toJson());
    DfrmResponse response = jsonResponse({{"configHash", hash}, {"dataChannels", channels}});
    context.channelListAnswer().keep(hash, generation, now, response.mBody);
    return response;
}

DfrmResponse answerCapabilities(DfrmContext& context) {
    const char* clockType = clockValid(context) ? "absolute" : "relative";
    return jsonResponse({{"configHash", context.configHash().getConfigHash()},
                         {"capabilities", {{"clockType", clockType}}}});
}

DfrmResponse answerVolatileState(DfrmContext& context) {
    const utils::SystemTimePoint now = std::chrono::system_clock::now();
    DfrmVolatileState state;
    if (clockValid(context)) {
        state.mAbsoluteTime = utils::toUtcString(now);
    } else {
        state.mRelativeTime = static_cast<double>(now.time_since_epoch().count() / 1000) * 1e-6;
    }
    return jsonResponse(
        {{"configHash", context.configHash().getConfigHash()}, {"volatileState", state.toJson()}});
}

}  // namespace quorix::pelmo::datalogger
