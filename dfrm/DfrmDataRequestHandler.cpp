#include "dfrm/DfrmDataRequestHandler.h"

#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/DataLoggerNames.h"
#include "dfrm/DataLoggerDfrm.h"
#include "dfrm/DfrmDataRequest.h"
#include "platform/TimeUtils.h"

namespace quorix::pelmo::datalogger {

namespace {

using Channels = DfrmDataRequestIdManager::Channels;

// The status table names no enumerator for 410.
constexpr int kGone = 410;

// The client's id text to a live channel list, or the answer for an id that is not live.
std::shared_ptr<Channels> resume(DataLoggerDfrm& server, const std::string& text,
                                 uint32_t& id, DfrmResponse& error) {
    try {
        const unsigned long long value = std::stoull(text);
        if (value > std::numeric_limits<uint32_t>::max()) {
            throw std::out_of_range("DataRequestId expired");
        }
        id = static_cast<uint32_t>(value);
        return server.dataRequestIds().getById(id);
    } catch (const std::invalid_argument&) {
        error = textResponse(sc_404_NotFound, "Invalid DataRequestId");
    } catch (const std::out_of_range&) {
        error = textResponse(kGone, "DataRequestId expired");
    }
    return nullptr;
}

std::shared_ptr<Channels> issue(DataLoggerDfrm& server,
                                const std::vector<DfrmChannelRequest>& requests, uint32_t& id,
                                DfrmResponse& error) {
    try {
        id = server.dataRequestIds().createDataRequestId(requests);
    } catch (const std::invalid_argument& e) {
        server.pelmoDoLog(log::Error, "dataRquest will answer 400 Bad Request because %s", nullptr,
                          log::untrusted(e.what()).c_str());
        error = textResponse(sc_400_BadRequest, "You must provide a non non empty list of channels.");
        return nullptr;
    }
    return server.dataRequestIds().getById(id);
}

int64_t micros(TimePoint timestamp) {
    return timestamp.time_since_epoch().count() / 1000;
}

// Appends what one channel delivers; false with `error` filled when the whole answer fails.
bool fetchChannel(DataLoggerDfrm& server, RequestedDataChannel& channel, uint32_t id,
                  std::vector<DfrmDataResponse>& measurements, DfrmResponse& error) {
    DfrmDataResponse measurement;
    measurement.mPath = channel.mPath;
    measurement.mHasMoreData = false;
    measurement.mCountLastValue = 0;

    std::vector<DataLoggerDataPoint> points;
    const DataLoggerStatusCode status = server.pull()->pullData(
        points, channel.mPath, channel.mLastCounter, channel.mDiscardOlderThan, channel.mAmount);
    // The limits shape the first answer only; later ones page on by the counter alone.
    channel.mDiscardOlderThan = std::chrono::microseconds(0);
    channel.mAmount = 0;

    switch (status) {
        case DataLoggerStatusCode::NoError: {
            if (points.empty()) {
                server.pelmoDoLog(log::Error,
                                  "No data retrieved for channel '%s' but NoError returned "
                                  "instead of StorageNoData",
                                  nullptr, log::untrusted(channel.mPath).c_str());
                measurement.mStatus = "No data available for this channel, internal error";
                measurements.push_back(std::move(measurement));
                return true;
            }
            const TimePoint newest = points.back().timestamp();
            measurement.mCountLastValue = micros(newest);
            if (server.systemTimeHandler()->isTimeValid()) {
                measurement.mTimeReferenceAbsolute = utils::toUtcString(newest);
            } else {
                measurement.mTimeReferenceRelative = static_cast<double>(micros(newest)) * 1e-6;
            }
            std::vector<double> values;
            std::vector<float> offsets;
            values.reserve(points.size());
            offsets.reserve(points.size());
            for (const auto& point : points) {
                const int64_t offset = (point.timestamp() - newest).count() / 1000;
                offsets.push_back(static_cast<float>(static_cast<double>(offset) * 1e-6));
                values.push_back(point.value());
            }
            measurement.mValues = std::move(values);
            measurement.mTimeOffsets = std::move(offsets);
            channel.mLastCounter = *measurement.mCountLastValue + 1;
            measurements.push_back(std::move(measurement));
            return true;
        }
        case DataLoggerStatusCode::NoData:
        case DataLoggerStatusCode::StorageNoData:
            server.pelmoDoLog(log::Trace,
                              "Requested data for path (%s) but there was no data in the "
                              "database.",
                              nullptr, log::untrusted(channel.mPath).c_str());
            return true;
        case DataLoggerStatusCode::NotFound:
            server.pelmoDoLog(log::Error,
                              "Not able to get data of channelpath (%s) from storage. Looks like "
                              "path is gone/unknown. The dataRequestId (%u) will now be invalid.",
                              nullptr, log::untrusted(channel.mPath).c_str(),
                              static_cast<unsigned>(id));
            error = textResponse(sc_404_NotFound,
                                 "Path (" + channel.mPath + ") is unknown.\n" +
                                     " Eventually it is gone or never existed.\n" +
                                     "Request the available channels again to be up to date.");
            server.dataRequestIds().invalidate(id);
            return false;
        default: {
            const std::string name = utils::EnumUtils<DataLoggerStatusCode>().to_string(status);
            server.pelmoDoLog(log::Error,
                              "Not able to get data of channelpath (%s) from storage. Status is "
                              "(%s).",
                              nullptr, log::untrusted(channel.mPath).c_str(), name.c_str());
            error = textResponse(sc_500_InternalServerError,
                                 "An error occurred during the fetch data command of the path (" +
                                     channel.mPath + "). Internal error is (" + name + ").");
            return false;
        }
    }
}

DfrmResponse answer(DataLoggerDfrm& server, const std::string& body) {
    const DataLoggerDfrmDataRequest parsed =
        nlohmann::json::parse(body).get<DataLoggerDfrmDataRequest>();
    uint32_t id = 0;
    DfrmResponse error;
    const std::shared_ptr<Channels> channels =
        parsed.mDataRequestId ? resume(server, *parsed.mDataRequestId, id, error)
                              : issue(server, *parsed.mChannelRequests, id, error);
    if (!channels) return error;

    DataLoggerDfrmDataResponse document;
    for (auto& channel : *channels) {
        if (!fetchChannel(server, channel, id, document.mMeasurements, error)) return error;
    }
    document.mConfigHash = server.configHash().getConfigHash();
    document.mDataRequestId = std::to_string(id);
    DfrmResponse response;
    response.mStatusCode = sc_200_Ok;
    response.mContentType = ContentType::applicationJson;
    response.mBody << dumpDfrmDocument(document.toJson());
    return response;
}

}  // namespace

DfrmResponse answerDataRequest(DataLoggerDfrm& server, const DataLoggerRequest& request) {
    return answerDataRequest(server, request.body());
}

DfrmResponse answerDataRequest(DataLoggerDfrm& server, const std::string& body) {
    try {
        return answer(server, body);
    } catch (const std::exception& e) {
        const std::string text = std::string("Request parsing failed.\nWhat: ") + e.what() + "\n";
        server.pelmoDoLog(log::Error, "Request parsing failed.\nWhat: %s\n", nullptr,
                          log::untrusted(e.what()).c_str());
        return textResponse(sc_400_BadRequest, text);
    } catch (...) {
        const std::string text = "Request parsing failed with an unknown expection.";
        server.pelmoDoLog(log::Error, "%s", nullptr, text.c_str());
        return textResponse(sc_400_BadRequest, text);
    }
}

}  // namespace quorix::pelmo::datalogger
