#include "dfrm/DfrmDataRequestHandler.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/DataLoggerNames.h"
#include "dfrm/DfrmContext.h"
#include "dfrm/DfrmDataRequest.h"
#include "dfrm/DfrmDataWriter.h"
#include "platform/TimeUtils.h"

namespace quorix::pelmo::datalogger {

namespace {

using Channels = DfrmDataRequestIdManager::Channels;

// The status table names no enumerator for 410.
constexpr int kGone = 410;

// The client's id text to a live channel list, or the answer for an id that is not live.
std::shared_ptr<Channels> resume(DfrmContext& context, const std::string& text, uint32_t& id,
                                 DfrmResponse& error) {
    try {
        const unsigned long long value = std::stoull(text);
        if (value > std::numeric_limits<uint32_t>::max()) {
            throw std::out_of_range("DataRequestId expired");
        }
        id = static_cast<uint32_t>(value);
        return context.dataRequestIds().getById(id);
    } catch (const std::invalid_argument&) {
        error = textResponse(sc_404_NotFound, "Invalid DataRequestId");
    } catch (const std::out_of_range&) {
        error = textResponse(kGone, "DataRequestId expired");
    }
    return nullptr;
}

// Repeated paths are one channel, read with the settings of their first entry.
std::vector<DfrmChannelRequest> mergeRepeatedPaths(
    const std::vector<DfrmChannelRequest>& requests) {
    std::vector<DfrmChannelRequest> merged;
    std::unordered_set<std::string_view> seen;
    for (const auto& request : requests) {
        if (seen.insert(request.mPath).second) merged.push_back(request);
    }
    return merged;
}

std::shared_ptr<Channels> issue(DfrmContext& context,
                                const std::vector<DfrmChannelRequest>& requests, uint32_t& id,
                                DfrmResponse& error) {
    const std::vector<DfrmChannelRequest> merged = mergeRepeatedPaths(requests);
    if (merged.size() > kMaxChannelsPerDataRequest) {
        error = textResponse(sc_400_BadRequest,
                             "Too many channel requests (" + std::to_string(merged.size()) +
                                 "), at most " + std::to_string(kMaxChannelsPerDataRequest) + ".");
        return nullptr;
    }
    try {
        id = context.dataRequestIds().createDataRequestId(merged);
    } catch (const std::invalid_argument& e) {
        context.pelmoDoLog(log::Error, "dataRquest will answer 400 Bad Request because %s", nullptr,
                           log::untrusted(e.what()).c_str());
        error =
            textResponse(sc_400_BadRequest, "You must provide a non non empty list of channels.");
        return nullptr;
    }
    return context.dataRequestIds().getById(id);
}

int64_t micros(TimePoint timestamp) {
    return timestamp.time_since_epoch().count() / 1000;
}

// Points taken from the storage at a time. A read of many holds them as points (24 bytes each)
// only a slice at a time, and keeps value and time (16 bytes) until the answer is written.
constexpr size_t kReadSlicePoints = 1024;

// What one channel delivers in this answer.
struct Delivery {
    RequestedDataChannel* channel = nullptr;
    DataLoggerStatusCode status = DataLoggerStatusCode::NoError;
    std::vector<double> values;
    std::vector<int64_t> times;  // microseconds since the epoch
    bool more = false;
};

// What the channels of one answer may still take. `runCarried` spends the answer's one
// allowance beyond `left`: a run of values sharing one time stamp that is longer than a
// channel's share.
struct AnswerRoom {
    size_t left = kMaxPointsPerDataAnswer;
    bool runCarried = false;

