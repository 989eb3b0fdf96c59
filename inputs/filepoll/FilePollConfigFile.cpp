#include "inputs/filepoll/FilePollConfigFile.h"

#include <algorithm>
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

using Refusal = FilePollSectionReport::Refusal;

// Reads keys of one section and remembers which one it is at, so that an exception thrown by
// the tree or a translator can be laid at that key's door.
class SectionReader {
public:
    SectionReader(const pt::ptree& section, FilePollSectionReport& report)
        : mSection(section), mReport(report) {}

    template <typename T, typename... Translator>
    T get(const char* key, Translator... translator) {
        mReport.key = key;
        return mSection.get<T>(key, translator...);
    }
    template <typename T, typename Translator>
    boost::optional<T> getOptional(const char* key, Translator translator) {
        mReport.key = key;
        return mSection.get_optional<T>(key, translator);
    }
    std::string getOr(const char* key, const std::string& fallback) {
        mReport.key = key;
        return mSection.get<std::string>(key, fallback);
    }
    template <typename T>
    T getEnum(const char* key) {
        return utils::EnumUtils<T>().parse(get<std::string>(key));
    }
    std::nullptr_t refuse(const char* key, std::string error) {
        mReport.key = key;
        mReport.refusal = Refusal::Rule;
        mReport.error = std::move(error);
        return nullptr;
    }

private:
    const pt::ptree& mSection;
    FilePollSectionReport& mReport;
};

// The order of the reads decides which problem a broken section reports.
std::shared_ptr<FilePollConfig> parseSection(SectionReader& reader) {
    const auto unit = reader.getEnum<DataLoggerUnit>("Unit");
    const auto storage = reader.getEnum<DataLoggerStorageType>("Storage");
    const uint32_t statisticsPeriod =
        reader.get<uint32_t>("StatisticsPeriodInSeconds", Uint32Translator());
    DataLoggerStorageType statisticsStorage = DataLoggerStorageType::Volatile;
    if (statisticsPeriod != 0) {
        statisticsStorage = reader.getEnum<DataLoggerStorageType>("StatisticsStorage");
    }
    const double offset = reader.getOptional<double>("Offset", DoubleTranslator()).value_or(0.0);
    const double factor = reader.getOptional<double>("Factor", DoubleTranslator()).value_or(1.0);
    const uint32_t period = reader.get<uint32_t>("PeriodInSeconds", Uint32Translator());
    const std::string toExecute = reader.getOr("FileToExecute", "");
    const std::string toRead = reader.getOr("FileToRead", "");

    // A longer period would be refused by the caller manager only after the channel was
    // registered, leaving a channel that is never polled.
    constexpr uint32_t kMaxPeriod = utils::PeriodicCallerManagerIfc::kMaxPeriodSeconds;
    if (period > kMaxPeriod) {
        return reader.refuse("PeriodInSeconds",
                             "PeriodInSeconds must not exceed " + std::to_string(kMaxPeriod));
    }
    if (statisticsPeriod != 0 && period == 0) {
        return reader.refuse(
            "StatisticsPeriodInSeconds",
            "StatisticsPeriodInSeconds must be set to 0 when PeriodInSeconds is set to 0");
    }
    if (toExecute.empty() && toRead.empty()) {
        return reader.refuse("FileToRead",
                             "neither FileToRead nor FileToExecute has been "
                             "specified, exactly one of those required");
    }
    if (!toExecute.empty() && !toRead.empty()) {
        return reader.refuse("FileToExecute",
                             "both FileToExecute and FileToRead have been "
                             "specifed, only one at a time please");
    }

    const std::string path = reader.get<std::string>("ChannelPath");
    auto info = std::make_shared<DataLoggerChannelInfo>(DataLoggerChannelInfo::withDefaults(
        path, unit, DataLoggerStats(statisticsStorage, statisticsPeriod), storage,
        reader.getOr("Description", "")));
    info->mAcqPeriodTypical =
        std::chrono::microseconds(static_cast<int64_t>(uint64_t{period} * 1000000u));
    const bool executable = !toExecute.empty();
    return std::make_shared<FilePollConfig>(std::move(info), factor, offset,
                                            executable ? toExecute : toRead, executable,
                                            std::chrono::seconds(period));
}

Refusal refusalOf(const std::exception& e) {
    if (dynamic_cast<const pt::ptree_bad_path*>(&e)) return Refusal::MissingKey;
    if (dynamic_cast<const pt::ptree_bad_data*>(&e)) return Refusal::NotWholeNumber;
    if (dynamic_cast<const std::invalid_argument*>(&e)) return Refusal::UnknownName;
    return Refusal::Other;
}

}  // namespace

const std::vector<std::string>& FilePollConfigFile::knownKeys() {
    static const std::vector<std::string> keys{"ChannelPath",
                                               "Unit",
                                               "Storage",
                                               "PeriodInSeconds",
                                               "StatisticsPeriodInSeconds",
                                               "StatisticsStorage",
                                               "FileToRead",
                                               "FileToExecute",
                                               "Factor",
                                               "Offset",
                                               "Description"};
    return keys;
}

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

    for (const auto& [name, section] : tree) {
        FilePollSectionReport& report = mSections.emplace_back();
        report.number = mSections.size();
        report.name = name;
        for (const auto& entry : section) {
            const auto& known = knownKeys();
            if (!entry.first.empty() &&
                std::find(known.begin(), known.end(), entry.first) == known.end()) {
                report.unknownKeys.push_back(entry.first);
            }
        }
        const std::string label = "section #" + std::to_string(report.number);
        SectionReader reader(section, report);
        try {
            report.config = parseSection(reader);
            if (report.config) {
                report.key.clear();
                mConfigs.push_back(report.config);
            } else {
                mErrors += label + ": " + report.error + "\n";
            }
        } catch (const std::exception& e) {
            report.refusal = refusalOf(e);
            report.value = section.get<std::string>(report.key, "");
            report.error = "failed to process a Poll section: " + log::untrusted(e.what());
            mErrors += label + ": " + report.error + "\n";
        }
    }
    if (mConfigs.empty()) mErrors += "the configuration file contains no valid sections\n";
}

}  // namespace quorix::pelmo::datalogger
