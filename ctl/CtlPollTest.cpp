// datalogger-ctl poll-test: each poll section once, through the daemon's own file reader and
// command executor; the value is shown, never stored.
#include <boost/filesystem.hpp>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include "core/DataLoggerNames.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlPollText.h"
#include "ctl/CtlSupport.h"
#include "inputs/filepoll/FilePollEngine.h"
#include "inputs/filepoll/PollFileRules.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

// Enough of a polled text to recognise it on one line.
constexpr size_t kRawChars = 16;

std::string shortened(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    std::string safe = shown(text);
    if (safe.size() <= kRawChars) return safe;
    size_t cut = kRawChars;
    while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80) --cut;
    return safe.substr(0, cut) + " …";
}

// One line: path, raw text, scaled value, unit and time taken, or the error. False on error.
bool pollOnce(const FilePollConfig& config) {
    const auto& info = *config.getChannelInfo();
    const std::unique_ptr<IGetFileContent> content = config.makeSource();
    std::cout << shown(info.mPath) << "  ";
    const auto start = std::chrono::steady_clock::now();
    bool ok = true;
    try {
        const std::string text = content->getContent();
        std::ostringstream line;
        line << std::setprecision(12) << "raw \"" << shortened(text) << "\"  → ";
        line << config.valueOf(text) << " "
             << utils::EnumUtils<DataLoggerUnit>().to_string(info.mUnit);
        std::cout << line.str();
    } catch (const std::exception& e) {
        std::cout << "error: " << shown(e.what());
        ok = false;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    std::cout << "  (" << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()
              << " ms)\n";
    return ok;
}

// Polls the accepted sections of one file (only section `only` when it is not 0).
int pollFile(const std::string& path, const FilePollConfigFile& file, size_t only) {
    if (!file.isValid()) {
        for (const auto& line : refusedFileLines(file))
            std::cout << shown(path) << ": " << line << "\n";
        return kFinding;
    }
    int status = kOk;
    size_t polled = 0;
    for (const auto& section : file.getSections()) {
        if (only != 0 && section.number != only) continue;
        ++polled;
        if (!pollOnce(*section.config)) status = kFinding;
    }
    if (polled == 0) {
        std::cout << shown(path) << ": has no section #" << only << "\n";
        return kFinding;
    }
    return status;
}

}  // namespace

void addPollTestCommand(CLI::App& app, int& status) {
    auto* command =
        app.add_subcommand("poll-test",
                           "Runs each poll section once as the daemon would and prints the value; "
                           "stores nothing.");
    auto target = std::make_shared<std::string>(kPollDir);
    auto section = std::make_shared<size_t>(0);
    command->add_option("target", *target, "poll file or directory")->capture_default_str();
    command->add_option("--section", *section, "only the section at this position (from 1)")
        ->check(CLI::Range(size_t{1}, size_t{1000000}));
    command->callback([target, section, &status] {
        status = kOk;
        boost::system::error_code error;
        if (!boost::filesystem::exists(*target, error)) {
            std::cout << shown(*target) << ": does not exist\n";
            status = kFinding;
            return;
        }
        if (boost::filesystem::is_regular_file(*target, error)) {
            // Its commands would run as root here too: the daemon's rule applies.
            const std::string writers = nonRootWriters(*target);
            if (!writers.empty()) {
                std::cout << shown(*target) << ": refused: a user other than root can write it ("
                          << writers << ")\n";
                status = kFinding;
                return;
            }
            status = pollFile(*target, FilePollConfigFile(*target), *section);
            return;
        }
        size_t files = 0;
        try {
            FilePollEngine().safeLoadConfigs(
                *target, [&](const std::string& path, const FilePollEngine::Visit& visit) {
                    if (!visit.file) return;  // the daemon does not read it either
                    ++files;
                    if (pollFile(path, *visit.file, *section) != kOk) status = kFinding;
                });
        } catch (const std::exception& e) {
            std::cout << shown(*target) << ": " << shown(e.what()) << "\n";
            status = kFinding;
            return;
        }
        if (files == 0) {
            std::cout << shown(*target) << ": no poll files\n";
            status = kFinding;
        }
    });
}

}  // namespace quorix::pelmo::datalogger::ctl