    void take(size_t points) { left -= std::min(left, points); }
};

// Every value of the channel at time stamp `at`, at most `cap`, read with a growing page so that
// a short run costs one small read. Returns the status of the read; `truncated` says that the
// run goes on beyond `cap`.
DataLoggerStatusCode readRun(DfrmContext& context, const std::string& path, int64_t at, size_t cap,
                             std::vector<DataLoggerDataPoint>& run, bool& truncated) {
    for (size_t limit = 4 * kReadSlicePoints;; limit = std::min(limit * 4, cap + 1)) {
        run.clear();
        const DataLoggerStatusCode status = context.pull()->pullDataPage(
            run, path, at - 1, std::chrono::microseconds(0), 0, static_cast<uint32_t>(limit));
        if (status != DataLoggerStatusCode::NoError) return status;
        size_t same = 0;
        while (same < run.size() && micros(run[same].timestamp()) == at) ++same;
        const bool complete = same < run.size() || run.size() < limit;
        if (complete || limit > cap) {
            truncated = same > cap;
            run.erase(run.begin() + static_cast<std::ptrdiff_t>(std::min(same, cap)), run.end());
            return status;
        }
    }
}

// Reads at most `share` points of the channel, the oldest undelivered first, appends them to
// `delivery` and moves the read position past them. Returns the status of the first read.
//
// The read position is the newest time stamp delivered: the next read asks for values strictly
// newer, so every value sharing one time stamp must be delivered in the same answer. Where a
// slice ends inside such a run, the cut moves before the run and none of it is delivered; the
// next slice, or the next answer, starts with the whole run. Only a run that fills a slice on
// its own is read whole and delivered whole, even past the channel's share; one answer carries
// at most one such run beyond its bound (the others wait for the next answer). A run longer than
// any answer (kMaxPointsPerDataAnswer) is delivered up to that bound and the rest of it is
// skipped with a warning.
DataLoggerStatusCode readPage(DfrmContext& context, Delivery& delivery, size_t share,
                              AnswerRoom& room) {
    RequestedDataChannel& channel = *delivery.channel;
    // A run carried past its share took the room: the channel waits for the next answer.
    if (share == 0) {
        delivery.more = true;
        return DataLoggerStatusCode::NoError;
    }
    // The client's count limits the first answer.
    if (channel.mAmount != 0) share = std::min<size_t>(share, channel.mAmount);
    // Reserved once: growing by doubling would leave the outgrown copies resident. What a short
    // channel leaves unused is never touched.
    delivery.values.reserve(delivery.values.size() + share);
    delivery.times.reserve(delivery.times.size() + share);
    std::vector<DataLoggerDataPoint> page;
    for (bool first = true; share > 0; first = false) {
        const size_t slice = std::min(share, kReadSlicePoints);
        page.clear();
        // One point more than the slice tells whether the channel has more to deliver.
        const DataLoggerStatusCode status = context.pull()->pullDataPage(
            page, channel.mPath, channel.mLastCounter, channel.mDiscardOlderThan, channel.mAmount,
            static_cast<uint32_t>(slice + 1));
        // The limits shape the first read only; later ones page on by the counter alone.
        channel.mDiscardOlderThan = std::chrono::microseconds(0);
        channel.mAmount = 0;
        if (status != DataLoggerStatusCode::NoError || page.empty()) {
            if (first) return status;
            // What the earlier slices read stands; a failed read is tried again next time.
            if (status != DataLoggerStatusCode::NoData &&
                status != DataLoggerStatusCode::StorageNoData) {
                delivery.more = true;
            }
            break;
        }
        delivery.more = page.size() > slice;
        if (delivery.more) {
            const int64_t next = micros(page[slice].timestamp());
            size_t keep = slice;
            while (keep > 0 && micros(page[keep - 1].timestamp()) == next) --keep;
            if (keep > 0) {
                page.resize(keep, page.front());
            } else {
                bool truncated = false;
                const DataLoggerStatusCode read =
                    readRun(context, channel.mPath, next, kMaxPointsPerDataAnswer, page, truncated);
                if (read != DataLoggerStatusCode::NoError || page.empty()) {
                    if (first) return read;
                    break;
                }
                // Beyond the channel's share a run takes the answer's one allowance, or waits.
                if (page.size() > share && std::exchange(room.runCarried, true)) break;
                if (truncated) {
                    context.pelmoDoLog(log::Warning,
                                       "Channel (%s) holds more than %zu values at time stamp "
                                       "%lld; the values beyond them are not delivered.",
                                       nullptr, log::untrusted(channel.mPath).c_str(),
                                       kMaxPointsPerDataAnswer, static_cast<long long>(next));
                }
            }
        }
        channel.mLastCounter = micros(page.back().timestamp());
        for (const auto& point : page) {
            delivery.values.push_back(point.value());
            delivery.times.push_back(micros(point.timestamp()));
        }
        share -= std::min(share, page.size());
        if (!delivery.more) break;
    }
    return DataLoggerStatusCode::NoError;
}

// The answer for a channel whose read failed; false when the whole answer fails with `error`.
bool acceptStatus(DfrmContext& context, const Delivery& delivery, uint32_t id,
                  DfrmResponse& error) {
    const std::string& path = delivery.channel->mPath;
    switch (delivery.status) {
        case DataLoggerStatusCode::NoError:
            return true;
        case DataLoggerStatusCode::NoData:
        case DataLoggerStatusCode::StorageNoData:
            context.pelmoDoLog(log::Trace,
                               "Requested data for path (%s) but there was no data in the "
                               "database.",
                               nullptr, log::untrusted(path).c_str());
            return true;
        case DataLoggerStatusCode::NotFound:
            context.pelmoDoLog(log::Error,
                               "Not able to get data of channelpath (%s) from storage. Looks like "
                               "path is gone/unknown. The dataRequestId (%u) will now be invalid.",
                               nullptr, log::untrusted(path).c_str(), static_cast<unsigned>(id));
            error = textResponse(sc_404_NotFound,
                                 "Path (" + path + ") is unknown.\n" +
                                     " Eventually it is gone or never existed.\n" +
                                     "Request the available channels again to be up to date.");
            context.dataRequestIds().invalidate(id);
            return false;
        default: {
            const std::string name =
                utils::EnumUtils<DataLoggerStatusCode>().to_string(delivery.status);
            context.pelmoDoLog(log::Error,
                               "Not able to get data of channelpath (%s) from storage. Status is "
                               "(%s).",
                               nullptr, log::untrusted(path).c_str(), name.c_str());
            error = textResponse(sc_500_InternalServerError,
                                 "An error occurred during the fetch data command of the path (" +
                                     path + "). Internal error is (" + name + ").");
            return false;
        }
    }
}

// The channel's measurement without its time offsets, which the writer takes from the
// delivery's times; the values move into it.
DfrmDataResponse measurementOf(DfrmContext& context, Delivery& delivery) {
    DfrmDataResponse measurement;
    measurement.mPath = delivery.channel->mPath;
    measurement.mHasMoreData = delivery.more;
    measurement.mCountLastValue = 0;
    if (delivery.values.empty()) {
        context.pelmoDoLog(log::Error,
                           "No data retrieved for channel '%s' but NoError returned instead of "
                           "StorageNoData",
                           nullptr, log::untrusted(measurement.mPath).c_str());
        measurement.mStatus = "No data available for this channel, internal error";
        return measurement;
    }
    const int64_t newest = delivery.times.back();
    measurement.mCountLastValue = newest;
    if (context.systemTimeHandler()->isTimeValid()) {
        measurement.mTimeReferenceAbsolute = utils::toUtcString(std::chrono::microseconds(newest));
    } else {
        measurement.mTimeReferenceRelative = static_cast<double>(newest) * 1e-6;
    }
    measurement.mValues = std::move(delivery.values);
    return measurement;
}

DfrmResponse answer(DfrmContext& context, const std::string& body) {
    const DataLoggerDfrmDataRequest parsed =
        nlohmann::json::parse(body).get<DataLoggerDfrmDataRequest>();
    uint32_t id = 0;
    DfrmResponse error;
    const std::shared_ptr<Channels> channels =
        parsed.mDataRequestId ? resume(context, *parsed.mDataRequestId, id, error)
                              : issue(context, *parsed.mChannelRequests, id, error);
    if (!channels) return error;

    // Every channel first gets an even share of the points one answer may carry (what one
    // leaves unused goes to those after it); what is left then goes, in list order, to the
    // channels that had more.
    std::vector<Delivery> deliveries(channels->size());
    AnswerRoom room;
    for (size_t i = 0; i < deliveries.size(); ++i) {
        Delivery& delivery = deliveries[i];
        delivery.channel = &(*channels)[i];
        delivery.status = readPage(context, delivery, room.left / (deliveries.size() - i), room);
        if (!acceptStatus(context, delivery, id, error)) return error;
        room.take(delivery.values.size());
    }
    for (auto& delivery : deliveries) {
        if (room.left == 0) break;
        if (!delivery.more) continue;
        const size_t before = delivery.values.size();
        // A failure here leaves the channel as the first read found it, to be read next time.
        if (readPage(context, delivery, room.left, room) != DataLoggerStatusCode::NoError) continue;
        room.take(delivery.values.size() - before);
    }

    // Written one measurement at a time into a buffer reserved once: a reservation beyond what
    // is written is never touched, and growing would copy what was.
    size_t bound = 512;
    for (const auto& delivery : deliveries) {
        bound += delivery.channel->mPath.size() * 6 +
                 DfrmDataDocumentWriter::boundForPoints(delivery.values.size());
    }
    DfrmResponse response;
    response.mStatusCode = sc_200_Ok;
    response.mContentType = ContentType::applicationJson;
    response.mBody.reserve(bound);
    DfrmDataDocumentWriter writer(response.mBody, context.configHash().getConfigHash(),
                                  std::to_string(id));
    for (auto& delivery : deliveries) {
        if (delivery.status != DataLoggerStatusCode::NoError) continue;
        if (delivery.values.empty() && delivery.more) continue;  // waits for the next answer
        const DfrmDataResponse measurement = measurementOf(context, delivery);
        writer.add(measurement, std::move(delivery.times));
    }
    writer.finish();
    return response;
}

}  // namespace

DfrmResponse answerDataRequest(DfrmContext& context, const std::string& body) {
    try {
        return answer(context, body);
    } catch (const std::exception& e) {
        const std::string text = std::string("Request parsing failed.\nWhat: ") + e.what() + "\n";
        context.pelmoDoLog(log::Error, "Request parsing failed.\nWhat: %s\n", nullptr,
                           log::untrusted(e.what()).c_str());
        return textResponse(sc_400_BadRequest, text);
    } catch (...) {
        const std::string text = "Request parsing failed with an unknown expection.";
        context.pelmoDoLog(log::Error, "%s", nullptr, text.c_str());
        return textResponse(sc_400_BadRequest, text);
    }
}

}  // namespace quorix::pelmo::datalogger
