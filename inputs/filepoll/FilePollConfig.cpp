#include "inputs/filepoll/FilePollConfig.h"

namespace quorix::pelmo::datalogger {

FilePollConfig::FilePollConfig(std::shared_ptr<DataLoggerChannelInfo> channelInfo, double factor,
                               double offset, std::string file, bool executable,
                               std::chrono::seconds period)
    : mChannelInfo(std::move(channelInfo)),
      mFactor(factor),
      mOffset(offset),
      mFile(std::move(file)),
      mExecutable(executable),
      mPeriod(period) {}

}  // namespace quorix::pelmo::datalogger
