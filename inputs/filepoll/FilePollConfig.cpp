#include "inputs/filepoll/FilePollConfig.h"

#include "inputs/filepoll/FileExecutor.h"
#include "inputs/filepoll/FileReader.h"
#include "inputs/filepoll/NumberText.h"

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

std::unique_ptr<IGetFileContent> FilePollConfig::makeSource() const {
    if (mExecutable) return std::make_unique<FileExecutor>(mFile);
    return std::make_unique<FileReader>(mFile);
}

double FilePollConfig::valueOf(const std::string& text) const {
    return parseLeadingDouble(text) * mFactor + mOffset;
}

}  // namespace quorix::pelmo::datalogger
