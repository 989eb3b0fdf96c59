#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/DataLoggerTypes.h"
#include "inputs/filepoll/IGetFileContent.h"

namespace quorix::pelmo::datalogger {

// One accepted Poll section: the channel to register and where its value comes from.
// Immutable after construction, so pollers may read it from any thread.
class FilePollConfig {
public:
    FilePollConfig(std::shared_ptr<DataLoggerChannelInfo> channelInfo, double factor, double offset,
                   std::string file, bool executable, std::chrono::seconds period);

    std::shared_ptr<DataLoggerChannelInfo> getChannelInfo() const { return mChannelInfo; }
    double getFactor() const { return mFactor; }
    double getOffset() const { return mOffset; }
    // A path to read, or a command for bash when isExecutable().
    const std::string& getFile() const { return mFile; }
    bool isExecutable() const { return mExecutable; }
    // 0 means poll once.
    std::chrono::seconds getPeriod() const { return mPeriod; }

    // Where the text comes from: the command executor or the file reader.
    std::unique_ptr<IGetFileContent> makeSource() const;
    // The channel's value for a polled text: its leading number times Factor plus Offset.
    // Throws std::invalid_argument ("stod") without a leading number, std::out_of_range
    // ("stod") when it overflows.
    double valueOf(const std::string& text) const;

private:
    std::shared_ptr<DataLoggerChannelInfo> mChannelInfo;
    double mFactor;
    double mOffset;
    std::string mFile;
    bool mExecutable;
    std::chrono::seconds mPeriod;
};

}  // namespace quorix::pelmo::datalogger
