// datalogger-ctl check: the daemon's own readers judge storage.conf and the poll files; this
// file only explains their verdicts and adds what the daemon does not look at.
#include <algorithm>
#include <iostream>
#include <map>
#include <vector>

#include "ctl/CtlCommands.h"
#include "ctl/CtlPollText.h"
#include "ctl/CtlSupport.h"
#include "inputs/filepoll/FilePollEngine.h"
#include "platform/PeriodicCaller.h"
#include "storage/DataLoggerStorageConfig.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "\"Fator\": unknown key, did you mean \"Factor\"?", or without a guess when none is close.
std::string unknownKeyText(const std::string& key, const std::vector<std::string>& known) {
    std::string text = "\"" + shown(key) + "\": unknown key, ignored";
    if (key.size() > 64) return text;  // nothing valid is that long; spare the distance
    const std::string* nearest = nullptr;
    size_t best = 0;
    for (const auto& candidate : known) {
        const size_t distance = editDistance(key, candidate);
        if (!nearest || distance < best) {
            nearest = &candidate;
            best = distance;
        }
    }
    if (nearest && best <= std::max<size_t>(2, nearest->size() / 3)) {
        text += "; did you mean \"" + *nearest + "\"?";
    }
    return text;
}

// Collects findings and the exit status.
class Report {
public:
    void finding(const std::string& file, const std::string& text) {
        std::cout << shown(file) << ": " << text << "\n";
        mStatus = kFinding;
    }
    void verdict(const std::string& file, const std::string& text) {
        std::cout << shown(file) << ": " << text << "\n";
    }
    int status() const { return mStatus; }

private:
    int mStatus = kOk;
};

void checkStorage(const std::string& path, Report& report) {
    const DataLoggerStorageConfigFile file(path);
    for (const auto& key : file.getUnknownKeys()) {
        const size_t dot = key.find('.');
        if (dot == std::string::npos) {
            report.finding(path, unknownKeyText(key, DataLoggerStorageConfigFile::sectionNames()));
        } else {
            report.finding(path, "section \"" + key.substr(0, dot) + "\": " +
                                     unknownKeyText(key.substr(dot + 1),
                                                    DataLoggerStorageConfigFile::sectionKeys()));
        }
    }
    if (file.isValid()) {
        const auto config = file.getConfig();
        bool usable = true;
        for (const auto& [section, size] :
             {std::pair{"volatile", config->getVolatileSize()},
              std::pair{"nonvolatile", config->getNonVolatileSize()}}) {
            if (size >= kStorageMinimumSize) continue;
            report.finding(path, std::string("section \"") + section + "\": Size " +
                                     std::to_string(size) + " is below the minimum of " +
                                     std::to_string(kStorageMinimumSize) +
                                     " (1 MiB): the daemon starts, but leaves this database "
                                     "closed and stores nothing in it");
            usable = false;
        }
        if (usable) report.verdict(path, "accepted");
        return;
    }
    std::string error = errorLine(file.getErrors());
    std::string where;
    if (!file.getErrorSection().empty()) where = "section \"" + file.getErrorSection() + "\": ";
    if (file.isErrorAMissingKey() && !file.getErrorKey().empty()) {
        error = file.getErrorKey() + " is missing";
    } else if (!file.getErrorKey().empty()) {
        where += file.getErrorKey() + ": ";
    }
    report.finding(path, where + error);
    report.finding(path, "refused: the daemon does not start with it (exit status 10)");
}

struct PollSeen {
    std::string file;
    std::string section;
};

void checkPollFile(const std::string& path, const FilePollConfigFile& file,
                   std::map<std::string, PollSeen>& channelPaths, Report& report) {
    for (const auto& section : file.getSections()) {
        const std::string label = sectionLabel(section);
        for (const auto& key : section.unknownKeys) {
            report.finding(path,
                           label + ": " + unknownKeyText(key, FilePollConfigFile::knownKeys()));
        }
        if (!section.config) {
            report.finding(path, label + ": " + refusalText(section));
            continue;
        }
        if (!file.isValid()) continue;  // the daemon polls none of its sections
        const auto& info = *section.config->getChannelInfo();
        constexpr int64_t kMaxPeriod = utils::PeriodicCallerManagerIfc::kMaxPeriodSeconds;
        if (info.mStats.period() > kMaxPeriod) {
            report.finding(path, label + ": StatisticsPeriodInSeconds " +
                                     std::to_string(info.mStats.period()) + " is above " +
                                     std::to_string(kMaxPeriod) +
                                     ": the daemon refuses to register the channel and polls "
                                     "nothing for it");
        }
        const std::string& channel = info.mPath;
        const auto [seen, added] = channelPaths.emplace(channel, PollSeen{path, label});
        if (!added) {
            report.finding(path, label + ": ChannelPath \"" + shown(channel) + "\" is polled by " +
                                     shown(seen->second.file) + " " + seen->second.section +
                                     " as well; both store into one channel");
        }
    }
    if (file.isValid()) {
        report.verdict(path,
                       "accepted, " + std::to_string(file.getConfigs().size()) + " section(s)");
        return;
    }
    if (file.getSections().empty()) {  // not JSON, or refused before the sections were read
        report.finding(path, shown(errorLine(file.getErrors())));
    }
    report.finding(path, droppedText(file));
}

void checkPollDir(const std::string& dir, Report& report) {
    std::map<std::string, PollSeen> channelPaths;
    size_t files = 0;
    try {
        FilePollEngine().safeLoadConfigs(
            dir, [&](const std::string& path, const FilePollEngine::Visit& visit) {
                ++files;
                if (visit.file) {
                    checkPollFile(path, *visit.file, channelPaths, report);
                } else if (!visit.writers.empty()) {
                    report.finding(path, "refused: a user other than root can write it (" +
                                             visit.writers + "), and its commands run as root");
                } else {
                    report.verdict(path, "skipped: " + visit.skipped + ", not a poll file");
                }
            });
    } catch (const std::exception& e) {
        report.finding(dir, std::string("the daemon does not start: ") + shown(e.what()));
        return;
    }
    if (files == 0) report.verdict(dir, "no poll files");
}

}  // namespace

void addCheckCommand(CLI::App& app, int& status) {
    auto* command = app.add_subcommand(
        "check",
        "Reads storage.conf and the poll files as the daemon does and explains each "
        "problem; exit status 1 when there is any.");
    auto storage = std::make_shared<std::string>(kStorageConfigPath);
    auto pollDir = std::make_shared<std::string>(kPollDir);
    command->add_option("--storage", *storage, "storage configuration file")->capture_default_str();
    command->add_option("--poll-dir", *pollDir, "poll configuration directory")
        ->capture_default_str();
    command->callback([storage, pollDir, &status] {
        Report report;
        checkStorage(*storage, report);
        checkPollDir(*pollDir, report);
        status = report.status();
    });
}

}  // namespace quorix::pelmo::datalogger::ctl
