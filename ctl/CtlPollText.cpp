#include "ctl/CtlPollText.h"

#include <sstream>

#include "core/DataLoggerNames.h"
#include "ctl/CtlSupport.h"
#include "platform/PeriodicCaller.h"

namespace quorix::pelmo::datalogger::ctl {

namespace {

using Refusal = FilePollSectionReport::Refusal;

template <typename T>
std::string validNames() {
    std::string names;
    for (const auto& [name, value] : utils::EnumNames<T>::entries()) {
        names += (names.empty() ? "" : ", ") + name;
    }
    return names;
}

}  // namespace

std::string sectionLabel(const FilePollSectionReport& section) {
    const std::string number = "#" + std::to_string(section.number);
    if (section.name.empty()) return "section " + number;
    return "section \"" + shown(section.name) + "\" (" + number + ")";
}

std::string refusalText(const FilePollSectionReport& section) {
    const std::string value = "\"" + shown(section.value) + "\"";
    switch (section.refusal) {
        case Refusal::MissingKey:
            return section.key + " is missing";
        case Refusal::NotWholeNumber:
            // Only the periods are read as whole numbers; both share the pollers' bound.
            return section.key + " " + value + " is not a whole number from 0 to " +
                   std::to_string(utils::PeriodicCallerManagerIfc::kMaxPeriodSeconds);
        case Refusal::UnknownName:
            return section.key + " " + value + " is not a valid name; valid names: " +
                   (section.key == "Unit" ? validNames<DataLoggerUnit>()
                                          : validNames<DataLoggerStorageType>());
        default:
            return shown(section.error);
    }
}

std::string droppedText(const FilePollConfigFile& file) {
    std::string broken;
    size_t count = 0;
    for (const auto& section : file.getSections()) {
        if (section.config) continue;
        broken += (count++ == 0 ? "#" : ", #") + std::to_string(section.number);
    }
    const size_t total = file.getSections().size();
    if (count == 0) return "refused: none of its sections is polled";
    if (total == 1) return "refused: its only section is broken";
    return "refused as a whole because of section" + std::string(count == 1 ? " " : "s ") + broken +
           ": a file with a broken section is dropped, so none of its " + std::to_string(total) +
           " sections is polled";
}

std::vector<std::string> refusedFileLines(const FilePollConfigFile& file) {
    std::vector<std::string> lines;
    for (const auto& section : file.getSections()) {
        if (!section.config) lines.push_back(sectionLabel(section) + ": " + refusalText(section));
    }
    if (lines.empty()) {  // not JSON, or refused before its sections were read
        std::istringstream errors(file.getErrors());
        for (std::string line; std::getline(errors, line);) lines.push_back(shown(line));
    }
    lines.push_back(droppedText(file));
    return lines;
}

}  // namespace quorix::pelmo::datalogger::ctl
