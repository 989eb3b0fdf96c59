#include "inputs/filepoll/FilePollConfigFile.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "core/DataLoggerNames.h"
#include "core/JsonFileGuard.h"
#include "inputs/filepoll/NumberText.h"
#include "platform/Logger.h"
#include "platform/PeriodicCaller.h"

namespace quorix::pelmo::datalogger {

namespace {

namespace pt = boost::property_tree;

// Property-tree translators that never consult the global locale. A failed conversion makes
// get<T>() throw the tree's own "conversion of data to type ..." message.
struct Uint32Translator {
    using internal_type = std::string;
    using external_type = uint32_t;
    boost::optional<uint32_t> get_value(const std::string& text) const {
        auto value = parseWholeUint32(text);
        return value ? boost::optional<uint32_t>(*value) : boost::none;
    }
};

struct DoubleTranslator {
    using internal_type = std::string;
    using external_type = double;
    boost::optional<double> get_value(const std::string& text) const {
        auto value = parseWholeDouble(text);
        return value ? boost::optional<double>(*value) : boost::none;
    }
};

DataLoggerStorageType storageTypeAt(const pt::ptree& section, const char* key) {
    return utils::EnumUtils<DataLoggerStorageType>().parse(section.get<std::string>(key));
}

// The order of the reads decides which problem a broken section reports.
std::shared_ptr<FilePollConfig> parseSection(const pt::ptree& section, const std::string& label,
                                             std::string& errors) {
    const DataLoggerUnit unit =
        utils::EnumUtils<DataLoggerUnit>().parse(section.get<std::string>("Unit"));
    const DataLoggerStorageType storage = storageTypeAt(section, "Storage");
    const uint32_t statisticsPeriod =
        section.get<uint32_t>("StatisticsPeriodInSeconds", Uint32Translator());
    DataLoggerStorageType statisticsStorage = DataLoggerStorageType::Volatile;
    if (statisticsPeriod != 0) statisticsStorage = storageTypeAt(section, "StatisticsStorage");
    const double offset = section.get_optional<double>("Offset", DoubleTranslator()).value_or(0.0);
    const double factor = section.get_optional<double>("Factor", DoubleTranslator()).value_or(1.0);
    const uint32_t period = section.get<uint32_t>("PeriodInSeconds", Uint32Translator());
    const std::string toExecute = section.get<std::string>("FileToExecute", "");
    const std::string toRead = section.get<std::string>("FileToRead", "");

    // A longer period would be refused by the caller manager only after the channel was
    // registered, leaving a channel that is never polled.
    constexpr uint32_t kMaxPeriod = utils::PeriodicCallerManagerIfc::kMaxPeriodSeconds;
    if (period > kMaxPeriod) {
        errors += label + ": PeriodInSeconds must not exceed " + std::to_string(kMaxPeriod) + "\n";
        return nullptr;
    }
    if (statisticsPeriod != 0 && period == 0) {
        errors += label +
                  ": StatisticsPeriodInSeconds must be set to 0 when PeriodInSeconds is set to 0\n";
        return nullptr;
    }
    if (toExecute.empty() && toRead.empty()) {
        errors += label +
                  ": neither FileToRead nor FileToExecute has been specified, exactly one of "
                  "those required\n";
        return nullptr;
    }
    if (!toExecute.empty() && !toRead.empty()) {
        errors += label +
                  ": both FileToExecute and FileToRead have been specifed, only one at a time "
                  "please\n";
        return nullptr;
    }

    auto info = std::make_shared<DataLoggerChannelInfo>(
        DataLoggerChannelInfo::withDefaults(section.get<std::string>("ChannelPath"), unit,
                                            DataLoggerStats(statisticsStorage, statisticsPeriod),
                                            storage, section.get<std::string>("Description", "")));
    info->mAcqPeriodTypical =
        std::chrono::microseconds(static_cast<int64_t>(uint64_t{period} * 1000000u));
    const bool executable = !toExecute.empty();
    return std::make_shared<FilePollConfig>(std::move(info), factor, offset,
                                            executable ? toExecute : toRead, executable,
                                            std::chrono::seconds(period));
}

}  // namespace

FilePollConfigFile::FilePollConfigFile(const std::string& path) {
    try {
        parse(path);
    } catch (const std::exception& e) {
        mErrors += log::untrusted(e.what()) + "\n";
    } catch (...) {
        mErrors += "caught an unknown exception\n";
    }
}

void FilePollConfigFile::parse(const std::string& path) {
    // The tree reader recurses per nesting level and holds the whole file; refuse what would
    // exhaust either before it sees the file.
    const std::string refused = checkJsonFileBounds(path);
    if (!refused.empty()) {
        mErrors += refused + "\n";
        return;
    }
    pt::ptree tree;
    pt::read_json(path, tree);

    size_t number = 0;
    for (const auto& member : tree) {
        const std::string label = "section #" + std::to_string(++number);
        try {
            if (auto config = parseSection(member.second, label, mErrors)) {
                mConfigs.push_back(std::move(config));
            }
        } catch (const std::exception& e) {
            mErrors +=
                label + ": failed to process a Poll section: " + log::untrusted(e.what()) + "\n";
        }
    }
    if (mConfigs.empty()) mErrors += "the configuration file contains no valid sections\n";
}

}  // namespace quorix::pelmo::datalogger
